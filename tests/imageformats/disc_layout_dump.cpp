// Prints the table of contents the program would give a disc image, for the peer checks:
//   disc_layout_dump <image>
// one "track start-block data|audio" line per track, then "170 lead-out leadout" (cd-info's
// numbering). An image mounted without a layout prints "iso", "served" or "velmor"; a refused one
// its reason and field on standard error, with exit status 2.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "byte_fields.h"
#include "readers.h"

namespace velmor::formats {
namespace {

// The image files on a POSIX system: paths are UTF-8 with '/' between names; names inside
// descriptors are taken as UTF-8 (there is no ANSI code page here).
class PosixFiles : public ImageFiles {
public:
  static std::string Native(const std::u16string &path) {
    std::string p = Utf16ToUtf8(path);
    for (char &c : p)
      if (c == '\\')
        c = '/';
    return p;
  }
  bool Size(const std::u16string &path, uint64_t *size) override {
    struct stat st;
    if (stat(Native(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return false;
    *size = uint64_t(st.st_size);
    return true;
  }
  bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
            uint32_t *got) override {
    std::ifstream in(Native(path), std::ios::binary);
    if (!in)
      return false;
    in.seekg(std::streamoff(offset));
    in.read(static_cast<char *>(buffer), length);
    *got = uint32_t(in.gcount());
    return !in.bad();
  }
  std::u16string AnsiToUtf16(const std::string &bytes) override { return Utf8ToUtf16(bytes); }
};

const char *ReasonText(FormatError::Reason r) {
  static const char *const kText[] = {"none",
                                      "unreadable",
                                      "missing file",
                                      "unsupported mode",
                                      "track order",
                                      "truncated",
                                      "syntax",
                                      "too many tracks",
                                      "names too long",
                                      "too small",
                                      "not understood",
                                      "past the end of its file",
                                      "postgap too long",
                                      "longer than a CD"};
  static_assert(std::size(kText) == size_t(FormatError::Reason::kLongerThanCd) + 1);
  return kText[size_t(r)];
}

} // namespace
} // namespace velmor::formats

int main(int argc, char **argv) {
  using namespace velmor::formats;
  if (argc != 2) {
    std::fprintf(stderr, "usage: disc_layout_dump <image>\n");
    return 1;
  }
  PosixFiles files;
  const std::u16string path = Utf8ToUtf16(argv[1]);
  const DetectedImage found = DetectImage(files, path);
  if (found.error) {
    std::fprintf(stderr, "%s: %s %s\n", PosixFiles::Native(found.error.file).c_str(),
                 ReasonText(found.error.reason), found.error.field.c_str());
    return 2;
  }
  if (found.kind != ImageKind::kLayout) {
    std::puts(found.kind == ImageKind::kIso      ? "iso"
              : found.kind == ImageKind::kServed ? "served"
                                                 : "velmor");
    return 0;
  }
  const auto &tracks = found.layout.tracks;
  for (const Track &t : tracks)
    std::printf("%u %u %s\n", t.number, t.firstLba,
                velmor::IsDataTrack(t.controlAdr) ? "data" : "audio");
  std::printf("170 %u leadout\n",
              tracks.back().firstLba + tracks.back().sectors + tracks.back().postgap);
  return 0;
}
