// Bytes of the image header: descriptors, path tables, directory records and identifiers.
#include <algorithm>
#include <cstring>
#include <map>

#include "builder_fixture.h"
#include "directory_extents.h"

namespace velmor::testing {
namespace {

using HeaderTest = BuilderTest;
using namespace std::string_literals;

std::string Text(const std::uint8_t *p, std::size_t n) {
  return std::string(reinterpret_cast<const char *>(p), n);
}

std::u16string Ucs2(const std::uint8_t *p, std::size_t units) {
  std::u16string s;
  for (std::size_t i = 0; i < units; ++i)
    s.push_back(static_cast<char16_t>(p[2 * i] << 8 | p[2 * i + 1]));
  return s;
}

// UDF read back as a reader would, from the anchor down, with the CRC computed bit by bit.
std::uint16_t BitwiseCrc(const std::uint8_t *p, std::size_t n) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (int bit = 7; bit >= 0; --bit) {
      const bool top = ((crc >> 15) & 1) != (((p[i] >> bit) & 1) != 0);
      crc = ((crc << 1) & 0xFFFF) ^ (top ? 0x1021 : 0);
    }
  return static_cast<std::uint16_t>(crc);
}

std::uint64_t Le64(const std::uint8_t *p) {
  return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}

// A descriptor's tag: identifier, version 2, checksum, CRC over the length it states, location.
void ExpectTag(const std::uint8_t *p, std::uint16_t id, std::uint32_t location) {
  EXPECT_EQ(Le16(p), id) << "at " << location;
  EXPECT_EQ(Le16(p + 2), 2);
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    sum = static_cast<std::uint8_t>(sum + (i == 4 ? 0 : p[i]));
  EXPECT_EQ(p[4], sum) << "tag " << id << " at " << location;
  EXPECT_EQ(Le16(p + 8), BitwiseCrc(p + 16, Le16(p + 10))) << "tag " << id << " at " << location;
  EXPECT_EQ(Le32(p + 12), location);
}

// OSTA CS0 text of n bytes.
std::u16string Cs0(const std::uint8_t *p, std::size_t n) {
  std::u16string s;
  if (n == 0)
    return s;
  const bool wide = p[0] == 16;
  EXPECT_TRUE(wide || p[0] == 8);
  for (std::size_t i = 1; i < n; i += wide ? 2 : 1)
    s.push_back(static_cast<char16_t>(wide ? p[i] << 8 | p[i + 1] : p[i]));
  return s;
}

TEST_F(HeaderTest, DescriptorsCarryTheLayoutAndTheVolumeLabel) {
  fs.AddFile("D:\\readme.txt", 100, "", kAttrArchive);
  AddFileItem("D:\\readme.txt");
  burner.SetIdVolume("my disc");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_TRUE(std::all_of(Sector(0), Sector(16), [](std::uint8_t b) { return b == 0; }));

  const std::uint8_t *pvd = Sector(16);
  EXPECT_EQ(Text(pvd, 7), std::string("\x01"
                                      "CD001\x01"));
  EXPECT_EQ(Text(pvd + 8, 32), std::string(32, ' '));
  EXPECT_EQ(Text(pvd + 40, 32), "MY DISC" + std::string(25, ' '));
  EXPECT_EQ(Le32(pvd + 80), 151u);
  EXPECT_EQ(Be32(pvd + 84), 151u);
  EXPECT_EQ(Text(pvd + 88, 3), std::string(3, '\0'));
  EXPECT_EQ(Le16(pvd + 128), 2048);
  EXPECT_EQ(Be16(pvd + 130), 2048);
  EXPECT_EQ(Le32(pvd + 132), 10u);
  EXPECT_EQ(Le32(pvd + 140), 19u);
  EXPECT_EQ(Be32(pvd + 148), 20u);
  EXPECT_EQ(pvd[156], 34);
  EXPECT_EQ(Le32(pvd + 156 + 2), 23u);
  EXPECT_EQ(Le32(pvd + 156 + 10), 2048u);
  EXPECT_EQ(pvd[156 + 25], 0x02);
  EXPECT_EQ(Text(pvd + 190, 128), std::string(128, ' '));
  EXPECT_EQ(Text(pvd + 813, 17), std::string("1899123000000000\0", 17));
  EXPECT_EQ(Text(pvd + 847, 17), std::string("0000000000000000\0", 17));
  EXPECT_EQ(pvd[881], 1);
  EXPECT_EQ(Text(pvd + 1024, 8), std::string(8, ' '));

  const std::uint8_t *svd = Sector(17);
  EXPECT_EQ(svd[0], 2);
  EXPECT_EQ(Ucs2(svd + 40, 16), u"my disc         ");
  EXPECT_EQ(Text(svd + 88, 3), "%/@");
  EXPECT_EQ(Le32(svd + 132), 10u);
  EXPECT_EQ(Le32(svd + 140), 21u);
  EXPECT_EQ(Be32(svd + 148), 22u);
  EXPECT_EQ(Le32(svd + 156 + 2), 24u);
  EXPECT_EQ(Ucs2(svd + 702, 18), std::u16string(18, u' '));
  EXPECT_EQ(svd[702 + 36], 0);
  EXPECT_EQ(Text(Sector(18), 7), std::string("\xff"
                                             "CD001\x01"));
}

TEST_F(HeaderTest, DoubleByteLabelIsCutAtItsFieldLength) {
  MockPlatform gbk;
  gbk.DoubleByteCodePage = true;
  TKavoBurner burner(gbk);
  std::string label;
  for (int i = 0; i < 20; ++i)
    label += "\xB9\x61"; // a double-byte character whose second byte is an ASCII "a"
  burner.SetIdVolume(label);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const std::uint8_t *header = burner.HeaderStream().Data();
  EXPECT_EQ(Text(header + 16 * 2048 + 40, 32), label.substr(0, 32)); // trail bytes kept
  const std::u16string joliet = Ucs2(header + 17 * 2048 + 40, 16);
  EXPECT_EQ(joliet.size(), 16u);
  EXPECT_EQ(joliet[15], 0x4E00 + (0xB9 - 0x81) * 256 + 0x61);
}

TEST_F(HeaderTest, DirectoryRecordsCarryDatesFlagsAndIdentifiers) {
  fs.DoubleByteCodePage = true;
  TKavoBurner burner(fs); // takes the double-byte code page
  fs.AddFolder("D:\\TOP\\SUB", "", kAttrDirectory | kAttrHidden);
  fs.AddFile("D:\\TOP\\SUB\\\xD6\xD0\xCE\xC4.TXT", 7, "", kAttrArchive | kAttrHidden);
  burner.InsertFolder("\\", "D:\\TOP", false, false, true, kAllAttributes, "*.*");
  auto Sector = [&](std::uint64_t s) { return burner.HeaderStream().Data() + s * 2048; };
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  TDirNode *sub = burner.FindDir("\\SUB");
  ASSERT_NE(sub, nullptr);

  // "." and ".." of SUB's Joliet extent: dated now, offset +8 hours (32 quarters).
  const std::uint8_t *ext = Sector(L.Joliet.DirArea + sub->Joliet.Sector);
  EXPECT_EQ(ext[0], 34);
  EXPECT_EQ(Le32(ext + 2), L.Joliet.DirArea + sub->Joliet.Sector);
  EXPECT_EQ(Text(ext + 18, 7), std::string("\x7e\x0c\x06\x17\x0b\x21\x20", 7));
  EXPECT_EQ(ext[33], 0);
  EXPECT_EQ(Le32(ext + 34 + 2), L.Joliet.DirArea); // ".." is the root
  EXPECT_EQ(ext[34 + 33], 1);

  // The file: two double-byte characters + ".TXT" + ";1" = 8 units, 16 bytes, record of 50.
  const std::uint8_t *rec = ext + 68;
  EXPECT_EQ(rec[0], 50);
  EXPECT_EQ(rec[32], 16);
  EXPECT_EQ(Ucs2(rec + 33 + 10, 3), u"T;1");
  EXPECT_EQ(rec[49], 0);
  EXPECT_EQ(rec[25], 0x01); // hidden
  EXPECT_EQ(Le32(rec + 2), L.FirstFileSector);
  EXPECT_EQ(Le32(rec + 10), 7u);
  EXPECT_EQ(Text(rec + 18, 7), std::string("\x7e\x01\x02\x03\x04\x06\x20", 7));

  // The folder in the root's ISO extent: hidden directory.
  const std::uint8_t *folder = Sector(L.Iso.DirArea) + 68;
  EXPECT_EQ(folder[25], 0x03);
  EXPECT_EQ(Text(folder + 33, 3), "SUB");
  EXPECT_EQ(Le32(folder + 10), 2048u);
  // An empty-looking tail: the rest of SUB's ISO extent is zero.
  const std::uint8_t *iso = Sector(L.Iso.DirArea + sub->Iso.Sector);
  EXPECT_TRUE(std::all_of(iso + 68 + iso[68], iso + 2048, [](std::uint8_t b) { return b == 0; }));
}

// A name set with system use bytes (as Rock Ridge would add): the layout sizes the extent with
// them and the writer puts them after the identifier's pad byte, in records that still never
// cross a sector.
TEST_F(HeaderTest, SystemUseBytesFollowTheIdentifierInLayoutAndRecords) {
  class TaggedSet final : public NameSet {
  public:
    explicit TaggedSet(const CharTable &chars)
        : NameSet(1, &TDirNode::Iso, &ImageLayout::Iso), iso_(chars) {}
    void PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const override {
      iso_.PutText(p, bytes, text);
    }
    std::uint32_t IdentifierBytes(const TEntryNode &e, bool inRecord) const override {
      return iso_.IdentifierBytes(e, inRecord);
    }
    void PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const override {
      iso_.PutIdentifier(p, e, inRecord);
    }
    std::uint32_t SystemUseBytes(const TEntryNode &) const override { return 10; }
    void PutSystemUse(std::uint8_t *p, const TEntryNode &e) const override {
      std::memcpy(p, "SU", 2);
      std::memcpy(p + 2, e.IsoIdentifier.data(), 8);
    }

  private:
    IsoNameSet iso_;
  };
  // FILE00.TXT;1: 33 + 12 + 1 + 10 = 56 bytes; 35 fit the first sector after "." and "..",
  // where 40 records of 46 bytes would all have fitted.
  AddNumberedFiles("D:\\F\\FILE%02d.TXT", 40);
  AddFolderContents("D:\\F");
  burner.SetJolietFileSystem(false);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  ImageLayout L = burner.Layout();
  ASSERT_EQ(Store().Dirs[0]->Iso.Size, 2048);

  const CharTable chars(fs);
  const TaggedSet tagged(chars);
  DirectoryExtents extents({&tagged});
  std::uint64_t next = L.Iso.DirArea;
  extents.Place(Store(), L, next);
  EXPECT_EQ(Store().Dirs[0]->Iso.Size, 4096);
  EXPECT_EQ(next, L.Iso.DirArea + 2u);
  THeaderStream stream;
  stream.Bytes().assign((next - L.StartSector) * 2048, 0);
  extents.Write(Store(), L, HeaderOutput(L, VolumeIdentifiers{}, fs.Clock, stream));

  const std::uint8_t *ext = stream.Data() + L.Iso.DirArea * 2048;
  std::size_t at = 68;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    if (i == 35) {
      EXPECT_EQ(ext[at], 0);
      at = 2048;
    }
    char name[16];
    std::snprintf(name, sizeof name, "FILE%02d.TXT", i);
    ASSERT_EQ(ext[at], 56);
    EXPECT_EQ(ext[at + 32], 12);
    EXPECT_EQ(Text(ext + at + 33, 12), std::string(name) + ";1");
    EXPECT_EQ(ext[at + 45], 0); // the pad byte
    EXPECT_EQ(Text(ext + at + 46, 10), "SU" + std::string(name, 8));
    at += 56;
  }
}

