// Images of generated trees, read back by other ISO 9660 readers: every file must come back byte
// for byte under its name. Needs isoinfo, iso-info, osirrox, 7z, bsdtar and udfinfo on the path.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int Shell(const std::string &command) { return std::system(command.c_str()); }

std::string Capture(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe)
    return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path &path, const std::string &bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::u16string Utf16(const std::string &s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (int k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(static_cast<char16_t>(cp)); // the test names stay in the BMP
    i += static_cast<std::size_t>(len);
  }
  return out;
}

std::string Utf8(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Joliet name of one component: files get a "." when they have none; names too long for a
// reader are cut to 101 (files, extension kept; ";1" follows) or 103 (folders) units.
std::string JolietName(std::string name, bool isFile) {
  if (isFile && name.find('.') == std::string::npos)
    name += '.';
  std::u16string u = Utf16(name);
  const std::size_t limit = isFile ? 101 : 103;
  if (u.size() <= limit)
    return name;
  const std::size_t dot = isFile ? u.rfind(u'.') : std::u16string::npos;
  const std::u16string ext = dot == std::u16string::npos ? u"" : u.substr(dot);
  return Utf8(u.substr(0, limit - ext.size()) + ext);
}

std::string IsoName(std::string name, bool isFile) {
  for (char &c : name)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  if (isFile && name.find('.') == std::string::npos)
    name += '.';
  return name;
}

// What isoinfo -J prints for a Joliet name: characters outside Latin-1 become "_".
std::string IsoinfoJolietName(const std::string &name) {
  std::string out;
  for (char16_t c : Utf16(name))
    out += c < 0x80 ? static_cast<char>(c) : '_';
  return out;
}

struct SourceFile {
  fs::path Path;                   // on disk
  std::vector<std::string> Joliet; // components as Joliet names
  std::vector<std::string> Iso;    // components as ISO names
};

class PeerCheck : public ::testing::Test {
protected:
  fs::path dir;
  std::vector<SourceFile> files;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmor-peer-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  void Collect(const fs::path &root) {
    for (const auto &e : fs::recursive_directory_iterator(root)) {
      if (!e.is_regular_file())
        continue;
      SourceFile f{e.path(), {}, {}};
      const fs::path rel = fs::relative(e.path(), dir);
      std::size_t i = 0, count = static_cast<std::size_t>(std::distance(rel.begin(), rel.end()));
      for (const fs::path &part : rel) {
        const bool isFile = ++i == count;
        f.Joliet.push_back(JolietName(part.string(), isFile));
        f.Iso.push_back(IsoName(part.string(), isFile));
      }
      files.push_back(f);
    }
  }

  static std::string Join(const std::vector<std::string> &parts, const std::string &suffix) {
    std::string s;
    for (const std::string &p : parts)
      s += "/" + p;
    return s + suffix;
  }

  // An extracted tree holds exactly the source files under their Joliet names. Some readers
  // drop the "." that ends a name without extension (README. comes out as README).
  void CheckExtracted(const fs::path &out, const std::string &reader, bool dropsFinalDot) {
    std::size_t extracted = 0;
    for (const auto &e : fs::recursive_directory_iterator(out))
      extracted += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(extracted, files.size()) << reader;
    for (const SourceFile &f : files) {
      std::string rel = Join(f.Joliet, "").substr(1);
      if (dropsFinalDot && rel.back() == '.')
        rel.pop_back();
      const fs::path got = out / fs::path(rel);
      ASSERT_TRUE(fs::exists(got)) << reader << ": " << got;
      EXPECT_TRUE(ReadAll(got) == ReadAll(f.Path)) << reader << ": " << got;
    }
  }

  std::string MakeImage(const std::string &name, const std::string &source,
                        const std::string &flags = "") {
    const std::string image = (dir / name).string();
    const int rc =
        Shell("cd " + Quote(dir.string()) + " && " + Quote(VELMOR_MKISO) + " -o " + Quote(image) +
              " -V peer " + flags + " " + Quote(source) + " >/dev/null 2>&1");
    EXPECT_EQ(rc, 0);
    return image;
  }
};

TEST_F(PeerCheck, GeneratedTreeReadsBackThroughEveryReader) {
  std::mt19937 random(4);
  auto bytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (char &c : s)
      c = static_cast<char>(random());
    return s;
  };
  const fs::path src = dir / "src";
  WriteFile(src / "中文目录" / "照片说明.txt", bytes(3000));
  WriteFile(src / "中文目录" / "子目录" / "数据", bytes(10));
  WriteFile(src / ".hidden", bytes(17));
  WriteFile(src / ".config" / "settings.ini", bytes(100));
  WriteFile(src / "empty.bin", "");
  WriteFile(src / "exact2048.bin", bytes(2048));
  WriteFile(src / "exact4096.bin", bytes(4096));
  fs::path deep = src;
  for (int i = 1; i <= 10; ++i)
    deep /= "level" + std::to_string(i);
  WriteFile(deep / "deep.txt", bytes(5));
  for (int i = 0; i < 60; ++i)
    WriteFile(src / "sixty" / ("File" + std::to_string(100 + i) + ".txt"), bytes(i * 50));
  WriteFile(src / (std::string(123, 'n') + ".txt"), bytes(127)); // a 127-byte name
  WriteFile(src / std::string(120, 'L') / "inside.txt", bytes(70));
  WriteFile(src / "README", bytes(9));
  fs::create_directories(src / "emptydir");
  Collect(src);

  const std::string image = MakeImage("tree.iso", "src");
  const std::string iso = Quote(image);

  // isoinfo, ISO 9660 names.
  const std::string isoList = Capture("isoinfo -f -i " + iso);
  for (const SourceFile &f : files) {
    const std::string path = Join(f.Iso, ";1");
    EXPECT_NE(isoList.find(path + "\n"), std::string::npos) << path;
    EXPECT_TRUE(Capture("isoinfo -i " + iso + " -x " + Quote(path)) == ReadAll(f.Path)) << path;
  }
  // isoinfo, Joliet names (it shows characters outside Latin-1 as "_").
  const std::string jolietList = Capture("isoinfo -J -f -i " + iso);
  for (const SourceFile &f : files) {
    std::vector<std::string> shown;
    for (const std::string &p : f.Joliet)
      shown.push_back(IsoinfoJolietName(p));
    const std::string path = Join(shown, ";1");
    EXPECT_NE(jolietList.find(path + "\n"), std::string::npos) << path;
    EXPECT_TRUE(Capture("isoinfo -J -i " + iso + " -x " + Quote(path)) == ReadAll(f.Path)) << path;
  }
  // Extracting readers.
  const std::map<std::string, std::string> readers = {
      {"osirrox", "osirrox -indev " + iso + " -extract / OUT >/dev/null 2>&1"},
      {"7z", "7z x -oOUT " + iso + " >/dev/null"},
      {"bsdtar", "mkdir -p OUT && LC_ALL=C.UTF-8 bsdtar -xf " + iso + " -C OUT"},
  };
  for (const auto &[name, command] : readers) {
    const fs::path out = dir / ("out-" + name);
    std::string c = command;
    for (std::size_t p; (p = c.find("OUT")) != std::string::npos;)
      c.replace(p, 3, Quote(out.string()));
    ASSERT_EQ(Shell(c), 0) << name;
    CheckExtracted(out, name, name != "bsdtar");
    Shell("chmod -R u+rwx " + Quote(out.string()));
    fs::remove_all(out);
  }
}

