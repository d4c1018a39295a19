// Control requests. As in the platform's CD-ROM class driver, each request is first validated
// (its device, its buffers, its caller) by one table of rules and only then handled. Control
// requests from user mode arrive at PASSIVE_LEVEL in the caller's own thread, which the add
// and remove rely on for their checks of the caller's rights; they are completed here, at once.
// Only the answers that read the image wait for the drive's thread.
#include "disc_answers.h"
#include "layout_drive.h"
#include "served_drive.h"
#include "trace.h"
#include "velmor_build_identity.h"
#include "velmor_driver.h"
#include "velmor_identity.h"

namespace velmor {
namespace {

using namespace kernel;

struct Outcome {
  NtStatus status;
  uint32_t information;
};

constexpr Outcome Done(NtStatus s, uint32_t information = 0) { return Outcome{s, information}; }

// Adding and removing drives is for administrators: a drive shows its image to every session
// and a remove takes a drive from everyone. The privilege is one that administrators hold and
// the service accounts do not. The check looks at the calling thread, which is the caller's own
// for a control request.
bool CallerMayChangeDrives(Request *request) {
  return !FromUserMode(request) || CallerMayManageVolumes();
}

void PutLittle32(void *buffer, uint32_t value) {
  auto *p = static_cast<uint8_t *>(buffer);
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(value >> (8 * i));
}

// A paged copy of the add record, freed on every way out: the record is too large for a kernel
// stack that goes on down through the file systems.
class RecordCopy {
public:
  RecordCopy() : record_(static_cast<AddRecord *>(AllocatePaged(sizeof(AddRecord), kPoolTagDdk))) {}
  RecordCopy(const RecordCopy &) = delete;
  RecordCopy &operator=(const RecordCopy &) = delete;
  ~RecordCopy() {
    if (record_)
      FreePool(record_);
  }
  AddRecord *get() const { return record_; }

private:
  AddRecord *record_;
};

// The record comes as the request's input, in the system buffer: the I/O manager's own copy,
// which the caller cannot change while it is used. Whatever the input leaves out of the record
// reads as zeros, and the end stop is always zero, so a path never runs past byte 999. The
// answer is the opened image's identity, for the program to record.
Outcome AddDrive(Device *device, Request *request) {
  VelmorTrace("-----Adding Device in responce to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  const uint32_t inputLength = InputLength(request);
  if (inputLength >= kAddRecordSize)
    return Done(status::kBufferTooSmall);
  if (OutputLength(request) < kAddRecordSize)
    return Done(status::kInvalidParameter);
  if (inputLength < sizeof(char16_t) || !SystemBuffer(request))
    return Done(status::kInvalidParameter);
  RecordCopy copy;
  AddRecord *record = copy.get();
  if (!record)
    return Done(status::kInsufficientResources);
  __builtin_memset(record, 0, sizeof(AddRecord));
  __builtin_memcpy(record, SystemBuffer(request), inputLength);
  record->endStop = 0;
  if (!IsDriveLetter(record->letter))
    return Done(status::kInvalidParameter);
  char16_t linkStore[3] = {record->letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  uint16_t units = 0;
  while (units < kAddRecordPathUnits && record->path[units] != 0)
    ++units;
  const uint16_t bytes = uint16_t(units * sizeof(char16_t));
  UString imagePath{bytes, bytes, record->path};

  // A kernel-mode caller is trusted with files, as with the privilege above.
  const uint32_t options =
      kClearInitializing | (FromUserMode(request) ? uint32_t(kCheckCallerAccess) : 0u);
  FileIdentity identity;
  const NtStatus made = VelmorCreateDevice(device, &letterLink, &imagePath, options, &identity);
  if (!IsSuccess(made))
    return Done(made);
  __builtin_memcpy(SystemBuffer(request), &identity, sizeof(identity));
  return Done(status::kSuccess, sizeof(identity));
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
  const char16_t letter = record.letter;
  VelmorLayout *layout = VelmorNewLayout(record);
  if (!layout)
    return Done(status::kInsufficientResources);
  // Still in the caller's thread at PASSIVE_LEVEL: the access check is the caller's own, on
  // the opens the drive reads through. A kernel-mode caller is trusted with files, as with the
  // classic add.
  const uint32_t options =
      kClearInitializing | (FromUserMode(request) ? uint32_t(kCheckCallerAccess) : 0u);
  const NtStatus files = VelmorOpenLayoutFiles(DeviceDriver(device), layout, options);
  if (!IsSuccess(files)) {
    VelmorFreeLayout(layout);
    return Done(files);
  }
  // The identities, taken before the drive owns the layout; the record in the system buffer
  // is not read again, so the answer may go over it.
  const uint32_t fileCount = layout->fileCount;
  const bool answer = OutputLength(request) >= fileCount * sizeof(FileIdentity);
  auto *identities = static_cast<FileIdentity *>(SystemBuffer(request));
  for (uint32_t i = 0; answer && i < fileCount; ++i) {
    FileIdentity identity;
    const NtStatus queried = QueryFileIdentity(layout->handles[i], &identity);
    if (!IsSuccess(queried)) {
      VelmorFreeLayout(layout);
      return Done(queried);
    }
    __builtin_memcpy(&identities[i], &identity, sizeof(identity));
  }
  char16_t linkStore[3] = {letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  const NtStatus made = VelmorCreateLayoutDrive(device, &letterLink, layout, options);
  return Done(made, IsSuccess(made) && answer ? fileCount * uint32_t(sizeof(FileIdentity)) : 0);
}

// A paged copy of a layout record, freed on every way out: the add checks and uses only it.
class LayoutRecordCopy {
public:
  explicit LayoutRecordCopy(const void *from)
      : record_(static_cast<LayoutRecord *>(AllocatePaged(kLayoutRecordSize, kPoolTagDdk))) {
    if (record_)
      __builtin_memcpy(record_, from, kLayoutRecordSize);
  }
  LayoutRecordCopy(const LayoutRecordCopy &) = delete;
  LayoutRecordCopy &operator=(const LayoutRecordCopy &) = delete;
  ~LayoutRecordCopy() {
    if (record_)
      FreePool(record_);
  }
  const LayoutRecord *get() const { return record_; }

private:
  LayoutRecord *record_;
};

// A served drive: a layout record as for IOCTL_VELMOR_ADD_LAYOUT, but no file is opened; the
// drive is bound to the file object this request came through, whose SERVEs answer its reads
// (the control device admits administrators only, and the add needs the privilege, as the
// other adds). Its table of contents, capacity and every other answer come from the record.
Outcome AddServedDrive(Device *device, Request *request) {
  VelmorTrace("-----Adding a served drive in response to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  const void *server = RequestFile(request);
  // Buffered for a kernel caller too: the input is in the system buffer.
  if (!server || InputLength(request) != kLayoutRecordSize || !SystemBuffer(request))
    return Done(status::kInvalidParameter);
  LayoutRecordCopy copy(SystemBuffer(request));
  if (!copy.get())
    return Done(status::kInsufficientResources);
  const LayoutRecord &record = *copy.get();
  if (CheckLayoutRecord(record) != LayoutFault::kValid)
    return Done(status::kInvalidParameter);
  VelmorLayout *layout = VelmorNewLayout(record);
  VelmorServed *served = layout ? VelmorNewServed(server, record.letter) : nullptr;
  if (!served) {
    if (layout)
      VelmorFreeLayout(layout);
    return Done(status::kInsufficientResources);
  }
  char16_t linkStore[3] = {record.letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  const NtStatus made =
      VelmorCreateLayoutDrive(device, &letterLink, layout, kClearInitializing, served);
  if (!IsSuccess(made))
    VelmorReleaseServed(served);
  return Done(made);
}

Outcome Serve(Device *device, Request *request) {
  uint32_t information = 0;
  const NtStatus result = VelmorServe(device, request, &information);
  return Done(result, information);
}

Outcome RemoveDrive(Device *device, Request *request) {
  VelmorTrace("-----Unloading Device in responce to IOCTL-----");
  if (!CallerMayChangeDrives(request))
    return Done(status::kPrivilegeNotHeld);
  VelmorRemoveDevice(VelmorExtensionOf(device));
  return Done(status::kSuccess);
}

// The build this driver is, so that a program carrying another build replaces it.
Outcome Build(Device *, Request *request) {
  auto *answer = static_cast<uint8_t *>(SystemBuffer(request));
  PutLittle32(answer, kBuildProtocolVersion);
  for (uint32_t i = 0; i < kBuildIdentitySize; ++i)
    answer[4 + i] = kDriverBuildIdentity[i];
  return Done(status::kSuccess, kBuildAnswerSize);
}

// The letters of removed drives that something still references: a stop of the service now
// would leave the driver unloading, and every drive dead, until that reference goes.
Outcome HeldDrives(Device *device, Request *request) {
  PutLittle32(SystemBuffer(request), VelmorSettleRemovedDrives(VelmorExtensionOf(device), false));
  return Done(status::kSuccess, kHeldAnswerSize);
}

// Why start-up made no drive for each recorded letter.
Outcome SkippedDrives(Device *device, Request *request) {
  __builtin_memcpy(SystemBuffer(request), VelmorExtensionOf(device)->SkipReasons,
                   kSkippedAnswerSize);
  return Done(status::kSuccess, kSkippedAnswerSize);
}

Outcome Version(Device *, Request *request) {
  VelmorTraceNumber("IOCTL_VELMOR_GET_VERSION: VEL_MOR_VERSION_NUMBER=", VEL_MOR_VERSION_NUMBER);
  PutLittle32(SystemBuffer(request), VEL_MOR_VERSION_NUMBER);
  return Done(status::kSuccess, kVersionAnswerSize);
}

// The build this driver was made from, so a program carrying another build knows to replace it.
struct ImageAnswerKind {
  uint32_t size;
  uint32_t headerOffset;
};

ImageAnswerKind KindOf(QueuedWork work) {
  return work == QueuedWork::kToc ? ImageAnswerKind{kTocSize, kVelmorTocOffset}
                                  : ImageAnswerKind{kGeometrySize, kVelmorGeometryOffset};
}

// An answer of a layout drive, from its copy of the tracks: no file work, so it is given here
// at once. The hold keeps the copy while a remove through another handle runs.
Outcome LayoutAnswer(VELMOR_DRIVE_EXTENSION *extension, Request *request, uint32_t size,
                     void (*fill)(const VelmorLayout *, void *)) {
  if (!VelmorHoldDrive(extension))
    return Done(status::kDeviceNotReady);
  // A served drive whose server has gone has no disc to describe.
  const bool gone = VelmorServedMediaGone(extension);
  if (!gone)
    fill(extension->Layout, SystemBuffer(request));
  VelmorReleaseDrive(extension);
  return gone ? Done(status::kNoMediaInDevice) : Done(status::kSuccess, size);
}

// Whether the drive's server has gone (a served drive with no media); false for other drives
// and for a drive being removed, which the requests find out otherwise.
bool MediaGone(VELMOR_DRIVE_EXTENSION *extension) {
  if (!VelmorHoldDrive(extension))
    return false;
  const bool gone = VelmorServedMediaGone(extension);
  VelmorReleaseDrive(extension);
  return gone;
}

// Table of contents and geometry: fixed for a plain ISO drive, read from the image's header
// for a VELMOR format drive, on the drive's thread; a layout drive's come from its tracks.
Outcome ImageAnswer(Device *device, Request *request, QueuedWork work) {
  const ImageAnswerKind kind = KindOf(work);
  auto *extension = VelmorExtensionOf(device);
  if (extension->LayoutLeadOut)
    return LayoutAnswer(extension, request, kind.size,
                        work == QueuedWork::kToc ? VelmorFillLayoutToc : VelmorFillLayoutGeometry);
  if (!extension->IsoFormat)
    return Done(VelmorQueueRequest(device, request, work));
  if (work == QueuedWork::kToc)
    VelmorFillIsoToc(SystemBuffer(request), extension->ImageBlocks);
  else
    VelmorFillIsoGeometry(SystemBuffer(request), extension->ImageBlocks);
  return Done(status::kSuccess, kind.size);
}

Outcome ReadToc(Device *device, Request *request) {
  return ImageAnswer(device, request, QueuedWork::kToc);
}

Outcome DriveGeometry(Device *device, Request *request) {
  return ImageAnswer(device, request, QueuedWork::kGeometry);
}

// METHOD_OUT_DIRECT: the sectors go to the request's locked output buffer, which the drive's
// thread maps. The RAW_READ_INFO is the I/O manager's copy in the system buffer for a user-mode
// caller; a kernel-mode caller (the CD file system, whose raw reads are associated requests
// whose system buffer is the master request) leaves it at Type3InputBuffer. It is copied once;
// everything that needs no file is checked on the copy here, and the checked values travel
// with the queued request.
Outcome RawRead(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (!extension->LayoutLeadOut)
    return Done(status::kInvalidDeviceRequest); // a classic drive has no raw sectors
  if (MediaGone(extension))
    return Done(status::kNoMediaInDevice);
  // As the class driver takes it: Type3InputBuffer when a kernel caller set it, else the system
  // buffer (a user-mode caller's copy, or a kernel caller's METHOD_OUT_DIRECT request built with
  // its input there).
  const void *input = FromUserMode(request) || !KernelCallerInput(request)
                          ? SystemBuffer(request)
                          : KernelCallerInput(request);
  if (!input)
    return Done(status::kInvalidParameter);
  RawReadInfo info;
  __builtin_memcpy(&info, input, sizeof(info));
  if (info.trackMode > kTrackModeCdda || info.sectorCount == 0)
    return Done(status::kInvalidParameter);
  if (uint64_t(info.sectorCount) * kRawSectorBytes > OutputLength(request))
    return Done(status::kBufferTooSmall);
  const uint64_t first = RawReadFirstBlock(info);
  if (first >= extension->LayoutLeadOut || info.sectorCount > extension->LayoutLeadOut - first)
    return Done(status::kInvalidParameter);
  return Done(VelmorQueueRequest(device, request, QueuedWork::kRawRead, uintptr_t(first),
                                 uintptr_t(info.sectorCount) << 2 | info.trackMode));
}

// The medium never changes while the drive exists; a removed drive was answered before this
// (it must be verified, or has no medium).
// Its rule lets an output of none pass, as the class driver does: no count is asked for then.
Outcome CheckVerify(Device *device, Request *request) {
  if (MediaGone(VelmorExtensionOf(device)))
    return Done(status::kNoMediaInDevice);
  if (OutputLength(request) == 0)
    return Done(status::kSuccess);
  PutLittle32(SystemBuffer(request), 1); // media change count
  return Done(status::kSuccess, kMediaChangeCountSize);
}

// ---- The requests Windows' own tools send a CD-ROM drive ------------------------------------
// Each answer about the disc from its view, the request's buffers and lengths.
using DiscAnswerFill = DiscAnswer (*)(const DiscView &, void *buffer, uint32_t in, uint32_t out);

DiscAnswer LengthInfo(const DiscView &view, void *buffer, uint32_t, uint32_t out) {
  return DiscAnswer{status::kSuccess, VelmorFillLengthInfo(view, buffer, out)};
}
DiscAnswer GeometryEx(const DiscView &view, void *buffer, uint32_t, uint32_t out) {
  return DiscAnswer{status::kSuccess, VelmorFillGeometryEx(view, buffer, out)};
}
DiscAnswer ReadCapacity(const DiscView &view, void *buffer, uint32_t, uint32_t out) {
  return DiscAnswer{status::kSuccess, VelmorFillReadCapacity(view, buffer, out)};
}
DiscAnswer MediaTypes(const DiscView &view, void *buffer, uint32_t, uint32_t out) {
  return DiscAnswer{status::kSuccess, VelmorFillMediaTypes(view, buffer, out)};
}
DiscAnswer LastSession(const DiscView &view, void *buffer, uint32_t, uint32_t out) {
  return DiscAnswer{status::kSuccess, VelmorFillSession(view, false, buffer, out)};
}
DiscAnswer PropertyQuery(const DiscView &view, void *buffer, uint32_t in, uint32_t out) {
  return VelmorAnswerPropertyQuery(view, buffer, in, buffer, out);
}
DiscAnswer Configuration(const DiscView &view, void *buffer, uint32_t in, uint32_t out) {
  return VelmorAnswerConfiguration(view, buffer, in, buffer, out);
}
DiscAnswer TocEx(const DiscView &view, void *buffer, uint32_t in, uint32_t out) {
  return VelmorAnswerTocEx(view, buffer, in, buffer, out);
}

// An answer about the disc, sized from the image: a layout drive's tracks, a plain image's
// size, a VELMOR format image's table of contents as read when the drive was made. No file is
// read here; the hold keeps what the view points at while a remove runs.
template <DiscAnswerFill fill> Outcome DiscRequest(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (!VelmorHoldDrive(extension))
    return Done(status::kDeviceNotReady);
  LayoutTrack isoTrack;
  DiscView view{};
  bool known = true;
  if (VelmorServedMediaGone(extension)) {
    VelmorReleaseDrive(extension);
    return Done(status::kNoMediaInDevice);
  }
  if (extension->Layout)
    view = VelmorLayoutView(extension->Layout);
  else if (extension->IsoFormat)
    view = VelmorIsoView(uint64_t(extension->ImageBlocks) * kBytesPerSector, &isoTrack);
  else if (extension->HeaderDisc)
    view = extension->HeaderDisc->view;
  else
    known = false; // its header holds no table of contents that makes sense
  const DiscAnswer answer =
      known ? fill(view, SystemBuffer(request), InputLength(request), OutputLength(request))
            : DiscAnswer{status::kDeviceNotReady, 0};
  VelmorReleaseDrive(extension);
  return Done(answer.status, answer.information);
}

// Numbered from 100 up, which no class driver's \Device\CdRomN reaches: a tool that tells
// drives apart by their number never takes ours for the system's.
constexpr uint32_t kDeviceNumberBase = 100;

Outcome DeviceNumber(Device *device, Request *request) {
  return Done(status::kSuccess,
              VelmorFillDeviceNumber(kDeviceNumberBase + VelmorExtensionOf(device)->DriveIndex,
                                     SystemBuffer(request), OutputLength(request)));
}

Outcome HotplugInfo(Device *, Request *request) {
  return Done(status::kSuccess,
              VelmorFillHotplugInfo(SystemBuffer(request), OutputLength(request)));
}

Outcome WriteProtected(Device *, Request *) { return Done(status::kMediaWriteProtected); }

Outcome Accept(Device *, Request *) { return Done(status::kSuccess); }
Outcome NotReady(Device *, Request *) { return Done(status::kDeviceNotReady); }
Outcome Refuse(Device *, Request *) { return Done(status::kInvalidDeviceRequest); }

// Where a request may be sent.
enum class Target : uint8_t {
  kControl, // the control device only (adding drives)
  kDrive,   // a drive only: a request for the disc, or its removal
  kAny,
};

// One row per control code: the device it is for, what its buffers must hold (the class
// driver's own rule for the requests it answers: checked before the handler runs, so no
// handler looks at a length its rule covers), and the handler.
struct ControlRule {
  uint32_t code;
  Target target;
  BufferRule buffers;
  Outcome (*handle)(Device *, Request *);
};

// The common rules: none; an answer of `size` bytes (shorter: `shortStatus`); an input of
// `size` bytes.
constexpr BufferRule kAnyBuffers{0, 0, 0, 0, 0, 0, 0};
constexpr BufferRule Answers(uint32_t size, NtStatus shortStatus = status::kBufferTooSmall) {
  return BufferRule{0, 0, size, shortStatus, 0, 0, 0};
}
constexpr BufferRule Takes(uint32_t size, NtStatus shortStatus) {
  return BufferRule{size, shortStatus, 0, 0, 0, 0, 0};
}
constexpr BufferRule kMediaChangeCount{0, 0, kMediaChangeCountSize, status::kBufferTooSmall,
                                       0, 0, kRuleNoOutputAllowed};

constexpr ControlRule kRules[] = {
    {IOCTL_VELMOR_ADD_DEVICE, Target::kControl, kAnyBuffers, AddDrive},
    {IOCTL_VELMOR_ADD_LAYOUT, Target::kControl, kAnyBuffers, AddLayoutDrive},
    {IOCTL_VELMOR_ADD_SERVED, Target::kControl, kAnyBuffers, AddServedDrive},
    {IOCTL_VELMOR_SERVE, Target::kControl, Answers(sizeof(ServedRequest)), Serve},
    {IOCTL_VELMOR_REMOVE_DEVICE, Target::kDrive, kAnyBuffers, RemoveDrive},
    {IOCTL_VELMOR_GET_VERSION, Target::kAny, Answers(kVersionAnswerSize), Version},
    {IOCTL_VELMOR_GET_BUILD, Target::kAny, Answers(kBuildAnswerSize), Build},
    {IOCTL_VELMOR_GET_HELD, Target::kControl, Answers(kHeldAnswerSize), HeldDrives},
    {IOCTL_VELMOR_GET_SKIPPED, Target::kControl, Answers(kSkippedAnswerSize), SkippedDrives},
    {ioctl::kCdromReadToc, Target::kDrive, Answers(kTocSize, status::kInvalidParameter), ReadToc},
    {ioctl::kCdromGetDriveGeometry, Target::kDrive,
     Answers(kGeometrySize, status::kInvalidParameter), DriveGeometry},
    {ioctl::kCdromCheckVerify, Target::kDrive, kMediaChangeCount, CheckVerify},
    {ioctl::kStorageCheckVerify, Target::kDrive, kMediaChangeCount, CheckVerify},
    {ioctl::kStorageCheckVerify2, Target::kDrive, kMediaChangeCount, CheckVerify},
    // Audio, eject and rescan requests are accepted and do nothing: the image stays mounted.
    {ioctl::kCdromSeekAudioMsf, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromStopAudio, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromPauseAudio, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromResumeAudio, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromPlayAudioMsf, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromSetVolume, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kCdromEjectMedia, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kStorageEjectMedia, Target::kDrive, kAnyBuffers, Accept},
    {ioctl::kStorageFindNewDevices, Target::kDrive, kAnyBuffers, Accept},
    // A drive that cannot lock its medium: the lock and unlock are accepted (the shell and
    // burning tools send them), as the class driver does for such a drive.
    {ioctl::kStorageMediaRemoval, Target::kDrive,
     Takes(ioctl::kPreventMediaRemovalSize, status::kInfoLengthMismatch), Accept},
    {ioctl::kCdromMediaRemoval, Target::kDrive,
     Takes(ioctl::kPreventMediaRemovalSize, status::kInfoLengthMismatch), Accept},
    {ioctl::kCdromGetVolume, Target::kDrive, kAnyBuffers, NotReady},
    {ioctl::kCdromReadQChannel, Target::kDrive, kAnyBuffers, NotReady},
    {ioctl::kCdromDiskType, Target::kDrive, kAnyBuffers, Refuse},
    {ioctl::kCdromRawRead, Target::kDrive, Takes(sizeof(RawReadInfo), status::kInvalidParameter),
     RawRead},
    {ioctl::kDiskGetDriveGeometry, Target::kDrive, kAnyBuffers, Refuse},
    // Answers sized from the image.
    {ioctl::kDiskGetLengthInfo, Target::kDrive, Answers(kLengthInfoSize), DiscRequest<LengthInfo>},
    {ioctl::kCdromGetDriveGeometryEx, Target::kDrive, Answers(kGeometryExSize),
     DiscRequest<GeometryEx>},
    {ioctl::kStorageReadCapacity, Target::kDrive, Answers(kReadCapacitySize),
     DiscRequest<ReadCapacity>},
    {ioctl::kStorageGetMediaTypesEx, Target::kDrive, Answers(kMediaTypesSize),
     DiscRequest<MediaTypes>},
    {ioctl::kCdromGetLastSession, Target::kDrive, Answers(kSessionAnswerSize),
     DiscRequest<LastSession>},
    {ioctl::kStorageQueryProperty, Target::kDrive,
     Takes(kPropertyQuerySize, status::kInfoLengthMismatch), DiscRequest<PropertyQuery>},
    {ioctl::kCdromGetConfiguration, Target::kDrive,
     BufferRule{kConfigurationInputSize, status::kInfoLengthMismatch, kConfigurationHeaderSize,
                status::kBufferTooSmall, 0xFFFF, status::kInvalidBufferSize,
                kRuleEvenOutput | kRuleOutputFirst},
     DiscRequest<Configuration>},
    {ioctl::kCdromReadTocEx, Target::kDrive,
     BufferRule{kTocExInputSize, status::kInfoLengthMismatch, kTocExMinimumOutput,
                status::kBufferTooSmall, 0xFFFF, status::kInvalidParameter, kRuleEvenOutput},
     DiscRequest<TocEx>},
    {ioctl::kStorageGetDeviceNumber, Target::kDrive, Answers(kDeviceNumberSize), DeviceNumber},
    {ioctl::kStorageGetHotplugInfo, Target::kDrive, Answers(kHotplugInfoSize), HotplugInfo},
    {ioctl::kDiskIsWritable, Target::kDrive, kAnyBuffers, WriteProtected},
};

const ControlRule *RuleFor(uint32_t code) {
  for (const ControlRule &rule : kRules)
    if (rule.code == code)
      return &rule;
  return nullptr;
}

// The one validation every request passes before its handler.
Outcome Answer(Device *device, Request *request) {
  const uint32_t code = ControlCode(request);
  const ControlRule *rule = RuleFor(code);
  auto *extension = VelmorExtensionOf(device);
  if (!rule) {
    VelmorTraceNumber("ERROR:  unrecognized IOCTL ", code);
    return Done(status::kInvalidDeviceRequest);
  }
  // The control device has no disc and is never removed; a drive adds no drives.
  if ((rule->target == Target::kControl && !extension->IsControl) ||
      (rule->target == Target::kDrive && extension->IsControl))
    return Done(status::kInvalidDeviceRequest);
  // A removed drive answers as a drive whose disc was taken out; a second remove has nothing
  // left to do.
  NtStatus removed = status::kSuccess;
  if (code != IOCTL_VELMOR_REMOVE_DEVICE && VelmorRefuseRemoved(device, request, &removed))
    return Done(removed);
  const NtStatus buffers =
      VelmorCheckBufferRule(rule->buffers, InputLength(request), OutputLength(request));
  if (!IsSuccess(buffers))
    return Done(buffers);
  return rule->handle(device, request);
}

} // namespace

const BufferRule *VelmorBufferRuleOf(uint32_t code) {
  const ControlRule *rule = RuleFor(code);
  return rule ? &rule->buffers : nullptr;
}

NtStatus VelmorDispatchDeviceControl(Device *device, Request *request) {
  const Outcome outcome = Answer(device, request);
  // A queued request belongs to the drive's thread now, and may already be complete.
  if (outcome.status != status::kPending)
    CompleteRequest(request, outcome.status, outcome.information);
  return outcome.status;
}

void VelmorServeImageAnswer(Device *device, Request *request, QueuedWork work) {
  const ImageAnswerKind kind = KindOf(work);
  auto *answer = static_cast<uint8_t *>(SystemBuffer(request));
  auto *extension = VelmorExtensionOf(device);
  // A header cut short by the file's end fills only part of the answer, the rest with zeros.
  if (!IsSuccess(VELMORReadOffset(kind.headerOffset, answer, kind.size, extension->Image))) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  CompleteRequest(request, status::kSuccess, kind.size);
}

} // namespace velmor