TEST_F(HeaderTest, RecordThatFillsItsSectorExactlyLeavesNoGap) {
  // 1,980 bytes after "." and "..": 45 records of 44 bytes (FILE00.TX;1, n = 11).
  AddNumberedFiles("D:\\F\\FILE%02d.TX", 46);
  AddFolderContents("D:\\F");
  burner.SetJolietFileSystem(false);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const std::uint8_t *ext = Sector(burner.Layout().Iso.DirArea);
  EXPECT_EQ(ext[68], 44);
  EXPECT_EQ(ext[68 + 44 * 44], 44); // the 45th ends exactly at 2,048
  EXPECT_EQ(ext[2048], 44);         // the 46th opens the next sector
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ext + 2048 + 33), 11), "FILE45.TX;1");
  EXPECT_EQ(Store().Dirs[0]->Iso.Size, 4096);
}

TEST_F(HeaderTest, NamesTooLongForTheirRecordsAreShortenedAndStayUnique) {
  const std::string longFolder(120, 'f');
  const std::string stem(110, 'n');
  fs.AddFolder("D:\\" + longFolder);
  fs.AddFile("D:\\" + longFolder + "\\" + stem + "1.txt", 1);
  fs.AddFile("D:\\" + longFolder + "\\" + stem + "2.txt", 1);
  fs.AddFile("D:\\" + longFolder + "\\" + std::string(95, 'n') + "~1.txt", 1);
  fs.AddFolder("D:\\" + std::string(230, 'g'));
  burner.InsertFolder("\\", "D:\\", false, false, true, kAllAttributes, "*.*");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));

  TDirNode *folder = burner.FindDir("\\" + longFolder);
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->Entry->JolietIdentifier, std::u16string(103, u'f'));
  EXPECT_EQ(folder->Entry->IsoIdentifier, std::string(120, 'F')); // fits an ISO record
  std::vector<std::u16string> names;
  for (TEntryNode *e = folder->FirstChild; e; e = e->Next) {
    EXPECT_LE(e->JolietIdentifier.size(), 101u);
    names.push_back(e->JolietIdentifier);
  }
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[2], std::u16string(95, u'n') + u"~1.txt"); // fitted already: kept
  EXPECT_EQ(names[0], std::u16string(97, u'n') + u".txt");
  EXPECT_EQ(names[1], std::u16string(95, u'n') + u"~2.txt");
  TDirNode *g = burner.FindDir("\\" + std::string(230, 'g'));
  EXPECT_EQ(g->Entry->IsoIdentifier, std::string(221, 'G'));
  EXPECT_EQ(g->Entry->JolietIdentifier.size(), 103u);

  // The Joliet path-table record of the long folder holds 103 units.
  const std::uint8_t *t = Sector(burner.Layout().Joliet.LTable);
  std::size_t pos = 10;
  bool found = false;
  for (int i = 1; i < Store().DirCount; ++i) {
    if (Store().PathOrder[i] == folder) {
      EXPECT_EQ(t[pos], 206);
      found = true;
    }
    pos += 8 + t[pos];
  }
  EXPECT_TRUE(found);
  // Every record of the folder's Joliet extent stays within 255 bytes.
  const std::uint8_t *ext = Sector(burner.Layout().Joliet.DirArea + folder->Joliet.Sector);
  EXPECT_EQ(ext[68], 33 + 2 * 103 + 1);
}

