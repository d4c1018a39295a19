// Control requests. As in the platform's CD-ROM class driver, each request first checks its
// caller and buffers and only then does its work. Control requests arrive at PASSIVE_LEVEL in
// the caller's own thread, which the add and remove rely on for their checks of the caller's
// rights; they are completed here, at once. Only the answers that read the image wait for
// the driver's thread.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_build_identity.h"
#include "velmor_driver.h"

namespace velmor {
namespace {

using namespace kernel;

struct Outcome {
  NtStatus status;
  uint32_t information;
};

constexpr Outcome Done(NtStatus s, uint32_t information = 0) { return Outcome{s, information}; }

// Adding and removing drives is for administrators: a drive reads its image with the
// driver's rights and shows it to every session, and a remove takes a drive from everyone.
// The check looks at the calling thread, which is the caller's own for a control request.
bool CallerMayChangeDrives(Request *request) {
  return !FromUserMode(request) || CallerMayCreateGlobalNames();
}

void PutLittle32(void *buffer, uint32_t value) {
  auto *p = static_cast<uint8_t *>(buffer);
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(value >> (8 * i));
}

Outcome AddDrive(Device *device, Request *request) {
  VelmorTrace("-----Adding Device in responce to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  if (InputLength(request) >= kAddRecordSize)
    return Done(status::kBufferTooSmall);
  // The record travels in the caller's output buffer; one that is too short or cannot be
  // addressed is refused before a byte of it is read.
  if (OutputLength(request) < kAddRecordSize)
    return Done(status::kInvalidParameter);
  auto *callerRecord = static_cast<uint8_t *>(CallerOutputBuffer(request, kAddRecordSize));
  if (!callerRecord)
    return Done(status::kInvalidParameter);

  // The caller may unmap or change its buffer at any moment, so the record is copied once and
  // only the copy is checked and used. A fault on the way creates nothing.
  AddRecord record;
  if (!CopyFromCaller(&record, callerRecord, kAddRecordSize))
    return Done(status::kAccessViolation);
  if (!IsDriveLetter(record.letter))
    return Done(status::kInvalidParameter);
  char16_t linkStore[9] = {record.letter};
  UString letterLink{sizeof(char16_t), sizeof(linkStore), linkStore};
  AppendText(&letterLink, u":");

  const char16_t endStop = 0;
  if (!CopyToCaller(callerRecord + offsetof(AddRecord, endStop), &endStop, sizeof(endStop)))
    return Done(status::kAccessViolation);
  // The copy's path ends at the same place: at most 499 code units before the end stop.
  uint16_t units = 0;
  while (units < kAddRecordPathUnits && record.path[units] != 0)
    ++units;
  const uint16_t bytes = uint16_t(units * sizeof(char16_t));
  UString imagePath{bytes, bytes, record.path};

  // A kernel-mode caller is trusted with files, as with the privilege above.
  const uint32_t options =
      kClearInitializing | (FromUserMode(request) ? uint32_t(kCheckCallerAccess) : 0u);
  return Done(VelmorCreateDevice(DeviceDriver(device), VelmorExtensionOf(device)->Queue,
                                 &letterLink, &imagePath, options));
}

// The record comes as the request's input, in the system buffer: the I/O manager's own copy,
// which the caller cannot change while it is checked and used. The whole record is checked,
// then every file it names, before anything is made; a fault anywhere is the caller's.
Outcome AddLayoutDrive(Device *device, Request *request) {
  VelmorTrace("-----Adding a layout drive in response to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  if (InputLength(request) != kLayoutRecordSize)
    return Done(status::kInvalidParameter);
  const auto &record = *static_cast<const LayoutRecord *>(SystemBuffer(request));
  if (CheckLayoutRecord(record) != LayoutFault::kValid)
    return Done(status::kInvalidParameter);
  VelmorLayout *layout = VelmorNewLayout(record);
  if (!layout)
    return Done(status::kInsufficientResources);
  // Still in the caller's thread at PASSIVE_LEVEL: the access check is the caller's own. A
  // kernel-mode caller is trusted with files, as with the classic add.
  const NtStatus files = VelmorCheckLayoutFiles(layout, FromUserMode(request));
  if (!IsSuccess(files)) {
    VelmorFreeLayout(layout);
    return Done(files);
  }
  char16_t linkStore[3] = {record.letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  return Done(VelmorCreateLayoutDrive(DeviceDriver(device), VelmorExtensionOf(device)->Queue,
                                      &letterLink, layout, kClearInitializing));
}

Outcome RemoveDrive(Device *device, Request *request) {
  VelmorTrace("-----Unloading Device in responce to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  VelmorRemoveDevice(VelmorExtensionOf(device));
  return Done(status::kSuccess);
}

Outcome Version(Request *request) {
  VelmorTraceNumber("IOCTL_VELMOR_GET_VERSION: sizeof(ULONG)=", kVersionAnswerSize);
  VelmorTraceNumber("IOCTL_VELMOR_GET_VERSION: VEL_MOR_VERSION_NUMBER=", VEL_MOR_VERSION_NUMBER);
  if (OutputLength(request) < kVersionAnswerSize)
    return Done(status::kBufferTooSmall);
  PutLittle32(SystemBuffer(request), VEL_MOR_VERSION_NUMBER);
  return Done(status::kSuccess, kVersionAnswerSize);
}

// The build this driver was made from, so a program carrying another build knows to replace it.
Outcome Build(Request *request) {
  if (OutputLength(request) < kBuildAnswerSize)
    return Done(status::kBufferTooSmall);
  auto *answer = static_cast<uint8_t *>(SystemBuffer(request));
  PutLittle32(answer, kBuildProtocolVersion);
  for (uint32_t i = 0; i < kBuildIdentitySize; ++i)
    answer[4 + i] = kDriverBuildIdentity[i];
  return Done(status::kSuccess, kBuildAnswerSize);
}

struct ImageAnswerKind {
  uint32_t size;
  uint32_t headerOffset;
  void (*fillIso)(void *);
};

ImageAnswerKind KindOf(QueuedWork work) {
  return work == QueuedWork::kToc
             ? ImageAnswerKind{kTocSize, kVelmorTocOffset, VelmorFillIsoToc}
             : ImageAnswerKind{kGeometrySize, kVelmorGeometryOffset, VelmorFillIsoGeometry};
}

// An answer of a layout drive, from its copy of the tracks: no file work, so it is given here
// at once. The hold keeps the copy while a remove through another handle runs.
Outcome LayoutAnswer(VELMOR_DRIVE_EXTENSION *extension, Request *request, uint32_t size,
                     void (*fill)(const VelmorLayout *, void *)) {
  if (!VelmorHoldImageName(extension))
    return Done(status::kDeviceNotReady);
  fill(extension->Layout, SystemBuffer(request));
  VelmorReleaseImageName(extension);
  return Done(status::kSuccess, size);
}

// Table of contents and geometry: fixed for a plain ISO drive, read from the image's header
// for a VELMOR format drive, on the driver's thread; a layout drive's come from its tracks.
Outcome ImageAnswer(Device *device, Request *request, QueuedWork work) {
  const ImageAnswerKind kind = KindOf(work);
  if (OutputLength(request) < kind.size)
    return Done(status::kInvalidParameter);
  auto *extension = VelmorExtensionOf(device);
  if (extension->LayoutLeadOut)
    return LayoutAnswer(extension, request, kind.size,
                        work == QueuedWork::kToc ? VelmorFillLayoutToc : VelmorFillLayoutGeometry);
  if (!extension->IsoFormat)
    return Done(VelmorQueueRequest(device, request, work));
  kind.fillIso(SystemBuffer(request));
  return Done(status::kSuccess, kind.size);
}

Outcome LastSession(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (!extension->LayoutLeadOut)
    return Done(status::kDeviceNotReady);
  if (OutputLength(request) < kSessionAnswerSize)
    return Done(status::kBufferTooSmall);
  return LayoutAnswer(extension, request, kSessionAnswerSize, VelmorFillLayoutSession);
}

// METHOD_OUT_DIRECT: the RAW_READ_INFO is in the system buffer, the sectors go to the
// request's locked output buffer, which the driver's thread maps. Everything that needs no
// file is checked here, before the request is queued.
Outcome RawRead(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (!extension->LayoutLeadOut)
    return Done(status::kInvalidDeviceRequest); // a classic drive has no raw sectors
  if (InputLength(request) < sizeof(RawReadInfo))
    return Done(status::kInvalidParameter);
  RawReadInfo info;
  const auto *input = static_cast<const uint8_t *>(SystemBuffer(request));
  auto *copy = reinterpret_cast<uint8_t *>(&info);
  for (uint32_t i = 0; i < sizeof(info); ++i)
    copy[i] = input[i];
  if (info.trackMode > kTrackModeCdda || info.sectorCount == 0)
    return Done(status::kInvalidParameter);
  if (uint64_t(info.sectorCount) * kRawSectorBytes > OutputLength(request))
    return Done(status::kBufferTooSmall);
  const uint64_t first = RawReadFirstBlock(info);
  if (first >= extension->LayoutLeadOut || info.sectorCount > extension->LayoutLeadOut - first)
    return Done(status::kInvalidParameter);
  return Done(VelmorQueueRequest(device, request, QueuedWork::kRawRead));
}

// A drive that has been removed may still have a volume of the file system on it, which
// asks whether its medium is still there: "no medium", and a verify, make it let go.
Outcome CheckVerify(Device *device, Request *request) {
  if (VelmorDriveRemoved(VelmorExtensionOf(device))) {
    SetDeviceFlags(device, kDoVerifyVolume);
    return Done(status::kNoMediaInDevice);
  }
  const uint32_t outputLength = OutputLength(request);
  if (outputLength == 0)
    return Done(status::kSuccess);
  if (outputLength < sizeof(uint32_t))
    return Done(status::kBufferTooSmall);
  PutLittle32(SystemBuffer(request), 1); // media change count: the medium never changes
  return Done(status::kSuccess, sizeof(uint32_t));
}

Outcome Answer(Device *device, Request *request) {
  const uint32_t code = ControlCode(request);
  switch (code) {
  case IOCTL_VELMOR_ADD_DEVICE:
    return AddDrive(device, request);
  case IOCTL_VELMOR_ADD_LAYOUT:
    return AddLayoutDrive(device, request);
  case IOCTL_VELMOR_REMOVE_DEVICE:
    return RemoveDrive(device, request);
  case IOCTL_VELMOR_GET_VERSION:
    return Version(request);
  case IOCTL_VELMOR_GET_BUILD:
    return Build(request);
  case ioctl::kCdromReadToc:
    VelmorTrace("IOCTL_CDROM_READ_TOC");
    return ImageAnswer(device, request, QueuedWork::kToc);
  case ioctl::kCdromGetDriveGeometry:
    VelmorTrace("IOCTL_CDROM_GET_DRIVE_GEOMETRY");
    return ImageAnswer(device, request, QueuedWork::kGeometry);
  case ioctl::kCdromCheckVerify:
  case ioctl::kStorageCheckVerify:
    return CheckVerify(device, request);
  // Audio, eject and rescan requests are accepted and do nothing: the image stays mounted.
  case ioctl::kCdromSeekAudioMsf:
  case ioctl::kCdromStopAudio:
  case ioctl::kCdromPauseAudio:
  case ioctl::kCdromResumeAudio:
  case ioctl::kCdromPlayAudioMsf:
  case ioctl::kCdromSetVolume:
  case ioctl::kCdromEjectMedia:
  case ioctl::kStorageEjectMedia:
  case ioctl::kStorageFindNewDevices:
    return Done(status::kSuccess);
  case ioctl::kCdromGetVolume:
    VelmorTrace("IOCTL_CDROM_GET_VOLUME");
    return Done(status::kDeviceNotReady);
  case ioctl::kCdromReadQChannel:
    VelmorTrace("IOCTL_CDROM_READ_Q_CHANNEL");
    return Done(status::kDeviceNotReady);
  case ioctl::kCdromGetLastSession:
    VelmorTrace("IOCTL_CDROM_GET_LAST_SESSION");
    return LastSession(device, request);
  case ioctl::kCdromDiskType:
    VelmorTrace("Ignoring: IOCTL_CDROM_DISK_TYPE");
    return Done(status::kInvalidDeviceRequest);
  case ioctl::kCdromRawRead:
    VelmorTrace("IOCTL_CDROM_RAW_READ");
    return RawRead(device, request);
  case ioctl::kDiskGetDriveGeometry:
    VelmorTrace("Ignoring: IOCTL_DISK_GET_DRIVE_GEOMETRY");
    return Done(status::kInvalidDeviceRequest);
  default:
    VelmorTraceNumber("ERROR:  unrecognized IOCTL ", code);
    return Done(status::kInvalidDeviceRequest);
  }
}

} // namespace

NtStatus VelmorDispatchDeviceControl(Device *device, Request *request) {
  const Outcome outcome = Answer(device, request);
  // A queued request belongs to the driver's thread now, and may already be complete.
  if (outcome.status != status::kPending)
    CompleteRequest(request, outcome.status, outcome.information);
  return outcome.status;
}

void VelmorServeImageAnswer(Device *device, Request *request, QueuedWork work) {
  const ImageAnswerKind kind = KindOf(work);
  auto *answer = static_cast<uint8_t *>(SystemBuffer(request));
  // A header cut short by the file's end fills only part of the answer, the rest with zeros.
  if (!IsSuccess(
          VelmorReadImage(VelmorExtensionOf(device), kind.headerOffset, answer, kind.size))) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  CompleteRequest(request, status::kSuccess, kind.size);
}

} // namespace velmor
