// Checks velmor.sys as Windows loads it: installed as an automatically started kernel service,
// asked for its version, given a drive for a real ISO image that is then read sector by sector
// and asked the CD-ROM questions, and, after a system restart, seen to re-create the drive
// recorded in the registry. Run in steps by driver_service_test.sh:
//   driver_service_check install <velmor.sys> <image path>
//   driver_service_check use <image path>       (the running driver, installed by another)
//   driver_service_check restarted <image path>
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "guarded_copy.h"
#include "velmor_protocol.h"

namespace {

using namespace velmor;

// Platform codes and the protocol's must agree.
static_assert(IOCTL_STORAGE_CHECK_VERIFY == ioctl::kStorageCheckVerify, "storage check verify");
static_assert(IOCTL_STORAGE_EJECT_MEDIA == ioctl::kStorageEjectMedia, "storage eject");
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == ioctl::kDiskGetDriveGeometry, "disk geometry");

int failures = 0;

void Check(bool ok, const char *what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) {
    ++failures;
    std::printf("      last error %lu\n", GetLastError());
  }
}

class Handle {
public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (valid())
      CloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

private:
  HANDLE h_;
};

class ServiceHandle {
public:
  explicit ServiceHandle(SC_HANDLE h) : h_(h) {}
  ~ServiceHandle() {
    if (h_)
      CloseServiceHandle(h_);
  }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;
  SC_HANDLE get() const { return h_; }

private:
  SC_HANDLE h_;
};

class RegKey {
public:
  RegKey() {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDrivesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h_,
                    nullptr);
  }
  ~RegKey() {
    if (h_)
      RegCloseKey(h_);
  }
  RegKey(const RegKey &) = delete;
  RegKey &operator=(const RegKey &) = delete;
  HKEY get() const { return h_; }

private:
  HKEY h_ = nullptr;
};

