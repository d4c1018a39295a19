// Checks velmor.sys as Windows loads it: installed as an automatically started kernel service,
// asked for its version, given a drive for a real ISO image that is then read sector by sector
// and asked the CD-ROM questions (those Windows' own tools send included), the same for a .iso
// drive of 6 GiB, given a layout drive over a raw BIN written from the same image and an audio
// track, stopped and started again as a service, and, after a system restart, seen to re-create
// both drives recorded in the registry. Run in steps by driver_service_test.sh:
//   driver_service_check install <velmor.sys> <image path>
//   driver_service_check use <image path>       (the running driver, installed by another)
//   driver_service_check stopstart <image path>
//   driver_service_check restarted <image path>
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check_support.h"
#include "velmor_identity.h"
#include "velmor_layout.h"
#include "velmor_protocol.h"

namespace {

using namespace velmor;

// Platform codes and the protocol's must agree.
static_assert(IOCTL_STORAGE_CHECK_VERIFY == ioctl::kStorageCheckVerify, "storage check verify");
static_assert(IOCTL_STORAGE_EJECT_MEDIA == ioctl::kStorageEjectMedia, "storage eject");
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == ioctl::kDiskGetDriveGeometry, "disk geometry");
static_assert(IOCTL_DISK_GET_LENGTH_INFO == ioctl::kDiskGetLengthInfo, "length");
static_assert(IOCTL_DISK_IS_WRITABLE == ioctl::kDiskIsWritable, "writable");
static_assert(IOCTL_STORAGE_CHECK_VERIFY2 == ioctl::kStorageCheckVerify2, "check verify 2");
static_assert(IOCTL_STORAGE_GET_MEDIA_TYPES_EX == ioctl::kStorageGetMediaTypesEx, "media types");
static_assert(IOCTL_STORAGE_GET_HOTPLUG_INFO == ioctl::kStorageGetHotplugInfo, "hotplug");
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == ioctl::kStorageGetDeviceNumber, "device number");
// IOCTL_CDROM_MEDIA_REMOVAL is in ntddcdrm.h, which the toolchain lacks: the same function on
// the CD-ROM device type.
static_assert(IOCTL_STORAGE_MEDIA_REMOVAL == ioctl::kStorageMediaRemoval &&
                  CTL_CODE(FILE_DEVICE_CD_ROM, 0x0201, METHOD_BUFFERED, FILE_READ_ACCESS) ==
                      ioctl::kCdromMediaRemoval &&
                  sizeof(PREVENT_MEDIA_REMOVAL) == ioctl::kPreventMediaRemovalSize,
              "media removal");
static_assert(IOCTL_STORAGE_READ_CAPACITY == ioctl::kStorageReadCapacity, "read capacity");
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == ioctl::kStorageQueryProperty, "property query");
// The driver's answers have these sizes and values on both processors.
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8 && offsetof(DISK_GEOMETRY_EX, Data) == 32 &&
                  sizeof(STORAGE_READ_CAPACITY) == 32 && sizeof(STORAGE_DEVICE_NUMBER) == 12 &&
                  sizeof(STORAGE_PROPERTY_QUERY) == 12 && sizeof(STORAGE_HOTPLUG_INFO) == 8 &&
                  sizeof(GET_MEDIA_TYPES) == 40 && sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32,
              "answer sizes");
static_assert(CD_ROM == 0x33 && DVD_ROM == 0x36 && MEDIA_READ_ONLY == 4, "media types");

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

// ---- What Windows' own tools ask a CD-ROM drive
// --------------------------------------------------- What a drive must answer about its disc: its
// size, the last track, the lead-out in blocks and whether it is a DVD.
struct DiscExpect {
  char letter;
  uint64_t bytes;
  uint32_t leadOut;
  uint8_t lastTrack;
  bool dvd;
};

// A .iso drive's fixed lead-out, 46:59:58, for an image of up to 299,008 sectors.
constexpr uint32_t kIsoFixedLeadOut = 211333;

