// Images written by the builder read back as trees (through UDF, Joliet or ISO 9660), imported
// and written again; and damaged images, each giving its fault instead of a tree.
#include <algorithm>
#include <cstring>

#include "builder_fixture.h"
#include "byte_order.h"
#include "image_import.h"

namespace velmor::testing {
namespace {

// Where the Joliet root's record is, in the supplementary descriptor.
std::size_t JolietRoot(const std::vector<std::uint8_t> &image) {
  std::size_t s = 16;
  while (image[s * 2048] != 2)
    ++s;
  return s * 2048 + 156;
}

class MemoryBytes : public ImageBytes {
public:
  explicit MemoryBytes(const std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void *buffer, std::size_t count) override {
    if (offset > bytes_.size() || count > bytes_.size() - offset)
      return false;
    std::memcpy(buffer, bytes_.data() + offset, count);
    return true;
  }

private:
  const std::vector<std::uint8_t> &bytes_;
};

// The in-memory files, with one more: an image written before, served from memory.
class ImagePlatform : public MockPlatform {
public:
  std::vector<std::uint8_t> Old;
  bool Stat(const std::string &path, ListingRecord &out) override {
    if (path != "E:\\old.iso")
      return MockPlatform::Stat(path, out);
    out = {};
    out.Name = "old.iso";
    out.Size = Old.size();
    return true;
  }
  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    if (path != "E:\\old.iso")
      return MockPlatform::OpenRead(path);
    struct Reader : SourceFile {
      const std::vector<std::uint8_t> &bytes;
      std::size_t at = 0;
      explicit Reader(const std::vector<std::uint8_t> &b) : bytes(b) {}
      std::int64_t Read(void *buffer, std::size_t count) override {
        const std::size_t n = std::min(count, bytes.size() - std::min(at, bytes.size()));
        std::memcpy(buffer, bytes.data() + at, n);
        at += n;
        return static_cast<std::int64_t>(n);
      }
    };
    return std::make_unique<Reader>(Old);
  }
};

class ImportTest : public ::testing::Test {
protected:
  ImagePlatform fs;
  TKavoBurner burner{fs};

  // A tree with a hidden file, an empty one, a nested folder and an isolinux-style boot image;
  // written with the name sets asked for.
  std::vector<std::uint8_t> Written(bool joliet, bool udf) {
    fs.AddFolder("D:\\t");
    fs.AddFolder("D:\\t\\sub");
    fs.AddFolder("D:\\t\\sub\\deep");
    fs.AddFile("D:\\t\\sub\\deep\\data.bin", 70001);
    fs.AddFile("D:\\t\\hidden.txt", 5, "", kAttrArchive | kAttrHidden);
    fs.AddFile("D:\\t\\empty.txt", 0);
    fs.AddFile("D:\\t\\loader.bin", 9001);
    burner.NewCompilation(600000, 20000);
    burner.SetJolietFileSystem(joliet);
    burner.SetUdfFileSystem(udf);
    burner.InsertFolder("\\", "D:\\t", false, false, true, kAllAttributes, "*.*");
    BootOptions boot;
    boot.ImagePath = "/loader.bin";
    boot.NoEmulation = true;
    boot.InfoTable = true;
    EXPECT_EQ(burner.SetBootImage(boot), "");
    EXPECT_TRUE(burner.PrepareImage(true, nullptr));
    EXPECT_TRUE(burner.WriteImage("out.iso", true));
    return fs.Image;
  }

  std::string Read(const std::vector<std::uint8_t> &image, ImportedImage &tree) {
    MemoryBytes bytes(image);
    return ReadImageTree(bytes, tree);
  }