TEST_F(PeerCheck, FileOfFourAndAHalfGigabytesReadsBackWhole) {
  const fs::path src = dir / "big";
  fs::create_directories(src);
  const fs::path huge = src / "huge.bin";
  const std::uint64_t size = 4608ull << 20;
  {
    std::ofstream out(huge, std::ios::binary);
    out << "START";
    out.seekp(static_cast<std::streamoff>(0xFFFFF800u - 3));
    out << "ACROSS"; // spans the end of the first extent
    out.seekp(static_cast<std::streamoff>(size - 4));
    out << "END!";
  }
  WriteFile(src / "after.txt", "after");
  const std::string iso = Quote(MakeImage("big.iso", "big"));
  EXPECT_EQ(Shell("7z x -so " + iso + " big/huge.bin | cmp -s - " + Quote(huge.string())), 0);
  EXPECT_EQ(Shell("LC_ALL=C.UTF-8 bsdtar -xOf " + iso + " big/huge.bin | cmp -s - " +
                  Quote(huge.string())),
            0);
  EXPECT_EQ(Capture("7z x -so " + iso + " big/after.txt"), "after");

  // The same tree with a UDF bridge, a name of 109 characters, deep and empty folders and an
  // empty file: udftools, 7-Zip's UDF reader and libcdio's and cdrtools' ISO 9660 readers.
  const std::string longName = std::string(20, 'x') + "中文名字" + std::string(81, 'y') + ".txt";
  ASSERT_EQ(Utf16(longName).size(), 109u);
  WriteFile(src / longName, "long");
  WriteFile(src / "d1" / "d2" / "d3" / "d4" / "leaf", "leaf");
  WriteFile(src / "empty.bin", "");
  fs::create_directories(src / "hollow" / "inner");
  const std::string udf = Quote(MakeImage("big-udf.iso", "big", "-udf"));
  const std::string info = Capture("udfinfo " + udf + " 2>&1");
  EXPECT_NE(info.find("integrity=closed\n"), std::string::npos) << info;
  EXPECT_NE(info.find("numfiles=5\n"), std::string::npos) << info;
  EXPECT_NE(info.find("numdirs=8\n"), std::string::npos) << info; // the root and "big" too
  EXPECT_NE(info.find("udfrev=1.02\n"), std::string::npos) << info;
  EXPECT_NE(info.find("vid=peer\n"), std::string::npos) << info;
  const std::string listing = Capture("7z l -tudf " + udf);
  for (const auto &[path, bytes] : std::map<std::string, std::uint64_t>{{"big/huge.bin", size},
                                                                        {"big/after.txt", 5},
                                                                        {"big/" + longName, 4},
                                                                        {"big/d1/d2/d3/d4/leaf", 4},
                                                                        {"big/empty.bin", 0}}) {
    const std::size_t at = listing.find(" " + path + "\n");
    ASSERT_NE(at, std::string::npos) << path << "\n" << listing;
    const std::size_t lineStart = listing.rfind('\n', at) + 1;
    EXPECT_NE(listing.substr(lineStart, at - lineStart).find(" " + std::to_string(bytes) + " "),
              std::string::npos)
        << listing.substr(lineStart, at - lineStart + path.size() + 1);
  }
  EXPECT_NE(listing.find(" big/hollow/inner\n"), std::string::npos) << listing;
  const fs::path out = dir / "out-udf";
  ASSERT_EQ(
      Shell("7z x -tudf -o" + Quote(out.string()) + " " + udf + " -x!big/huge.bin >/dev/null"), 0);
  EXPECT_EQ(ReadAll(out / "big" / longName), "long");
  EXPECT_EQ(ReadAll(out / "big" / "d1" / "d2" / "d3" / "d4" / "leaf"), "leaf");
  EXPECT_EQ(ReadAll(out / "big" / "after.txt"), "after");
  EXPECT_TRUE(fs::is_regular_file(out / "big" / "empty.bin"));
  EXPECT_TRUE(fs::is_directory(out / "big" / "hollow" / "inner"));
  // Through UDF extents of 2^30 - 2048 bytes, the data the ISO 9660 records name.
  EXPECT_EQ(Shell("7z x -tudf -so " + udf + " big/huge.bin | cmp -s - " + Quote(huge.string())), 0);
  for (const char *reader : {"isoinfo -f -J -i ", "iso-info -f -i "}) {
    const std::string iso9660 = Capture(std::string(reader) + udf + " 2>/dev/null");
    EXPECT_NE(iso9660.find("huge.bin"), std::string::npos) << reader << iso9660;
    EXPECT_NE(iso9660.find("/big/d1/d2/d3/d4/leaf"), std::string::npos) << reader << iso9660;
    EXPECT_NE(iso9660.find("/big/hollow/inner"), std::string::npos) << reader << iso9660;
  }
}

} // namespace

