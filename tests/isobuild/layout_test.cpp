// Sector positions and sizes of the layout, checked against hand-computed images.
#include <algorithm>
#include <random>

#include "builder_fixture.h"

namespace velmor::testing {
namespace {

using LayoutTest = BuilderTest;

TEST_F(LayoutTest, FolderAndFilePlaceEveryStructure) {
  fs.AddFile("D:\\DOCS\\a.txt", 3000);
  fs.AddFile("D:\\readme.txt", 100);
  AddFolderItem("D:\\DOCS");
  AddFileItem("D:\\readme.txt");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  EXPECT_EQ(L.Iso.DescriptorSector, 16u);
  EXPECT_EQ(L.Joliet.DescriptorSector, 17u);
  EXPECT_EQ(L.TerminatorSector, 18u);
  EXPECT_EQ(L.Iso.PathTableSize, 22u);
  EXPECT_EQ(L.Joliet.PathTableSize, 26u);
  EXPECT_EQ(L.Iso.LTable, 19u);
  EXPECT_EQ(L.Iso.MTable, 20u);
  EXPECT_EQ(L.Joliet.LTable, 21u);
  EXPECT_EQ(L.Joliet.MTable, 22u);
  EXPECT_EQ(L.Iso.DirArea, 23u);
  EXPECT_EQ(L.Joliet.DirArea, 25u);
  EXPECT_EQ(L.FirstFileSector, 150u);
  EXPECT_EQ(Entry("\\DOCS", "a.txt")->DataSector, 0);
  EXPECT_EQ(Entry("\\", "readme.txt")->DataSector, 2);
  EXPECT_EQ(L.ImageEnd, 153u);
  EXPECT_EQ(burner.ImageSectors(), 300);
  burner.SetWritePostGap(false);
  EXPECT_EQ(burner.ImageSectors(), 153);

  // Root: "." and ".." (68 bytes), DOCS (38), README.TXT;1 (46), then zeros.
  const std::uint8_t *root = Sector(23);
  EXPECT_EQ(root[68], 38);
  EXPECT_EQ(root[68 + 38], 46);
  EXPECT_TRUE(std::all_of(root + 152, root + 2048, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(Sector(24)[68], 40); // A.TXT;1
  EXPECT_EQ(burner.HeaderStream().Size(), 150u * 2048);

  ASSERT_TRUE(burner.WriteImage("x.iso", true));
  ASSERT_EQ(fs.Image.size(), 153u * 2048);
  EXPECT_EQ(fs.Image[150 * 2048], ContentByte("D:\\DOCS\\a.txt", 0));
  EXPECT_EQ(fs.Image[150 * 2048 + 2999], ContentByte("D:\\DOCS\\a.txt", 2999));
  EXPECT_EQ(fs.Image[150 * 2048 + 3000], 0);
  EXPECT_EQ(fs.Image[152 * 2048 + 99], ContentByte("D:\\readme.txt", 99));
}

TEST_F(LayoutTest, RootAloneAndJolietOff) {
  fs.AddFolder("D:\\EMPTY");
  burner.InsertFolder("\\", "D:\\EMPTY", false, false, true, kAllAttributes, "*.*");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(burner.Layout().Iso.DirArea, 23u);
  EXPECT_EQ(burner.Layout().Joliet.DirArea, 24u);
  EXPECT_EQ(burner.Layout().ImageEnd, 150u);
  EXPECT_EQ(burner.ImageSectors(), 300);
  burner.SetWritePostGap(false);
  EXPECT_EQ(burner.ImageSectors(), 150);

  burner.SetJolietFileSystem(false);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  EXPECT_EQ(L.TerminatorSector, 17u);
  EXPECT_EQ(L.Iso.LTable, 18u);
  EXPECT_EQ(L.Iso.MTable, 19u);
  EXPECT_EQ(L.Iso.DirArea, 20u);
  EXPECT_EQ(Sector(17)[0], 255);
  EXPECT_EQ(Sector(16)[88], 0);
  EXPECT_EQ(burner.HeaderStream().Size(), 150u * 2048); // built again, not appended
}

TEST_F(LayoutTest, SixtyFilesFillFortyThreeRecordsIntoTheFirstSector) {
  AddNumberedFiles("D:\\F\\ABCD%02d.TXT", 60);
  AddFolderContents("D:\\F");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(Store().Dirs[0]->Iso.Size, 4096);
  const std::uint8_t *first = Sector(burner.Layout().Iso.DirArea);
  EXPECT_EQ(first[68 + 42 * 46], 46); // the 43rd record ends at byte 2046
  EXPECT_EQ(first[2046], 0);          // two bytes of padding
  EXPECT_EQ(first[2048], 46);         // the 44th opens the second sector
  EXPECT_EQ(first[2048 + 33], 'A');   // its identifier
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(first + 2048 + 33), 12), "ABCD43.TXT;1");
}

TEST_F(LayoutTest, PathTablesOfOneAndTwoSectors) {
  // 10 + 126 * (8 + 8) + (8 + 14) = 2048 bytes.
  for (int i = 0; i < 126; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "DIR%05d", i);
    burner.MakeVirtualDir(Store().Dirs[0], name, kAttrDirectory);
  }
  TDirNode *last = burner.MakeVirtualDir(Store().Dirs[0], "LONGNAME123456", kAttrDirectory);
  burner.SetJolietFileSystem(false);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(burner.Layout().Iso.PathTableSize, 2048u);
  EXPECT_EQ(burner.Layout().Iso.MTable, burner.Layout().Iso.LTable + 1);

