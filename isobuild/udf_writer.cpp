#include "udf_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "udf_fields.h"
#include "udf_file_entry.h"

namespace velmor {

namespace {

using namespace udf;

constexpr std::uint8_t kIdDirectory = 0x02;
constexpr std::uint8_t kIdHidden = 0x01;
constexpr std::uint8_t kIdParent = 0x08;

class UdfWriter {
public:
  UdfWriter(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
            const HeaderOutput &out)
      : store_(store), L_(layout), U_(layout.Udf), platform_(platform), out_(out),
        zone_(store.TimeZoneOffset * 15), now_(out.Now),
        label_(platform.AnsiToUtf16(out.Ids.IdVolume)) {}

  void WriteVolume() {
    Recognition();
    Sequence(U_.MainSequence);
    Sequence(U_.ReserveSequence);
    Integrity();
    Anchor(At(U_.AnchorSector), U_.AnchorSector);
    Anchor(out_.TrailerAt(U_.LastAnchorSector), U_.LastAnchorSector);
  }

  void WriteFolders() {
    FileSet();
    for (std::int32_t i = 0; i < store_.DirCount; ++i)
      Directory(*store_.Dirs[i]);
  }

private:
  std::uint8_t *At(std::uint64_t sector) { return out_.At(sector); }
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
      if (e->Dir)
        ++links;
    }
    // The files' entries are made as the header is streamed.
    EntryFields f;
    f.Block = EntryBlockOf(d, U_);
    f.Folder = true;
    f.Links = links;
    f.Size = static_cast<std::uint64_t>(d.Udf.Size);
    f.DataBlock = static_cast<std::uint32_t>(d.Udf.Sector);
    f.Date = d.Entry ? d.Entry->DateTime : now_;
    f.Zone = zone_;
    f.UniqueId = f.Block == U_.RootEntryBlock ? 0 : kFirstUniqueId + f.Block;
    PutEntrySector(AtBlock(f.Block), f, 0);
  }

  const CompilationStore &store_;
  const ImageLayout &L_;
  const UdfLayout &U_;
  Platform &platform_;
  const HeaderOutput &out_;
  const int zone_;
  const TDateTime now_;
  const std::u16string label_;
};

} // namespace

void WriteUdfVolume(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                    const HeaderOutput &out) {
  UdfWriter(store, layout, platform, out).WriteVolume();
}

void WriteUdfFolders(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                     const HeaderOutput &out) {
  UdfWriter(store, layout, platform, out).WriteFolders();
}

} // namespace velmor