TEST_F(HeaderTest, SameIsoNameFromTwoFoldersGetsAMark) {
  fs.AddFile("D:\\A\\long name one.txt", 1, "LONGNA~1.TXT");
  fs.AddFile("D:\\B\\long name two.txt", 1, "LONGNA~1.TXT");
  AddFileItem("D:\\A\\long name one.txt");
  AddFileItem("D:\\B\\long name two.txt");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(Entry("\\", "long name one.txt")->IsoIdentifier, "LONGNA~1.TXT");
  EXPECT_EQ(Entry("\\", "long name two.txt")->IsoIdentifier, "LONGNA~1~1.TXT");
}

// A bootable image: the boot record takes the sector after the primary descriptor, the catalog
// the one after the directories; the copy of the boot image carries the boot info table, its
// source stays as it is.
TEST_F(HeaderTest, BootRecordCatalogAndInfoTable) {
  struct Case {
    std::uint32_t Size;
    bool NoEmulation, Joliet, InfoTable;
    std::uint8_t Media;
    std::uint16_t LoadSectors;
    std::uint32_t Terminator, Catalog;
  } cases[] = {
      {6001, true, true, true, 0, 4, 19, 28}, // a short last word in the checksum
      {1228800, false, false, false, 1, 1, 18, 23},
      {1474560, false, true, false, 2, 1, 19, 28},
      {2949120, false, true, true, 3, 1, 19, 28},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Size);
    burner.NewCompilation(600000, 20000);
    burner.SetJolietFileSystem(c.Joliet);
    const std::string folder = "D:\\boot" + std::to_string(c.Size);
    const std::string source = folder + "\\img";
    fs.AddFile(source, c.Size);
    AddFolderItem(folder);
    BootOptions options;
    options.ImagePath = "/boot" + std::to_string(c.Size) + "/IMG";
    options.NoEmulation = c.NoEmulation;
    options.InfoTable = c.InfoTable;
    ASSERT_EQ(burner.SetBootImage(options), "");
    ASSERT_TRUE(burner.PrepareImage(true, nullptr));

    const std::uint8_t *record = Sector(17);
    // The boot system identifier, "EL TORITO " and the standard's name, zero-padded.
    EXPECT_EQ(Text(record, 39), std::string("\0CD001\x01"
                                            "\x45\x4C\x20\x54\x4F\x52\x49\x54\x4F\x20\x53\x50"
                                            "\x45\x43\x49\x46\x49\x43\x41\x54\x49\x4F\x4E"
                                            "\0\0\0\0\0\0\0\0\0",
                                            39));
    EXPECT_EQ(Le32(record + 71), c.Catalog);
    EXPECT_TRUE(std::all_of(record + 75, record + 2048, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(Sector(18)[0], c.Joliet ? 2 : 255);
    EXPECT_EQ(Sector(c.Terminator)[0], 255);

    const std::uint8_t *catalog = Sector(c.Catalog);
    std::uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2)
      sum += Le16(catalog + i);
    EXPECT_EQ(sum % 65536, 0u);
    EXPECT_EQ(Text(catalog, 4), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(Text(catalog + 30, 2), "\x55\xAA");
    EXPECT_EQ(Text(catalog + 32, 6),
              std::string("\x88", 1) + static_cast<char>(c.Media) + std::string(4, '\0'));
    EXPECT_EQ(Le16(catalog + 38), c.LoadSectors);
    EXPECT_EQ(Le32(catalog + 40), 150u);
    EXPECT_TRUE(std::all_of(catalog + 44, catalog + 2048, [](std::uint8_t b) { return b == 0; }));
    const TEntryNode *entry = Entry("\\boot" + std::to_string(c.Size), "boot.cat");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->DataSector, static_cast<std::int32_t>(c.Catalog));
    EXPECT_EQ(entry->FileSize, 2048);

    ASSERT_TRUE(burner.WriteImage("out.iso", true));
    std::vector<std::uint8_t> expected(c.Size + 3, 0);
    for (std::uint32_t i = 0; i < c.Size; ++i)
      expected[i] = ContentByte(source, i);
    if (c.InfoTable) {
      std::uint32_t checksum = 0;
      for (std::uint32_t i = 64; i < c.Size; i += 4)
        checksum += Le32(expected.data() + i);
      const std::uint32_t table[4] = {16, 150, c.Size, checksum};
      std::fill(expected.begin() + 8, expected.begin() + 64, 0);
      std::memcpy(expected.data() + 8, table, sizeof table); // the test runs little-endian
    }
    expected.resize(c.Size);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), fs.Image.begin() + 150 * 2048));
  }
}