uint32_t Big32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Every request of the class driver's that the drive answers, sent as the tools send them.
void CheckDiscAnswers(HANDLE drive, const DiscExpect &e) {
  const std::string of = std::string(" (drive ") + e.letter + ":)";
  auto check = [&](bool ok, const char *what) { Check(ok, (what + of).c_str()); };
  DWORD returned = 0;
  GET_LENGTH_INFORMATION length{};
  check(
      Control(drive, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length), &returned) &&
          returned == 8 && uint64_t(length.Length.QuadPart) == e.bytes,
      "length");
  uint8_t geometry[40] = {};
  check(Control(drive, ioctl::kCdromGetDriveGeometryEx, nullptr, 0, geometry, sizeof(geometry),
                &returned) &&
            returned == 32 &&
            reinterpret_cast<DISK_GEOMETRY_EX *>(geometry)->DiskSize.QuadPart ==
                LONGLONG(e.bytes) &&
            reinterpret_cast<DISK_GEOMETRY_EX *>(geometry)->Geometry.BytesPerSector == 2048,
        "geometry EX");
  STORAGE_READ_CAPACITY capacity{};
  check(Control(drive, IOCTL_STORAGE_READ_CAPACITY, nullptr, 0, &capacity, sizeof(capacity),
                &returned) &&
            returned == sizeof(capacity) && capacity.BlockLength == 2048 &&
            uint64_t(capacity.NumberOfBlocks.QuadPart) * 2048 == e.bytes &&
            uint64_t(capacity.DiskLength.QuadPart) == e.bytes,
        "read capacity");
  STORAGE_DEVICE_NUMBER number{};
  check(Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof(number),
                &returned) &&
            returned == 12 && number.DeviceType == FILE_DEVICE_CD_ROM &&
            number.DeviceNumber == DWORD(100 + e.letter - 'A'),
        "device number");

  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_DESCRIPTOR_HEADER header{};
  check(Control(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, sizeof(header),
                &returned) &&
            returned == 8 && header.Size > sizeof(STORAGE_DEVICE_DESCRIPTOR),
        "device descriptor's header");
  std::vector<uint8_t> descriptor(header.Size + 16);
  const auto *device = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR *>(descriptor.data());
  check(Control(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), descriptor.data(),
                DWORD(descriptor.size()), &returned) &&
            returned == header.Size && device->DeviceType == 5 && device->RemovableMedia &&
            device->VendorIdOffset < returned &&
            std::strcmp(reinterpret_cast<char *>(descriptor.data()) + device->VendorIdOffset,
                        "Velmor") == 0,
        "device descriptor: a removable CD-ROM drive of Velmor's");
  query.PropertyId = StorageAdapterProperty;
  STORAGE_ADAPTER_DESCRIPTOR adapter{};
  check(Control(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &adapter,
                sizeof(adapter), &returned) &&
            returned == 32 && adapter.Size == 32 && adapter.AlignmentMask == 1,
        "adapter descriptor");
  query.QueryType = PropertyExistsQuery;
  check(Control(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), nullptr, 0, &returned),
        "the adapter descriptor exists");

  STORAGE_HOTPLUG_INFO hotplug{};
  check(Control(drive, IOCTL_STORAGE_GET_HOTPLUG_INFO, nullptr, 0, &hotplug, sizeof(hotplug),
                &returned) &&
            returned == 8 && hotplug.MediaRemovable,
        "hotplug information");
  GET_MEDIA_TYPES media{};
  const DEVICE_MEDIA_INFO &info = media.MediaInfo[0];
  check(Control(drive, IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, &media, sizeof(media),
                &returned) &&
            returned == sizeof(media) && media.MediaInfoCount == 1 &&
            info.DeviceSpecific.RemovableDiskInfo.MediaType == (e.dvd ? DVD_ROM : CD_ROM) &&
            info.DeviceSpecific.RemovableDiskInfo.MediaCharacteristics ==
                (MEDIA_READ_ONLY | MEDIA_CURRENTLY_MOUNTED),
        e.dvd ? "media type DVD-ROM, read-only, mounted" : "media type CD-ROM, read-only, mounted");
  check(!Control(drive, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned) &&
            GetLastError() == ERROR_WRITE_PROTECT,
        "not writable");
  check(Control(drive, IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr, 0, &returned),
        "check verify 2");

  // GET_CONFIGURATION_IOCTL_INPUT as a 32-bit program lays it out: feature, request type, and
  // two reserved pointers.
  uint32_t configurationInput[4] = {0, 0, 0, 0};
  uint8_t configuration[256] = {};
  check(Control(drive, ioctl::kCdromGetConfiguration, configurationInput,
                sizeof(configurationInput), configuration, sizeof(configuration), &returned) &&
            returned == Big32(configuration) + 4 &&
            (configuration[6] << 8 | configuration[7]) == (e.dvd ? 0x0010 : 0x0008),
        e.dvd ? "configuration: current profile DVD-ROM" : "configuration: current profile CD-ROM");

  uint8_t toc[1024] = {};
  const uint8_t lba[4] = {0, 0, 0, 0};
  const DWORD tocLength = 4 + 8 * (e.lastTrack + 1);
  check(Control(drive, ioctl::kCdromReadTocEx, const_cast<uint8_t *>(lba), 4, toc, sizeof(toc),
                &returned) &&
            returned == tocLength && Big32(toc + tocLength - 4) == e.leadOut,
        "extended table of contents in blocks: the lead-out");
  const uint8_t msf[4] = {0x80, 0, 0, 0};
  check(Control(drive, ioctl::kCdromReadTocEx, const_cast<uint8_t *>(msf), 4, toc, sizeof(toc),
                &returned) &&
            returned == tocLength && toc[6] == 1,
        "extended table of contents in MSF");
  const uint8_t session[4] = {1, 0, 0, 0};
  check(Control(drive, ioctl::kCdromReadTocEx, const_cast<uint8_t *>(session), 4, toc, sizeof(toc),
                &returned) &&
            returned == 12 && toc[3] == 1,
        "extended table of contents: the session");
  const uint8_t full[4] = {0x82, 1, 0, 0};
  check(Control(drive, ioctl::kCdromReadTocEx, const_cast<uint8_t *>(full), 4, toc, sizeof(toc),
                &returned) &&
            returned == 4 + 11u * (e.lastTrack + 3) && toc[7] == 0xA0,
        "extended table of contents: the full table");
  uint8_t last[kSessionAnswerSize] = {};
  check(Control(drive, ioctl::kCdromGetLastSession, nullptr, 0, last, sizeof(last), &returned) &&
            returned == kSessionAnswerSize && last[6] == 1,
        "last session");
}

