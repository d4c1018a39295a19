#include "header_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "byte_order.h"

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

class HeaderBuilder {
public:
  HeaderBuilder(const CompilationStore &store, const ImageLayout &layout,
                const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                const BootSpec *boot, std::uint8_t *base)
      : store_(store), L_(layout), ids_(ids), platform_(platform), chars_(chars), boot_(boot),
        base_(base) {}

  void Build() {
    Descriptor(false, At(L_.PrimaryDescriptorSector));
    if (L_.Joliet)
      Descriptor(true, At(L_.JolietDescriptorSector));
    if (boot_) {
      PutBootRecord(At(L_.BootRecordSector), L_.BootCatalogSector);
      PutBootCatalog(At(L_.BootCatalogSector), boot_->Media, boot_->LoadSectors,
                     FileSector(L_, *boot_->Image));
    }
    std::uint8_t *t = At(L_.TerminatorSector);
    t[0] = 255;
    std::memcpy(t + 1, "CD001", 5);
    t[6] = 1;
    PathTables(false);
    if (L_.Joliet)
      PathTables(true);
    for (std::int32_t i = 0; i < store_.DirCount; ++i) {
      Extent(*store_.Dirs[i], false);
      if (L_.Joliet)
        Extent(*store_.Dirs[i], true);
    }
  }

private:
  std::uint8_t *At(std::uint64_t sector) { return base_ + (sector - L_.StartSector) * kSectorSize; }

  void RootRecord(std::uint8_t *p, bool joliet) {
    const TDirNode &root = *store_.Dirs[0];
    const std::uint8_t zero = 0;
    const RecordDate noDate{};
    PutRecord(p, joliet ? L_.JolietDirArea : L_.IsoDirArea,
              static_cast<std::uint32_t>(joliet ? root.JolietExtentSize : root.IsoExtentSize),
              noDate, kFlagDirectory, &zero, 1);
  }

  void Descriptor(bool joliet, std::uint8_t *p) {
    p[0] = joliet ? 2 : 1;
    std::memcpy(p + 1, "CD001", 5);
    p[6] = 1;
    if (joliet) {
      PutUcs2Text(p + 8, 16, ids_.IdSystem, platform_);
      PutUcs2Text(p + 40, 16, ids_.IdVolume, platform_);
    } else {
      PutText(p + 8, 32, ids_.IdSystem, chars_);
      PutText(p + 40, 32, ids_.IdVolume, chars_);
    }
    Both32(p + 80, static_cast<std::uint32_t>(L_.ImageSectorCount));
    // The escape sequence marks the Joliet descriptor only: readers that find it in the primary
    // descriptor take that one for Joliet and decode ISO names as UCS-2.
    if (joliet)
      std::memcpy(p + 88, kJolietEscape, 3);
    Both16(p + 120, 1);
    Both16(p + 124, 1);
    Both16(p + 128, kSectorSize);
    Both32(p + 132, joliet ? L_.JolietPathTableSize : L_.IsoPathTableSize);
    Le32(p + 140, joliet ? L_.JolietLTable : L_.IsoLTable);
    Be32(p + 148, joliet ? L_.JolietMTable : L_.IsoMTable);
    RootRecord(p + 156, joliet);
    const std::string *longIds[4] = {&ids_.IdVolumeSet, &ids_.IdPublisher, &ids_.IdPreparer,
                                     &ids_.IdApplication};
    const std::string *fileIds[3] = {&ids_.FileCopyright, &ids_.FileAbstract,
                                     &ids_.FileBibliographic};
    for (int i = 0; i < 4; ++i) {
      if (joliet)
        PutUcs2Text(p + 190 + 128 * i, 64, *longIds[i], platform_);
      else
        PutText(p + 190 + 128 * i, 128, *longIds[i], chars_);
    }
    for (int i = 0; i < 3; ++i) {
      if (joliet)
        PutUcs2Text(p + 702 + 37 * i, 18, *fileIds[i], platform_);
      else
        PutText(p + 702 + 37 * i, 37, *fileIds[i], chars_);
    }
    PutDescriptorDate(p + 813, ids_.DateCreation);
    PutDescriptorDate(p + 830, ids_.DateModification);
    PutZeroDate(p + 847);
    PutZeroDate(p + 864);
    p[881] = 1;
    PutText(p + 1024, 8, ids_.ApplicationUse, chars_);
  }