std::uint32_t Crc32(const std::uint8_t *p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (crc & 1 ? 0xEDB88320u : 0);
  }
  return ~crc;
}

// A GPT header read as firmware checks it: signature, its own CRC, where it and the other copy
// are, and the CRC of the entry array it points at (`array`).
void ExpectGptHeader(const std::uint8_t *h, std::uint64_t self, std::uint64_t other,
                     const std::uint8_t *array) {
  EXPECT_EQ(Text(h, 8), "EFI PART");
  std::uint8_t copy[92];
  std::memcpy(copy, h, 92);
  std::memset(copy + 16, 0, 4);
  EXPECT_EQ(Le32(h + 16), Crc32(copy, 92));
  EXPECT_EQ(Le64(h + 24), self);
  EXPECT_EQ(Le64(h + 32), other);
  EXPECT_EQ(Le32(h + 80) * Le32(h + 84), 248u * 128);
  EXPECT_EQ(Le32(h + 88), Crc32(array, 248 * 128));
}

// Several entries: sections follow the default entry by runs of one platform (0x90, the last
// 0x91); the validation entry names the first entry's platform; a UEFI image loads as xorriso
// says (whole 2048-byte sectors, 0 beyond the field) without emulation; every image asking for
// an info table gets its own. Hybrid: whole cylinders, the MBR code with the first BIOS image's
// block after it, the partitions, a GPT whose two copies firmware accepts; with UDF the last
// anchor stays 256 sectors before the end, clear of the backup GPT.
TEST_F(HeaderTest, BootSectionsAndHybridSystemArea) {
  fs.AddFile("D:\\src\\a.bin", 9001);
  fs.AddFile("D:\\src\\b.bin", 5000);
  fs.AddFile("D:\\src\\efi.img", 100000);             // 49 sectors: load size 196
  fs.AddFile("D:\\src\\huge.img", 16384u * 2048 - 1); // 65536 blocks: load size 0
  fs.AddFile("D:\\src\\fd.img", 1474560);
  fs.AddFile("D:\\mbr.bin", 432);
  struct Case {
    bool Udf, Gpt;
  } cases[] = {{false, false}, {false, true}, {true, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.Udf) + std::to_string(c.Gpt));
    burner.NewCompilation(600000, 20000);
    burner.SetUdfFileSystem(c.Udf);
    AddFolderContents("D:\\src");
    BootOptions efi;
    efi.ImagePath = "/efi.img";
    efi.Platform = BootPlatform::Efi;
    BootOptions first = efi;
    first.CatalogPath = "/boot.cat";
    ASSERT_EQ(burner.SetBootImage(first), "");
    BootOptions a;
    a.ImagePath = "/a.bin";
    a.NoEmulation = a.InfoTable = true;
    ASSERT_EQ(burner.AddBootImage(a), "");
    BootOptions b = a;
    b.ImagePath = "/b.bin";
    b.LoadSectors = 10;
    ASSERT_EQ(burner.AddBootImage(b), "");
    BootOptions huge = efi;
    huge.ImagePath = "/huge.img";
    ASSERT_EQ(burner.AddBootImage(huge), "");
    BootOptions fd;
    fd.ImagePath = "/fd.img";
    ASSERT_EQ(burner.AddBootImage(fd), "");
    ASSERT_EQ(burner.SetHybrid("D:\\mbr.bin", c.Gpt), "");
    ASSERT_TRUE(burner.PrepareImage(true, nullptr));
    const ImageLayout &L = burner.Layout();
    const auto sector = [&](const char *name) { return FileSector(L, *Entry("\\", name)); };

    const std::uint8_t *catalog = Sector(L.BootCatalogSector);
    EXPECT_EQ(Text(catalog, 2), "\x01\xEF");
    std::uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2)
      sum += Le16(catalog + i);
    EXPECT_EQ(sum % 65536, 0u);
    struct Row {
      std::uint8_t Head, Second;
      std::uint16_t Count;
      std::uint32_t Sector;
    };
    const Row rows[] = {
        {0x88, 0, 196, sector("efi.img")},
        {0x90, 0, 2, 0},
        {0x88, 0, 4, sector("a.bin")},
        {0x88, 0, 10, sector("b.bin")},
        {0x90, 0xEF, 1, 0},
        {0x88, 0, 0, sector("huge.img")},
        {0x91, 0, 1, 0},
        {0x88, 2, 1, sector("fd.img")},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
      const std::uint8_t *e = catalog + 32 * (i + 1);
      SCOPED_TRACE(i);
      EXPECT_EQ(e[0], rows[i].Head);
      EXPECT_EQ(e[1], rows[i].Second);
      if (e[0] == 0x88) {
        EXPECT_EQ(Le16(e + 6), rows[i].Count);
        EXPECT_EQ(Le32(e + 8), rows[i].Sector);
      } else {
        EXPECT_EQ(Le16(e + 2), rows[i].Count);
      }
    }
    EXPECT_TRUE(std::all_of(catalog + 32 * 9, catalog + 2048, [](std::uint8_t x) { return !x; }));

    const std::uint64_t end = L.ImageEnd;
    EXPECT_EQ(end % 512, 0u);
    EXPECT_EQ(Le32(Sector(16) + 80), end);
    const std::uint8_t *mbr = Sector(0);
    for (std::uint32_t i = 0; i < 432; ++i)
      ASSERT_EQ(mbr[i], ContentByte("D:\\mbr.bin", i)) << i;
    EXPECT_EQ(Le64(mbr + 432), std::uint64_t{sector("a.bin")} * 4);
    // Whole cylinders: the last block is head 63, sector 32 of cylinder end / 512 - 1.
    const std::uint32_t cylinder = static_cast<std::uint32_t>(end / 512 - 1);
    EXPECT_EQ(Text(mbr + 446, 8), std::string(c.Gpt ? "\x80\0\x01\0\0" : "\x80\0\x01\0\x17", 5) +
                                      "\x3F" + static_cast<char>(0x20 | ((cylinder >> 2) & 0xC0)) +
                                      static_cast<char>(cylinder & 0xFF));
    EXPECT_EQ(Le32(mbr + 446 + 8), 0u);
    EXPECT_EQ(Le32(mbr + 446 + 12), end * 4);
    EXPECT_EQ(Text(mbr + 510, 2), "\x55\xAA");
    const std::vector<std::uint8_t> &trailer = burner.HeaderStream().Trailer();
    ASSERT_EQ(trailer.size(), (end - L.FirstFileSector - L.FileSectors) * 2048);
    if (c.Udf) {
      EXPECT_EQ(L.Udf.LastAnchorSector, end - 257);
      ExpectTag(trailer.data() + (trailer.size() - 257 * 2048), 2, L.Udf.LastAnchorSector);
    }
    if (!c.Gpt) {
      EXPECT_TRUE(std::all_of(mbr + 462, mbr + 510, [](std::uint8_t x) { return !x; }));
      EXPECT_TRUE(std::all_of(Sector(0) + 512, Sector(16), [](std::uint8_t x) { return !x; }));
      continue;
    }
    const std::uint8_t *part = mbr + 462;
    EXPECT_EQ(Text(part, 8), "\0\xFE\xFF\xFF\xEF\xFE\xFF\xFF"s);
    EXPECT_EQ(Le32(part + 8), sector("efi.img") * 4);
    EXPECT_EQ(Le32(part + 12), 196u);
    const std::uint8_t *array = Sector(0) + 1024;
    ExpectGptHeader(Sector(0) + 512, 1, end * 4 - 1, array);
    EXPECT_EQ(Le64(Sector(0) + 512 + 40), 64u);
    EXPECT_EQ(Le64(Sector(0) + 512 + 48), end * 4 - 64);
    EXPECT_EQ(Le64(array + 32), 0u);
    EXPECT_EQ(Le64(array + 40), end * 4 - 65);
    EXPECT_EQ(Le64(array + 128 + 32), sector("efi.img") * 4u);
    EXPECT_EQ(Le64(array + 128 + 40), sector("efi.img") * 4u + 195);
    EXPECT_TRUE(std::all_of(array + 256, array + 248 * 128, [](std::uint8_t x) { return !x; }));
    const std::uint8_t *backup = trailer.data() + trailer.size() - 512;
    EXPECT_TRUE(std::equal(array, array + 248 * 128, backup - 248 * 128));
    ExpectGptHeader(backup, end * 4 - 1, 1, backup - 248 * 128);
    EXPECT_EQ(Le64(backup + 72), end * 4 - 63);

    ASSERT_TRUE(burner.WriteImage("out.iso", true));
    for (const char *name : {"a.bin", "b.bin"}) {
      const std::uint8_t *copy = fs.Image.data() + std::size_t{sector(name)} * 2048;
      EXPECT_EQ(Le32(copy + 8), 16u) << name;
      EXPECT_EQ(Le32(copy + 12), sector(name)) << name;
    }
    EXPECT_EQ(fs.Image.size(), end * 2048);
  }
}