  // Two more bytes: two sectors, the second holding the last 2 bytes and 2,046 zeros.
  last->Entry->ShortName = "LONGNAME12345678";
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(burner.Layout().Iso.PathTableSize, 2050u);
  EXPECT_EQ(burner.Layout().Iso.MTable, burner.Layout().Iso.LTable + 2);
  const std::uint8_t *tail = Sector(burner.Layout().Iso.LTable + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(tail), 2), "78");
  EXPECT_TRUE(std::all_of(tail + 2, tail + 2048, [](std::uint8_t b) { return b == 0; }));
}

TEST_F(LayoutTest, EmptyFileTakesNoSectorAndFilesFollowTheirCreationOrder) {
  fs.AddFile("D:\\a.bin", 5000);
  fs.AddFile("D:\\empty.bin", 0);
  fs.AddFile("D:\\c.bin", 2048);
  for (const char *f : {"D:\\a.bin", "D:\\empty.bin", "D:\\c.bin"})
    AddFileItem(f);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(Entry("\\", "a.bin")->DataSector, 0);
  EXPECT_EQ(Entry("\\", "empty.bin")->DataSector, 0);
  EXPECT_EQ(Entry("\\", "c.bin")->DataSector, 3);
  EXPECT_EQ(burner.Layout().FileSectors, 4u);
  // The empty file's ISO record: extent 0, length 0.
  const std::uint8_t *rec = Sector(burner.Layout().Iso.DirArea) + 68 + 40; // after A.BIN;1
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec + 33), 11), "EMPTY.BIN;1");
  EXPECT_EQ(Le32(rec + 2), 0u);
  EXPECT_EQ(Le32(rec + 10), 0u);
}

TEST_F(LayoutTest, DirectoryAreasPastSector149AreFollowedDirectlyByFiles) {
  for (int i = 0; i < 70; ++i)
    burner.MakeVirtualDir(Store().Dirs[0], "D" + std::to_string(i), kAttrDirectory);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  EXPECT_EQ(L.Joliet.DirArea + L.Joliet.AreaSize / 2048, L.FirstFileSector);
  EXPECT_GT(L.FirstFileSector, 150u);
  EXPECT_LE(L.PaddingBeforeFiles, 0);
  EXPECT_EQ(burner.HeaderStream().Size(), L.FirstFileSector * 2048u);
}