// The driver completes the remove request with success after deleting the device. Wine hands
// a request's result back to the caller only after the dispatch routine has returned, and by
// then the device is gone, so there the caller sees ERROR_ACCESS_DENIED (STATUS_FILE_DELETED).
bool RemoveDrive(HANDLE drive) {
  DWORD returned = 0;
  return Control(drive, IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0, nullptr, 0, &returned) ||
         GetLastError() == ERROR_ACCESS_DENIED;
}

char FreeLetter(char first = 'L') {
  char target[MAX_PATH];
  for (char letter = first; letter <= 'Y'; ++letter) {
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

std::string Beside(const char *imagePath, const char *suffix) {
  std::string path = imagePath;
  return path.substr(0, path.find_last_of('.')) + suffix;
}

AddRecord RecordFor(char letter, const std::string &imagePath) {
  AddRecord record{};
  record.letter = char16_t(letter);
  MultiByteToWideChar(CP_ACP, 0, imagePath.c_str(), -1, reinterpret_cast<wchar_t *>(record.path),
                      kAddRecordPathUnits);
  return record;
}

// The record goes as input, short of the size the driver refuses, with an output of the
// record's size for the answer: the identity of the file the drive opened.
bool AddDrive(HANDLE control, AddRecord record, FileIdentity *identity = nullptr) {
  AddRecord answer{};
  DWORD returned = 0;
  const bool added =
      Control(control, IOCTL_VELMOR_ADD_DEVICE, &record, 1000, &answer, sizeof(answer), &returned);
  if (added && identity) {
    Check(returned == sizeof(FileIdentity), "the add answers the image's identity");
    std::memcpy(identity, &answer, sizeof(FileIdentity));
  }
  return added;
}

// A drive recorded as the program records it, for the driver to restore at start-up: the path
// the user chose, and the identities of the files the add opened.
void RecordDrive(char letter, const std::string &path, const void *identities, DWORD bytes) {
  RegKey key;
  HKEY known = nullptr;
  const std::string name(1, letter);
  Check(RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(path.c_str()),
                       DWORD(path.size() + 1)) == ERROR_SUCCESS &&
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kIdentitiesKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &known, nullptr) == ERROR_SUCCESS &&
            RegSetValueExA(known, name.c_str(), 0, REG_BINARY,
                           static_cast<const BYTE *>(identities), bytes) == ERROR_SUCCESS,
        "drive recorded in the registry with its identities");
  if (known)
    RegCloseKey(known);
}