  void PathTables(bool joliet) {
    std::uint8_t *lTable = At(joliet ? L_.JolietLTable : L_.IsoLTable);
    std::uint8_t *mTable = At(joliet ? L_.JolietMTable : L_.IsoMTable);
    const std::uint32_t area = joliet ? L_.JolietDirArea : L_.IsoDirArea;
    const std::vector<TDirNode *> &order = joliet ? store_.JolietDirs : store_.IsoDirs;
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
    put(area, 1, &rootId, 1);
    std::vector<std::uint8_t> ucs;
    for (std::int32_t i = 1; i < store_.DirCount; ++i) {
      const TDirNode &d = *order[i];
      const TEntryNode &e = *d.Entry;
      const std::uint32_t parent = static_cast<std::uint32_t>(d.Parent->DirNumber);
      if (joliet) {
        ucs.resize(2 * e.JolietIdentifier.size());
        PutUcs2(ucs.data(), e.JolietIdentifier);
        put(area + static_cast<std::uint32_t>(d.JolietDirSector), parent, ucs.data(),
            static_cast<std::uint32_t>(ucs.size()));
      } else {
        put(area + static_cast<std::uint32_t>(d.IsoDirSector), parent,
            reinterpret_cast<const std::uint8_t *>(e.IsoIdentifier.data()),
            static_cast<std::uint32_t>(e.IsoIdentifier.size()));
      }
    }
  }

  void Extent(const TDirNode &d, bool joliet) {
    const std::uint32_t area = joliet ? L_.JolietDirArea : L_.IsoDirArea;
    const auto sectorOf = [&](const TDirNode &x) {
      return area + static_cast<std::uint32_t>(joliet ? x.JolietDirSector : x.IsoDirSector);
    };
    const auto sizeOf = [&](const TDirNode &x) {
      return static_cast<std::uint32_t>(joliet ? x.JolietExtentSize : x.IsoExtentSize);
    };
    std::uint8_t *p = At(sectorOf(d));
    const RecordDate now = MakeRecordDate(platform_.Now(), store_.TimeZoneOffset);
    const std::uint8_t dot = 0, dotdot = 1;
    p += PutRecord(p, sectorOf(d), sizeOf(d), now, kFlagDirectory, &dot, 1);
    p += PutRecord(p, sectorOf(*d.Parent), sizeOf(*d.Parent), now, kFlagDirectory, &dotdot, 1);
    std::uint32_t left = kSectorSize - 68;
    std::vector<std::uint8_t> ident;
    for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
      Identifier(*e, joliet, ident);
      const std::uint32_t n = static_cast<std::uint32_t>(ident.size());
      const std::uint32_t length = 33 + n + (n % 2 == 0 ? 1 : 0);
      const RecordDate date = MakeRecordDate(e->DateTime, store_.TimeZoneOffset);
      const std::uint8_t hidden = (e->Attr & kAttrHidden) ? kFlagHidden : 0;
      if (e->Dir) {
        Place(p, left, length);
        p += PutRecord(p, sectorOf(*e->Dir), sizeOf(*e->Dir), date, kFlagDirectory | hidden,
                       ident.data(), n);
        left -= length;
        continue;
      }
      const std::uint64_t size = static_cast<std::uint64_t>(joliet ? e->JolietSize : e->FileSize);
      std::uint64_t sector =
          e->FixedSector ? static_cast<std::uint32_t>(joliet ? e->JolietSector : e->IsoSector)
                         : L_.FirstFileSector +
                               static_cast<std::uint32_t>(joliet ? e->JolietSector : e->IsoSector);
      if (size == 0)
        sector = 0;
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

  // A record never crosses a sector boundary: when it does not fit, it opens the next sector.
  static void Place(std::uint8_t *&p, std::uint32_t &left, std::uint32_t length) {
    if (length > left) {
      p += left;
      left = kSectorSize;
    }
  }

  void Identifier(const TEntryNode &e, bool joliet, std::vector<std::uint8_t> &out) {
    const bool file = e.Dir == nullptr;
    if (joliet) {
      out.resize(2 * (e.JolietIdentifier.size() + (file ? 2 : 0)));
      PutUcs2(out.data(), e.JolietIdentifier);
      if (file)
        PutUcs2(out.data() + 2 * e.JolietIdentifier.size(), u";1");
    } else {
      out.assign(e.IsoIdentifier.begin(), e.IsoIdentifier.end());
      if (file) {
        out.push_back(';');
        out.push_back('1');
      }
    }
  }

  const CompilationStore &store_;
  const ImageLayout &L_;
  const VolumeIdentifiers &ids_;
  Platform &platform_;
  const CharTable &chars_;
  const BootSpec *boot_;
  std::uint8_t *base_;
};

} // namespace

void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      std::vector<std::uint8_t> &out, const BootSpec *boot) {
  const std::size_t offset = out.size();
  const std::uint64_t sectors = layout.FirstFileSector - layout.StartSector;
  out.resize(offset + sectors * kSectorSize, 0);
  HeaderBuilder(store, layout, ids, platform, chars, boot, out.data() + offset).Build();
}

} // namespace velmor