HANDLE OpenDevice(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// The control device appears once the service has started, which may take a moment.
HANDLE WaitForControlDevice() {
  for (int i = 0; i < 100; ++i) {
    HANDLE h = OpenDevice(kControlDevicePath);
    if (h != INVALID_HANDLE_VALUE)
      return h;
    Sleep(100);
  }
  return INVALID_HANDLE_VALUE;
}

std::string DrivePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

std::vector<uint8_t> ReadImage(const char *path) {
  std::vector<uint8_t> bytes;
  if (FILE *f = std::fopen(path, "rb")) {
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
  }
  return bytes;
}

bool Control(HANDLE h, uint32_t code, void *in, DWORD inLength, void *out, DWORD outLength,
             DWORD *returned) {
  return DeviceIoControl(h, code, in, inLength, out, outLength, returned, nullptr) != FALSE;
}

// Reads sectors through the drive and compares them with the image file.
bool SectorsMatch(HANDLE drive, const std::vector<uint8_t> &image) {
  const size_t sectors = image.size() / kBytesPerSector;
  for (size_t sector : {size_t(0), size_t(16), sectors / 2, sectors - 1}) {
    // The offset travels with the read: Wine does not move a device handle's file pointer.
    const uint64_t at = uint64_t(sector) * kBytesPerSector;
    OVERLAPPED where{};
    where.Offset = DWORD(at);
    where.OffsetHigh = DWORD(at >> 32);
    std::vector<uint8_t> data(2 * kBytesPerSector);
    DWORD got = 0;
    const DWORD want = sector + 1 < sectors ? 2 * kBytesPerSector : kBytesPerSector;
    if (!ReadFile(drive, data.data(), want, &got, &where) || got != want ||
        std::memcmp(data.data(), image.data() + at, want) != 0) {
      std::printf("      sector %u differs (read %lu of %lu bytes)\n", unsigned(sector), got, want);
      return false;
    }
  }
  return true;
}

// The driver completes the remove request with success after deleting the device. Wine hands
// a request's result back to the caller only after the dispatch routine has returned, and by
// then the device is gone, so there the caller sees ERROR_ACCESS_DENIED (STATUS_FILE_DELETED).
bool RemoveDrive(HANDLE drive) {
  DWORD returned = 0;
  return Control(drive, IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0, nullptr, 0, &returned) ||
         GetLastError() == ERROR_ACCESS_DENIED;
}

char FreeLetter() {
  char target[MAX_PATH];
  for (char letter = 'L'; letter <= 'Y'; ++letter) {
    const char name[3] = {letter, ':', 0};
    if (!QueryDosDeviceA(name, target, sizeof(target)))
      return letter;
  }
  return 0;
}

// The driver file's version resource: Simplified Chinese, UTF-16 strings, a system driver.
bool VersionResourceMatches(const char *driverFile) {
  DWORD ignored = 0;
  std::vector<uint8_t> info(GetFileVersionInfoSizeA(driverFile, &ignored));
  if (info.empty() || !GetFileVersionInfoA(driverFile, 0, DWORD(info.size()), info.data()))
    return false;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT size = 0;
  if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &size) ||
      fixed->dwFileVersionMS != 0x00010000 || fixed->dwFileVersionLS != 0 ||
      fixed->dwProductVersionMS != 0x00010000 || fixed->dwFileType != VFT_DRV ||
      fixed->dwFileSubtype != VFT2_DRV_SYSTEM || fixed->dwFileOS != VOS_NT_WINDOWS32)
    return false;
  WORD *translation = nullptr;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                      reinterpret_cast<void **>(&translation), &size) ||
      size < 4 || translation[0] != 0x0804 || translation[1] != 1200)
    return false;
  const std::pair<const char *, const char *> strings[] = {
      {"FileVersion", "1.0.0.0"},
      {"ProductVersion", "1.0.0.0"},
      {"FileDescription", "Velmor Driver"},
      {"ProductName", "Velmor CD-ROM Emulator Driver"},
      {"Comments", "Velmor"},
      {"InternalName", "velmor.sys"},
      {"OriginalFilename", "velmor.sys"},
      {"LegalTrademarks", ""},
      {"PrivateBuild", ""},
      {"SpecialBuild", ""},
  };
  for (const auto &[name, expected] : strings) {
    const std::string path = std::string("\\StringFileInfo\\080404b0\\") + name;
    char *value = nullptr;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &size) ||
        std::strcmp(size ? value : "", expected) != 0) {
      std::printf("      %s differs\n", name);
      return false;
    }
  }
  return true;
}

// The add request's copy of the caller's record, on the same exception dispatch in user mode
// (i386: the fs:[0] chain; x86-64: the image's tables): a copy running into a page it may not
// touch, in either direction, fails instead of crashing, and copies work again afterwards.
bool GuardedCopySurvivesFaults() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const DWORD page = system.dwPageSize;
  struct Release {
    void operator()(uint8_t *p) const { VirtualFree(p, 0, MEM_RELEASE); }
  };
  std::unique_ptr<uint8_t, Release> pages(static_cast<uint8_t *>(
      VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)));
  DWORD old = 0;
  if (!pages || !VirtualProtect(pages.get() + page, page, PAGE_NOACCESS, &old))
    return false;
  uint8_t *edge = pages.get() + page - 8; // 8 bytes that can be touched, then the closed page
  const uint8_t pattern[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint8_t back[16] = {};
  return VelmorGuardedCopy(edge, pattern, 8) && !VelmorGuardedCopy(back, edge, 16) &&
         !VelmorGuardedCopy(edge, pattern, 16) && VelmorGuardedCopy(back, edge, 8) &&
         std::memcmp(back, pattern, 8) == 0;
}

