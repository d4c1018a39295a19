// Gathering files and folders into the compilation tree.
#include <memory>

#include "boot_pick.h"
#include "builder_fixture.h"
#include "gather_items.h"

namespace velmor::testing {
namespace {

using TreeTest = BuilderTest;

std::vector<std::string> EntryNames(const CompilationStore &c) {
  std::vector<std::string> names;
  for (int i = 0; i < c.EntryCount; ++i)
    names.push_back(c.Entries[i]->LongName);
  return names;
}

TEST_F(TreeTest, NewCompilationHoldsOnlyTheRoot) {
  burner.MakeVirtualDir(Store().Dirs[0], "X", kAttrDirectory);
  burner.NewCompilation(10, 0); // the root has its slot even then
  EXPECT_EQ(Store().DirCount, 1);
  EXPECT_EQ(Store().EntryCount, 0);
  EXPECT_EQ(burner.FindDir(""), Store().Dirs[0]);
  EXPECT_EQ(burner.FindDir("\\"), Store().Dirs[0]);
  EXPECT_EQ(burner.FindDir("\\X"), nullptr);
  EXPECT_EQ(Store().Dirs[0]->PathKey, "\\");
  EXPECT_EQ(Store().Dirs[0]->ShortName, "CD_ROOT");
  EXPECT_EQ(Store().Dirs[0]->Parent, Store().Dirs[0]);
  EXPECT_EQ(Store().TimeZoneOffset, 32);
  EXPECT_EQ(burner.MakeVirtualDir(Store().Dirs[0], "Y", kAttrDirectory), nullptr);
  EXPECT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(burner.ImageSectors(), 300);
}

// The compilation is shared: it stays while a component holds it, and the last one frees it.
TEST(TreeStore, TheLastComponentToGoFreesTheCompilation) {
  MockPlatform fs;
  fs.AddFile("D:\\F\\a.txt", 1);
  auto first = std::make_unique<TKavoBurner>(fs);
  auto second = std::make_unique<TKavoBurner>(fs);
  first->NewCompilation(600000, 20000);
  first->InsertFolder("\\", "D:\\F", false, true, true, kAllAttributes, "*.*");
  first.reset();
  const CompilationStore &c = TKavoBurner::Compilation();
  EXPECT_EQ(c.EntryCount, 2);
  EXPECT_TRUE(second->PrepareImage(true, nullptr));
  second.reset();
  EXPECT_EQ(c.DirCount + c.EntryCount, 0);
  EXPECT_TRUE(c.DirPool.empty() && c.EntryPool.empty() && c.EntriesByName.empty());
  EXPECT_EQ(c.Entries.capacity() + c.Dirs.capacity() + c.PathOrder.capacity(), 0u);
}

TEST_F(TreeTest, KeepPathRebuildsTheFolderPath) {
  fs.AddFile("D:\\Photos\\2006\\p.jpg", 1);
  fs.AddFile("\\\\server\\share\\dir\\s.txt", 1);
  fs.AddFile("D:\\top.txt", 1);
  AddFolderItem("D:\\Photos\\2006");
  AddFolderItem("\\\\server\\share\\dir");
  TDirNode *d2006 = burner.FindDir("\\photos\\2006\\");
  ASSERT_NE(d2006, nullptr);
  EXPECT_EQ(d2006->PathKey, "\\PHOTOS\\2006");
  EXPECT_EQ(d2006->Entry->Attr, kAttrDirectory);
  EXPECT_EQ(d2006->Entry->DateTime, fs.Clock); // a virtual directory is dated now
  EXPECT_NE(burner.FindEntry(d2006, "P.JPG"), nullptr);
  EXPECT_NE(Entry("\\DIR", "s.txt"), nullptr);
  // The drive root fills the image's root.
  AddFolderItem("D:\\", false);
  EXPECT_NE(Entry("\\", "top.txt"), nullptr);
  // A file with KeepPath lands in its folder's path.
  burner.NewCompilation(100, 100);
  EXPECT_EQ(burner.InsertFile("ignored", "D:\\Photos\\2006\\p.jpg", true), 1);
  EXPECT_NE(Entry("\\PHOTOS\\2006", "p.jpg"), nullptr);
}

// In GBK the second byte of 運 (DF 5C), 誠 (D5 5C) and 錦 (E5 5C) is the byte of "\\".
TEST_F(TreeTest, DoubleByteNamesEndingInTheSeparatorByte) {
  MockPlatform gbk;
  gbk.DoubleByteCodePage = true;
  TKavoBurner b(gbk);
  b.NewCompilation(100, 100);
  const std::string photos = "\xD5\xD5\xC6\xAC", luck = "\xBA\xC3\xDF\x5C"; // 照片, 好運
  const std::string cheng = "\xD5\x5C", jin = "\xE5\x5C";
  gbk.AddFile("D:\\" + photos + "\\" + luck + "\\" + cheng + "\\q.txt", 5);
  gbk.AddFile("D:\\" + photos + "\\" + luck + "\\p.jpg", 3000);
  gbk.AddFile("D:\\" + photos + "\\" + jin, 7);
  gbk.AddFile("D:\\" + cheng + "\\s.txt", 1);
  gbk.AddFile("\\\\srv" + luck + "\\share\\d\\n.txt", 1);
  EXPECT_EQ(b.InsertFolder("\\", "D:\\" + photos, false, true, true, kAllAttributes, "*.*"), 1);
  EXPECT_EQ(EntryNames(Store()),
            (std::vector<std::string>{photos, luck, cheng, "q.txt", "p.jpg", jin + "."}));
  EXPECT_EQ(Store().DirCount, 4);
  TDirNode *lucky = b.FindDir("\\" + photos + "\\" + luck + "\\");
  ASSERT_NE(lucky, nullptr);
  EXPECT_EQ(lucky->LongName, luck);
  EXPECT_NE(b.FindEntry(lucky, "p.jpg"), nullptr);
  EXPECT_EQ(b.InsertFile("", "D:\\" + cheng + "\\s.txt", true), 1);
  EXPECT_NE(b.FindEntry(b.FindDir("\\" + cheng), "s.txt"), nullptr);
  EXPECT_EQ(b.InsertFolder("\\", "\\\\srv" + luck + "\\share\\d", false, true, true, 63, "*.*"), 1);
  EXPECT_NE(b.FindEntry(b.FindDir("\\d"), "n.txt"), nullptr);
  EXPECT_EQ(b.MakeVirtualDir(Store().Dirs[0], "\\" + jin + "\\", 0x10)->LongName, jin);
  TDirNode *forced = b.ForceDirPath("\\" + luck + "\\" + jin);
  ASSERT_NE(forced, nullptr);
  EXPECT_EQ(forced->LongName, jin);
  EXPECT_EQ(forced->Parent->LongName, luck);
}

TEST_F(TreeTest, VirtualShortNamesAndTheDotRule) {
  fs.AddFile("D:\\README", 1);
  AddFileItem("D:\\README");
  TEntryNode *readme = Entry("\\", "README.");
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->ShortName, "README.");
  TDirNode *pf = burner.MakeVirtualDir(Store().Dirs[0], "\\Program Files (x86)\\", 0x10);
  EXPECT_EQ(pf->ShortName, "PROGRAM_FILES");
  EXPECT_EQ(pf->LongName, "Program Files (x86)");
  EXPECT_EQ(burner.MakeVirtualDir(Store().Dirs[0], "\xE7\x85\xA7", 0x10)->ShortName, "___");
}

TEST_F(TreeTest, NamesOfMoreThan127CharactersAreLeftOutWithoutEndingTheWalk) {
  fs.AddFile("D:\\F\\" + std::string(123, 'a') + ".txt", 1); // 127 characters
  fs.AddFile("D:\\F\\" + std::string(124, 'b') + ".txt", 1); // 128 characters
  std::string chinese;                                       // 123 characters in 323 bytes
  for (int i = 0; i < 100; ++i)
    chinese += "\xE4\xB8\xAD";
  fs.AddFile("D:\\F\\" + chinese + std::string(19, 'c') + ".txt", 1);
  EXPECT_EQ(burner.InsertFolder("\\", "D:\\F", false, false, true, kAllAttributes, "*.*"), 1);
  ASSERT_EQ(Store().EntryCount, 2);
  EXPECT_EQ(Store().Entries[0]->LongName.size(), 127u);
  EXPECT_EQ(Store().Entries[1]->LongName.size(), 323u);
}

TEST_F(TreeTest, WalkIsDepthFirstAndMergesWhenRepeated) {
  fs.AddFolder("D:\\F\\B");
  fs.AddFile("D:\\F\\B\\b1", 1);
  fs.AddFile("D:\\F\\a1", 1);
  fs.AddFile("D:\\F\\a2", 1, "", kAttrReadOnly);
  EXPECT_EQ(burner.InsertFolder("\\", "D:\\F", false, false, true, kAllAttributes, "*.*"), 1);
  const std::vector<std::string> once = EntryNames(Store());
  EXPECT_EQ(once, (std::vector<std::string>{"B", "b1.", "a1.", "a2."}));
  // Again: directories merge and every file is refused, yet the walk completes.
  EXPECT_EQ(burner.InsertFolder("\\", "D:\\F", false, false, true, kAllAttributes, "*.*"), 1);
  EXPECT_EQ(EntryNames(Store()), once);
  // With ReplaceFile the files are replaced in place.
  burner.SetReplaceFile(true);
  TEntryNode *a1 = Entry("\\", "a1.");
  a1->FileSize = 99;
  burner.InsertFolder("\\", "D:\\F", false, false, true, kAllAttributes, "*.*");
  EXPECT_EQ(EntryNames(Store()), once);
  EXPECT_EQ(Entry("\\", "a1."), a1);
  EXPECT_EQ(a1->FileSize, 1);
  // ArchiveOnly leaves out files without the archive attribute; folders are still walked.
  burner.NewCompilation(100, 100);
  burner.InsertFolder("\\", "D:\\F", true, false, true, kAllAttributes, "*.*");
  EXPECT_EQ(EntryNames(Store()), (std::vector<std::string>{"B", "b1.", "a1."}));
  // Without Recursive only the folder's own files.
  burner.NewCompilation(100, 100);
  burner.InsertFolder("\\", "D:\\F", false, false, false, kAllAttributes, "*.*");
  EXPECT_EQ(EntryNames(Store()), (std::vector<std::string>{"a1.", "a2."}));
}

TEST_F(TreeTest, LimitsStopTheWalkWithTheirMessages) {
  TKavoBurner fresh(fs); // the constructor's limits
  fresh.OnDebugMessage = burner.OnDebugMessage;
  for (int i = 1; i < 8191; ++i)
    ASSERT_NE(fresh.MakeVirtualDir(Store().Dirs[0], std::to_string(i), 0x10), nullptr);
  EXPECT_EQ(fresh.MakeVirtualDir(Store().Dirs[0], "last", 0x10), nullptr);
  EXPECT_EQ(messages.back(), "3 >>> MAXIMUM DIRECTORIES CAN BE 8191");

  fresh.NewCompilation(3, 100);
  for (int i = 0; i < 5; ++i)
    fs.AddFile("D:\\L\\S\\f" + std::to_string(i), 1);
  fs.AddFile("D:\\L\\after", 1);
  EXPECT_EQ(fresh.InsertFolder("\\", "D:\\L", false, false, true, kAllAttributes, "*.*"), 0);
  EXPECT_EQ(messages.back(), "3 MAXIMUM FILES CAN BE 3");
  EXPECT_EQ(Store().EntryCount, 3); // S, f0, f1: nothing after the limit
  EXPECT_EQ(Store().DirCount, 2);
  // A directory whose entry is refused is withdrawn.
  EXPECT_EQ(fresh.MakeVirtualDir(Store().Dirs[0], "more", 0x10), nullptr);
  EXPECT_EQ(Store().DirCount, 2);
}

// The one gathering of the window and the command line: a missing file, a taken name and the
// item that reaches a limit are noted once each, the limit is read from the component (not from
// its debug channel), the walk goes on past it unless told to stop there, a stop request
// passes over the rest, and the component's own hooks are given back.
TEST_F(TreeTest, GatheringNotesWhatIsLeftOutAndStopsWhenAsked) {
  fs.AddFile("D:\\a.txt", 1);
  fs.AddFile("D:\\b.txt", 1);
  fs.AddFile("D:\\F\\a.txt", 1);
  fs.AddFile("D:\\G\\g1", 1);
  fs.AddFile("D:\\G\\g2", 1);
  const std::vector<SourceItem> items = {{"D:\\a.txt", false, false, false},
                                         {"D:\\gone.txt", false, false, false},
                                         {"D:\\F", true, false, true},
                                         {"D:\\G", true, true, true},
                                         {"D:\\b.txt", false, false, false}};
  bool ownHook = false;
  burner.OnLeftOut = [&](TKavoBurner *, const LeftOutItem &) { ownHook = true; };
  burner.NewCompilation(3, 100); // a.txt, G and g1
  std::atomic<std::int64_t> files{0};
  GatherOptions options;
  options.FilesGathered = &files;
  GatherResult result = GatherItems(burner, items, options);
  const auto noted = [&](std::size_t i) {
    const LeftOutItem &item = result.LeftOut[i];
    return item.Path + " " + std::to_string(int(item.Reason)) + " " + std::to_string(item.Limit);
  };
  const auto expected = [](const char *path, LeftOutReason why, int limit) {
    return std::string(path) + " " + std::to_string(int(why)) + " " + std::to_string(limit);
  };
  ASSERT_EQ(result.LeftOut.size(), 4u);
  EXPECT_EQ(noted(0), expected("D:\\gone.txt", LeftOutReason::kNotFound, 0));
  EXPECT_EQ(result.LeftOut[1].Reason, LeftOutReason::kNameTaken); // F's a.txt in the root
  EXPECT_EQ(noted(2), expected("D:\\G", LeftOutReason::kTooManyFiles, 3));
  EXPECT_EQ(noted(3), expected("D:\\b.txt", LeftOutReason::kTooManyFiles, 3));
  EXPECT_TRUE(result.LimitReached && !result.Stopped);
  EXPECT_EQ(files.load(), 5); // every file come to, before the tree refuses it
  EXPECT_FALSE(ownHook);
  ASSERT_TRUE(burner.OnLeftOut);
  EXPECT_FALSE(burner.OnAddFile || burner.OnAddDir);

  burner.NewCompilation(3, 100);
  options.StopAtLimit = true;
  result = GatherItems(burner, items, options);
  EXPECT_EQ(result.LeftOut.back().Path, "D:\\G");
  burner.NewCompilation(100, 100);
  EXPECT_FALSE(burner.LimitReached());
  int asked = 0;
  options.Stop = [&] { return ++asked > 2; }; // the first file only
  result = GatherItems(burner, items, options);
  EXPECT_TRUE(result.Stopped && result.LeftOut.empty() && !result.LimitReached);
  EXPECT_EQ(EntryNames(Store()), std::vector<std::string>{"a.txt"});
}

// A link or junction to a folder is left out with one line and never walked, on Windows by its
// reparse point: symbolic links and junctions, or any reparse point whose tag cannot be read (Wine
// gives none); cloud-file and deduplicated folders are folders.
TEST_F(TreeTest, LinksToFoldersAreLeftOutWithOneLine) {
  const struct {
    std::uint32_t attr, tag;
    LeftOutReason why;
  } listed[] = {
      {kAttrDirectory, 0, LeftOutReason::kNone},
      {kAttrDirectory | kAttrReparsePoint, 0xA000000C, LeftOutReason::kLinkToFolder}, // symlink
      {kAttrDirectory | kAttrReparsePoint, 0xA0000003, LeftOutReason::kLinkToFolder}, // junction
      {kAttrDirectory | kAttrReparsePoint, 0, LeftOutReason::kLinkToFolder},          // Wine
      {kAttrDirectory | kAttrReparsePoint, 0x9000601A, LeftOutReason::kNone},         // cloud files
      {kAttrDirectory | kAttrReparsePoint, 0x80000013, LeftOutReason::kNone}, // deduplicated
      {kAttrArchive | kAttrReparsePoint, 0xA000000C, LeftOutReason::kNone},   // a link to a file
  };
  for (const auto &l : listed)
    EXPECT_EQ(ListedFolderRefusal(l.attr, l.tag), l.why) << std::hex << l.attr << " " << l.tag;

  // sub\up leads back to the folder: walked, it would never end.
  fs.AddFile("D:\\t\\a.txt", 1);
  fs.AddFolder("D:\\t\\sub");
  fs.AddFile("D:\\t\\sub\\b.txt", 1);
  fs.AddFolder("D:\\t\\sub\\up");
  fs.AddFile("D:\\t\\sub\\up\\a.txt", 1);
  fs.Refuse("D:\\t\\sub\\up", LeftOutReason::kLinkToFolder);
  burner.NewCompilation(100, 100);
  const GatherResult result = GatherItems(burner, {{"D:\\t", true, false, true}});
  ASSERT_EQ(result.LeftOut.size(), 1u);
  EXPECT_EQ(result.LeftOut[0].Path, "D:\\t\\sub\\up");
  EXPECT_EQ(result.LeftOut[0].Reason, LeftOutReason::kLinkToFolder);
  EXPECT_EQ(EntryNames(Store()), (std::vector<std::string>{"sub", "b.txt", "a.txt"}));
}

TEST_F(TreeTest, BadSourcesAndDestinations) {
  EXPECT_EQ(burner.InsertFile("\\nowhere", "D:\\x", false), 0);
  EXPECT_EQ(messages.back(), "4 INVALID DESTINATION PATH");
  EXPECT_EQ(burner.InsertFolder("\\nowhere", "D:\\x", false, true, true, 63, "*.*"), 0);
  EXPECT_EQ(burner.InsertFile("\\", "D:\\missing.txt", false), -1);
  fs.AddFolder("D:\\dir");
  EXPECT_EQ(burner.InsertFile("\\", "D:\\dir", false), -1); // a folder is no file
  EXPECT_EQ(Store().EntryCount, 0);
  // A missing folder with KeepPath leaves its path behind, empty.
  EXPECT_EQ(burner.InsertFolder("\\", "D:\\gone\\sub", false, true, true, 63, "*.*"), 0);
  EXPECT_NE(burner.FindDir("\\GONE\\SUB"), nullptr);
}

TEST_F(TreeTest, HooksCanRenameAndSkip) {
  fs.AddFolder("D:\\H\\keep");
  fs.AddFolder("D:\\H\\skip");
  fs.AddFile("D:\\H\\keep\\x.txt", 5000000000ull);
  std::int64_t seenSize = 0;
  burner.OnAddDir = [](TKavoBurner *, std::string &longName, std::string &shortName, bool &skip) {
    skip = longName == "skip";
    longName = "Kept";
    shortName = "KEPT";
  };
  burner.OnAddFile = [&](TKavoBurner *, const std::string &path, std::string &longName,
                         std::string &, TDateTime &, std::uint32_t, std::int64_t size, bool &) {
    EXPECT_EQ(path, "D:\\H\\keep\\x.txt");
    seenSize = size;
    longName = "y.txt";
  };
  EXPECT_EQ(burner.InsertFolder("\\", "D:\\H", false, false, true, kAllAttributes, "*.*"), 1);
  EXPECT_NE(Entry("\\Kept", "y.txt"), nullptr);
  EXPECT_EQ(Entry("\\Kept", "y.txt")->ShortName, "X.TXT");
  EXPECT_EQ(seenSize, 5000000000ll);
  EXPECT_EQ(burner.FindDir("\\skip"), nullptr);
}

TEST_F(TreeTest, PropertiesAndDefaults) {
  EXPECT_TRUE(burner.JolietFileSystem());
  EXPECT_TRUE(burner.WritePostGap());
  EXPECT_FALSE(burner.ReplaceFile());
  EXPECT_EQ(burner.CacheSize(), 4194304);
  burner.SetCacheSize(1000000);
  EXPECT_EQ(burner.CacheSize(), 2097152);
  burner.SetCacheSize(5000000);
  EXPECT_EQ(burner.CacheSize(), 4999168);
  burner.SetVersion("2.0");
  EXPECT_EQ(burner.Version(), "1.1.7");
  EXPECT_EQ(burner.SetWriteSpeed(8), kStatusNoTransport);
  EXPECT_FALSE(burner.PrepareImage(false, nullptr)); // a disc needs a drive
}

} // namespace
} // namespace velmor::testing

