// Images of generated trees, read back by other ISO 9660 readers: every file must come back byte
// for byte under its name. Needs isoinfo, osirrox, 7z and bsdtar on the path.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <sys/wait.h>

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

  std::string MakeImage(const std::string &name, const std::string &source) {
    const std::string image = (dir / name).string();
    const int rc = Shell("cd " + Quote(dir.string()) + " && " + Quote(VELMOR_MKISO) + " -o " +
                         Quote(image) + " -V peer " + Quote(source) + " >/dev/null");
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

  EXPECT_EQ(WEXITSTATUS(Shell(cd + " -o c.iso photos/../note.txt 2>/dev/null")), 2);
  EXPECT_EQ(WEXITSTATUS(Shell(cd + " -o c.iso missing 2>/dev/null")), 1);
  EXPECT_FALSE(fs::exists(dir / "c.iso"));
}

} // namespace
