#pragma once
// The ripper's view of the system: CD-ROM drives, the size of the volume in one, the volume
// as a source of the copy and the image file as its target.
#include "DiscCopy.h"
#include "VolumeCopy.h"

#include <windows.h>

#include <string>
#include <vector>

namespace velmor {

// "D:", "F:" ... for every letter from C to Z whose drive type is CD-ROM, and every drive of
// ours in the driver's registry table (Wine does not report those as CD-ROM drives), in letter
// order.
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
  // The length the drive answers to IOCTL_DISK_GET_LENGTH_INFO, or -1 when it does not.
  std::int64_t DiskLength() const;
  // The table of contents; false when the drive gives none (a drive of ours for a plain image
  // answers one, an empty drive none).
  bool ReadToc(DiscToc *toc) const;
  void Close();
  bool Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) override;
  HANDLE Handle() const { return handle_; }
  // The system's error code of the failed open or the last failed read.
  DWORD LastError() const { return lastError_; }

private:
  static constexpr std::uint64_t kUnknownPosition = UINT64_MAX;
  HANDLE handle_;
  DWORD lastError_ = 0;
  std::uint64_t position_ = 0;
  bool explicitOffsets_ = false;
};

// The disc's sectors through the drive: IOCTL_CDROM_RAW_READ for raw ones (CD-DA for audio,
// the mode 2 forms for data), the volume's own reads for 2,048-byte ones.
class DriveSectors final : public DiscSource {
public:
  explicit DriveSectors(VolumeFile &volume) : volume_(volume) {}
  bool ReadSectors(std::uint32_t lba, std::uint32_t count, TrackForm form,
                   std::uint8_t *buffer) override;
  // Mode 1 or mode 2 from the track's first raw sector; kCooked when it cannot be read raw.
  TrackForm DataTrackForm(std::uint32_t lba);
  DWORD LastError() const { return lastError_; }

private:
  VolumeFile &volume_;
  DWORD lastError_ = 0;
};

// A file of the rip, made new: it is never opened over a file that is there (RipOutputs writes
// a replacement under another name). Wine empties a file it replaces with ftruncate, even an
// empty one, and ext4 writes a truncated file back as soon as it is closed: closing a 650 MB
// image waited a third of a second for the disk, as long as the copy itself.
class RippedImageFile final : public ImageTarget {
public:
  explicit RippedImageFile(const std::string &path);
  ~RippedImageFile() override;
  RippedImageFile(const RippedImageFile &) = delete;
  RippedImageFile &operator=(const RippedImageFile &) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close();
  // A write that stops short without an error is tried again for the rest, so that the system
  // gives its reason; one that then writes nothing at all is a full disk.
  std::uint32_t Write(const void *data, std::uint32_t size) override;
  void Discard() override;
  // The system's error code of the failed creation or the last failed write.
  DWORD LastError() const { return lastError_; }
  const std::string &Path() const { return path_; }

private:
  std::string path_;
  HANDLE handle_;
  DWORD lastError_ = 0;
};

} // namespace velmor