// Forgets a recorded drive, as an eject does.
void ForgetDrive(char letter) {
  RegKey key;
  const std::string name(1, letter);
  RegDeleteValueA(key.get(), name.c_str());
  HKEY known = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kIdentitiesKey, 0, KEY_ALL_ACCESS, &known) ==
      ERROR_SUCCESS) {
    RegDeleteValueA(known, name.c_str());
    RegCloseKey(known);
  }
}

// Reads one sector at `sector` through the drive; false when the drive refuses.
bool ReadSector(HANDLE drive, uint32_t sector) {
  OVERLAPPED where{};
  where.Offset = sector * kBytesPerSector;
  std::vector<uint8_t> data(kBytesPerSector);
  DWORD got = 0;
  return ReadFile(drive, data.data(), kBytesPerSector, &got, &where) && got == kBytesPerSector;
}

// A drive whose image shrinks under it (truncated, or replaced by a shorter file) fails the
// sectors it lost instead of answering zeros as data; the sectors it keeps still read.
void ShrunkenImageFails(HANDLE control, const char *imagePath, char notBefore) {
  const std::string copy = Beside(imagePath, "-shrink.iso");
  Check(CopyFileA(imagePath, copy.c_str(), FALSE) != FALSE, "image copied");
  const char letter = FreeLetter(notBefore);
  Check(AddDrive(control, RecordFor(letter, copy)), "drive added over the copy");
  {
    Handle file(CreateFileA(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = 8 * kBytesPerSector + 100;
    Check(file.valid() && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
              SetEndOfFile(file.get()),
          "the copy cut short under its drive");
  }
  Handle drive(OpenDevice(DrivePath(letter)));
  Check(drive.valid() && ReadSector(drive.get(), 7) && ReadSector(drive.get(), 8),
        "the sectors the image keeps still read");
  Check(drive.valid() && !ReadSector(drive.get(), 9) && !ReadSector(drive.get(), 20),
        "the sectors the image lost fail");
  Check(RemoveDrive(drive.get()), "drive over the shrunken copy removed");
  DeleteFileA(copy.c_str());
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
  AddRecord record = RecordFor(letter, imagePath);
  Check(AddDrive(control.get(), record), "drive added");
  // The link is made in the global directory, which every logon session sees.
  char target[MAX_PATH] = {};
  Check(QueryDosDeviceA((std::string("Global\\") + letter + ":").c_str(), target, MAX_PATH) &&
            std::strncmp(target, "\\Device\\VELMOR", 14) == 0,
        "the drive's link is global");
  Check(!AddDrive(control.get(), record), "the same letter cannot be added twice");

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
    uint8_t prevent = 1;
    Check(Control(drive.get(), ioctl::kCdromMediaRemoval, &prevent, 1, nullptr, 0, &returned) &&
              Control(drive.get(), ioctl::kStorageMediaRemoval, &prevent, 1, nullptr, 0, &returned),
          "both media-removal requests answered");
    if (drive.valid())
      CheckDiscAnswers(drive.get(), {letter, image.size(), kIsoFixedLeadOut, 1, false});
    Check(RemoveDrive(drive.get()), "drive removed");
  }
  Handle gone(OpenDevice(DrivePath(letter)));
  Check(!gone.valid(), "a removed drive no longer opens");
  return letter;
}

// A .iso drive over an image of 6 GiB (a sparse file the test script makes beside the image,
// beginning with its sectors): its answers cover the whole image, as a DVD's. Removed again.
void UseLargeIso(HANDLE control, const char *imagePath, char notBefore) {
  const char letter = FreeLetter(notBefore);
  Check(AddDrive(control, RecordFor(letter, Beside(imagePath, "-6g.iso"))),
        "drive added for an image of 6 GiB");
  Handle drive(OpenDevice(DrivePath(letter)));
  Check(drive.valid(), "the drive of 6 GiB opens");
  if (!drive.valid())
    return;
  constexpr uint64_t kSixGiB = uint64_t(6) << 30;
  CheckDiscAnswers(drive.get(), {letter, kSixGiB, uint32_t(kSixGiB / 2048), 1, true});
  Check(RemoveDrive(drive.get()), "the drive of 6 GiB removed");
}

// ---- A layout drive ----------------------------------------------------------------------------
// The image's sectors as a raw BIN (sync, header with the MSF address, 2,048 bytes, no EDC or
// ECC), and an audio track of 300 sectors (the shortest a CD allows) in a file of its own,
// after a pregap of 150 sectors that no file holds.
constexpr uint32_t kAudioSectors = 300;
constexpr uint32_t kAudioPregap = 150;

uint8_t Bcd(uint32_t v) { return uint8_t((v / 10 % 10) << 4 | v % 10); }

std::vector<uint8_t> RawSectorsOf(const std::vector<uint8_t> &image) {
  const size_t sectors = image.size() / kBytesPerSector;
  std::vector<uint8_t> raw(sectors * kRawSectorBytes, 0);
  for (size_t i = 0; i < sectors; ++i) {
    uint8_t *s = raw.data() + i * kRawSectorBytes;
    std::memset(s + 1, 0xFF, 10);
    const uint32_t frames = uint32_t(i) + kSectorsBeforeLba0;
    s[12] = Bcd(frames / 4500);
    s[13] = Bcd(frames / 75 % 60);
    s[14] = Bcd(frames % 75);
    s[15] = 1;
    std::memcpy(s + 16, image.data() + i * kBytesPerSector, kBytesPerSector);
  }
  return raw;
}

std::vector<uint8_t> AudioSectors() {
  std::vector<uint8_t> audio(kAudioSectors * kRawSectorBytes);
  for (size_t i = 0; i < audio.size(); ++i)
    audio[i] = uint8_t(i * 13 + i / 2352);
  return audio;
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::unique_ptr<LayoutRecord> LayoutFor(char letter, uint32_t dataSectors, const char *imagePath) {
  auto record = std::make_unique<LayoutRecord>();
  std::memset(record.get(), 0, sizeof(LayoutRecord));
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = char16_t(letter);
  record->trackCount = 2;
  record->fileCount = 2;
  LayoutTrack &data = record->tracks[0];
  data.sectors = dataSectors;
  data.stride = kStrideRaw;
  data.userOffset = 16;
  data.number = 1;
  data.controlAdr = kControlAdrData;
  LayoutTrack &audio = record->tracks[1];
  audio.firstLba = dataSectors + kAudioPregap;
  audio.pregap = kAudioPregap;
  audio.sectors = kAudioSectors;
  audio.stride = kStrideRaw;
  audio.file = 1;
  audio.number = 2;
  audio.controlAdr = kControlAdrAudio;
  char16_t *name = record->names;
  for (const char *suffix : {"-raw.bin", "-audio.bin"}) {
    const std::string path = Beside(imagePath, suffix);
    name += MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, reinterpret_cast<wchar_t *>(name),
                                int(kMaxDriveImagePathUnits + 1));
  }
  return record;
}

void PutMsf(uint8_t *p, uint32_t lba) {
  const uint32_t frames = lba + kSectorsBeforeLba0;
  p[0] = 0;
  p[1] = uint8_t(frames / 4500);
  p[2] = uint8_t(frames / 75 % 60);
  p[3] = uint8_t(frames % 75);
}

// Reads, the table of contents, a raw audio sector, the last session and the geometry of the
// layout drive at `letter`, against the image it was made from.
void CheckLayoutDrive(char letter, const std::vector<uint8_t> &image) {
  const uint32_t dataSectors = uint32_t(image.size() / kBytesPerSector);
  const uint32_t audioStart = dataSectors + kAudioPregap;
  const uint32_t leadOut = audioStart + kAudioSectors;
  Handle drive(OpenDevice(DrivePath(letter)));
  Check(drive.valid(), "layout drive opens");
  if (!drive.valid())
    return;
  CheckDiscAnswers(drive.get(), {letter, uint64_t(leadOut) * 2048, leadOut, 2, false});
  Check(SectorsMatch(drive.get(), image), "layout drive's sectors match the image");
  DWORD returned = 0;
  uint8_t toc[kTocSize] = {};
  uint8_t tocHead[28] = {0, 26, 1, 2, 0, kControlAdrData,  1,   0,
                         0, 0,  2, 0, 0, kControlAdrAudio, 2,   0,
                         0, 0,  0, 0, 0, kControlAdrAudio, 0xAA};
  PutMsf(tocHead + 16, audioStart);
  PutMsf(tocHead + 24, leadOut);
  Check(Control(drive.get(), ioctl::kCdromReadToc, nullptr, 0, toc, sizeof(toc), &returned) &&
            returned == kTocSize && std::memcmp(toc, tocHead, sizeof(tocHead)) == 0,
        "layout drive's table of contents: the data track, the audio track, the lead-out");
  const std::vector<uint8_t> audio = AudioSectors();
  RawReadInfo info{(audioStart + 7) * kBytesPerSector, 0, 1, kTrackModeCdda};
  std::vector<uint8_t> sector(kRawSectorBytes);
  Check(Control(drive.get(), ioctl::kCdromRawRead, &info, sizeof(info), sector.data(),
                DWORD(sector.size()), &returned) &&
            returned == kRawSectorBytes &&
            std::memcmp(sector.data(), audio.data() + 7 * kRawSectorBytes, kRawSectorBytes) == 0,
        "a raw read of an audio sector gives the file's bytes");
  uint8_t session[kSessionAnswerSize] = {};
  const uint8_t sessionAnswer[kSessionAnswerSize] = {0, 10, 1, 1, 0, kControlAdrData, 1};
  Check(Control(drive.get(), ioctl::kCdromGetLastSession, nullptr, 0, session, sizeof(session),
                &returned) &&
            returned == kSessionAnswerSize &&
            std::memcmp(session, sessionAnswer, sizeof(session)) == 0,
        "layout drive's last session");
  DISK_GEOMETRY geometry{};
  Check(Control(drive.get(), ioctl::kCdromGetDriveGeometry, nullptr, 0, &geometry, sizeof(geometry),
                &returned) &&
            geometry.Cylinders.QuadPart == (leadOut + 2047) / 2048 &&
            geometry.BytesPerSector == 2048,
        "layout drive's geometry covers the lead-out");
}

// Adds a layout drive over the BIN and audio files written from the image; the letter used,
// or 0. Left mounted when `keep`, else removed.
char UseLayoutDrive(HANDLE control, const char *imagePath, char notBefore, bool keep) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  const uint32_t dataSectors = uint32_t(image.size() / kBytesPerSector);
  Check(WriteFileBytes(Beside(imagePath, "-raw.bin"), RawSectorsOf(image)) &&
            WriteFileBytes(Beside(imagePath, "-audio.bin"), AudioSectors()),
        "raw BIN and audio track written");
  const char letter = FreeLetter(notBefore);
  auto record = LayoutFor(letter, dataSectors, imagePath);
  DWORD returned = 0;
  FileIdentity identities[2] = {};
  Check(Control(control, IOCTL_VELMOR_ADD_LAYOUT, record.get(), kLayoutRecordSize, identities,
                sizeof(identities), &returned) &&
            returned == sizeof(identities),
        "layout drive added, answering its files' identities");
  CheckLayoutDrive(letter, image);
  auto shortened = LayoutFor(char(letter + 1), dataSectors, imagePath);
  shortened->tracks[1].sectors = kAudioSectors + 1;
  Check(!Control(control, IOCTL_VELMOR_ADD_LAYOUT, shortened.get(), kLayoutRecordSize, nullptr, 0,
                 &returned) &&
            GetLastError() == ERROR_INVALID_PARAMETER,
        "a layout whose track runs past its file is refused");
  if (!keep) {
    Handle drive(OpenDevice(DrivePath(letter)));
    Check(drive.valid() && RemoveDrive(drive.get()), "layout drive removed");
    return letter;
  }
  // Recorded as the program records it: the path the user chose, and the record beside it.
  RegKey key;
  const std::string cue = Beside(imagePath, ".cue");
  HKEY layouts = nullptr;
  Check(RegSetValueExA(key.get(), std::string(1, letter).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(cue.c_str()),
                       DWORD(cue.size() + 1)) == ERROR_SUCCESS &&
            RegCreateKeyExA(key.get(), kLayoutsSubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &layouts, nullptr) == ERROR_SUCCESS &&
            RegSetValueExA(layouts, std::string(1, letter).c_str(), 0, REG_BINARY,
                           reinterpret_cast<const BYTE *>(record.get()),
                           kLayoutRecordSize) == ERROR_SUCCESS,
        "layout drive recorded in the registry");
  if (layouts)
    RegCloseKey(layouts);
  RecordDrive(letter, cue, identities, sizeof(identities));
  return letter;
}

