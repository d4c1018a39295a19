#include "udf_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "udf_fields.h"

namespace velmor {

namespace {

using namespace udf;

constexpr char kImplementation[] = "*Velmor";
constexpr std::uint8_t kIdDirectory = 0x02;
constexpr std::uint8_t kIdHidden = 0x01;
constexpr std::uint8_t kIdParent = 0x08;
constexpr std::uint8_t kTypeDirectory = 4;
constexpr std::uint8_t kTypeFile = 5;
// Read (and for folders search) for owner, group and others: the medium is read-only.
constexpr std::uint32_t kFilePermissions = 0x1084;
constexpr std::uint32_t kFolderPermissions = 0x14A5;
// Unique IDs 0 to 15 are the root's and reserved; others follow the file entry's block.
constexpr std::uint64_t kFirstUniqueId = 16;

class UdfWriter {
public:
  UdfWriter(const CompilationStore &store, const ImageLayout &layout, const VolumeIdentifiers &ids,
            Platform &platform, std::uint8_t *header, std::uint8_t *trailer)
      : store_(store), L_(layout), U_(layout.Udf), platform_(platform), header_(header),
        trailer_(trailer), zone_(store.TimeZoneOffset * 15), now_(platform.Now()),
        label_(platform.AnsiToUtf16(ids.IdVolume)) {}

  void Write() {
    Recognition();
    Sequence(U_.MainSequence);
    Sequence(U_.ReserveSequence);
    Integrity();
    Anchor(At(U_.AnchorSector), U_.AnchorSector);
    Anchor(trailer_ + (L_.TrailerSectors - 1) * std::size_t{kSectorSize}, U_.LastAnchorSector);
    FileSet();
    for (std::int32_t i = 0; i < store_.DirCount; ++i)
      Directory(*store_.Dirs[i]);
  }

private:
  std::uint8_t *At(std::uint64_t sector) {
    return header_ + (sector - L_.StartSector) * kSectorSize;
  }
  std::uint8_t *AtBlock(std::uint64_t block) { return At(U_.PartitionStart + block); }

  void Recognition() {
    const char *const ids[3] = {"BEA01", "NSR02", "TEA01"};
    for (int i = 0; i < 3; ++i) {
      std::uint8_t *p = At(U_.RecognitionSector + i);
      std::memcpy(p + 1, ids[i], 5);
      p[6] = 1;
    }
  }

  void Anchor(std::uint8_t *p, std::uint32_t sector) {
    Le32(p + 16, kUdfSequenceSectors * kSectorSize);
    Le32(p + 20, U_.MainSequence);
    Le32(p + 24, kUdfSequenceSectors * kSectorSize);
    Le32(p + 28, U_.ReserveSequence);
    PutTag(p, kTagAnchor, sector, 512);
  }

  // Both sequences hold the same descriptors, each tagged with its own sector.
  void Sequence(std::uint32_t first) {
    std::uint32_t number = 0;
    std::uint32_t sector = first;
    PrimaryVolume(At(sector), sector, number++);
    ++sector;
    ImplementationUse(At(sector), sector, number++);
    ++sector;
    Partition(At(sector), sector, number++);
    ++sector;
    LogicalVolume(At(sector), sector, number++);
    ++sector;
    std::uint8_t *usd = At(sector);
    Le32(usd + 16, number++);
    PutTag(usd, kTagUnallocatedSpace, sector, 24);
    ++sector;
    PutTag(At(sector), kTagTerminator, sector, 512);
  }

  void PrimaryVolume(std::uint8_t *p, std::uint32_t sector, std::uint32_t number) {
    Le32(p + 16, number);
    PutDstring(p + 24, 32, label_);
    Le16(p + 56, 1);
    Le16(p + 58, 1);
    Le16(p + 60, 2);
    Le16(p + 62, 2);
    Le32(p + 64, 1);
    Le32(p + 68, 1);
    // UDF wants the volume set's first 8 characters to be a unique hex number.
    char unique[16];
    std::snprintf(unique, sizeof unique, "%08X",
                  static_cast<unsigned>(std::llround(now_ * 86400.0) & 0xFFFFFFFFu));
    PutDstring(p + 72, 128, std::u16string(unique, unique + 8) + label_);
    PutCharspec(p + 200);
    PutCharspec(p + 264);
    PutEntityId(p + 344, kImplementation, false);
    PutTimestamp(p + 376, now_, zone_);
    PutEntityId(p + 388, kImplementation, false);
    PutTag(p, kTagPrimary, sector, 512);
  }

  void ImplementationUse(std::uint8_t *p, std::uint32_t sector, std::uint32_t number) {
    Le32(p + 16, number);
    PutEntityId(p + 20, "*UDF LV Info", true);
    PutCharspec(p + 52);
    PutDstring(p + 116, 128, label_);
    PutEntityId(p + 352, kImplementation, false);
    PutTag(p, kTagImplementationUse, sector, 512);
  }

