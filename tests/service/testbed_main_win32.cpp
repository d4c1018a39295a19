// velmor-served as the Wine tests install it: the product's readers, and before them a reader
// of a format made only for the tests (a CHD's first bytes, "VELMORTS", then at 2,048 a plain
// run of 2,048-byte sectors served as one data track). Built in the test tree only; the
// programs carry velmor-served.exe, which has no such reader.
#include <cstring>

#include "image_server_win32.h"
#include "open_image_source.h"

namespace velmor::server {
namespace {

constexpr char kTestMagic[16] = {'M', 'C', 'o', 'm', 'p', 'r', 'H', 'D',
                                 'V', 'E', 'L', 'M', 'O', 'R', 'T', 'S'};
constexpr uint64_t kDataStart = 2048;

class TestFormatSource final : public imagesource::ImageSource {
public:
  explicit TestFormatSource(std::unique_ptr<imagesource::RandomAccessFile> file)
      : file_(std::move(file)) {
    LayoutTrack t{};
    t.firstLba = 0;
    t.sectors = uint32_t((file_->Size() - kDataStart) / kBytesPerSector);
    t.stride = kStrideCooked;
    t.number = 1;
    t.controlAdr = kControlAdrData;
    tracks_.push_back(t);
  }
  const std::vector<LayoutTrack> &Tracks() const override { return tracks_; }
  uint64_t StreamSize(uint32_t) const override { return file_->Size() - kDataStart; }
  imagesource::ReadResult Read(uint32_t, uint64_t offset, void *out, uint32_t length) override {
    return file_->ReadAt(kDataStart + offset, out, length) ? imagesource::ReadResult::kOk
                                                           : imagesource::ReadResult::kIoError;
  }

private:
  std::unique_ptr<imagesource::RandomAccessFile> file_;
  std::vector<LayoutTrack> tracks_;
};

std::unique_ptr<imagesource::ImageSource>
OpenWithTestFormat(std::unique_ptr<imagesource::RandomAccessFile> file,
                   imagesource::OpenProblem *problem) {
  char magic[sizeof kTestMagic] = {};
  if (file->Size() >= kDataStart + 18 * kBytesPerSector && file->ReadAt(0, magic, sizeof magic) &&
      std::memcmp(magic, kTestMagic, sizeof magic) == 0)
    return std::make_unique<TestFormatSource>(std::move(file));
  return imagesource::OpenImageSource(std::move(file), problem);
}

} // namespace
} // namespace velmor::server

int main(int argc, char **argv) {
  return velmor::server::ImageServerMain(argc, argv, velmor::server::OpenWithTestFormat);
}