int Install(const char *driverFile, const char *imagePath) {
  if (!InstallAndStart(driverFile))
    return 1;
  const char letter = UseDriver(imagePath);
  if (!letter)
    return 1;
  {
    Handle control(WaitForControlDevice());
    UseLargeIso(control.get(), imagePath, letter);
  }

  // Recorded as the program records a mounted drive, for the driver to restore at restart.
  FileIdentity identity{};
  {
    Handle control(WaitForControlDevice());
    ShrunkenImageFails(control.get(), imagePath, letter);
    Check(AddDrive(control.get(), RecordFor(letter, imagePath), &identity), "drive added again");
    Handle drive(OpenDevice(DrivePath(letter)));
    Check(RemoveDrive(drive.get()), "drive removed before it is recorded");
  }
  RecordDrive(letter, imagePath, &identity, sizeof(identity));
  RegKey key;
  // Values of other types under letter names must not harm the driver's start.
  const uint8_t binary[64] = {0x41, 0x41, 0x41, 0x41};
  const DWORD number = 16;
  Check(RegSetValueExA(key.get(), std::string(1, char(letter + 1)).c_str(), 0, REG_BINARY, binary,
                       sizeof(binary)) == ERROR_SUCCESS &&
            RegSetValueExA(key.get(), std::string(1, char(letter + 2)).c_str(), 0, REG_DWORD,
                           reinterpret_cast<const BYTE *>(&number),
                           sizeof(number)) == ERROR_SUCCESS,
        "binary and number values recorded beside it");
  Handle control(WaitForControlDevice());
  const char layoutLetter = UseLayoutDrive(control.get(), imagePath, char(letter + 3), true);
  // A drive whose image is written anew before the restart (another file, a new file ID,
  // behind the same name): the driver must not make it at start-up.
  const std::string replaced = Beside(imagePath, "-replaced.iso");
  const std::string fresh = Beside(imagePath, "-fresh.iso");
  const char replacedLetter = FreeLetter(char(layoutLetter + 1));
  FileIdentity old{};
  Check(CopyFileA(imagePath, replaced.c_str(), FALSE) &&
            AddDrive(control.get(), RecordFor(replacedLetter, replaced), &old),
        "drive added over a copy");
  {
    Handle drive(OpenDevice(DrivePath(replacedLetter)));
    Check(RemoveDrive(drive.get()), "drive over the copy removed");
  }
  RecordDrive(replacedLetter, replaced, &old, sizeof(old));
  // Made beside it first, so the new file cannot take the old one's number.
  Check(CopyFileA(imagePath, fresh.c_str(), FALSE) &&
            MoveFileExA(fresh.c_str(), replaced.c_str(), MOVEFILE_REPLACE_EXISTING),
        "the copy written anew under its name");
  std::printf("drive %c:, layout drive %c:, replaced %c:\n", letter, layoutLetter, replacedLetter);
  return failures ? 1 : 0;
}