bool InstallAndStart(const char *driverFile) {
  Check(VersionResourceMatches(driverFile), "version resource");
  char systemDir[MAX_PATH];
  GetSystemDirectoryA(systemDir, MAX_PATH);
  const std::string installed = std::string(systemDir) + "\\" + kDriverFileName;
  Check(CopyFileA(driverFile, installed.c_str(), FALSE) != FALSE, "driver file copied");
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ServiceHandle service(CreateServiceA(manager.get(), kServiceName, kServiceName,
                                       SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, installed.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
  Check(service.get() != nullptr, "kernel service created");
  // A service manager that is still busy starting the prefix may report a timeout although
  // the driver loads a moment later; the wait for the control device covers that.
  const bool started = StartServiceA(service.get(), 0, nullptr) ||
                       GetLastError() == ERROR_SERVICE_ALREADY_RUNNING ||
                       GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT;
  Check(started, "service started");
  return started;
}

// Asks the running driver for its version, adds a drive, reads it, asks it the CD-ROM
// questions and removes it; the letter used, or 0.
char UseDriver(const char *imagePath) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  Check(image.size() >= 32 * kBytesPerSector, "test image readable");
  Handle control(WaitForControlDevice());
  Check(control.valid(), "control device opens");
  if (!control.valid())
    return 0;

  uint32_t version = 0;
  DWORD returned = 0;
  Check(Control(control.get(), IOCTL_VELMOR_GET_VERSION, nullptr, 0, &version, 4, &returned) &&
            version == 1 && returned == 4,
        "version 1");

  const char letter = FreeLetter();
  Check(letter != 0, "a free drive letter");
  AddRecord record{};
  record.letter = char16_t(letter);
  MultiByteToWideChar(CP_ACP, 0, imagePath, -1, reinterpret_cast<wchar_t *>(record.path),
                      kAddRecordPathUnits);
  // Wine hands the driver the request's input where the output buffer should be, so the record
  // goes as input too, short of the size the driver refuses.
  AddRecord input = record;
  Check(Control(control.get(), IOCTL_VELMOR_ADD_DEVICE, &input, 1000, &record, sizeof(record),
                &returned),
        "drive added");
  // The link is made in the global directory, which every logon session sees.
  char target[MAX_PATH] = {};
  Check(QueryDosDeviceA((std::string("Global\\") + letter + ":").c_str(), target, MAX_PATH) &&
            std::strncmp(target, "\\Device\\VELMOR", 14) == 0,
        "the drive's link is global");
  AddRecord again = record;
  Check(!Control(control.get(), IOCTL_VELMOR_ADD_DEVICE, &again, 1000, &again, sizeof(again),
                 &returned),
        "the same letter cannot be added twice");

  {
    Handle drive(OpenDevice(DrivePath(letter)));
    Check(drive.valid(), "drive opens");
    Check(drive.valid() && SectorsMatch(drive.get(), image), "sectors match the image");

    uint8_t toc[kTocSize + 16] = {};
    const uint8_t tocHead[20] = {0x00, 0x12, 1, 1,    0,    0x14, 1,    0,    0,    0,
                                 2,    0,    0, 0x14, 0xAA, 0,    0x00, 0x2E, 0x3B, 0x3A};
    Check(Control(drive.get(), ioctl::kCdromReadToc, nullptr, 0, toc, sizeof(toc), &returned) &&
              returned == kTocSize && std::memcmp(toc, tocHead, sizeof(tocHead)) == 0,
          "table of contents");
    DISK_GEOMETRY geometry{};
    Check(Control(drive.get(), ioctl::kCdromGetDriveGeometry, nullptr, 0, &geometry,
                  sizeof(geometry), &returned) &&
              returned == 24 && geometry.Cylinders.QuadPart == 146 &&
              geometry.MediaType == RemovableMedia && geometry.TracksPerCylinder == 64 &&
              geometry.SectorsPerTrack == 32 && geometry.BytesPerSector == 2048,
          "geometry");
    uint32_t changes = 0;
    Check(Control(drive.get(), ioctl::kCdromCheckVerify, nullptr, 0, &changes, 4, &returned) &&
              returned == 4 && changes == 1,
          "check verify");
    uint16_t tiny = 0;
    Check(!Control(drive.get(), ioctl::kCdromCheckVerify, nullptr, 0, &tiny, 2, &returned),
          "check verify refuses a 2-byte buffer");
    Check(Control(drive.get(), ioctl::kStorageCheckVerify, nullptr, 0, nullptr, 0, &returned),
          "storage check verify without a buffer");
    Check(RemoveDrive(drive.get()), "drive removed");
  }
  Handle gone(OpenDevice(DrivePath(letter)));
  Check(!gone.valid(), "a removed drive no longer opens");
  return letter;
}

int Install(const char *driverFile, const char *imagePath) {
  Check(GuardedCopySurvivesFaults(), "guarded copy survives faults");
  if (!InstallAndStart(driverFile))
    return 1;
  const char letter = UseDriver(imagePath);
  if (!letter)
    return 1;

  // Recorded as the program records a mounted drive, for the driver to restore at restart.
  RegKey key;
  Check(RegSetValueExA(key.get(), std::string(1, letter).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(imagePath),
                       DWORD(std::strlen(imagePath) + 1)) == ERROR_SUCCESS,
        "drive recorded in the registry");
  // Values of other types under letter names must not harm the driver's start.
  const uint8_t binary[64] = {0x41, 0x41, 0x41, 0x41};
  const DWORD number = 16;
  Check(RegSetValueExA(key.get(), std::string(1, char(letter + 1)).c_str(), 0, REG_BINARY, binary,
                       sizeof(binary)) == ERROR_SUCCESS &&
            RegSetValueExA(key.get(), std::string(1, char(letter + 2)).c_str(), 0, REG_DWORD,
                           reinterpret_cast<const BYTE *>(&number),
                           sizeof(number)) == ERROR_SUCCESS,
        "binary and number values recorded beside it");
  std::printf("drive %c:\n", letter);
  return failures ? 1 : 0;
}

int Restarted(const char *imagePath) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  Handle control(WaitForControlDevice());
  Check(control.valid(), "control device back after the restart");
  RegKey key;
  char name[8] = {};
  DWORD nameLength = sizeof(name);
  DWORD type = 0;
  for (DWORD i = 0;
       nameLength = sizeof(name), RegEnumValueA(key.get(), i, name, &nameLength, nullptr, &type,
                                                nullptr, nullptr) == ERROR_SUCCESS;
       ++i)
    if (type == REG_SZ)
      break;
  Check(type == REG_SZ && nameLength == 1, "a drive is recorded");
  for (char other : {char(name[0] + 1), char(name[0] + 2)}) {
    Handle none(OpenDevice(DrivePath(other)));
    Check(!none.valid(), "no drive for a value that is not a string");
    RegDeleteValueA(key.get(), std::string(1, other).c_str());
  }
  {
    Handle drive(OpenDevice(DrivePath(name[0])));
    Check(drive.valid(), "recorded drive re-created");
    Check(drive.valid() && SectorsMatch(drive.get(), image), "re-created drive reads the image");
    if (drive.valid())
      Check(RemoveDrive(drive.get()), "re-created drive removed");
  }
  Handle gone(OpenDevice(DrivePath(name[0])));
  Check(!gone.valid(), "the re-created drive is gone after its removal");
  RegDeleteValueA(key.get(), name);
  return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 4 && std::strcmp(argv[1], "install") == 0)
    return Install(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "use") == 0) {
    Check(GuardedCopySurvivesFaults(), "guarded copy survives faults");
    return UseDriver(argv[2]) && !failures ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "restarted") == 0)
    return Restarted(argv[2]);
  std::fprintf(stderr, "usage: driver_service_check install <driver> <image> | use <image> | "
                       "restarted <image>\n");
  return 2;
}
