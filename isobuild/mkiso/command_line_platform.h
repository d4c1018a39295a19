#pragma once
// The platform as velmor-mkiso hands it to the builder: the native one, with the standard output
// as the image file "-", and a hold for tests: with VELMOR_MKISO_TEST_HOLD set to "scan" or
// "write", the build stops in that step (the first folder listing; the source reads, once 8 MiB
// have been read) until it is interrupted, after saying so on standard error.
#include <cstdint>

#include "platform.h"

namespace velmor::mkiso {

// Holds the build if the test hold names Phase: says so on standard error and waits until the
// process is interrupted.
void HoldIfAsked(const char *Phase);

class CommandLinePlatform : public Platform {
public:
  explicit CommandLinePlatform(Platform &native) : native_(native) {}

  char Separator() const override { return native_.Separator(); }
  bool ListFolder(const std::string &Folder, const std::string &Mask,
                  std::vector<ListingRecord> &Out) override;
  bool Stat(const std::string &Path, ListingRecord &Out) override {
    return native_.Stat(Path, Out);
  }
  std::unique_ptr<SourceFile> OpenRead(const std::string &Path) override;
  std::unique_ptr<ImageFile> CreateImage(const std::string &Path) override {
    return Path == "-" ? native_.StandardOutput() : native_.CreateImage(Path);
  }
  std::unique_ptr<ImageFile> StandardOutput() override { return native_.StandardOutput(); }
  bool CaseSensitiveNames() const override { return native_.CaseSensitiveNames(); }
  TDateTime Now() override { return native_.Now(); }
  int TimeZoneBiasMinutes() override { return native_.TimeZoneBiasMinutes(); }
  std::uint32_t LastSystemCode() const override { return native_.LastSystemCode(); }

private:
  Platform &native_;
  bool listed_ = false;
};

} // namespace velmor::mkiso
