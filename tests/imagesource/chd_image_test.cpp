// CHDs that Debian's chdman makes from generated discs, read back against the source images as
// the cue sheet reader takes them: the same tracks and the same bytes at every stored sector.
// Then damaged CHDs: refused at open, or a data error at the damaged hunk, never other bytes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "disc_image.h"
#include "file_image.h"
#include "open_image_source.h"
#include "utf8.h"
#include "zstd_rewrite.h"

namespace velmor::imagesource {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void WriteAll(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

class HostImageFiles final : public formats::ImageFiles {
public:
  bool Size(const std::u16string &path, uint64_t *size) override {
    struct stat st;
    if (stat(text::Utf16ToUtf8(path).c_str(), &st) != 0)
      return false;
    *size = uint64_t(st.st_size);
    return true;
  }
  bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
            uint32_t *got) override {
    std::ifstream in(text::Utf16ToUtf8(path), std::ios::binary);
    in.seekg(std::streamoff(offset));
    in.read(static_cast<char *>(buffer), length);
    *got = uint32_t(in.gcount());
    return true;
  }
  std::u16string AnsiToUtf16(const std::string &s) override { return text::Utf8ToUtf16(s); }
};

// The discs, made once for every test: the generator's images, an audio-only cue sheet, and
// chdman's CHDs of each.
class ChdImageTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/velmor-chd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string d = dir_;
    ASSERT_EQ(std::system(("sh -c '. \"" VELMOR_DISC_IMAGES_SH "\" && make_test_iso \"" + d +
                           "\" >/dev/null && make_test_images \"" VELMOR_MAKE_DISC_IMAGES "\" \"" +
                           d + "/source.iso\" \"" + d + "\" --audio 2 --audio-sectors 301'")
                              .c_str()),
              0);
    // Audio only: a stored pregap (INDEX 00), one not stored (PREGAP), a postgap at the end.
    std::string bin;
    for (uint32_t i = 0; i < 700 * 2352; ++i)
      bin += char((i * 2654435761u) >> 24);
    WriteAll(d + "/audio.bin", bin);
    WriteAll(d + "/audio.cue", "FILE \"audio.bin\" BINARY\n"
                               "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                               "  TRACK 02 AUDIO\n    INDEX 00 00:04:00\n    INDEX 01 00:05:00\n"
                               "  TRACK 03 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:07:33\n"
                               "    POSTGAP 00:01:00\n");
    // A stored pregap on track 1, a postgap between tracks.
    WriteAll(d + "/gaps.cue", "FILE \"audio.bin\" BINARY\n"
                              "  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                              "    POSTGAP 00:02:00\n"
                              "  TRACK 02 AUDIO\n    INDEX 00 00:05:00\n    INDEX 01 00:05:10\n");
    WriteAll(d + "/raw.cue", "FILE \"disc-raw.bin\" BINARY\n  TRACK 01 MODE1/2352\n"
                             "    INDEX 01 00:00:00\n");
    for (const char *cue : {"audio", "gaps", "disc", "disc-tracks", "raw", "disc-2048"})
      MakeChd("createcd -i \"" + d + "/" + cue + ".cue\"", cue);
    MakeChd("createcd -i \"" + d + "/source.iso\"", "iso");
    MakeChd("createraw -hs 4096 -us 2048 -i \"" + d + "/source.iso\"", "units");
  }
  static void TearDownTestSuite() { std::system(("rm -rf \"" + dir_ + "\"").c_str()); }
  static void MakeChd(const std::string &how, const std::string &name) {
    ASSERT_EQ(std::system(("chdman " + how + " -o \"" + Chd(name) + "\" >/dev/null 2>&1").c_str()),
              0)
        << how;
  }
  static std::string Chd(const std::string &name) { return dir_ + "/" + name + ".chd"; }

  static std::unique_ptr<ImageSource> Open(std::unique_ptr<RandomAccessFile> file,
                                           OpenProblem *problem) {
    return OpenImageSource(std::move(file), problem);
  }
  static std::unique_ptr<ImageSource> OpenChd(const std::string &name) {
    OpenProblem problem;
    auto source = Open(HostFile::Open(Chd(name)), &problem);
    EXPECT_TRUE(source) << name << ": " << problem.text;
    return source;
  }

  static std::string dir_;
};
std::string ChdImageTest::dir_;

// What the cue sheet reader makes of the source (the reference), or one 2,048-byte track over
// a plain image.
formats::DiscLayout Reference(const std::string &image, bool plain) {
  formats::DiscLayout layout;
  if (plain) {
    layout.files = {text::Utf8ToUtf16(image)};
    formats::Track t;
    t.sectors = uint32_t(ReadAll(image).size() / 2048);
    layout.tracks = {t};
    return layout;
  }
  HostImageFiles files;
  const formats::DetectedImage detected = DetectImage(files, text::Utf8ToUtf16(image));
  EXPECT_FALSE(detected.error) << image;
  return detected.layout;
}

