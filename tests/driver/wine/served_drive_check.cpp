// A served drive under the real driver: this program is the test's server and its reader, in
// separate processes, so that the server can be killed while the reader goes on.
//   served_drive_check serve <letter> <image>  makes a served drive over a plain .iso with
//       IOCTL_VELMOR_ADD_SERVED, writes <image>.ready, then answers its reads until it dies
//   served_drive_check read <letter> <image>   reads through the drive and compares
//   served_drive_check dead <letter>           a read fails within seconds (its server is gone)
//   served_drive_check eject <letter>          the remove takes the drive away
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check_support.h"
#include "velmor_layout.h"
#include "velmor_protocol.h"
#include "velmor_served.h"

namespace {

using namespace velmor;

HANDLE OpenDevice(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

std::string DrivePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

// The drive appears once its server has made it.
HANDLE WaitForDrive(char letter) {
  for (int i = 0; i < 100; ++i) {
    HANDLE h = OpenDevice(DrivePath(letter));
    if (h != INVALID_HANDLE_VALUE)
      return h;
    Sleep(100);
  }
  return INVALID_HANDLE_VALUE;
}

bool ReadAt(HANDLE h, uint64_t at, void *out, DWORD length, DWORD *got) {
  // The offset travels with the read: Wine does not move a device handle's file pointer.
  OVERLAPPED where{};
  where.Offset = DWORD(at);
  where.OffsetHigh = DWORD(at >> 32);
  *got = 0;
  return ReadFile(h, out, length, got, &where) != FALSE;
}

uint64_t FileSize(HANDLE h) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(h, &size) ? uint64_t(size.QuadPart) : 0;
}

// Adding drives needs the volume privilege, enabled.
void EnableVolumePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
    return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeManageVolumePrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
}