namespace {

// The command line keeps paths as tar does: relative folders stay relative to the image's root,
// absolute ones keep their full path, and ".." is refused.
TEST_F(PeerCheck, CommandLinePaths) {
  WriteFile(dir / "photos" / "2006" / "p.jpg", "jpeg");
  WriteFile(dir / "note.txt", "note");
  const std::string cd = "cd " + Quote(dir.string()) + " && " + Quote(VELMOR_MKISO);
  ASSERT_EQ(Shell(cd + " -o a.iso ./photos//2006/ note.txt >/dev/null"), 0);
  const std::string relative = Capture("isoinfo -J -f -i " + Quote((dir / "a.iso").string()));
  EXPECT_EQ(relative, "/photos\n/note.txt;1\n/photos/2006\n/photos/2006/p.jpg;1\n");

  ASSERT_EQ(Shell(cd + " -o b.iso " + Quote((dir / "photos").string()) + " >/dev/null"), 0);
  const std::string absolute = Capture("isoinfo -J -f -i " + Quote((dir / "b.iso").string()));
  EXPECT_NE(absolute.find(dir.relative_path().string() + "/photos/2006/p.jpg;1\n"),
            std::string::npos);
}

struct Outcome {
  int Status;
  std::string Out, Err;
  std::string LastErrLine() const {
    const std::size_t end = Err.find_last_not_of('\n');
    if (end == std::string::npos)
      return {};
    const std::size_t begin = Err.rfind('\n', end);
    return Err.substr(begin == std::string::npos ? 0 : begin + 1, end - begin);
  }
};

class CommandLine : public PeerCheck {
protected:
  // Runs velmor-mkiso with Args (shell words) in the test folder.
  Outcome Run(const std::string &args, const std::string &environment = "") {
    const std::string command = "cd " + Quote(dir.string()) + " && { " + environment + " " +
                                Quote(VELMOR_MKISO) + " " + args + "; } >stdout.txt 2>stderr.txt";
    const int status = Shell(command);
    Outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
              ReadAll(dir / "stdout.txt"), ReadAll(dir / "stderr.txt")};
    fs::remove(dir / "stdout.txt");
    fs::remove(dir / "stderr.txt");
    return o;
  }
  std::vector<std::string> Temporaries() {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
      if (e.path().filename().string().find(".tmp-") != std::string::npos)
        names.push_back(e.path().filename().string());
    return names;
  }
};