void ExpectSameDisc(ImageSource &chd, const formats::DiscLayout &ref, const std::string &what) {
  const std::vector<LayoutTrack> &tracks = chd.Tracks();
  ASSERT_EQ(tracks.size(), ref.tracks.size()) << what;
  std::vector<std::string> files;
  for (const std::u16string &f : ref.files)
    files.push_back(ReadAll(text::Utf16ToUtf8(f)));
  for (size_t i = 0; i < tracks.size(); ++i) {
    const LayoutTrack &t = tracks[i];
    const formats::Track &r = ref.tracks[i];
    SCOPED_TRACE(what + ", track " + std::to_string(i + 1));
    EXPECT_EQ(t.number, r.number);
    EXPECT_EQ(t.controlAdr, r.controlAdr);
    EXPECT_EQ(t.firstLba, r.firstLba);
    EXPECT_EQ(t.sectors, r.sectors);
    EXPECT_EQ(t.pregap, r.pregap);
    EXPECT_EQ((t.flags & kPregapInFile) != 0, r.pregapInFile);
    EXPECT_EQ(t.postgap, r.postgap);
    EXPECT_EQ(t.stride, r.stride);
    EXPECT_EQ(t.userOffset, r.userOffset);
    EXPECT_EQ(t.file, 0);
    // Every stored sector, the stored pregap's too, byte for byte: cooked and raw reads take
    // their bytes from these at the same offsets.
    const uint64_t before = r.pregapInFile ? uint64_t(r.pregap) * r.stride : 0;
    const uint64_t length = before + uint64_t(r.sectors) * r.stride;
    ASSERT_GE(r.fileOffset, before);
    const std::string &file = files[r.file];
    ASSERT_LE(r.fileOffset - before + length, file.size());
    std::string got(length, '\0');
    ASSERT_EQ(chd.Read(0, TrackFileOffset(t) - before, got.data(), uint32_t(length)),
              ReadResult::kOk);
    EXPECT_TRUE(got == file.substr(r.fileOffset - before, length)) << "the track's bytes differ";
  }
}

TEST_F(ChdImageTest, ChdmanDiscsGiveTheSourcesTracksAndBytes) {
  const struct {
    const char *chd;
    const char *source;
    bool plain;
  } cases[] = {
      {"audio", "audio.cue", false}, // audio, pregaps stored and not, a postgap
      {"gaps", "gaps.cue", false},   // track 1's pregap stored, a postgap between tracks
      {"disc", "disc.cue", false},   // mixed mode: raw mode 1, then audio
      {"disc-tracks", "disc-tracks.cue", false}, // raw mode 2 and audio, one file per track
      {"raw", "raw.cue", false},                 // one raw mode 1 track
      {"disc-2048", "disc-2048.cue", false},     // 2,048-byte sectors in a cue sheet
      {"iso", "source.iso", true},               // createcd of an .iso
      {"units", "source.iso", true},             // createraw in 2,048-byte units
  };
  for (const auto &c : cases) {
    auto chd = OpenChd(c.chd);
    ASSERT_TRUE(chd);
    ExpectSameDisc(*chd, Reference(dir_ + "/" + c.source, c.plain), c.chd);
  }
}

// zstd and cdzs hunks (which Debian's chdman does not write) read as the hunks they were
// made from: the same tracks, the same stream.
TEST_F(ChdImageTest, ZstdHunksReadAsTheHunksTheyWereMadeFrom) {
  for (const char *name : {"disc", "units"}) {
    SCOPED_TRACE(name);
    const std::string rewritten = RewriteWithZstd(ReadAll(Chd(name)));
    ASSERT_FALSE(rewritten.empty());
    EXPECT_EQ(rewritten.substr(16, 4), std::string(name) == "disc" ? "cdzs" : "zstd");
    OpenProblem problem;
    auto zstd = Open(std::make_unique<MemoryFile>(rewritten), &problem);
    ASSERT_TRUE(zstd) << problem.text;
    auto original = OpenChd(name);
    ASSERT_EQ(zstd->Tracks().size(), original->Tracks().size());
    EXPECT_EQ(std::memcmp(zstd->Tracks().data(), original->Tracks().data(),
                          original->Tracks().size() * sizeof(LayoutTrack)),
              0);
    const uint64_t size = original->StreamSize(0);
    ASSERT_EQ(zstd->StreamSize(0), size);
    std::string a(size, '\0'), b(size, '\0');
    ASSERT_EQ(zstd->Read(0, 0, a.data(), uint32_t(size)), ReadResult::kOk);
    ASSERT_EQ(original->Read(0, 0, b.data(), uint32_t(size)), ReadResult::kOk);
    EXPECT_TRUE(a == b);
  }
}

