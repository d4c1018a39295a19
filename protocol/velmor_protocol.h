// What the program and the velmor.sys driver agree on: object names, control codes, the add
// record, statuses, the registry table of mounted drives, the image format rule and the
// device-change notice. Freestanding (no standard library beyond fixed-width integers) so the
// kernel driver, the program and the tests share one copy of every value.
//
// The platform headers define the standard control codes and statuses as macros, so the
// values here carry names of their own and never collide with those macros.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace velmor {

// ---- Object names ----------------------------------------------------------------------------
// The control device and its link; user mode opens the link as "\\.\VELMOR".
inline constexpr char16_t kControlDeviceName[] = u"\\Device\\VELMOR";
inline constexpr char16_t kControlLinkName[] = u"\\DosDevices\\VELMOR";
inline constexpr char kControlDevicePath[] = "\\\\.\\VELMOR";
// A drive device is kDriveDeviceNamePrefix followed by (letter - 'A') in decimal; its link is
// kDosDevicesPrefix followed by "L:". User mode opens a drive with kDrivePathFormat.
inline constexpr char16_t kDriveDeviceNamePrefix[] = u"\\Device\\VELMOR";
inline constexpr char16_t kDosDevicesPrefix[] = u"\\DosDevices\\";
// Links are made in the global directory, which every logon session sees; a link made under
// kDosDevicesPrefix alone lands in the caller's session only. Systems without the directory
// get the plain name.
inline constexpr char16_t kGlobalDosDevicesPrefix[] = u"\\DosDevices\\Global\\";
inline constexpr char16_t kGlobalControlLinkName[] = u"\\DosDevices\\Global\\VELMOR";
inline constexpr char kDrivePathFormat[] = "\\\\.\\%s:";

inline constexpr bool IsDriveLetter(uint32_t unit) { return unit >= 'A' && unit <= 'Z'; }
inline constexpr uint32_t DriveNumber(char16_t letter) { return uint32_t(letter) - 'A'; }

// ---- Control codes ---------------------------------------------------------------------------
inline constexpr uint32_t kFileDeviceCdRom = 0x02;
inline constexpr uint32_t kFileDeviceDisk = 0x07;
inline constexpr uint32_t kFileDeviceUnknown = 0x22;
inline constexpr uint32_t kFileDeviceMassStorage = 0x2D;
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kMethodOutDirect = 2;
inline constexpr uint32_t kFileAnyAccess = 0;
inline constexpr uint32_t kFileReadAccess = 1;

// The platform's layout of a control code.
inline constexpr uint32_t ControlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                                      uint32_t access) {
  return deviceType * 0x10000 + access * 0x4000 + function * 4 + method;
}