const char kDone[] = "\xE5\x8E\x8B\xE5\x88\xB6\xE5\xAE\x8C\xE6\xAF\x95!\n";

// Success is status 0 and the done line; anything else names its path and reason, writes no
// image over the earlier one and ends with the count of what is missing.
TEST_F(CommandLine, RefusalsAndLeftOutItemsAreReported) {
  WriteFile(dir / "t" / "a.txt", "a");
  ASSERT_EQ(mkfifo((dir / "t" / "pipe").c_str(), 0600), 0);
  fs::create_directory_symlink(dir / "t", dir / "t" / "loop");
  WriteFile(dir / "t" / (std::string(124, 'b') + ".txt"), "128-byte name");
  WriteFile(dir / "one" / "a.txt", "other a");
  WriteFile(dir / "t" / "old.cat", "an earlier image's catalog");
  fs::create_directory(dir / "folder");
  WriteFile(dir / "in" / "x.txt", "x");
  WriteFile(dir / "in" / "out.iso", "earlier");
  WriteFile(dir / "plain" / "x.txt", "x");
  WriteFile(dir / "plain" / "image", "earlier"); // a name without a dot is listed with one
  WriteFile(dir / "long" / (std::string(110, 'x') + ".txt"), "");
  WriteFile(dir / "long" / (std::string(111, 'x') + ".txt"), "");
  const std::string label33(33, 'L'), label17(17, 'L');
  const std::string kIsohdpfx = "/usr/lib/ISOLINUX/isohdpfx.bin"; // syslinux-common
  const std::string chinese11 = "\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD"
                                "\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD"
                                "\xE4\xB8\xAD"; // 33 bytes, 11 units
  struct Case {
    std::string Args;
    int Status;
    std::vector<std::string> Errors; // lines of standard error, the last one included
    bool Image;                      // out.iso replaced
    std::string LastLine = {};       // when it is not the count of what is missing
    std::string Written = {};        // another image the case writes: it holds neither itself
                                     // nor its temporary file
  } cases[] = {
      {"-o out.iso t/a.txt", 0, {}, true},
      {"-o out.iso t",
       1,
       {"t/" + std::string(124, 'b') + ".txt: name of more than 127 characters, left out",
        "t/loop: link to a folder, left out", "t/pipe: not a regular file or folder, left out",
        "3 items missing from the image"},
       true},
      {"-o out.iso t/a.txt one/a.txt",
       1,
       {"one/a.txt: its name is taken in the image, left out", "1 item missing from the image"},
       true},
      {"-o out.iso t/pipe",
       1,
       {"t/pipe: not a regular file or folder", "no image written; 1 named item missing"},
       false},
      {"-o out.iso t missing", 1, {"missing: no such file or directory"}, false},
      {"-o out.iso photos/../t", 2, {"photos/../t: paths with \"..\" are not allowed"}, false},
      {"-o folder t/a.txt",
       1,
       {"folder: is a directory"},
       false,
       "no image written; the output folder cannot be written"},
      {"-o nowhere/out.iso t/a.txt",
       1,
       {},
       false,
       "no image written; the output nowhere/out.iso cannot be written"},
      {"-o /dev/full t/a.txt",
       1,
       {"/dev/full: cannot be written: No space left on device"},
       false,
       "no image written; the output /dev/full could not be written"},
      // The output named as an input, by another name too: refused before anything is written.
      {"-o t/a.txt t/a.txt",
       1,
       {"t/a.txt: the output is this input file"},
       false,
       "no image written; the output t/a.txt would replace an input"},
      {"-o one/../t/a.txt t/a.txt",
       1,
       {"t/a.txt: the output is this input file"},
       false,
       "no image written; the output one/../t/a.txt would replace an input"},
      {"-o in/out.iso in", 0, {}, false, "", "in/out.iso"},
      {"-o plain/image plain", 0, {}, false, "", "plain/image"},
      {"-o out.iso long",
       0,
       {"long/" + std::string(110, 'x') +
            ".txt: renamed in the image (name too long for a "
            "Joliet record)",
        "long/" + std::string(111, 'x') +
            ".txt: renamed in the image (name too long for a "
            "Joliet record)"},
       true},
      {"-o out.iso -V " + label33 + " --no-joliet t/a.txt",
       2,
       {"volume label \"" + label33 +
        "\" is too long (33 bytes, 33 UCS-2 units): at most 32 bytes fit the ISO 9660 label and "
        "16 UCS-2 units the Joliet label"},
       false},
      {"-o out.iso -V " + chinese11 + " t/a.txt", 2, {}, false},
      {"-o out.iso -V " + label17 + " t/a.txt", 2, {}, false},
      {"-o out.iso -V " + label17 + " --no-joliet t/a.txt", 0, {}, true},
      {"-o out.iso -b t/none.bin -no-emul-boot t",
       1,
       {"t/none.bin: boot image not found in the image"},
       false},
      {"-o out.iso -b t/a.txt t",
       1,
       {"t/a.txt: 1 bytes; floppy emulation takes an image of 1228800, 1474560 or 2949120 "
        "bytes (1.2, 1.44 or 2.88 MB), other images need no emulation"},
       false},
      {"-o out.iso -b t/a.txt -no-emul-boot -boot-load-size 2 t",
       1,
       {"t/a.txt: load size of 2 sectors does not fit the boot image (1 bytes, 1 sectors of 512 "
        "bytes)"},
       false},
      {"-o out.iso -b t/a.txt -no-emul-boot -boot-load-size 0 t",
       2,
       {"-boot-load-size takes a number of 512-byte sectors from 1 to 65535"},
       false},
      {"-o out.iso -c boot.cat t/a.txt", 2, {"-c needs -b or -e"}, false},
      {"-o out.iso -no-emul-boot t/a.txt",
       2,
       {"-no-emul-boot, -boot-load-size and -boot-info-table need -b or -e"},
       false},
      // Entries, hybrids: refused from the command line alone, or once the tree is known.
      {"-o out.iso -b t/a.txt -no-emul-boot -boot-load-size 1 -eltorito-alt-boot t",
       2,
       {"-eltorito-alt-boot separates boot images: each entry needs -b or -e"},
       false},
      {"-o out.iso -b t/a.txt -e t/a.txt t",
       2,
       {"one boot image per entry: -eltorito-alt-boot starts the next"},
       false},
      {"-o out.iso -e t/a.txt -isohybrid-gpt-basdat t",
       2,
       {"-isohybrid-gpt-basdat works only with -isohybrid-mbr"},
       false},
      {"-o out.iso -isohybrid-mbr t/a.txt t",
       2,
       {"-isohybrid-mbr needs a boot image (-b or -e)"},
       false},
      {"-o out.iso -b t/a.txt -no-emul-boot -boot-load-size 1 -isohybrid-mbr t/a.txt t",
       1,
       {"t/a.txt: 1 bytes; MBR boot code takes 432 to 512 bytes (such as isohdpfx.bin)"},
       false},
      {"-o out.iso -b t/a.txt -no-emul-boot -boot-load-size 1 -isohybrid-mbr " + kIsohdpfx +
           " -isohybrid-gpt-basdat t",
       1,
       {"-isohybrid-gpt-basdat needs a UEFI boot image (-e)"},
       false},
      // A UEFI image loads without emulation, whatever its size.
      {"-o out.iso -e a.txt -eltorito-alt-boot -b a.txt -no-emul-boot -boot-load-size 1 t/a.txt",
       0,
       {},
       true},
      {"-o out.iso -b .//a.txt -c /old.cat -no-emul-boot -boot-load-size 1 t/a.txt t/old.cat",
       0,
       {"t/old.cat: replaced in the image by the boot catalog"},
       true},
  };
  for (const Case &c : cases) {
    WriteFile(dir / "out.iso", "earlier");
    const Outcome o = Run(c.Args);
    EXPECT_EQ(o.Status, c.Status) << c.Args << "\n" << o.Err;
    EXPECT_EQ(o.Out, c.Status == 0 ? kDone : "") << c.Args;
    for (const std::string &line : c.Errors)
      EXPECT_NE(o.Err.find("velmor-mkiso: " + line + "\n"), std::string::npos) << c.Args << "\n"
                                                                               << o.Err;
    if (!c.LastLine.empty()) {
      EXPECT_EQ(o.LastErrLine(), "velmor-mkiso: " + c.LastLine) << c.Args;
    } else if (c.Status != 0) {
      EXPECT_NE(o.LastErrLine().find("missing"), std::string::npos) << c.Args << "\n" << o.Err;
    }
    EXPECT_EQ(ReadAll(dir / "t" / "a.txt"), "a") << c.Args;
    if (!c.Written.empty()) {
      const fs::path written = dir / c.Written;
      const std::string folder = written.parent_path().filename().string();
      const std::string listing = Capture("isoinfo -J -f -i " + Quote(written.string()));
      EXPECT_EQ(listing, "/" + folder + "\n/" + folder + "/x.txt;1\n") << c.Args;
      const auto beside = fs::directory_iterator(written.parent_path());
      EXPECT_EQ(std::distance(fs::begin(beside), fs::end(beside)), 2) << "x.txt and the image";
    }
    EXPECT_EQ(ReadAll(dir / "out.iso") != "earlier", c.Image) << c.Args;
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_EQ(Temporaries(), std::vector<std::string>{}) << c.Args;
  }
  // A write stopped part-way by a file-size limit keeps its reason, and its temporary goes.
  WriteFile(dir / "big" / "x.bin", std::string(1 << 20, 'x'));
  WriteFile(dir / "out.iso", "earlier");
  const Outcome limited = Run("-o out.iso big", "ulimit -f 200;");
  EXPECT_EQ(limited.Status, 1) << limited.Err;
  EXPECT_NE(limited.Err.find("velmor-mkiso: out.iso: cannot be written: File too large\n"),
            std::string::npos)
      << limited.Err;
  EXPECT_EQ(limited.LastErrLine(),
            "velmor-mkiso: no image written; the output out.iso could not be written");
  EXPECT_EQ(ReadAll(dir / "out.iso"), "earlier");
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  // The labels that fit are kept whole.
  ASSERT_EQ(Run("-o out.iso -V " + chinese11.substr(0, 30) + "L t/a.txt").Status, 0);
  const std::string pvd = ReadAll(dir / "out.iso").substr(16 * 2048, 2048);
  EXPECT_EQ(pvd.substr(40, 32), chinese11.substr(0, 30) + "L ");
}

