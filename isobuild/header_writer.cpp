#include "header_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "boot_catalog.h"
#include "byte_order.h"
#include "system_area.h"
#include "udf_file_entry.h"
#include "udf_writer.h"

namespace velmor {

namespace {

constexpr std::uint8_t kFlagHidden = 0x01;
constexpr std::uint8_t kFlagDirectory = 0x02;
constexpr std::uint8_t kFlagMultiExtent = 0x80;
constexpr std::uint8_t kJolietEscape[3] = {0x25, 0x2F, 0x40}; // UCS-2 level 1

void PutUcs2(std::uint8_t *p, const std::u16string &units) {
  for (char16_t u : units) {
    *p++ = static_cast<std::uint8_t>(u >> 8);
    *p++ = static_cast<std::uint8_t>(u);
  }
}

// 8-bit text field: upper-cased, space-padded, cut at the field's byte length.
void PutText(std::uint8_t *p, std::size_t length, const std::string &text, const CharTable &chars) {
  const std::string upper = UpperAscii(text, chars);
  std::memset(p, ' ', length);
  std::memcpy(p, upper.data(), std::min(length, upper.size()));
}

// UCS-2 big-endian text field of `units` characters, padded with spaces.
void PutUcs2Text(std::uint8_t *p, std::size_t units, const std::string &text, Platform &platform) {
  std::u16string wide = platform.AnsiToUtf16(text);
  wide.resize(units, u' ');
  PutUcs2(p, wide);
}

void PutDescriptorDate(std::uint8_t *p, TDateTime value) {
  const DateParts d = DecodeDateTime(value);
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d%02d", d.Year % 10000, d.Month,
                d.Day, d.Hour, d.Minute, d.Second, d.Millisecond / 10);
  std::memcpy(p, digits, 16);
  p[16] = 0;
}

void PutZeroDate(std::uint8_t *p) {
  std::memset(p, '0', 16);
  p[16] = 0;
}

struct RecordDate {
  std::uint8_t bytes[7];
};

RecordDate MakeRecordDate(TDateTime value, std::int16_t tzOffset) {
  const DateParts d = DecodeDateTime(value);
  RecordDate r;
  r.bytes[0] = static_cast<std::uint8_t>(std::clamp(d.Year - 1900, 0, 255));
  r.bytes[1] = static_cast<std::uint8_t>(d.Month);
  r.bytes[2] = static_cast<std::uint8_t>(d.Day);
  r.bytes[3] = static_cast<std::uint8_t>(d.Hour);
  r.bytes[4] = static_cast<std::uint8_t>(d.Minute);
  r.bytes[5] = static_cast<std::uint8_t>(d.Second);
  r.bytes[6] = static_cast<std::uint8_t>(tzOffset & 0xFF);
  return r;
}

// Writes one directory record at p; returns its length. `ident` holds n identifier bytes.
std::uint32_t PutRecord(std::uint8_t *p, std::uint32_t extent, std::uint32_t length,
                        const RecordDate &date, std::uint8_t flags, const std::uint8_t *ident,
                        std::uint32_t n) {
  const std::uint32_t size = 33 + n + (n % 2 == 0 ? 1 : 0);
  p[0] = static_cast<std::uint8_t>(size);
  p[1] = 0;
  Both32(p + 2, extent);
  Both32(p + 10, length);
  std::memcpy(p + 18, date.bytes, 7);
  p[25] = flags;
  p[26] = 0;
  p[27] = 0;
  Both16(p + 28, 1);
  p[32] = static_cast<std::uint8_t>(n);
  std::memcpy(p + 33, ident, n);
  return size;
}

// A record never crosses a sector boundary: when it does not fit, it opens the next sector.
void Place(std::uint8_t *&p, std::uint32_t &left, std::uint32_t length) {
  if (length > left) {
    p += left;
    left = kSectorSize;
  }
}

// Writes one name set whose tree is made of ISO 9660 records: its volume descriptor, its path
// tables and its directory extents. What differs between the sets (the descriptor's type, how
// text and identifiers are encoded, where a directory's extent is) comes from the subclass.
class NameSetWriter {
public:
  NameSetWriter(const CompilationStore &store, const ImageLayout &layout, const NameSetLayout &set,
                DirExtent TDirNode::*extent, Platform &platform, const CharTable &chars,
                std::uint8_t *base)
      : platform_(platform), chars_(chars), store_(store), L_(layout), set_(set), extent_(extent),
        base_(base) {}
  virtual ~NameSetWriter() = default;

  void Write(const VolumeIdentifiers &ids) {
    Descriptor(ids, At(set_.DescriptorSector));
    PathTables();
    for (std::int32_t i = 0; i < store_.DirCount; ++i)
      Extent(*store_.Dirs[i]);
  }

protected:
  virtual std::uint8_t DescriptorType() const = 0;
  // Extra marks of the descriptor (the Joliet escape sequence).
  virtual void MarkDescriptor(std::uint8_t *p) const { (void)p; }
  // A text field of `bytes` bytes.
  virtual void PutTextField(std::uint8_t *p, std::size_t bytes, const std::string &text) = 0;
  // The identifier bytes of an entry; files get ";1" when `version` is set.
  virtual void Identifier(const TEntryNode &e, bool version, std::vector<std::uint8_t> &out) = 0;