  void Partition(std::uint8_t *p, std::uint32_t sector, std::uint32_t number) {
    Le32(p + 16, number);
    Le16(p + 20, 1); // allocated
    Le16(p + 22, 0);
    PutEntityId(p + 24, "+NSR02", false);
    Le32(p + 184, 1); // read-only
    Le32(p + 188, U_.PartitionStart);
    Le32(p + 192, U_.PartitionLength);
    PutEntityId(p + 196, kImplementation, false);
    PutTag(p, kTagPartition, sector, 512);
  }

  void LogicalVolume(std::uint8_t *p, std::uint32_t sector, std::uint32_t number) {
    Le32(p + 16, number);
    PutCharspec(p + 20);
    PutDstring(p + 84, 128, label_);
    Le32(p + 212, kSectorSize);
    PutEntityId(p + 216, "*OSTA UDF Compliant", true);
    // The file set: two blocks, its descriptor and a terminator.
    Le32(p + 248, 2 * kSectorSize);
    Le32(p + 252, U_.FileSetBlock);
    Le16(p + 256, 0);
    Le32(p + 264, 6); // one type 1 map of 6 bytes
    Le32(p + 268, 1);
    PutEntityId(p + 272, kImplementation, false);
    Le32(p + 432, 2 * kSectorSize);
    Le32(p + 436, U_.IntegritySector);
    p[440] = 1;
    p[441] = 6;
    Le16(p + 442, 1); // volume sequence number
    Le16(p + 444, 0); // partition number
    PutTag(p, kTagLogicalVolume, sector, 446);
  }

  void Integrity() {
    std::uint8_t *p = At(U_.IntegritySector);
    PutTimestamp(p + 16, now_, zone_);
    Le32(p + 28, 1); // closed
    Le64(p + 40, kFirstUniqueId + U_.AreaEndBlock);
    Le32(p + 72, 1);
    Le32(p + 76, 46);
    Le32(p + 80, 0); // no free space
    Le32(p + 84, U_.PartitionLength);
    PutEntityId(p + 88, kImplementation, false);
    Le32(p + 120, U_.Files);
    Le32(p + 124, U_.Directories);
    Le16(p + 128, kRevision);
    Le16(p + 130, kRevision);
    Le16(p + 132, kRevision);
    PutTag(p, kTagIntegrity, U_.IntegritySector, 134);
    PutTag(At(U_.IntegritySector + 1), kTagTerminator, U_.IntegritySector + 1, 512);
  }

  void FileSet() {
    std::uint8_t *p = AtBlock(U_.FileSetBlock);
    PutTimestamp(p + 16, now_, zone_);
    Le16(p + 28, 3);
    Le16(p + 30, 3);
    Le32(p + 32, 1);
    Le32(p + 36, 1);
    PutCharspec(p + 48);
    PutDstring(p + 112, 128, label_);
    PutCharspec(p + 240);
    PutDstring(p + 304, 32, label_);
    Le32(p + 400, kSectorSize);
    Le32(p + 404, U_.RootEntryBlock);
    PutEntityId(p + 416, "*OSTA UDF Compliant", true);
    PutTag(p, kTagFileSet, U_.FileSetBlock, 512);
    PutTag(AtBlock(U_.FileSetBlock + 1), kTagTerminator, U_.FileSetBlock + 1, 512);
  }