// On POSIX, names that differ only in case, or by a "." that a file without extension gets, are
// different files: all of them reach the image, under names unique in each name set. Bytes that
// are no UTF-8 never give two equal Joliet names.
TEST_F(CommandLine, NamesThatMeetInTheImageAreAllKept) {
  const std::map<std::string, std::string> sources = {{"A.txt", "upper"},
                                                      {"a.txt", "lower"},
                                                      {"Dir/1", "one"},
                                                      {"dir/2", "two"},
                                                      {"x", "plain"},
                                                      {"x.", "dotted"},
                                                      {"\xFF.txt", "invalid ff"},
                                                      {"\xFE.txt", "invalid fe"}};
  for (const auto &[name, bytes] : sources)
    WriteFile(dir / "n" / name, bytes);
  ASSERT_EQ(Run("-o n.iso n").Status, 0);
  const std::string image = Quote((dir / "n.iso").string());
  EXPECT_EQ(Capture("isoinfo -J -f -i " + image),
            "/n\n/n/Dir\n/n/dir\n/n/A.txt;1\n/n/a.txt;1\n/n/x.;1\n/n/x~1.;1\n/n/_.txt;1\n"
            "/n/_~1.txt;1\n/n/Dir/1.;1\n/n/dir/2.;1\n");
  EXPECT_EQ(Capture("isoinfo -f -i " + image),
            "/N\n/N/DIR\n/N/DIR~1\n/N/A.TXT;1\n/N/A~1.TXT;1\n/N/X.;1\n/N/X~1.;1\n/N/\xFE.TXT;1\n"
            "/N/\xFF.TXT;1\n/N/DIR/1.;1\n/N/DIR~1/2.;1\n");
  // 7z drops the "." that ends a name.
  ASSERT_EQ(Shell("7z x -o" + Quote((dir / "out").string()) + " " + image + " >/dev/null"), 0);
  const std::string replacement = "\xEF\xBF\xBD";
  const std::map<std::string, std::string> extracted = {{"A.txt", "upper"},
                                                        {"a.txt", "lower"},
                                                        {"Dir/1", "one"},
                                                        {"dir/2", "two"},
                                                        {"x", "plain"},
                                                        {"x~1", "dotted"},
                                                        {replacement + ".txt", "invalid fe"},
                                                        {replacement + "~1.txt", "invalid ff"}};
  for (const auto &[name, bytes] : extracted)
    EXPECT_EQ(ReadAll(dir / "out" / "n" / name), bytes) << name;
}