int Serve(char letter, const char *imagePath) {
  EnableVolumePrivilege();
  Handle image(
      CreateFileA(imagePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  Handle control(OpenDevice(kControlDevicePath));
  if (!image.valid() || !control.valid()) {
    std::printf("FAIL: the image or the control device does not open (%lu)\n", GetLastError());
    return 1;
  }
  const uint32_t sectors = uint32_t(FileSize(image.get()) / kBytesPerSector);
  auto record = std::make_unique<LayoutRecord>();
  std::memset(record.get(), 0, sizeof(LayoutRecord));
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = char16_t(letter);
  record->trackCount = 1;
  record->fileCount = 1;
  LayoutTrack &track = record->tracks[0];
  track.sectors = sectors;
  track.stride = kStrideCooked;
  track.number = 1;
  track.controlAdr = kControlAdrData;
  for (size_t i = 0; imagePath[i] && i + 1 < kLayoutNameUnits; ++i)
    record->names[i] = char16_t(uint8_t(imagePath[i]));
  DWORD returned = 0;
  if (!DeviceIoControl(control.get(), IOCTL_VELMOR_ADD_SERVED, record.get(), kLayoutRecordSize,
                       nullptr, 0, &returned, nullptr)) {
    std::printf("FAIL: the served add was refused (%lu)\n", GetLastError());
    return 1;
  }
  std::FILE *ready = std::fopen((std::string(imagePath) + ".ready").c_str(), "w");
  if (ready)
    std::fclose(ready);
  // The inverted call: each SERVE carries the previous answer and brings the next question.
  std::vector<uint8_t> message(sizeof(ServedAnswer) + kServedMaxRead);
  DWORD inputLength = 0;
  int refusals = 0;
  for (;;) {
    ServedRequest asked{};
    if (!DeviceIoControl(control.get(), IOCTL_VELMOR_SERVE, message.data(), inputLength, &asked,
                         sizeof(asked), &returned, nullptr) ||
        returned != sizeof(asked)) {
      // A refused answer fails its SERVE: the next goes empty. Anything persistent ends us.
      if (GetLastError() == ERROR_OPERATION_ABORTED || ++refusals > 100)
        return 1;
      inputLength = 0;
      continue;
    }
    ServedAnswer answer{asked.id, asked.letter, 0, kServedAnswerOk, asked.length};
    DWORD got = 0;
    if (asked.length > kServedMaxRead ||
        !ReadAt(image.get(), ServedOffset(asked), message.data() + sizeof(answer), asked.length,
                &got) ||
        got != asked.length) {
      answer.result = kServedAnswerFailed;
      answer.length = 0;
    }
    std::memcpy(message.data(), &answer, sizeof(answer));
    inputLength = DWORD(sizeof(answer) + answer.length);
  }
}

std::vector<uint8_t> ReadImage(const char *path) {
  std::vector<uint8_t> bytes;
  if (std::FILE *f = std::fopen(path, "rb")) {
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
  }
  return bytes;
}

int Read(char letter, const char *imagePath) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  Handle drive(WaitForDrive(letter));
  Check(drive.valid(), "the served drive opens");
  if (!drive.valid())
    return 1;
  const uint64_t sectors = image.size() / kBytesPerSector;
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  Check(DeviceIoControl(drive.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                        sizeof(length), &returned, nullptr) &&
            uint64_t(length.Length.QuadPart) == sectors * kBytesPerSector,
        "its length is the record's");
  // A read larger than the server is ever asked for at once, and single sectors.
  const DWORD whole = DWORD(sectors * kBytesPerSector);
  std::vector<uint8_t> data(whole);
  DWORD got = 0;
  Check(ReadAt(drive.get(), 0, data.data(), whole, &got) && got == whole &&
            std::memcmp(data.data(), image.data(), whole) == 0,
        "the whole disc reads as the image, asked in pieces");
  for (uint64_t sector : {uint64_t(16), sectors / 2, sectors - 1}) {
    const uint64_t at = sector * kBytesPerSector;
    Check(ReadAt(drive.get(), at, data.data(), kBytesPerSector, &got) && got == kBytesPerSector &&
              std::memcmp(data.data(), image.data() + at, kBytesPerSector) == 0,
          "a single sector reads as the image");
  }
  return failures ? 1 : 0;
}

int Dead(char letter) {
  Handle drive(OpenDevice(DrivePath(letter)));
  Check(drive.valid(), "the drive of the killed server is still there");
  if (!drive.valid())
    return 1;
  std::vector<uint8_t> data(kBytesPerSector);
  DWORD got = 0;
  const DWORD start = GetTickCount();
  const bool read = ReadAt(drive.get(), 0, data.data(), kBytesPerSector, &got);
  const DWORD error = GetLastError();
  const DWORD took = GetTickCount() - start;
  std::printf("      the read took %lu ms, error %lu\n", took, error);
  Check(!read, "a read without a server fails");
  Check(took < 2 * kServedAnswerMilliseconds + 2000, "within seconds");
  return failures ? 1 : 0;
}

int Eject(char letter) {
  {
    Handle drive(OpenDevice(DrivePath(letter)));
    Check(drive.valid(), "the drive opens for its eject");
    DWORD returned = 0;
    // Wine hands back the remove's result after the device has gone: access denied there.
    Check(drive.valid() && (DeviceIoControl(drive.get(), IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0,
                                            nullptr, 0, &returned, nullptr) ||
                            GetLastError() == ERROR_ACCESS_DENIED),
          "the eject is accepted");
  }
  Handle gone(OpenDevice(DrivePath(letter)));
  Check(!gone.valid(), "the drive is gone after its eject");
  return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const char letter = argc >= 3 ? argv[2][0] : 0;
  if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
    return Serve(letter, argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "read") == 0)
    return Read(letter, argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "dead") == 0)
    return Dead(letter);
  if (argc == 3 && std::strcmp(argv[1], "eject") == 0)
    return Eject(letter);
  std::fprintf(stderr, "usage: served_drive_check serve|read <letter> <image> | dead|eject "
                       "<letter>\n");
  return 2;
}
