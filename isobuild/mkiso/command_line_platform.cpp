#include "command_line_platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "interrupts.h"

namespace velmor::mkiso {

namespace {

constexpr std::int64_t kHoldAfterBytes = 8 << 20;

bool HoldAsked(const char *phase) {
  static const char *const hold = std::getenv("VELMOR_MKISO_TEST_HOLD");
  return hold && std::strcmp(hold, phase) == 0;
}

// Counts what every source gives, and holds the reads once the count has passed the mark.
class HeldSourceFile : public SourceFile {
public:
  HeldSourceFile(std::unique_ptr<SourceFile> source, std::atomic<std::int64_t> &total)
      : source_(std::move(source)), total_(total) {}
  std::int64_t Read(void *Buffer, std::size_t Count) override {
    if (total_ >= kHoldAfterBytes)
      HoldIfAsked("write");
    const std::int64_t n = source_->Read(Buffer, Count);
    if (n > 0)
      total_ += n;
    return n;
  }

private:
  std::unique_ptr<SourceFile> source_;
  std::atomic<std::int64_t> &total_;
};

std::atomic<std::int64_t> bytesRead{0};
std::atomic<bool> announced{false};

} // namespace

void HoldIfAsked(const char *Phase) {
  if (!HoldAsked(Phase) || Interruption() != 0)
    return;
  if (!announced.exchange(true))
    std::fprintf(stderr, "velmor-mkiso: holding in %s\n", Phase);
  while (Interruption() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool CommandLinePlatform::ListFolder(const std::string &Folder, const std::string &Mask,
                                     std::vector<ListingRecord> &Out) {
  if (!listed_) {
    listed_ = true;
    HoldIfAsked("scan");
  }
  return native_.ListFolder(Folder, Mask, Out);
}

std::unique_ptr<SourceFile> CommandLinePlatform::OpenRead(const std::string &Path) {
  std::unique_ptr<SourceFile> source = native_.OpenRead(Path);
  if (!source || !HoldAsked("write"))
    return source;
  return std::make_unique<HeldSourceFile>(std::move(source), bytesRead);
}

} // namespace velmor::mkiso