TEST_F(LayoutTest, SiblingsAreNumberedByNameWhileExtentsKeepCreationOrder) {
  TDirNode *b = burner.MakeVirtualDir(Store().Dirs[0], "B", kAttrDirectory);
  TDirNode *a = burner.MakeVirtualDir(Store().Dirs[0], "A", kAttrDirectory);
  TDirNode *ba = burner.MakeVirtualDir(b, "A", kAttrDirectory);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(a->DirNumber, 2);
  EXPECT_EQ(b->DirNumber, 3);
  EXPECT_EQ(ba->DirNumber, 4);
  EXPECT_EQ(b->Iso.Sector, 1);
  EXPECT_EQ(a->Iso.Sector, 2);
  // ISO L table: root, A (parent 1), B (parent 1), B\A (parent 3).
  const std::uint8_t *t = Sector(burner.Layout().Iso.LTable);
  EXPECT_EQ(t[10 + 8], 'A');
  EXPECT_EQ(Le32(t + 10 + 2), burner.Layout().Iso.DirArea + 2);
  EXPECT_EQ(t[20 + 8], 'B');
  EXPECT_EQ(Le16(t + 30 + 6), 3);
  const std::uint8_t *m = Sector(burner.Layout().Iso.MTable);
  EXPECT_EQ(Be16(m + 30 + 6), 3);
  EXPECT_EQ(Be32(m + 30 + 2), burner.Layout().Iso.DirArea + 3);
}

// The directory order as the original shell-sort loop finds it, for comparison.
std::vector<TDirNode *> ShellSortOrder(const CompilationStore &store) {
  std::vector<TDirNode *> v(store.Dirs.begin(), store.Dirs.begin() + store.DirCount);
  const int n = store.DirCount - 1;
  std::vector<int> number(v.size());
  auto renumber = [&] {
    for (std::size_t i = 0; i < v.size(); ++i)
      v[i]->DirNumber = static_cast<int>(i) + 1;
  };
  auto sort = [&](auto greater) {
    for (int gap = n / 2; gap >= 1; gap /= 2) {
      bool swapped = true;
      while (swapped) {
        swapped = false;
        for (int i = 1; i <= n - gap; ++i)
          if (greater(v[i], v[i + gap])) {
            std::swap(v[i], v[i + gap]);
            swapped = true;
          }
      }
    }
    renumber();
  };
  auto byName = [](TDirNode *a, TDirNode *b) { return a->ShortName > b->ShortName; };
  auto byParent = [](TDirNode *a, TDirNode *b) {
    return a->Parent->DirNumber > b->Parent->DirNumber;
  };
  auto byParentName = [](TDirNode *a, TDirNode *b) {
    if (a->Parent->DirNumber != b->Parent->DirNumber)
      return a->Parent->DirNumber > b->Parent->DirNumber;
    return a->ShortName > b->ShortName;
  };
  renumber();
  sort(byName);
  sort(byParentName);
  for (;;) {
    sort(byParent);
    sort(byParentName);
    bool ordered = true;
    for (int i = 2; i <= n; ++i)
      ordered = ordered && v[i - 1]->Parent->DirNumber <= v[i]->Parent->DirNumber;
    if (ordered)
      return v;
  }
}

TEST_F(LayoutTest, DirectoryOrderEqualsTheShellSortResultOnRandomTrees) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    burner.NewCompilation(1000, 400);
    const int count = 20 + static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
      TDirNode *parent = Store().Dirs[random() % static_cast<unsigned>(Store().DirCount)];
      std::string name;
      for (unsigned k = 0, len = 1 + random() % 3; k < len; ++k)
        name += static_cast<char>("AB_Z"[random() % 4]);
      burner.MakeVirtualDir(parent, name, kAttrDirectory);
    }
    ASSERT_TRUE(burner.ComputeLayout(true, nullptr));
    const std::vector<TDirNode *> fast(Store().PathOrder.begin(),
                                       Store().PathOrder.begin() + Store().DirCount);
    ASSERT_EQ(ShellSortOrder(Store()), fast) << "round " << round;
    for (int i = 1; i < Store().DirCount; ++i)
      ASSERT_LE(fast[i - 1]->Parent->DirNumber, fast[i]->Parent->DirNumber);
  }
}