// The layout drive recorded beside the classic one is back as a layout drive; removed and
// forgotten afterwards. The letter, or 0.
char RestoredLayoutDrive(const std::vector<uint8_t> &image) {
  RegKey key;
  HKEY layouts = nullptr;
  char name[8] = {};
  DWORD nameLength = sizeof(name);
  DWORD type = 0;
  const bool recorded =
      RegOpenKeyExA(key.get(), kLayoutsSubkey, 0, KEY_ALL_ACCESS, &layouts) == ERROR_SUCCESS &&
      RegEnumValueA(layouts, 0, name, &nameLength, nullptr, &type, nullptr, nullptr) ==
          ERROR_SUCCESS &&
      type == REG_BINARY && nameLength == 1;
  Check(recorded, "a layout drive is recorded");
  if (recorded) {
    CheckLayoutDrive(name[0], image);
    Handle drive(OpenDevice(DrivePath(name[0])));
    Check(drive.valid() && RemoveDrive(drive.get()), "re-created layout drive removed");
    RegDeleteValueA(layouts, name);
    ForgetDrive(name[0]);
  }
  if (layouts)
    RegCloseKey(layouts);
  return recorded ? name[0] : 0;
}

// The letter of the classic drive recorded by the install step (or of the one whose image was
// written anew after it), or 0.
char RecordedLetter(bool replaced = false) {
  RegKey key;
  char name[8] = {};
  char data[MAX_PATH] = {};
  DWORD type = 0;
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = sizeof(name), dataLength = sizeof(data) - 1;
    if (RegEnumValueA(key.get(), i, name, &nameLength, nullptr, &type,
                      reinterpret_cast<BYTE *>(data), &dataLength) != ERROR_SUCCESS)
      return 0;
    data[dataLength] = 0;
    if (type == REG_SZ && nameLength == 1 &&
        (std::strstr(data, "-replaced.iso") != nullptr) == replaced)
      return name[0];
  }
}