TEST_F(HeaderTest, WriteImagePadsEachFileAndReportsErrors) {
  fs.AddFile("D:\\a.bin", 2048);
  fs.AddFile("D:\\b.bin", 5);
  AddFileItem("D:\\a.bin");
  AddFileItem("D:\\b.bin");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  std::vector<std::string> done;
  burner.OnWriteDone = [&](TKavoBurner *, const std::string &error) { done.push_back(error); };
  ASSERT_TRUE(burner.WriteImage("out.iso", true));
  EXPECT_EQ(burner.ISOFileName(), "out.iso");
  ASSERT_EQ(fs.Image.size(), 152u * 2048);
  EXPECT_EQ(fs.Image[151 * 2048 + 4], ContentByte("D:\\b.bin", 4));
  EXPECT_TRUE(std::all_of(fs.Image.begin() + 151 * 2048 + 5, fs.Image.end(),
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(done, std::vector<std::string>{""});

  fs.Remove("D:\\b.bin");
  EXPECT_FALSE(burner.WriteImage("out.iso", true));
  EXPECT_EQ(done.back(), "CAN'T OPEN FILE \"D:\\b.bin\" OR FILE IS IN USES BY OTHER SOFTWARE");
}

} // namespace
} // namespace velmor::testing

namespace velmor::testing {
namespace {

// The UDF bridge read back from both anchors: every descriptor's tag, checksum and CRC, both
// sequences, the closed integrity with its counts, and the tree from the file set down. A file
// of 4.5 GiB is one entry with extents of at most 2^30 - 2048 bytes over the data its ISO 9660
// records name (512 GiB: continued in allocation extents); names are whole (109 characters, no
// "." added); empty files have no extent.
TEST_F(HeaderTest, UdfBridgeReadsBackFromBothAnchors) {
  std::u16string longName(20, u'\u957F');
  longName += std::u16string(85, u'n') + u".txt";
  std::string longUtf8;
  for (int i = 0; i < 20; ++i)
    longUtf8 += "\xE9\x95\xBF";
  longUtf8 += std::string(85, 'n') + ".txt";
  const std::uint64_t big = 4831838208;    // 4.5 GiB
  const std::uint64_t huge = 549755813888; // 512 GiB: 513 extents, two allocation extents
  fs.AddFile("D:\\src\\big.bin", big);
  fs.AddFile("D:\\src\\huge.bin", huge);
  fs.AddFile("D:\\src\\empty.bin", 0);
  fs.AddFile("D:\\src\\noext", 5);
  fs.AddFile("D:\\src\\" + longUtf8, 3, "", kAttrArchive | kAttrHidden);
  fs.AddFile("D:\\src\\deep\\a\\b\\leaf.txt", 1);
  fs.AddFolder("D:\\src\\hollow");
  AddFolderContents("D:\\src");
  burner.SetUdfFileSystem(true);
  burner.SetIdVolume("udf label");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  const std::uint32_t P = L.Udf.PartitionStart;
  EXPECT_EQ(L.Udf.AnchorSector, 256u);
  EXPECT_EQ(P, 257u);
  EXPECT_EQ(Le32(Sector(16) + 80), L.ImageEnd) << "the ISO volume ends with the last anchor";

  const char *const recognition[3] = {"BEA01", "NSR02", "TEA01"};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Text(Sector(L.TerminatorSector + 1 + i), 7),
              std::string(1, '\0') + recognition[i] + "\x01");