TEST_F(LayoutTest, FilesOfFourGigabytesOrMoreGetSeveralExtents) {
  const std::uint64_t size = 4608ull * 1024 * 1024; // 4.5 GiB
  fs.AddFile("D:\\big.bin", size);
  fs.AddFile("D:\\after.bin", 10);
  AddFileItem("D:\\big.bin");
  AddFileItem("D:\\after.bin");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  const ImageLayout &L = burner.Layout();
  EXPECT_EQ(Entry("\\", "after.bin")->DataSector, 2359296);
  for (bool joliet : {false, true}) {
    const std::uint8_t *rec = Sector(joliet ? L.Joliet.DirArea : L.Iso.DirArea) + 68;
    const std::uint8_t *second = rec + rec[0];
    EXPECT_EQ(rec[25], 0x80);
    EXPECT_EQ(Le32(rec + 2), L.FirstFileSector);
    EXPECT_EQ(Le32(rec + 10), 0xFFFFF800u);
    EXPECT_EQ(Be32(rec + 14), 0xFFFFF800u);
    EXPECT_EQ(second[25], 0);
    EXPECT_EQ(Le32(second + 2), L.FirstFileSector + 0xFFFFF800u / 2048);
    EXPECT_EQ(Le32(second + 10), size - 0xFFFFF800u);
    EXPECT_EQ(0, std::memcmp(rec + 32, second + 32, rec[32] + 1u)); // same identifier
  }
}

// The window adds UDF for what only UDF carries: 4 GiB and more, names Joliet would shorten
// (counted in characters: 60 Chinese ones take 180 bytes but fit).
TEST_F(LayoutTest, UdfIsWantedForFourGigabytesOrNamesJolietShortens) {
  std::string chinese;
  for (int i = 0; i < 60; ++i)
    chinese += "\xE4\xB8\xAD";
  const struct {
    std::string Name;
    std::uint64_t Size;
    bool Folder, Wanted;
  } cases[] = {
      {"big.bin", 0xFFFFFFFFull, false, false},         {"big.bin", 0x100000000ull, false, true},
      {std::string(97, 'f') + ".txt", 1, false, false}, // 101 characters and ";1"
      {std::string(98, 'f') + ".txt", 1, false, true},  {chinese + ".txt", 1, false, false},
      {std::string(103, 'd'), 0, true, false},          {std::string(104, 'd'), 0, true, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name.size());
    burner.NewCompilation(600000, 20000);
    if (c.Folder)
      fs.AddFolder("D:\\" + c.Name);
    else
      fs.AddFile("D:\\" + c.Name, c.Size);
    c.Folder ? AddFolderItem("D:\\" + c.Name) : AddFileItem("D:\\" + c.Name);
    EXPECT_EQ(burner.CompilationWantsUdf(), c.Wanted);
    fs.Remove("D:\\" + c.Name);
  }
}

TEST_F(LayoutTest, RecordsOfSeveralExtentsAreCountedInTheDirectorySize) {
  // 43 one-record files fill the first sector up to 2,046 bytes; one file of 8 GiB needs three
  // records and pushes the directory into a second sector.
  AddNumberedFiles("D:\\F\\ABCD%02d.TXT", 42);
  fs.AddFile("D:\\F\\HUGE00.BIN", 8ull << 30);
  AddFolderContents("D:\\F");
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(Store().Dirs[0]->Iso.Size, 4096);
  const std::uint8_t *second = Sector(burner.Layout().Iso.DirArea + 1);
  EXPECT_EQ(second[0], 46);
  EXPECT_EQ(second[46], 46); // third record of the 8 GiB file
  EXPECT_EQ(second[46 + 25], 0);
}

} // namespace
} // namespace velmor::testing