// What is at -o changes only when a finished image replaces it: not after a failure, not after
// an interruption in any step of the build. Streams are written to and never removed.
TEST_F(CommandLine, TargetIsReplacedOnlyByAFinishedImage) {
  std::mt19937 random(7);
  std::string big(16 << 20, '\0');
  for (char &c : big)
    c = static_cast<char>(random());
  WriteFile(dir / "s" / "big.bin", big);
  {
    std::ofstream sparse(dir / "s" / "zeros.bin", std::ios::binary);
    sparse.seekp((3 << 20) - 1);
    sparse << 'z'; // a long run of zeros, a hole in the image file
  }
  for (const char *phase : {"scan", "layout", "write", "commit"}) {
    for (const auto &[signal, name] :
         {std::pair{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}}) {
      WriteFile(dir / "out.iso", "earlier");
      fs::remove(dir / "stderr.txt");
      const std::string command = "cd " + Quote(dir.string()) +
                                  " && VELMOR_MKISO_TEST_HOLD=" + phase + " exec " +
                                  Quote(VELMOR_MKISO) + " -o out.iso s 2>stderr.txt";
      FILE *child = popen(("echo $$; " + command).c_str(), "r");
      ASSERT_NE(child, nullptr);
      char pid[32] = {};
      ASSERT_NE(std::fgets(pid, sizeof pid, child), nullptr);
      for (int i = 0; i < 500 && ReadAll(dir / "stderr.txt").find("holding") == std::string::npos;
           ++i)
        usleep(10000);
      const std::vector<std::string> during = Temporaries();
      ASSERT_EQ(during.size(), 1u) << phase;
      if (std::string(phase) == "write") {
        EXPECT_GT(fs::file_size(dir / during[0]), 0u); // a partial image
      }
      kill(std::atoi(pid), signal);
      const int status = pclose(child);
      EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == signal : WEXITSTATUS(status) != 0)
          << phase << " " << name;
      EXPECT_EQ(ReadAll(dir / "out.iso"), "earlier") << phase << " " << name;
      EXPECT_EQ(Temporaries(), std::vector<std::string>{}) << phase << " " << name;
      // Nothing named is missing: the build was stopped.
      const std::string said = ReadAll(dir / "stderr.txt");
      EXPECT_NE(said.find("velmor-mkiso: interrupted; no image written\n"), std::string::npos)
          << phase << " " << name << "\n"
          << said;
      EXPECT_EQ(said.find("missing"), std::string::npos) << phase << " " << name << "\n" << said;
    }
  }
  // A finished image replaces the file; written to standard output or a pipe, it is the same.
  ASSERT_EQ(Run("-o out.iso s").Status, 0);
  const std::string listing = Capture("isoinfo -J -f -i " + Quote((dir / "out.iso").string()));
  EXPECT_EQ(listing, "/s\n/s/big.bin;1\n/s/zeros.bin;1\n");
  Shell("cd " + Quote(dir.string()) + " && { " + Quote(VELMOR_MKISO) +
        " -o - s 2>piped.err; echo $? >status.txt; } | cat >piped.iso");
  EXPECT_EQ(ReadAll(dir / "status.txt"), "0\n");
  EXPECT_EQ(ReadAll(dir / "piped.err"), kDone);
  EXPECT_EQ(fs::file_size(dir / "piped.iso"), fs::file_size(dir / "out.iso"));
  EXPECT_EQ(Capture("7z x -so " + Quote((dir / "piped.iso").string()) + " s/zeros.bin"),
            ReadAll(dir / "s" / "zeros.bin"));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(Run("-o fifo s & cat fifo >from-fifo.iso; wait $!").Status, 0);
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_EQ(fs::file_size(dir / "from-fifo.iso"), fs::file_size(dir / "out.iso"));
  // A device node (made where the tests may make one) stays a device.
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_EQ(Run("-o null s").Status, 0);
    EXPECT_TRUE(fs::is_character_file(dir / "null"));
  }
}