  const std::vector<std::uint8_t> &trailer = burner.HeaderStream().Trailer();
  ASSERT_EQ(trailer.size(), L.TrailerSectors * 2048u);
  const std::uint8_t *last = trailer.data() + trailer.size() - 2048;
  ExpectTag(Sector(256), 2, 256);
  ExpectTag(last, 2, static_cast<std::uint32_t>(L.ImageEnd - 1));
  EXPECT_TRUE(std::equal(last + 16, last + 2048, Sector(256) + 16));
  const std::uint32_t sequences[2] = {Le32(Sector(256) + 20), Le32(Sector(256) + 28)};
  EXPECT_EQ(Le32(Sector(256) + 16), 16u * 2048);
  EXPECT_NE(sequences[0], sequences[1]);

  std::uint32_t fileSet = 0, integrity = 0;
  for (std::uint32_t first : sequences) {
    const std::uint16_t ids[6] = {1, 4, 5, 6, 7, 8};
    for (std::uint32_t i = 0; i < 6; ++i)
      ExpectTag(Sector(first + i), ids[i], first + i);
    EXPECT_EQ(Cs0(Sector(first) + 24, Sector(first)[24 + 31]), u"udf label");
    const std::uint8_t *pd = Sector(first + 2);
    EXPECT_EQ(Text(pd + 25, 6), "+NSR02");
    EXPECT_EQ(Le32(pd + 188), P);
    EXPECT_EQ(Le32(pd + 188) + Le32(pd + 192), L.ImageEnd - 1);
    const std::uint8_t *lvd = Sector(first + 3);
    EXPECT_EQ(Le32(lvd + 212), 2048u);
    EXPECT_EQ(Text(lvd + 217, 19), "*OSTA UDF Compliant");
    EXPECT_EQ(Le16(lvd + 216 + 24), 0x0102);
    fileSet = Le32(lvd + 252);
    integrity = Le32(lvd + 436);
  }
  const std::uint8_t *lvid = Sector(integrity);
  ExpectTag(lvid, 9, integrity);
  EXPECT_EQ(Le32(lvid + 28), 1u) << "closed";
  EXPECT_EQ(Le32(lvid + 84), L.ImageEnd - 1 - P);
  EXPECT_EQ(Le32(lvid + 120), 6u); // files
  EXPECT_EQ(Le32(lvid + 124), 5u); // folders with the root