// The service stops (its unload removes every drive) and starts again (every recorded drive
// comes back, reading its image), without a restart of the system.
int StopAndStart(const char *imagePath) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  const char letter = RecordedLetter();
  Check(letter != 0, "a drive is recorded");
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  SERVICE_STATUS state{};
  Check(ControlService(service.get(), SERVICE_CONTROL_STOP, &state) != FALSE, "stop accepted");
  for (int i = 0; i < 100 && QueryServiceStatus(service.get(), &state) &&
                  state.dwCurrentState != SERVICE_STOPPED;
       ++i)
    Sleep(100);
  Check(state.dwCurrentState == SERVICE_STOPPED, "service stopped");
  {
    Handle drive(OpenDevice(DrivePath(letter)));
    Handle control(OpenDevice(kControlDevicePath));
    Check(!drive.valid() && !control.valid(), "devices gone with the service");
  }
  Check(StartServiceA(service.get(), 0, nullptr) != FALSE, "service started again");
  Handle control(WaitForControlDevice());
  Check(control.valid(), "control device back after the start");
  Handle drive(OpenDevice(DrivePath(letter)));
  Check(drive.valid() && SectorsMatch(drive.get(), image),
        "recorded drive back, reading its image");
  return failures ? 1 : 0;
}

int Restarted(const char *imagePath) {
  const std::vector<uint8_t> image = ReadImage(imagePath);
  Handle control(WaitForControlDevice());
  Check(control.valid(), "control device back after the restart");
  RestoredLayoutDrive(image);
  // The drive whose image was written anew is not made; its record stays until an eject.
  const char replaced = RecordedLetter(true);
  Check(replaced != 0, "the drive over the replaced image is still recorded");
  if (replaced) {
    Handle none(OpenDevice(DrivePath(replaced)));
    Check(!none.valid(), "no drive over an image that is another file now");
    uint8_t skipped[kSkippedAnswerSize] = {};
    DWORD returned = 0;
    Check(Control(control.get(), IOCTL_VELMOR_GET_SKIPPED, nullptr, 0, skipped, sizeof(skipped),
                  &returned) &&
              skipped[replaced - 'A'] == uint8_t(SkipReason::kIdentityChanged),
          "the driver tells why it skipped that drive");
    ForgetDrive(replaced);
  }
  RegKey key;
  const char letter = RecordedLetter();
  Check(letter != 0, "a drive is recorded");
  for (char other : {char(letter + 1), char(letter + 2)}) {
    Handle none(OpenDevice(DrivePath(other)));
    Check(!none.valid(), "no drive for a value that is not a string");
    RegDeleteValueA(key.get(), std::string(1, other).c_str());
  }
  {
    Handle drive(OpenDevice(DrivePath(letter)));
    Check(drive.valid(), "recorded drive re-created");
    Check(drive.valid() && SectorsMatch(drive.get(), image), "re-created drive reads the image");
    if (drive.valid())
      Check(RemoveDrive(drive.get()), "re-created drive removed");
  }
  Handle gone(OpenDevice(DrivePath(letter)));
  Check(!gone.valid(), "the re-created drive is gone after its removal");
  ForgetDrive(letter);
  return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 4 && std::strcmp(argv[1], "install") == 0)
    return Install(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "use") == 0) {
    const char letter = UseDriver(argv[2]);
    Handle control(WaitForControlDevice());
    if (letter)
      UseLargeIso(control.get(), argv[2], letter);
    // Past the letters the installing check recorded.
    return letter && UseLayoutDrive(control.get(), argv[2], char(letter + 6), false) && !failures
               ? 0
               : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "restarted") == 0)
    return Restarted(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "stopstart") == 0)
    return StopAndStart(argv[2]);
  std::fprintf(stderr, "usage: driver_service_check install <driver> <image> | use <image> | "
                       "stopstart <image> | restarted <image>\n");
  return 2;
}
