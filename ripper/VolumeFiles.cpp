#include "VolumeFiles.h"

#include <winioctl.h>

#include "drive_client.h"

namespace velmor {
namespace {

// Whether the letter is one of our drives now: by its device, not by the driver's table, whose
// record may be left over from a drive gone while the letter went to another device.
bool IsOurDrive(char letter) {
  const char name[] = {letter, ':', '\0'};
  char target[1024] = {};
  return QueryDosDeviceA(name, target, sizeof target) && IsVelmorDevice(target);
}

} // namespace

std::vector<std::string> CdromDrives() {
  std::vector<std::string> drives;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const char root[] = {letter, ':', '\\', 0};
    if (GetDriveTypeA(root) == DRIVE_CDROM || IsOurDrive(letter))
      drives.push_back({letter, ':'});
  }
  return drives;
}

std::int64_t VolumeTotalBytes(char letter) {
  const char root[] = {letter, ':', '\\', 0};
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  ULARGE_INTEGER total{};
  const bool known = GetDiskFreeSpaceExA(root, nullptr, &total, nullptr) != FALSE;
  SetErrorMode(previous);
  return known ? static_cast<std::int64_t>(total.QuadPart) : -1;
}

VolumeFile::VolumeFile(const std::string &drive)
    : handle_(CreateFileA(("\\\\.\\" + drive).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr)),
      lastError_(IsOpen() ? 0 : GetLastError()) {
  // Under Wine a device of our driver keeps no file position: every read there says where.
  const char letter = drive.empty() ? '\0' : char(drive[0] & ~0x20);
  explicitOffsets_ = letter >= 'A' && letter <= 'Z' && IsOurDrive(letter);
}

VolumeFile::~VolumeFile() { Close(); }

std::int64_t VolumeFile::Length() const {
  LARGE_INTEGER size{};
  return GetFileSizeEx(handle_, &size) && size.QuadPart > 0 ? size.QuadPart : -1;
}

std::int64_t VolumeFile::DiskLength() const {
  GET_LENGTH_INFORMATION info{};
  DWORD got = 0;
  return DeviceIoControl(handle_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got,
                         nullptr) &&
                 got >= sizeof info && info.Length.QuadPart > 0
             ? info.Length.QuadPart
             : -1;
}

bool VolumeFile::ReadToc(DiscToc *toc) const {
  std::uint8_t answer[kTocSize] = {};
  DWORD got = 0;
  return DeviceIoControl(handle_, ioctl::kCdromReadToc, nullptr, 0, answer, sizeof answer, &got,
                         nullptr) &&
         ParseToc(answer, got, toc);
}

void VolumeFile::Close() {
  if (IsOpen())
    CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

bool VolumeFile::Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) {
  got = 0;
  // Reads follow each other, so the file position is moved only after a failed read and for
  // sectors read again: a read that carries its offset costs Wine a server request.
  if (offset != position_ && !explicitOffsets_) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) {
      lastError_ = GetLastError();
      return false;
    }
    position_ = offset;
  }
  DWORD n = 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  if (!ReadFile(handle_, buffer, size, &n, explicitOffsets_ ? &at : nullptr)) {
    lastError_ = GetLastError();
    position_ = kUnknownPosition;
    return false;
  }
  got = n;
  position_ += n;
  return true;
}

bool DriveSectors::ReadSectors(std::uint32_t lba, std::uint32_t count, TrackForm form,
                               std::uint8_t *buffer) {
  DWORD got = 0;
  if (form == TrackForm::kCooked) {
    std::uint32_t n = 0;
    const bool read =
        volume_.Read(std::uint64_t(lba) * kCookedSector, buffer, count * kCookedSector, n);
    lastError_ = read ? 0 : volume_.LastError();
    return read && n == count * kCookedSector;
  }
  RawReadInfo info{};
  const std::uint64_t offset = std::uint64_t(lba) * kCookedSector;
  info.diskOffsetLow = std::uint32_t(offset);
  info.diskOffsetHigh = std::uint32_t(offset >> 32);
  info.sectorCount = count;
  info.trackMode = form == TrackForm::kAudio   ? kTrackModeCdda
                   : form == TrackForm::kMode2 ? kTrackModeXaForm2
                                               : kTrackModeYellowMode2;
  if (!DeviceIoControl(volume_.Handle(), ioctl::kCdromRawRead, &info, sizeof info, buffer,
                       count * kRawSector, &got, nullptr)) {
    lastError_ = GetLastError();
    return false;
  }
  return got == count * kRawSector;
}

TrackForm DriveSectors::DataTrackForm(std::uint32_t lba) {
  std::uint8_t sector[kRawSector];
  if (!ReadSectors(lba, 1, TrackForm::kMode1, sector))
    return TrackForm::kCooked;
  return FormOfRawSector(sector);
}

RippedImageFile::RippedImageFile(const std::string &path)
    : path_(path),
      handle_(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_NEW, 0, nullptr)),
      lastError_(IsOpen() ? 0 : GetLastError()) {}

RippedImageFile::~RippedImageFile() { Close(); }

void RippedImageFile::Close() {
  if (IsOpen())
    CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

std::uint32_t RippedImageFile::Write(const void *data, std::uint32_t size) {
  const auto *bytes = static_cast<const std::uint8_t *>(data);
  std::uint32_t done = 0;
  while (done < size) {
    DWORD written = 0;
    if (!WriteFile(handle_, bytes + done, size - done, &written, nullptr)) {
      lastError_ = GetLastError();
      break;
    }
    if (written == 0) {
      lastError_ = ERROR_DISK_FULL;
      break;
    }
    done += written;
  }
  return done;
}

void RippedImageFile::Discard() {
  Close();
  DeleteFileA(path_.c_str());
}

} // namespace velmor