// The command line takes as many folders as an image can number, and refuses a tree beyond
// that before anything is written.
TEST_F(CommandLine, FolderLimitIsTheImageFormats) {
  // Tens of thousands of folders are made and removed far faster in memory, where there is such
  // a file system.
  fs::path scratch = dir;
  std::string pattern = "/dev/shm/velmor-peer-XXXXXX";
  if (fs::is_directory("/dev/shm") && mkdtemp(pattern.data()))
    scratch = pattern;
  const fs::path tree = scratch / "many";
  fs::create_directory_symlink(tree, dir / "many");
  auto makeFolders = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%05d", i);
      fs::create_directories(tree / name);
    }
  };
  makeFolders(0, 20000); // with "many" and the root, beyond the window's 20,000
  const Outcome fits = Run("-o - many >/dev/null");
  EXPECT_EQ(fits.Status, 0) << fits.Err;
  EXPECT_EQ(fits.Err, kDone);
  makeFolders(20000, 65534); // 65,536 directories with "many" and the root
  WriteFile(dir / "out.iso", "earlier");
  const Outcome beyond = Run("-o out.iso many");
  EXPECT_EQ(beyond.Status, 1);
  EXPECT_NE(beyond.Err.find("velmor-mkiso: many: too many folders for one image (at most 65535)\n"),
            std::string::npos)
      << beyond.Err;
  EXPECT_EQ(beyond.LastErrLine(), "velmor-mkiso: no image written; 1 named item missing");
  EXPECT_EQ(ReadAll(dir / "out.iso"), "earlier");
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  fs::remove_all(scratch);
}

} // namespace
