#pragma once
// The ripper's view of the system: CD-ROM drives, the size of the volume in one, the volume
// as a source of the copy and the image file as its target.
#include "VolumeCopy.h"

#include <windows.h>

#include <string>
#include <vector>

namespace velmor {

// "D:", "F:" ... for every letter from C to Z whose drive type is CD-ROM, in letter order.
std::vector<std::string> CdromDrives();

// Total bytes of the volume in the drive of `letter`, or -1 when the system cannot tell (no
// disc). Asks without the system's "insert a disc" box.
std::int64_t VolumeTotalBytes(char letter);

// The volume "\\.\D:" opened for reading.
class VolumeFile final : public VolumeSource {
public:
  explicit VolumeFile(const std::string &drive);
  ~VolumeFile() override;
  VolumeFile(const VolumeFile &) = delete;
  VolumeFile &operator=(const VolumeFile &) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  // The length the device itself reports as a file size, or -1 when it reports none (Wine
  // gives the length of the image behind a drive).
  std::int64_t Length() const;
  void Close();
  bool Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) override;
  // The system's error code of the failed open or the last failed read.
  DWORD LastError() const { return lastError_; }

private:
  static constexpr std::uint64_t kUnknownPosition = UINT64_MAX;
  HANDLE handle_;
  DWORD lastError_ = 0;
  std::uint64_t position_ = 0;
};

// The image file, created anew (an existing file is replaced) and written from its start.
class RippedImageFile final : public ImageTarget {
public:
  explicit RippedImageFile(const std::string &path);
  ~RippedImageFile() override;
  RippedImageFile(const RippedImageFile &) = delete;
  RippedImageFile &operator=(const RippedImageFile &) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close();
  std::uint32_t Write(const void *data, std::uint32_t size) override;
  void Discard() override;
  // The system's error code of the failed creation or the last failed write.
  DWORD LastError() const { return lastError_; }

private:
  std::string path_;
  HANDLE handle_;
  DWORD lastError_ = 0;
};

} // namespace velmor