  const std::uint8_t *fsd = Sector(P + fileSet);
  ExpectTag(fsd, 256, fileSet);
  std::map<std::u16string, std::uint64_t> found; // path, size (folders: ~0)
  std::vector<std::pair<std::uint32_t, std::u16string>> folders{{Le32(fsd + 404), u""}};
  for (std::size_t f = 0; f < folders.size(); ++f) {
    const auto [block, path] = folders[f];
    const std::uint8_t *fe = Sector(P + block);
    ExpectTag(fe, 261, block);
    ASSERT_EQ(fe[27], 4) << "a folder";
    ASSERT_EQ(Le32(fe + 172), 8u);
    const std::uint32_t length = Le32(fe + 176), at = Le32(fe + 180);
    EXPECT_EQ(Le64(fe + 56), length);
    for (std::uint32_t offset = 0; offset < length;) {
      const std::uint8_t *fid = Sector(P + at) + offset;
      ExpectTag(fid, 257, at + offset / 2048);
      const std::uint8_t nameBytes = fid[19];
      const std::u16string name = Cs0(fid + 38, nameBytes);
      const std::uint32_t child = Le32(fid + 24);
      offset += (38 + nameBytes + 3) & ~3u;
      if (fid[18] & 0x08)
        continue; // the parent
      const std::u16string childPath = path + u"/" + name;
      if (fid[18] & 0x02) {
        folders.push_back({child, childPath});
        found[childPath] = ~std::uint64_t{0};
        continue;
      }
      EXPECT_EQ(fid[18] & 0x01, name == longName ? 1 : 0) << "hidden";
      const std::uint8_t *file = Sector(P + child);
      ExpectTag(file, 261, child);
      EXPECT_EQ(file[27], 5);
      EXPECT_EQ(Le16(file + 84), 0x1000 | 480) << "local time, UTC+8";
      const std::uint64_t size = Le64(file + 56);
      found[childPath] = size;
      // The descriptors, followed into allocation extents (type 3) where the entry is full.
      std::vector<std::pair<std::uint32_t, std::uint32_t>> ads; // length, block
      const std::uint8_t *list = file + 176;
      std::uint32_t count = Le32(file + 172) / 8;
      for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint8_t *ad = list + 8 * k;
        if (Le32(ad) >> 30 == 3) {
          const std::uint32_t at = Le32(ad + 4);
          const std::uint8_t *aed = Sector(P + at);
          ExpectTag(aed, 258, at);
          list = aed + 24;
          count = Le32(aed + 20) / 8;
          k = ~0u;
          continue;
        }
        ads.push_back({Le32(ad), Le32(ad + 4)});
      }
      EXPECT_EQ(ads.size(), (size + 0x3FFFF7FF) / 0x3FFFF800);
      std::uint64_t total = 0;
      for (std::size_t k = 0; k < ads.size(); ++k) {
        EXPECT_LE(ads[k].first, 0x3FFFF800u);
        if (k > 0) {
          EXPECT_EQ(ads[k].second, ads[k - 1].second + ads[k - 1].first / 2048)
              << "extents follow each other";
        }
        total += ads[k].first;
      }
      EXPECT_EQ(total, size);
      if (!ads.empty()) {
        const TDirNode *dir = burner.FindDir(path.empty() ? "\\" : "\\deep\\a\\b");
        const TEntryNode *entry = nullptr;
        for (const TEntryNode *e = dir->FirstChild; e; e = e->Next)
          if (fs.AnsiToUtf16(e->LongName).rfind(name, 0) == 0)
            entry = e;
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(ads[0].second + P, FileSector(L, *entry)) << "the ISO records' data";
      }
    }
  }
  const std::u16string deep = u"/deep/a/b/leaf.txt";
  EXPECT_EQ(found, (std::map<std::u16string, std::uint64_t>{{u"/big.bin", big},
                                                            {u"/huge.bin", huge},
                                                            {u"/empty.bin", 0},
                                                            {u"/noext", 5},
                                                            {u"/" + longName, 3},
                                                            {u"/deep", ~std::uint64_t{0}},
                                                            {u"/deep/a", ~std::uint64_t{0}},
                                                            {u"/deep/a/b", ~std::uint64_t{0}},
                                                            {deep, 1},
                                                            {u"/hollow", ~std::uint64_t{0}}}));