  static std::int32_t Find(const ImportedImage &tree, const std::u16string &name) {
    for (std::size_t i = 0; i < tree.Nodes.size(); ++i)
      if (tree.Nodes[i].Name == name)
        return static_cast<std::int32_t>(i);
    return -1;
  }
};

TEST_F(ImportTest, ReadsEachNameSetBackAsWritten) {
  const struct {
    bool Joliet, Udf;
    const char *Names;
    std::u16string Loader;
  } cases[] = {
      {true, true, "UDF", u"loader.bin"},
      {true, false, "Joliet", u"loader.bin"},
      {false, false, "ISO 9660", u"LOADER.BIN"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Names);
    const std::vector<std::uint8_t> image = Written(c.Joliet, c.Udf);
    ImportedImage tree;
    ASSERT_EQ(Read(image, tree), "");
    EXPECT_STREQ(tree.Names, c.Names);
    ASSERT_EQ(tree.Nodes.size(), 8u); // root, 2 folders, 4 files, the catalog
    const std::int32_t data = Find(tree, c.Joliet ? u"data.bin" : u"DATA.BIN");
    ASSERT_GE(data, 0);
    const ImportedNode &file = tree.Nodes[static_cast<std::size_t>(data)];
    EXPECT_EQ(file.Size, 70001u);
    EXPECT_FALSE(file.Hidden || file.Scattered);
    for (std::uint64_t at : {0ull, 4095ull, 70000ull})
      EXPECT_EQ(image[file.Offset + at], ContentByte("D:\\t\\sub\\deep\\data.bin", at));
    const ImportedNode &deep = tree.Nodes[static_cast<std::size_t>(file.Parent)];
    EXPECT_TRUE(deep.Folder);
    EXPECT_EQ(tree.Nodes[static_cast<std::size_t>(deep.Parent)].Parent, 0);
    // The mock's local time is UTC+8, recorded with its offset.
    ListingRecord listed;
    ASSERT_TRUE(fs.Stat("D:\\t\\sub\\deep\\data.bin", listed));
    EXPECT_NEAR(file.Utc, listed.LastWrite - 8 / 24.0, 1e-6);
    EXPECT_TRUE(
        tree.Nodes[static_cast<std::size_t>(Find(tree, c.Joliet ? u"hidden.txt" : u"HIDDEN.TXT"))]
            .Hidden);
    ASSERT_EQ(tree.Boot.size(), 1u);
    const ImportedBootEntry &boot = tree.Boot[0];
    EXPECT_EQ(boot.Platform, 0);
    EXPECT_EQ(boot.Media, 0);
    EXPECT_EQ(boot.LoadSectors, 4);
    EXPECT_TRUE(boot.InfoTable);
    EXPECT_EQ(boot.Node, Find(tree, c.Loader));
    EXPECT_EQ(boot.Bytes, 9001u);
    EXPECT_EQ(tree.CatalogNode, Find(tree, c.Joliet ? u"boot.cat" : u"BOOT.CAT"));
  }
}

// Imported with a folder removed and written again: the files left come from the old image's
// bytes, the boot entry stays and its info table names the boot image's new sector.
TEST_F(ImportTest, ImportedImageIsWrittenAgainFromItsOwnBytes) {
  fs.Old = Written(true, true);
  burner.NewCompilation(600000, 20000);
  ImportResult result = ImportImage(burner, fs, {"E:\\old.iso", {"/SUB"}});
  ASSERT_EQ(result.Fault, "");
  EXPECT_TRUE(result.LeftOut.empty());
  EXPECT_EQ(burner.FindDir("\\sub"), nullptr);
  fs.AddFile("D:\\added.txt", 3);
  burner.InsertFile("\\", "D:\\added.txt", false);
  ASSERT_EQ(KeepImportedBoot(burner, result), "");
  burner.SetUdfFileSystem(true);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  ASSERT_TRUE(burner.WriteImage("out.iso", true));

  ImportedImage tree;
  ASSERT_EQ(Read(fs.Image, tree), "");
  EXPECT_EQ(tree.Nodes.size(), 6u); // root, 3 files left, the catalog, the file added
  const ImportedNode &loader = tree.Nodes[static_cast<std::size_t>(Find(tree, u"loader.bin"))];
  ASSERT_EQ(tree.Boot.size(), 1u);
  EXPECT_EQ(tree.Boot[0].Node, Find(tree, u"loader.bin"));
  EXPECT_EQ(ReadLe32(&fs.Image[loader.Offset + 12]), loader.Offset / 2048); // the new place
  EXPECT_EQ(fs.Image[loader.Offset + 100], ContentByte("D:\\t\\loader.bin", 100));
  EXPECT_TRUE(tree.Nodes[static_cast<std::size_t>(Find(tree, u"hidden.txt"))].Hidden);

  burner.NewCompilation(600000, 20000);
  EXPECT_EQ(ImportImage(burner, fs, {"E:\\old.iso", {"/sub/none.txt"}}).Fault,
            "/sub/none.txt: not in the image E:\\old.iso");
}

// A boot image that no file of the tree holds (its file's record points elsewhere) comes along
// as a hidden file of the root with what the entry loads, and the new image boots from it.
TEST_F(ImportTest, BootImageOutsideTheTreeBecomesAHiddenFile) {
  fs.Old = Written(true, false);
  const std::size_t root = ReadLe32(&fs.Old[JolietRoot(fs.Old) + 2]) * std::size_t{2048};
  std::uint32_t hidden = 0;
  for (std::size_t at = root; fs.Old[at]; at += fs.Old[at])
    if (fs.Old[at + 32] == 24 && fs.Old[at + 34] == 'h') // "hidden.txt;1"
      hidden = ReadLe32(&fs.Old[at + 2]);
  for (std::size_t at = root; fs.Old[at]; at += fs.Old[at])
    if (fs.Old[at + 32] == 24 && fs.Old[at + 34] == 'l') // "loader.bin;1"
      velmor::Le32(&fs.Old[at + 2], hidden);
  ImportedImage old;
  ASSERT_EQ(Read(fs.Old, old), "");
  ASSERT_EQ(old.Boot.size(), 1u);
  EXPECT_EQ(old.Boot[0].Node, -1);
  std::vector<std::uint8_t> loads(2048);
  std::memcpy(loads.data(), &fs.Old[old.Boot[0].ImageSector * std::size_t{2048}], loads.size());

  burner.NewCompilation(600000, 20000);
  ImportResult result = ImportImage(burner, fs, {"E:\\old.iso", {}});
  ASSERT_EQ(result.Fault, "");
  ASSERT_EQ(result.Boot.size(), 1u);
  EXPECT_EQ(result.Boot[0].ImagePath, "/boot.img");
  ASSERT_EQ(KeepImportedBoot(burner, result), "");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  ASSERT_TRUE(burner.WriteImage("out.iso", true));

  ImportedImage tree;
  ASSERT_EQ(Read(fs.Image, tree), "");
  const std::int32_t boot = Find(tree, u"boot.img");
  ASSERT_GE(boot, 0);
  EXPECT_TRUE(tree.Nodes[static_cast<std::size_t>(boot)].Hidden);
  ASSERT_EQ(tree.Boot.size(), 1u);
  EXPECT_EQ(tree.Boot[0].Node, boot);
  const std::size_t at = tree.Nodes[static_cast<std::size_t>(boot)].Offset;
  EXPECT_EQ(tree.Nodes[static_cast<std::size_t>(boot)].Size, 2048u);
  EXPECT_EQ(ReadLe32(&fs.Image[at + 12]), at / 2048); // its info table names its new place
  EXPECT_TRUE(std::equal(loads.begin() + 64, loads.end(), fs.Image.begin() + at + 64));
}

// Damage made to a written image, and the fault it must give.
TEST_F(ImportTest, DamagedImagesGiveTheirFault) {
  const struct Case {
    const char *Name;
    bool Udf;
    // Damages the image, given the sector of each structure of interest.
    void (*Damage)(std::vector<std::uint8_t> &image);
    const char *Fault;
  } cases[] = {
      {"cut before the descriptors", false,
       [](std::vector<std::uint8_t> &i) { i.resize(16 * 2048); }, "too small"},
      {"a folder that holds its parent", false,
       [](std::vector<std::uint8_t> &i) {
         // The Joliet root's "sub" record points at the root's own records.
         const std::uint32_t root = ReadLe32(&i[JolietRoot(i) + 2]);
         for (std::size_t at = root * 2048; at < root * 2048 + 2048 && i[at]; at += i[at])
           if (i[at + 25] & 2 && i[at + 32] == 6)
             velmor::Le32(&i[at + 2], root);
       },
       "loop"},
      {"a file past the end", false,
       [](std::vector<std::uint8_t> &i) {
         const std::uint32_t root = ReadLe32(&i[JolietRoot(i) + 2]);
         for (std::size_t at = root * 2048; at < root * 2048 + 2048 && i[at]; at += i[at])
           if (!(i[at + 25] & 2) && i[at + 32] > 2)
             velmor::Le32(&i[at + 2], 0x00FFFFFF);
       },
       "past the end of the image"},
      {"a folder of absurd size", false,
       [](std::vector<std::uint8_t> &i) { velmor::Le32(&i[JolietRoot(i) + 10], 0xFFFFF800); },
       "bytes of records"},
      {"a record shorter than its name", false,
       [](std::vector<std::uint8_t> &i) {
         const std::uint32_t root = ReadLe32(&i[JolietRoot(i) + 2]);
         i[root * 2048 + 34 + 34] = 20; // the first record after "." and ".."
       },
       "damaged record"},
      {"a catalog with a wrong checksum", false,
       [](std::vector<std::uint8_t> &i) { ++i[ReadLe32(&i[17 * 2048 + 71]) * 2048 + 28]; },
       "boot catalog at sector"},
      {"a UDF file entry with a wrong tag", true,
       [](std::vector<std::uint8_t> &i) {
         for (std::size_t at = 257 * 2048; at < i.size(); at += 2048)
           if (i[at] == 5 && i[at + 1] == 1 && i[at + 27] == 5) { // a file's entry
             ++i[at + 4];
             return;
           }
       },
       "damaged file entry"},
      {"a UDF folder that holds the root", true,
       [](std::vector<std::uint8_t> &i) {
         // Every folder identifier naming "sub" points at the root's file entry.
         std::uint32_t rootBlock = 0;
         for (std::size_t at = 257 * 2048; at < i.size(); at += 2048)
           if (i[at] == 0 && i[at + 1] == 1)
             rootBlock = ReadLe32(&i[at + 404]);
         for (std::size_t at = 257 * 2048; at + 44 < i.size(); ++at)
           if (i[at] == 1 && i[at + 1] == 1 && (i[at + 18] & 2) && i[at + 19] == 4 &&
               std::memcmp(&i[at + 39], "sub", 3) == 0) {
             velmor::Le32(&i[at + 24], rootBlock);
             std::uint8_t sum = 0;
             for (int k = 0; k < 16; ++k)
               sum = static_cast<std::uint8_t>(sum + (k == 4 ? 0 : i[at + k]));
             i[at + 4] = sum;
           }
       },
       "loop"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::uint8_t> image = Written(true, c.Udf);
    c.Damage(image);
    ImportedImage tree;
    const std::string fault = Read(image, tree);
    EXPECT_NE(fault.find(c.Fault), std::string::npos) << fault;
    EXPECT_TRUE(tree.Nodes.empty());
  }
}

} // namespace
} // namespace velmor::testing