  Platform &platform_;
  const CharTable &chars_;

private:
  std::uint8_t *At(std::uint64_t sector) { return base_ + (sector - L_.StartSector) * kSectorSize; }
  std::uint32_t SectorOf(const TDirNode &d) const {
    return set_.DirArea + static_cast<std::uint32_t>((d.*extent_).Sector);
  }
  std::uint32_t SizeOf(const TDirNode &d) const {
    return static_cast<std::uint32_t>((d.*extent_).Size);
  }

  void Descriptor(const VolumeIdentifiers &ids, std::uint8_t *p) {
    p[0] = DescriptorType();
    std::memcpy(p + 1, "CD001", 5);
    p[6] = 1;
    PutTextField(p + 8, 32, ids.IdSystem);
    PutTextField(p + 40, 32, ids.IdVolume);
    Both32(p + 80, static_cast<std::uint32_t>(L_.ImageSectorCount));
    MarkDescriptor(p);
    Both16(p + 120, 1);
    Both16(p + 124, 1);
    Both16(p + 128, kSectorSize);
    Both32(p + 132, set_.PathTableSize);
    Le32(p + 140, set_.LTable);
    Be32(p + 148, set_.MTable);
    const TDirNode &root = *store_.Dirs[0];
    const std::uint8_t zero = 0;
    const RecordDate noDate{};
    PutRecord(p + 156, SectorOf(root), SizeOf(root), noDate, kFlagDirectory, &zero, 1);
    const std::string *longIds[4] = {&ids.IdVolumeSet, &ids.IdPublisher, &ids.IdPreparer,
                                     &ids.IdApplication};
    const std::string *fileIds[3] = {&ids.FileCopyright, &ids.FileAbstract, &ids.FileBibliographic};
    for (int i = 0; i < 4; ++i)
      PutTextField(p + 190 + 128 * i, 128, *longIds[i]);
    for (int i = 0; i < 3; ++i)
      PutTextField(p + 702 + 37 * i, 37, *fileIds[i]);
    PutDescriptorDate(p + 813, ids.DateCreation);
    PutDescriptorDate(p + 830, ids.DateModification);
    PutZeroDate(p + 847);
    PutZeroDate(p + 864);
    p[881] = 1;
    // Both sets carry the application's 8-bit mark.
    PutText(p + 1024, 8, ids.ApplicationUse, chars_);
  }

  void PathTables() {
    std::uint8_t *lTable = At(set_.LTable);
    std::uint8_t *mTable = At(set_.MTable);
    std::uint32_t pos = 0;
    auto put = [&](std::uint32_t extent, std::uint32_t parent, const std::uint8_t *ident,
                   std::uint32_t n) {
      for (std::uint8_t *t : {lTable, mTable}) {
        std::uint8_t *r = t + pos;
        r[0] = static_cast<std::uint8_t>(n);
        r[1] = 0;
        if (t == lTable) {
          Le32(r + 2, extent);
          Le16(r + 6, parent);
        } else {
          Be32(r + 2, extent);
          Be16(r + 6, parent);
        }
        std::memcpy(r + 8, ident, n);
      }
      pos += 8 + n + (n % 2);
    };
    const std::uint8_t rootId = 0;
    put(set_.DirArea, 1, &rootId, 1);
    std::vector<std::uint8_t> ident;
    for (std::int32_t i = 1; i < store_.DirCount; ++i) {
      const TDirNode &d = *store_.PathOrder[i];
      Identifier(*d.Entry, false, ident);
      put(SectorOf(d), static_cast<std::uint32_t>(d.Parent->DirNumber), ident.data(),
          static_cast<std::uint32_t>(ident.size()));
    }
  }