  // Streamed in order a sector at a time, as a write reads it, the header is what its sectors
  // read one by one above, also where a sector continues an entry's allocation extents.
  THeaderStream &stream = burner.HeaderStream();
  ASSERT_EQ(stream.Size(), std::uint64_t{L.FirstFileSector} * 2048);
  ASSERT_LT(stream.StoredSize(), stream.Size()) << "the files' entries are made, not kept";
  std::vector<std::uint8_t> inOrder(static_cast<std::size_t>(stream.Size()));
  for (std::size_t at = 0; at < inOrder.size(); at += 2048)
    stream.Read(at, 2048, inOrder.data() + at);
  for (std::uint32_t s = L.FirstFileSector; s-- > 0;)
    ASSERT_TRUE(std::equal(inOrder.begin() + s * 2048, inOrder.begin() + (s + 1) * 2048, Sector(s)))
        << "sector " << s;
}

// Whole headers (every sector before the files, the made ones too, and the trailer) of a set of
// trees, by digest: what the unit tests above do not pin down (every byte of every structure
// together) stays as it was. The digests change only with a deliberate change of what images
// look like; the new ones are in the failure's message.
TEST_F(HeaderTest, ImagesKeepEveryByte) {
  struct Case {
    const char *Name;
    bool Joliet, Udf, DoubleByte;
    const char *Boot; // the boot image's path in the image, or null
    bool NoEmulation;
    std::uint64_t Digest;
  };
  const Case cases[] = {
      {"joliet", true, false, false, nullptr, false, 0x624AF59E876B53AB},
      {"iso only", false, false, false, nullptr, false, 0x329F3A4140B3173B},
      {"joliet, gbk", true, false, true, nullptr, false, 0xFA09AE956BD581F3},
      {"udf", true, true, false, nullptr, false, 0x57EE966B9264AF81},
      {"udf, gbk", true, true, true, nullptr, false, 0xE08CBD9DE3A6A4E9},
      {"no emulation, udf", true, true, false, "/BOOT/LOADER.BIN", true, 0xD0993798F138E86A},
      {"floppy, iso only", false, false, false, "/BOOT/FD144.IMG", false, 0x2FDF503DD8575D45},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    MockPlatform tree;
    tree.DoubleByteCodePage = c.DoubleByte;
    TKavoBurner b(tree);
    b.NewCompilation(600000, 20000);
    b.SetJolietFileSystem(c.Joliet);
    b.SetUdfFileSystem(c.Udf);
    b.SetIdVolume(c.DoubleByte ? "\xD6\xD0\xCE\xC4 disc" : "Every Byte");
    tree.AddFolder("D:\\src\\HiddenFolder", "HIDDEN~1", kAttrDirectory | kAttrHidden);
    tree.AddFile("D:\\src\\HiddenFolder\\inside.txt", 5, "", kAttrArchive | kAttrHidden);
    tree.AddFile("D:\\src\\Long File Name.document", 3000, "LONGFI~1.DOC");
    tree.AddFile("D:\\src\\" + std::string(110, 'n') + ".txt", 1);
    tree.AddFolder("D:\\src\\" + std::string(120, 'f'));
    tree.AddFile("D:\\src\\" + std::string(120, 'f') + "\\x", 1);
    tree.AddFile("D:\\src\\\xD6\xD0\xCE\xC4.TXT", 7);
    tree.AddFile("D:\\src\\empty", 0);
    tree.AddFolder("D:\\src\\empty folder");
    tree.AddFile("D:\\src\\huge.bin", (std::uint64_t{5} << 30) + 12345);
    std::string deep = "D:\\src";
    for (int level = 0; level < 10; ++level) {
      deep += "\\level" + std::to_string(level);
      tree.AddFolder(deep);
    }
    tree.AddFile(deep + "\\bottom.txt", 2);
    for (int i = 0; i < 120; ++i) {
      const std::string folder = "D:\\src\\many\\folder with a longer name " + std::to_string(i);
      tree.AddFolder(folder);
      tree.AddFile(folder + "\\file.txt", static_cast<std::uint64_t>(i));
    }
    for (int i = 0; i < 200; ++i)
      tree.AddFile("D:\\src\\many\\file number " + std::to_string(i) + ".dat", 100);
    tree.AddFile("D:\\src\\BOOT\\LOADER.BIN", 9001);
    tree.AddFile("D:\\src\\BOOT\\FD144.IMG", 1474560);
    b.InsertFolder("\\", "D:\\src", false, false, true, kAllAttributes, "*.*");
    if (c.Boot) {
      BootOptions options;
      options.ImagePath = c.Boot;
      options.NoEmulation = c.NoEmulation;
      options.InfoTable = c.NoEmulation;
      ASSERT_EQ(b.SetBootImage(options), "");
    }
    ASSERT_TRUE(b.PrepareImage(true, nullptr));
    ASSERT_EQ(TKavoBurner::Compilation().EntryCount, c.Boot ? 466 : 465); // and the boot catalog

    THeaderStream &header = b.HeaderStream();
    std::uint64_t digest = 0xCBF29CE484222325u; // FNV-1a
    const auto add = [&](const std::uint8_t *p, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i)
        digest = (digest ^ p[i]) * 0x100000001B3u;
    };
    std::vector<std::uint8_t> sector(2048);
    for (std::uint64_t at = 0; at < header.Size(); at += sector.size()) {
      header.Read(at, sector.size(), sector.data());
      add(sector.data(), sector.size());
    }
    add(header.Trailer().data(), header.Trailer().size());
    const std::uint64_t sectors = b.Layout().ImageSectorCount;
    add(reinterpret_cast<const std::uint8_t *>(&sectors), sizeof sectors);
    EXPECT_EQ(digest, c.Digest) << std::hex << "0x" << digest;
  }
}

} // namespace
} // namespace velmor::testing