// Reads in 64 KiB pieces across the whole stream, as the server does for a sequential copy:
// each hunk is read from the file (and decoded) once.
class CountingFile final : public RandomAccessFile {
public:
  explicit CountingFile(std::unique_ptr<RandomAccessFile> f, uint64_t *bytes)
      : file_(std::move(f)), bytes_(bytes) {}
  uint64_t Size() const override { return file_->Size(); }
  bool ReadAt(uint64_t offset, void *out, size_t length) override {
    *bytes_ += length;
    return file_->ReadAt(offset, out, length);
  }

private:
  std::unique_ptr<RandomAccessFile> file_;
  uint64_t *bytes_;
};

TEST_F(ChdImageTest, SequentialReadsDecodeEachHunkOnce) {
  for (const char *name : {"disc", "units"}) {
    uint64_t bytes = 0;
    OpenProblem problem;
    auto chd = Open(std::make_unique<CountingFile>(HostFile::Open(Chd(name)), &bytes), &problem);
    ASSERT_TRUE(chd) << problem.text;
    const uint64_t atOpen = bytes;
    std::string piece(65536, '\0');
    const uint64_t size = chd->StreamSize(0);
    for (uint64_t at = 0; at < size; at += piece.size())
      ASSERT_EQ(
          chd->Read(0, at, piece.data(), uint32_t(std::min<uint64_t>(piece.size(), size - at))),
          ReadResult::kOk);
    EXPECT_LE(bytes - atOpen, ReadAll(Chd(name)).size()) << name;
  }
}

// Damage the mixed-mode CHD a few ways. Each is refused at open with a sentence, or opens and
// every read either gives the source's bytes or fails as a data error (at least one does).
TEST_F(ChdImageTest, DamagedChdsGiveErrorsNeverOtherBytes) {
  const std::string good = ReadAll(Chd("disc"));
  auto big = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
      v = v << 8 | uint8_t(good[at + i]);
    return v;
  };
  const uint64_t mapOffset = big(40, 8);
  const formats::DiscLayout ref = Reference(dir_ + "/disc.cue", false);
  const std::string bin = ReadAll(dir_ + "/disc.bin");

  struct Case {
    const char *what;
    std::string bytes;
    bool refusedAtOpen;
    const char *words; // in the refusal
  };
  std::vector<Case> cases;
  std::string flipped = good;
  const size_t hunkByte = size_t(mapOffset > 4096 ? mapOffset / 2 : good.size() / 2);
  flipped[hunkByte] = char(flipped[hunkByte] ^ 0x10);
  cases.push_back({"a flipped byte in a hunk", flipped, false, ""});
  cases.push_back({"a truncated file", good.substr(0, good.size() * 2 / 3), true, "truncated"});
  std::string map = good;
  map[size_t(mapOffset) + 20] = char(map[size_t(mapOffset) + 20] ^ 0x01);
  cases.push_back({"a broken map", map, true, "map"});
  std::string codec = good;
  codec.replace(16, 4, "abcd");
  cases.push_back({"an unknown codec", codec, true, "abcd"});
  std::string parent = good;
  parent[110] = 1;
  cases.push_back({"a parent", parent, true, "parent"});
  std::string version = good;
  version[15] = 3;
  cases.push_back({"version 3", version, true, "version 3"});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    OpenProblem problem;
    auto chd = Open(std::make_unique<MemoryFile>(c.bytes), &problem);
    if (c.refusedAtOpen) {
      EXPECT_FALSE(chd);
      EXPECT_NE(problem.text.find(c.words), std::string::npos) << problem.text;
      continue;
    }
    ASSERT_TRUE(chd) << problem.text;
    int errors = 0;
    const std::vector<LayoutTrack> &tracks = chd->Tracks();
    for (size_t i = 0; i < tracks.size(); ++i) {
      const formats::Track &r = ref.tracks[i];
      for (uint32_t s = 0; s < r.sectors; ++s) {
        std::string got(r.stride, '\0');
        const ReadResult result =
            chd->Read(0, TrackFileOffset(tracks[i]) + uint64_t(s) * r.stride, got.data(), r.stride);
        if (result != ReadResult::kOk) {
          EXPECT_EQ(result, ReadResult::kDataError);
          ++errors;
          continue;
        }
        ASSERT_TRUE(got == bin.substr(r.fileOffset + uint64_t(s) * r.stride, r.stride))
            << "track " << i + 1 << " sector " << s << " read as good with other bytes";
      }
    }
    EXPECT_GT(errors, 0);
  }
}

} // namespace
} // namespace velmor::imagesource