  void Extent(const TDirNode &d) {
    std::uint8_t *p = At(SectorOf(d));
    const RecordDate now = MakeRecordDate(platform_.Now(), store_.TimeZoneOffset);
    const std::uint8_t dot = 0, dotdot = 1;
    p += PutRecord(p, SectorOf(d), SizeOf(d), now, kFlagDirectory, &dot, 1);
    p += PutRecord(p, SectorOf(*d.Parent), SizeOf(*d.Parent), now, kFlagDirectory, &dotdot, 1);
    std::uint32_t left = kSectorSize - 68;
    std::vector<std::uint8_t> ident;
    for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
      Identifier(*e, true, ident);
      const std::uint32_t n = static_cast<std::uint32_t>(ident.size());
      const std::uint32_t length = 33 + n + (n % 2 == 0 ? 1 : 0);
      const RecordDate date = MakeRecordDate(e->DateTime, store_.TimeZoneOffset);
      const std::uint8_t hidden = (e->Attr & kAttrHidden) ? kFlagHidden : 0;
      if (e->Dir) {
        Place(p, left, length);
        p += PutRecord(p, SectorOf(*e->Dir), SizeOf(*e->Dir), date, kFlagDirectory | hidden,
                       ident.data(), n);
        left -= length;
        continue;
      }
      const std::uint64_t size = static_cast<std::uint64_t>(e->FileSize);
      std::uint64_t sector = size == 0 ? 0 : FileSector(L_, *e);
      const std::uint32_t extents = ExtentCount(static_cast<std::int64_t>(size));
      std::uint64_t remaining = size;
      for (std::uint32_t k = 0; k < extents; ++k) {
        const bool last = k + 1 == extents;
        const std::uint64_t part = last ? remaining : kMaxExtentBytes;
        Place(p, left, length);
        p += PutRecord(p, static_cast<std::uint32_t>(sector), static_cast<std::uint32_t>(part),
                       date, static_cast<std::uint8_t>(hidden | (last ? 0 : kFlagMultiExtent)),
                       ident.data(), n);
        left -= length;
        sector += part / kSectorSize;
        remaining -= part;
      }
    }
  }

  const CompilationStore &store_;
  const ImageLayout &L_;
  const NameSetLayout &set_;
  DirExtent TDirNode::*extent_;
  std::uint8_t *base_;
};

class IsoNameSetWriter : public NameSetWriter {
public:
  IsoNameSetWriter(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                   const CharTable &chars, std::uint8_t *base)
      : NameSetWriter(store, layout, layout.Iso, &TDirNode::Iso, platform, chars, base) {}

private:
  std::uint8_t DescriptorType() const override { return 1; }
  void PutTextField(std::uint8_t *p, std::size_t bytes, const std::string &text) override {
    PutText(p, bytes, text, chars_);
  }
  void Identifier(const TEntryNode &e, bool version, std::vector<std::uint8_t> &out) override {
    out.assign(e.IsoIdentifier.begin(), e.IsoIdentifier.end());
    if (version && !e.IsFolder()) {
      out.push_back(';');
      out.push_back('1');
    }
  }
};

class JolietNameSetWriter : public NameSetWriter {
public:
  JolietNameSetWriter(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                      const CharTable &chars, std::uint8_t *base)
      : NameSetWriter(store, layout, layout.Joliet, &TDirNode::Joliet, platform, chars, base) {}

private:
  std::uint8_t DescriptorType() const override { return 2; }
  // The escape sequence marks the Joliet descriptor only: readers that find it in the primary
  // descriptor take that one for Joliet and decode ISO names as UCS-2.
  void MarkDescriptor(std::uint8_t *p) const override { std::memcpy(p + 88, kJolietEscape, 3); }
  // A field of n bytes holds n / 2 UCS-2 characters.
  void PutTextField(std::uint8_t *p, std::size_t bytes, const std::string &text) override {
    PutUcs2Text(p, bytes / 2, text, platform_);
  }
  void Identifier(const TEntryNode &e, bool version, std::vector<std::uint8_t> &out) override {
    const bool suffix = version && !e.IsFolder();
    out.resize(2 * (e.JolietIdentifier.size() + (suffix ? 2 : 0)));
    PutUcs2(out.data(), e.JolietIdentifier);
    if (suffix)
      PutUcs2(out.data() + 2 * e.JolietIdentifier.size(), u";1");
  }
};

void PutTerminator(std::uint8_t *t) {
  t[0] = 255;
  std::memcpy(t + 1, "CD001", 5);
  t[6] = 1;
}

} // namespace

void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      THeaderStream &out, const BootSpec *boot) {
  std::vector<std::uint8_t> &kept = out.Bytes();
  kept.assign(std::size_t{layout.MadeHeaderSector - layout.StartSector} * kSectorSize, 0);
  std::uint8_t *base = kept.data();
  const auto at = [&](std::uint64_t sector) {
    return base + (sector - layout.StartSector) * kSectorSize;
  };
  IsoNameSetWriter(store, layout, platform, chars, base).Write(ids);
  if (layout.WithJoliet)
    JolietNameSetWriter(store, layout, platform, chars, base).Write(ids);
  if (boot) {
    PutBootRecord(at(layout.BootRecordSector), layout.BootCatalogSector);
    PutBootCatalog(at(layout.BootCatalogSector), *boot, layout);
  }
  PutTerminator(at(layout.TerminatorSector));
  std::vector<std::uint8_t> &trailer = out.Trailer();
  trailer.assign(std::size_t{layout.TrailerSectors} * kSectorSize, 0);
  if (layout.WithUdf) {
    WriteUdf(store, layout, ids, platform, base, trailer.data());
    out.SetMadeSectors(udf::MakeFileEntryRun(store, layout));
  }
  if (boot && boot->Hybrid())
    PutSystemArea(at(layout.StartSector), trailer.data(), *boot, layout, platform.Now());
}

} // namespace velmor