// Private requests of the driver.
inline constexpr uint32_t IOCTL_VELMOR_ADD_DEVICE =
    ControlCode(kFileDeviceCdRom, 0x802, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t IOCTL_VELMOR_REMOVE_DEVICE =
    ControlCode(kFileDeviceCdRom, 0x803, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t IOCTL_VELMOR_GET_VERSION =
    ControlCode(kFileDeviceCdRom, 0x804, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t VEL_MOR_VERSION_NUMBER = 1;
// The driver's build, which the program compares with the driver it carries: a driver that
// answers another build (or does not know the request) is replaced and restarted.
inline constexpr uint32_t IOCTL_VELMOR_GET_BUILD =
    ControlCode(kFileDeviceCdRom, 0x806, kMethodBuffered, kFileAnyAccess);
// The answer: the protocol version (little-endian), then the 16 bytes of the build's identity.
inline constexpr uint32_t kBuildProtocolVersion = 1;
inline constexpr uint32_t kBuildIdentitySize = 16;
inline constexpr uint32_t kBuildAnswerSize = 4 + kBuildIdentitySize;

// Standard requests a drive answers (the platform's codes).
namespace ioctl {
inline constexpr uint32_t kCdromReadToc =
    ControlCode(kFileDeviceCdRom, 0x0000, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromSeekAudioMsf =
    ControlCode(kFileDeviceCdRom, 0x0001, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromStopAudio =
    ControlCode(kFileDeviceCdRom, 0x0002, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromPauseAudio =
    ControlCode(kFileDeviceCdRom, 0x0003, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromResumeAudio =
    ControlCode(kFileDeviceCdRom, 0x0004, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromGetVolume =
    ControlCode(kFileDeviceCdRom, 0x0005, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromPlayAudioMsf =
    ControlCode(kFileDeviceCdRom, 0x0006, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromSetVolume =
    ControlCode(kFileDeviceCdRom, 0x000A, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromReadQChannel =
    ControlCode(kFileDeviceCdRom, 0x000B, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromGetLastSession =
    ControlCode(kFileDeviceCdRom, 0x000E, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromRawRead =
    ControlCode(kFileDeviceCdRom, 0x000F, kMethodOutDirect, kFileReadAccess);
inline constexpr uint32_t kCdromDiskType =
    ControlCode(kFileDeviceCdRom, 0x0010, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kCdromGetDriveGeometry =
    ControlCode(kFileDeviceCdRom, 0x0013, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromCheckVerify =
    ControlCode(kFileDeviceCdRom, 0x0200, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromEjectMedia =
    ControlCode(kFileDeviceCdRom, 0x0202, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kStorageCheckVerify =
    ControlCode(kFileDeviceMassStorage, 0x0200, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kStorageEjectMedia =
    ControlCode(kFileDeviceMassStorage, 0x0202, kMethodBuffered, kFileReadAccess);
// Locks and unlocks the medium in the drive: PREVENT_MEDIA_REMOVAL, one byte.
inline constexpr uint32_t kCdromMediaRemoval =
    ControlCode(kFileDeviceCdRom, 0x0201, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kStorageMediaRemoval =
    ControlCode(kFileDeviceMassStorage, 0x0201, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kPreventMediaRemovalSize = 1;
inline constexpr uint32_t kStorageFindNewDevices =
    ControlCode(kFileDeviceMassStorage, 0x0206, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kDiskGetDriveGeometry =
    ControlCode(kFileDeviceDisk, 0x0000, kMethodBuffered, kFileAnyAccess);
// What disk managers, imaging and burning tools and the shell ask a CD-ROM drive.
inline constexpr uint32_t kDiskGetLengthInfo =
    ControlCode(kFileDeviceDisk, 0x0017, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kDiskIsWritable =
    ControlCode(kFileDeviceDisk, 0x0009, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kCdromGetDriveGeometryEx =
    ControlCode(kFileDeviceCdRom, 0x0014, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromReadTocEx =
    ControlCode(kFileDeviceCdRom, 0x0015, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kCdromGetConfiguration =
    ControlCode(kFileDeviceCdRom, 0x0016, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kStorageCheckVerify2 =
    ControlCode(kFileDeviceMassStorage, 0x0200, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kStorageGetMediaTypesEx =
    ControlCode(kFileDeviceMassStorage, 0x0301, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kStorageGetHotplugInfo =
    ControlCode(kFileDeviceMassStorage, 0x0305, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kStorageGetDeviceNumber =
    ControlCode(kFileDeviceMassStorage, 0x0420, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kStorageReadCapacity =
    ControlCode(kFileDeviceMassStorage, 0x0450, kMethodBuffered, kFileReadAccess);
inline constexpr uint32_t kStorageQueryProperty =
    ControlCode(kFileDeviceMassStorage, 0x0500, kMethodBuffered, kFileAnyAccess);
} // namespace ioctl

// ---- Statuses --------------------------------------------------------------------------------
using NtStatus = int32_t;
namespace status {
inline constexpr NtStatus kSuccess = 0;
inline constexpr NtStatus kPending = 0x00000103;
inline constexpr NtStatus kVerifyRequired = NtStatus(0x80000016u);
inline constexpr NtStatus kInfoLengthMismatch = NtStatus(0xC0000004u);
inline constexpr NtStatus kAccessViolation = NtStatus(0xC0000005u);
inline constexpr NtStatus kInvalidParameter = NtStatus(0xC000000Du);
inline constexpr NtStatus kInvalidDeviceRequest = NtStatus(0xC0000010u);
inline constexpr NtStatus kEndOfFile = NtStatus(0xC0000011u);
inline constexpr NtStatus kNoMediaInDevice = NtStatus(0xC0000013u);
inline constexpr NtStatus kAccessDenied = NtStatus(0xC0000022u);
inline constexpr NtStatus kBufferTooSmall = NtStatus(0xC0000023u);
inline constexpr NtStatus kObjectNameNotFound = NtStatus(0xC0000034u);
inline constexpr NtStatus kObjectNameCollision = NtStatus(0xC0000035u);
inline constexpr NtStatus kObjectPathNotFound = NtStatus(0xC000003Au);
inline constexpr NtStatus kPrivilegeNotHeld = NtStatus(0xC0000061u);
inline constexpr NtStatus kObjectTypeMismatch = NtStatus(0xC0000024u);
inline constexpr NtStatus kFileInvalid = NtStatus(0xC0000098u);
inline constexpr NtStatus kInsufficientResources = NtStatus(0xC000009Au);
inline constexpr NtStatus kMediaWriteProtected = NtStatus(0xC00000A2u);
inline constexpr NtStatus kDeviceNotReady = NtStatus(0xC00000A3u);
inline constexpr NtStatus kFileIsADirectory = NtStatus(0xC00000BAu);
// What the class driver answers for a sector the medium cannot give (a medium error).
inline constexpr NtStatus kDeviceDataError = NtStatus(0xC000009Cu);
inline constexpr NtStatus kCancelled = NtStatus(0xC0000120u);
inline constexpr NtStatus kNotSupported = NtStatus(0xC00000BBu);
inline constexpr NtStatus kInvalidBufferSize = NtStatus(0xC0000206u);
// A device that did not do what was asked in time (a served drive's server did not answer).
inline constexpr NtStatus kIoDeviceError = NtStatus(0xC0000185u);
} // namespace status
inline constexpr bool IsSuccess(NtStatus s) { return s >= 0; }

// ---- The add record --------------------------------------------------------------------------
// Sent as the output buffer of IOCTL_VELMOR_ADD_DEVICE: the letter, the image path in UTF-16
// ended by a zero, and a last code unit that the driver overwrites with zero before it reads
// the path, so a path is never read past byte 999.
struct AddRecord {
  char16_t letter;
  char16_t path[499];
  char16_t endStop;
};
// No pointer and no field whose size follows the processor: the 32-bit program's record
// reaches the x86-64 driver through WOW64 byte for byte. Both driver builds compile these.
static_assert(sizeof(AddRecord) == 1002, "the add record is 1,002 bytes");
static_assert(offsetof(AddRecord, path) == 2 && offsetof(AddRecord, endStop) == 1000,
              "add record layout");
static_assert(alignof(AddRecord) == 2, "the add record needs no wider alignment");
inline constexpr uint32_t kAddRecordSize = sizeof(AddRecord);
inline constexpr uint32_t kAddRecordPathUnits = 499;
// What a drive keeps of an image path: its store holds "\??\" and then this many code units.
inline constexpr uint32_t kMaxDriveImagePathUnits = 495;
// The buffered answers (version, media changes, table of contents, geometry) are fixed-size
// records of fixed-width fields on both processors too.
inline constexpr uint32_t kVersionAnswerSize = 4;

// ---- Registry table of mounted drives ---------------------------------------------------------
// Under HKEY_LOCAL_MACHINE: one REG_SZ value per drive, named by its upper-case letter, holding
// the image path exactly as sent in the add record.
inline constexpr char kDrivesKey[] = "SYSTEM\\CurrentControlSet\\Services\\VELMOR\\Parameters";
inline constexpr char16_t kParametersSubkey[] = u"\\Parameters";
inline constexpr char kServiceName[] = "VELMOR";
inline constexpr char kDriverFileName[] = "velmor.sys";

// ---- Image formats ---------------------------------------------------------------------------
// An image path ending in ".ISO" (any case) is a plain image: disc byte k is file byte k.
// Any other path is a VELMOR format image: a 64 KiB header, then the disc.
inline constexpr char16_t kIsoSuffix[] = u".ISO";
inline constexpr uint32_t kIsoSuffixUnits = 4;
inline constexpr uint32_t kVelmorHeaderSize = 0x10000;
inline constexpr uint32_t kVelmorGeometryOffset = 1024;
inline constexpr uint32_t kVelmorTocOffset = 2048;
inline constexpr uint32_t kTocSize = 804;
inline constexpr uint32_t kGeometrySize = 24;
inline constexpr uint32_t kBytesPerSector = 2048;

// The format rule with a given case-insensitive comparison, called as
// equalIgnoringCase(last units of path, kIsoSuffix, kIsoSuffixUnits). A path shorter than the
// suffix is a VELMOR format image and is never looked at.
template <typename EqualIgnoringCase>
constexpr bool IsIsoImagePath(const char16_t *path, size_t units,
                              EqualIgnoringCase equalIgnoringCase) {
  return units >= kIsoSuffixUnits &&
         equalIgnoringCase(path + (units - kIsoSuffixUnits), kIsoSuffix, size_t(kIsoSuffixUnits));
}

inline constexpr bool EqualAsciiIgnoringCase(const char16_t *a, const char16_t *b, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z')
      x = char16_t(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z')
      y = char16_t(y - u'a' + u'A');
    if (x != y)
      return false;
  }
  return true;
}

// The format rule for user-mode callers (ASCII case folding; the driver uses the kernel's
// Unicode comparison).
inline constexpr bool IsIsoImagePath(const char16_t *path, size_t units) {
  return IsIsoImagePath(path, units, EqualAsciiIgnoringCase);
}

// ---- Device-change notice --------------------------------------------------------------------
inline constexpr uint32_t kWmDeviceChange = 0x0219;
inline constexpr uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr uint32_t kBsfIgnoreCurrentTask = 2;
inline constexpr uint32_t kBsmAllComponents = 0;
inline constexpr uint32_t kDbtDevtypVolume = 2;
inline constexpr uint16_t kDbtfNet = 2;

#pragma pack(push, 1)
// The 18-byte volume record that lParam of the notice points to.
struct VolumeNotice {
  uint32_t size;
  uint32_t deviceType;
  uint32_t reserved;
  uint32_t unitMask;
  uint16_t flags;
};
#pragma pack(pop)
static_assert(sizeof(VolumeNotice) == 18, "the notice record is 18 bytes");

inline constexpr uint32_t UnitMask(char letter) { return 1u << (letter - 'A'); }
inline constexpr VolumeNotice MakeVolumeNotice(char letter) {
  return VolumeNotice{sizeof(VolumeNotice), kDbtDevtypVolume, 0, UnitMask(letter), kDbtfNet};
}
// An arrival is announced once; every other event twice in a row.
inline constexpr int NoticeRepeats(uint32_t event) { return event == kDbtDeviceArrival ? 1 : 2; }

} // namespace velmor