  // The file entry of a folder or file whose data start at `dataBlock`, in extents of at most
  // kMaxUdfExtentBytes.
  void FileEntry(std::uint32_t block, bool folder, std::uint16_t links, std::uint64_t size,
                 std::uint32_t dataBlock, TDateTime date) {
    std::uint8_t *p = AtBlock(block);
    Le16(p + 20, 4); // strategy 4: one direct entry
    Le16(p + 24, 1);
    p[27] = folder ? kTypeDirectory : kTypeFile;
    Le32(p + 36, 0xFFFFFFFFu); // no owner
    Le32(p + 40, 0xFFFFFFFFu);
    Le32(p + 44, folder ? kFolderPermissions : kFilePermissions);
    Le16(p + 48, links);
    Le64(p + 56, size);
    Le64(p + 64, SectorsFor(size));
    for (int t = 0; t < 3; ++t)
      PutTimestamp(p + 72 + 12 * t, date, zone_);
    Le32(p + 108, 1);
    PutEntityId(p + 128, kImplementation, false);
    Le64(p + 160, block == U_.RootEntryBlock ? 0 : kFirstUniqueId + block);
    Le32(p + 172, 0);
    // The descriptors go into the entry, then into the allocation extents that follow it.
    std::uint8_t *head = p;
    std::uint32_t headBlock = block, room = kUdfEntryAds, used = 0;
    std::uint8_t *ads = p + kUdfFileEntryBytes;
    std::uint32_t extent = 0;
    const std::uint32_t extents = UdfExtentCount(static_cast<std::int64_t>(size));
    const auto close = [&] {
      if (head == p) {
        Le32(p + 172, used * kUdfShortAdBytes);
        PutTag(p, kTagFileEntry, block, kUdfFileEntryBytes + used * kUdfShortAdBytes);
      } else {
        Le32(head + 20, used * kUdfShortAdBytes);
        PutTag(head, kTagAllocationExtent, headBlock,
               kUdfAllocationExtentBytes + used * kUdfShortAdBytes);
      }
    };
    for (std::uint64_t left = size; left > 0;) {
      if (used + 1 == room && extents - extent > 1) {
        // The last slot continues the list in the next block (type 3: next extent of
        // descriptors).
        Le32(ads + kUdfShortAdBytes * used, 0xC0000000u | kSectorSize);
        Le32(ads + kUdfShortAdBytes * used + 4, headBlock + 1);
        ++used;
        close();
        head = AtBlock(headBlock + 1);
        Le32(head + 16, headBlock);
        ++headBlock;
        ads = head + kUdfAllocationExtentBytes;
        room = kUdfExtentBlockAds;
        used = 0;
      }
      const std::uint64_t part = left < kMaxUdfExtentBytes ? left : kMaxUdfExtentBytes;
      std::uint8_t *ad = ads + kUdfShortAdBytes * used++;
      Le32(ad, static_cast<std::uint32_t>(part));
      Le32(ad + 4,
           dataBlock + extent++ * static_cast<std::uint32_t>(kMaxUdfExtentBytes / kSectorSize));
      left -= part;
    }
    close();
  }

  // One file identifier at byte `offset` of the directory's data; returns its length.
  std::uint32_t Identifier(const TDirNode &d, std::uint64_t offset, std::uint8_t flags,
                           std::uint32_t entryBlock, const std::u16string &name) {
    std::uint8_t *p = AtBlock(static_cast<std::uint32_t>(d.Udf.Sector)) + offset;
    const std::size_t nameBytes = PutCs0(p + kUdfFileIdentifierBytes, name);
    const std::uint32_t length = UdfIdentifierLength(nameBytes);
    Le16(p + 16, 1);
    p[18] = flags;
    p[19] = static_cast<std::uint8_t>(nameBytes);
    Le32(p + 20, kSectorSize);
    Le32(p + 24, entryBlock);
    PutTag(
        p, kTagFileIdentifier,
        static_cast<std::uint32_t>(d.Udf.Sector + static_cast<std::int64_t>(offset / kSectorSize)),
        length);
    return length;
  }

  static std::uint32_t EntryBlockOf(const TDirNode &d, const UdfLayout &udf) {
    return d.Entry ? static_cast<std::uint32_t>(d.Entry->UdfEntryBlock) : udf.RootEntryBlock;
  }

  void Directory(const TDirNode &d) {
    const TDirNode &parent = d.Parent ? *d.Parent : d;
    std::uint64_t offset = Identifier(d, 0, kIdDirectory | kIdParent, EntryBlockOf(parent, U_), {});
    std::uint16_t links = 1;
    for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
      const std::uint8_t hidden = (e->Attr & kAttrHidden) ? kIdHidden : 0;
      const std::uint8_t flags = static_cast<std::uint8_t>(hidden | (e->Dir ? kIdDirectory : 0));
      offset += Identifier(d, offset, flags, static_cast<std::uint32_t>(e->UdfEntryBlock),
                           UdfName(d, *e, platform_));
      if (e->Dir) {
        ++links;
        continue;
      }
      const std::uint64_t size = static_cast<std::uint64_t>(e->FileSize);
      const std::uint32_t data = size == 0 ? 0 : FileSector(L_, *e) - U_.PartitionStart;
      FileEntry(static_cast<std::uint32_t>(e->UdfEntryBlock), false, 1, size, data, e->DateTime);
    }
    FileEntry(EntryBlockOf(d, U_), true, links, static_cast<std::uint64_t>(d.Udf.Size),
              static_cast<std::uint32_t>(d.Udf.Sector), d.Entry ? d.Entry->DateTime : now_);
  }

  const CompilationStore &store_;
  const ImageLayout &L_;
  const UdfLayout &U_;
  Platform &platform_;
  std::uint8_t *header_;
  std::uint8_t *trailer_;
  const int zone_;
  const TDateTime now_;
  const std::u16string label_;
};

} // namespace

void WriteUdf(const CompilationStore &store, const ImageLayout &layout,
              const VolumeIdentifiers &ids, Platform &platform, std::uint8_t *header,
              std::uint8_t *trailer) {
  UdfWriter(store, layout, ids, platform, header, trailer).Write();
}

} // namespace velmor
