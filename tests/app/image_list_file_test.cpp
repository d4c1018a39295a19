#include "app/ImageListFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velmor {
namespace {

using Entries = std::vector<std::string>;

// GBK bytes of "D:\光盘\镜像.iso"; kept as bytes, never converted.
const std::string kGbkPath = "D:\\\xB9\xE2\xC5\xCC\\\xBE\xB5\xCF\xF1.iso";

TEST(ImageListFormat, EveryLineEndsWithCrLf) {
  EXPECT_EQ(FormatImageList({}), "");
  EXPECT_EQ(FormatImageList({"a.iso"}), "a.iso\r\n");
  EXPECT_EQ(FormatImageList({kGbkPath, "", "a.iso", "a.iso"}),
            kGbkPath + "\r\n\r\na.iso\r\na.iso\r\n");
}

TEST(ImageListFormat, ReadingAcceptsEveryLineEnd) {
  EXPECT_EQ(ParseImageList(""), Entries{});
  EXPECT_EQ(ParseImageList("a\r\nb\rc\nd"), (Entries{"a", "b", "c", "d"}));
  EXPECT_EQ(ParseImageList("a\r\n"), Entries{"a"});
  // LF CR is two line ends, CR LF one.
  EXPECT_EQ(ParseImageList("a\n\rb"), (Entries{"a", "", "b"}));
  EXPECT_EQ(ParseImageList("\r\n"), Entries{""});
  EXPECT_EQ(ParseImageList("a\r\n\r\n\nb\r"), (Entries{"a", "", "", "b"}));
}

TEST(ImageListFormat, RoundTripKeepsBytesEmptyEntriesAndDuplicates) {
  const Entries entries{kGbkPath, "", "C:\\x.iso", "C:\\x.iso", "\x81\x5C\xFE\xFE"};
  EXPECT_EQ(ParseImageList(FormatImageList(entries)), entries);
}

class ImageListStoreTest : public ::testing::Test {
protected:
  void TearDown() override { std::filesystem::remove_all(folder_); }
  static std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Read() const { return Read(path_); }
  static void Write(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  void Write(const std::string &bytes) const { Write(path_, bytes); }
  Entries Load(ImageListStore &store) {
    ImageListStore::Loaded loaded = store.Load();
    EXPECT_TRUE(loaded.notice.empty()) << loaded.notice;
    return loaded.rows;
  }
  std::string folder_ = [] {
    const std::string f = ::testing::TempDir() + "velmor_isofile_test/";
    std::filesystem::remove_all(f);
    std::filesystem::create_directories(f);
    return f;
  }();
  std::string path_ = folder_ + "IsoFile.ini";
};

TEST_F(ImageListStoreTest, MissingFileLoadsNothing) {
  ImageListStore store(path_);
  const ImageListStore::Loaded loaded = store.Load();
  EXPECT_FALSE(loaded.exists);
  EXPECT_TRUE(loaded.rows.empty());
  EXPECT_TRUE(loaded.notice.empty());
}

TEST_F(ImageListStoreTest, SaveReplacesTheWholeFileAndLoadReadsItBack) {
  Write("old line that is much longer than the new contents\r\n");
  ImageListStore store(path_);
  Load(store);
  store.Save({kGbkPath, ""});
  EXPECT_EQ(Read(), kGbkPath + "\r\n\r\n");
  ImageListStore again(path_);
  EXPECT_EQ(Load(again), (Entries{kGbkPath, ""}));
}

TEST_F(ImageListStoreTest, EmptyListIsSavedAsEmptyFile) {
  Write("a.iso\r\n");
  ImageListStore store(path_);
  EXPECT_EQ(Load(store), Entries{"a.iso"});
  store.Save({});
  EXPECT_EQ(Read(), "");
  const ImageListStore::Loaded loaded = ImageListStore(path_).Load();
  EXPECT_TRUE(loaded.exists);
  EXPECT_TRUE(loaded.rows.empty());
}

TEST_F(ImageListStoreTest, UnwritablePathThrows) {
  ImageListStore noFolder(folder_ + "no-such-folder/IsoFile.ini");
  EXPECT_THROW(noFolder.Save({"a"}), std::runtime_error);
}

// Nothing is lost: what another copy of the program saved meanwhile, a file the list cannot
// reproduce (kept beside under a new name, never over an earlier one) and a file that cannot be
// read at all (moved aside at the start, so the run's list is saved).
struct ListFileCase {
  const char *name;
  std::string before; // the file at the start; empty: a folder stands there
  Entries loaded;
  const char *between; // what another copy saved after the load, if it did
  Entries saved;       // the rows the window saves
  std::string after;
  std::vector<std::pair<std::string, std::string>> beside; // name suffix, bytes
  bool removedBetween = false; // another copy removed the file after the load
};

void PrintTo(const ListFileCase &c, std::ostream *os) { *os << c.name; }

const std::string kUtf16Le = std::string("\xFF\xFE"
                                         "D\0:\0\\\0\x49\x51\xD8\x76.\0i\0s\0o\0\r\0\n\0",
                                         24);
const std::string kUtf16Be = std::string("\xFE\xFF\0D\0:\0\\\x51\x49\x76\xD8\0.\0i\0s\0o", 20);
const std::string kNul = std::string("C:\\a\0b.iso\r\nC:\\c.iso\r\n", 22);
// 光盘 and 光 in the code page the list is converted to.
#ifdef _WIN32
const std::string kDisc = "\xB9\xE2\xC5\xCC", kLight = "\xB9\xE2";
#else
const std::string kDisc = "\xE5\x85\x89\xE7\x9B\x98", kLight = "\xE5\x85\x89";
#endif

const ListFileCase kListFileCases[] = {
    {"AnotherCopysNewRowIsKept",
     "a\r\nb\r\n",
     {"a", "b"},
     "a\r\nb\r\nc\r\n",
     {"a", "b"},
     "a\r\nb\r\nc\r\n",
     {}},
    {"BothCopiesAddAndRemove",
     "a\r\nb\r\nb\r\n",
     {"a", "b", "b"},
     "b\r\nb\r\nc\r\n",
     {"a", "b", "d"},
     "b\r\nd\r\nc\r\n",
     {}},
    {"AnotherCopyEmptiedTheList", "a\r\n", {"a"}, "", {"a", "x"}, "x\r\n", {}},
    {"FileRemovedMeanwhileIsWrittenAgain", "a\r\n", {"a"}, nullptr, {"a"}, "a\r\n", {}, true},
    {"Utf16LittleEndianIsConvertedAndKept",
     kUtf16Le,
     {"D:\\" + kDisc + ".iso"},
     nullptr,
     {"D:\\" + kDisc + ".iso"},
     "D:\\" + kDisc + ".iso\r\n",
     {{".original", kUtf16Le}}},
    {"Utf16BigEndianIsConvertedAndKept",
     kUtf16Be,
     {"D:\\" + kDisc + ".iso"},
     nullptr,
     {},
     "",
     {{".original", kUtf16Be}}},
    {"Utf8WithByteOrderMarkIsReadAsUtf8",
     "\xEF\xBB\xBF"
     "E:\\\xE5\x85\x89.iso\r\n",
     {"E:\\" + kLight + ".iso"},
     nullptr,
     {"E:\\" + kLight + ".iso"},
     "E:\\" + kLight + ".iso\r\n",
     {{".original", "\xEF\xBB\xBF"
                    "E:\\\xE5\x85\x89.iso\r\n"}}},
    {"NulKeepsTheRestOfItsLine",
     kNul,
     {"C:\\ab.iso", "C:\\c.iso"},
     nullptr,
     {"C:\\ab.iso"},
     "C:\\ab.iso\r\n",
     {{".original", kNul}}},
    {"UnreadableFileIsMovedAsideAndTheListSaved",
     "",
     {},
     nullptr,
     {"n.iso"},
     "n.iso\r\n",
     {{".unreadable", "folder"}}},
};

class ListFileTable : public ImageListStoreTest,
                      public ::testing::WithParamInterface<ListFileCase> {};

TEST_P(ListFileTable, NothingIsLost) {
  const ListFileCase &c = GetParam();
  // Earlier copies beside the file are never replaced.
  for (const auto &[suffix, bytes] : c.beside)
    Write(path_ + suffix, "earlier " + suffix);
  if (c.before.empty())
    std::filesystem::create_directory(path_);
  else
    Write(c.before);
  ImageListStore store(path_);
  const ImageListStore::Loaded loaded = store.Load();
  EXPECT_EQ(loaded.rows, c.loaded);
  if (c.before.empty()) {
    EXPECT_NE(loaded.notice.find(path_ + ".unreadable.2"), std::string::npos) << loaded.notice;
  } else {
    EXPECT_EQ(loaded.notice, "");
  }
  if (c.between)
    Write(c.between);
  else if (c.removedBetween)
    std::filesystem::remove(path_);
  store.Save(c.saved);
  EXPECT_EQ(Read(), c.after);
  for (const auto &[suffix, bytes] : c.beside) {
    EXPECT_EQ(Read(path_ + suffix), "earlier " + suffix);
    if (bytes == "folder") {
      EXPECT_TRUE(std::filesystem::is_directory(path_ + suffix + ".2"));
    } else {
      EXPECT_EQ(Read(path_ + suffix + ".2"), bytes);
    }
  }
  // Saved once more, nothing more is put aside.
  store.Save(c.saved);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".original.3"));
}

INSTANTIATE_TEST_SUITE_P(ListFile, ListFileTable, ::testing::ValuesIn(kListFileCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace velmor