namespace velmor::testing {
namespace {

// The window's boot choice: the boot images are found in the shallowest folder that holds one
// (a dropped disc folder keeps its whole path), Windows' before isolinux, each with its loader's
// settings; a choice whose images are not there says which firmware lacks one.
TEST_F(BuilderTest, BootChoiceFindsKnownBootImages) {
  struct Case {
    std::vector<std::string> Files; // under D:\discN, one folder item (kept as "discN")
    BootChoice Choice;
    std::vector<std::string> Picked; // path, platform, load size, info table
    bool BiosMissing, UefiMissing;
  } cases[] = {
      {{"boot\\etfsboot.com", "isolinux\\isolinux.bin", "efi\\microsoft\\boot\\efisys.bin"},
       BootChoice::Both,
       {"/boot/etfsboot.com 0 8 0", "/efi/microsoft/boot/efisys.bin 239 0 0"},
       false,
       false},
      {{"isolinux\\isolinux.bin", "boot\\grub\\efi.img"},
       BootChoice::Bios,
       {"/isolinux/isolinux.bin 0 4 1"},
       false,
       false},
      {{"isolinux\\isolinux.bin"}, BootChoice::Both, {"/isolinux/isolinux.bin 0 4 1"}, false, true},
      {{"boot\\isolinux\\isolinux.bin"}, BootChoice::Uefi, {}, false, true},
      {{"readme.txt"}, BootChoice::None, {}, false, false},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Files.front());
    const std::string disc = "disc" + std::to_string(n++);
    burner.NewCompilation(600000, 20000);
    for (const std::string &file : c.Files)
      fs.AddFile("D:\\" + disc + "\\" + file, 4096);
    AddFolderItem("D:\\" + disc);
    const BootPick pick = PickBootFiles(burner, c.Choice);
    std::vector<std::string> picked;
    for (const BootOptions &o : pick.Entries)
      picked.push_back(o.ImagePath.substr(disc.size() + 1) + " " +
                       std::to_string(static_cast<int>(o.Platform)) + " " +
                       std::to_string(o.LoadSectors) + " " + std::to_string(o.InfoTable));
    EXPECT_EQ(picked, c.Picked);
    EXPECT_EQ(pick.BiosMissing, c.BiosMissing);
    EXPECT_EQ(pick.UefiMissing, c.UefiMissing);
  }
}

} // namespace
} // namespace velmor::testing
