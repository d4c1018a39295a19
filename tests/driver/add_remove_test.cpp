// The add and remove requests: devices, links and stores made and undone.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "driver_fixture.h"

namespace velmor::test {
namespace {

std::u16string Text(const UString &s) { return std::u16string(s.Buffer, s.Length / 2); }

class AddRemoveTest : public DriverTest {
protected:
  void SetUp() override {
    ASSERT_EQ(Start(), status::kSuccess);
    for (const char *name : {"a.iso", "z.iso", "b.img", "other.img"})
      WriteImage(name, Pattern(4096));
    baseAllocations_ = model_.LiveAllocations();
    baseDevices_ = model_.DeviceCount();
  }
  // Nothing of a refused add remains.
  void ExpectNothingLeft() {
    EXPECT_EQ(model_.LiveAllocations(), baseAllocations_);
    EXPECT_EQ(model_.DeviceCount(), baseDevices_);
  }
  size_t baseAllocations_ = 0;
  size_t baseDevices_ = 0;
};

TEST_F(AddRemoveTest, AddMakesACdRomDeviceAndItsLetterLink) {
  ASSERT_EQ(Add(u'E', u"D:\\a.iso"), status::kSuccess);
  kernel::Device *device = model_.FindDevice(u"\\Device\\VELMOR4");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(model_.Resolve(u"\\DosDevices\\E:"), device);
  EXPECT_EQ(device->type, kFileDeviceCdRom);
  EXPECT_EQ(device->characteristics, kernel::kFileReadOnlyDevice | kernel::kFileDeviceSecureOpen |
                                         kernel::kFileRemovableMedia);
  EXPECT_EQ(device->security, kernel::DeviceSecurity::kEveryoneToo);
  // Standard users read the disc and run programs from it, as from the system's own drives.
  EXPECT_EQ(device->everyoneAccess, kernel::kFileGenericRead | kernel::kFileGenericExecute);
  EXPECT_TRUE(device->everyoneAccess & kernel::kFileExecute);
  EXPECT_FALSE(device->exclusive);
  EXPECT_EQ(device->flags, kernel::kDoDirectIo) << "initializing cleared for a requested drive";
  EXPECT_EQ(device->alignment, kernel::kFileWordAlignment);
  VELMOR_DRIVE_EXTENSION *x = Extension(u"\\Device\\VELMOR4");
  EXPECT_EQ(x->DeviceObject, device);
  EXPECT_EQ(Text(x->ImageFileName), u"\\??\\D:\\a.iso");
  EXPECT_EQ(x->ImageFileName.MaximumLength, 998);
  EXPECT_EQ(Text(x->DosLinkName), GlobalLink('E'));
  EXPECT_EQ(x->DosLinkName.MaximumLength, 84);
  EXPECT_EQ(x->IsoFormat, 1u);
  EXPECT_TRUE(model_.AllTagged(kernel::kPoolTagDdk));
  EXPECT_EQ(model_.Reads().size(), 0u) << "the image is not touched";
  EXPECT_TRUE(SameIdentity(lastIdentity_, KernelModel::IdentityOfHostFile(HostPath("a.iso"))))
      << "the add answers the identity of the file it opened";
}

TEST_F(AddRemoveTest, DeviceNumberFollowsTheLetter) {
  ASSERT_EQ(Add(u'A', u"D:\\a.iso"), status::kSuccess);
  ASSERT_EQ(Add(u'Z', u"D:\\z.iso"), status::kSuccess);
  EXPECT_EQ(model_.Resolve(DriveLink('A')), model_.FindDevice(u"\\Device\\VELMOR0"));
  EXPECT_EQ(model_.Resolve(DriveLink('Z')), model_.FindDevice(u"\\Device\\VELMOR25"));
  // STORAGE_DEVICE_NUMBER counts from 100, past any \Device\CdRomN of the class driver.
  const Answer number = Control(DriveLink('Z'), ioctl::kStorageGetDeviceNumber, 0, 12);
  ASSERT_EQ(number.status, status::kSuccess);
  EXPECT_EQ(number.output[4], 125);
}

TEST_F(AddRemoveTest, RemoveUndoesAddAndTheLetterCanBeAddedAgain) {
  ASSERT_EQ(Add(u'E', u"D:\\a.iso"), status::kSuccess);
  EXPECT_EQ(Remove(DriveLink('E')), status::kSuccess);
  EXPECT_FALSE(model_.HasName(DriveLink('E')));
  EXPECT_FALSE(model_.HasName(DriveDevice('E')));
  ExpectNothingLeft();
  ASSERT_EQ(Add(u'E', u"D:\\b.img"), status::kSuccess);
  EXPECT_EQ(Text(Extension(DriveDevice('E'))->ImageFileName), u"\\??\\D:\\b.img");
}

TEST_F(AddRemoveTest, SameLetterTwiceCollidesAndChangesNothing) {
  ASSERT_EQ(Add(u'E', u"D:\\a.iso"), status::kSuccess);
  const size_t allocations = model_.LiveAllocations();
  EXPECT_EQ(Add(u'E', u"D:\\other.img"), status::kObjectNameCollision);
  EXPECT_EQ(model_.LiveAllocations(), allocations);
  EXPECT_EQ(model_.DeviceCount(), baseDevices_ + 1);
  EXPECT_EQ(Text(Extension(DriveDevice('E'))->ImageFileName), u"\\??\\D:\\a.iso");
  EXPECT_EQ(model_.Resolve(DriveLink('E')), model_.FindDevice(DriveDevice('E')));
}

TEST_F(AddRemoveTest, LetterHeldByAnotherDeviceLeavesNoDevice) {
  model_.HoldName(GlobalLink('F')); // a letter every session sees, such as C:
  EXPECT_EQ(Add(u'F', u"D:\\a.iso"), status::kObjectNameCollision);
  EXPECT_FALSE(model_.HasName(DriveDevice('F')));
  EXPECT_TRUE(model_.HasName(DriveLink('F'))) << "the other owner keeps its link";
  ExpectNothingLeft();
}

struct Refusal {
  const char *name;
  char16_t letter;
  uint32_t inputLength;
  uint32_t outputLength;
  NtStatus status;
};

class AddRefusalTest : public AddRemoveTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AddRefusalTest, RefusesAndMakesNothing) {
  const Refusal &r = GetParam();
  EXPECT_EQ(Add(r.letter, u"D:\\a.iso", r.inputLength, r.outputLength), r.status);
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Records, AddRefusalTest,
    ::testing::Values(Refusal{"LowerCase", u'e', 0, 1002, status::kInvalidParameter},
                      Refusal{"BelowA", u'@', 0, 1002, status::kInvalidParameter},
                      Refusal{"AboveZ", u'[', 0, 1002, status::kInvalidParameter},
                      Refusal{"NoLetter", 0, 0, 1002, status::kInvalidParameter},
                      Refusal{"InputOfRecordSize", u'E', 1002, 1002, status::kBufferTooSmall},
                      Refusal{"LargeInput", u'E', 5000, 1002, status::kBufferTooSmall},
                      Refusal{"OutputOneShort", u'E', 0, 1001, status::kInvalidParameter},
                      Refusal{"OutputOfLetterOnly", u'E', 0, 2, status::kInvalidParameter}),
    [](const auto &info) { return std::string(info.param.name); });

// Layout adds over a.bin (10 raw sectors) and b.iso (5 plain blocks): each row spoils the
// request, the record or a file, and nothing may be made.
struct LayoutRefusal {
  const char *name;
  void (*spoil)(LayoutRecord &record, uint32_t &inputLength);
  const char *deniedFile;  // the caller may not read it
  const char *missingFile; // removed before the add
  size_t shortenBin;       // bytes cut from a.bin's end
  NtStatus status;
};

class LayoutRefusalTest : public AddRemoveTest,
                          public ::testing::WithParamInterface<LayoutRefusal> {
protected:
  std::unique_ptr<LayoutRecord> Good() {
    return MakeLayout(u'L', {u"D:\\a.bin", u"D:\\b.iso"},
                      {MakeTrack(1, 0, 0, 10, 2352, 16, 0), MakeTrack(2, 1, 10, 5, 2048, 0, 0)});
  }
  void WriteFiles(size_t shortenBin = 0) {
    WriteImage("a.bin", Pattern(10 * 2352 - shortenBin));
    WriteImage("b.iso", Pattern(5 * 2048));
  }
};

TEST_F(LayoutRefusalTest, GoodRecordMakesADriveAndItsRemoveLeavesNothing) {
  WriteFiles();
  ASSERT_EQ(AddLayout(*Good()), status::kSuccess);
  kernel::Device *device = model_.FindDevice(DriveDevice('L'));
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(model_.Resolve(GlobalLink('L')), device);
  EXPECT_EQ(device->flags & kernel::kDoDeviceInitializing, 0u);
  EXPECT_EQ(Text(Extension(DriveDevice('L'))->ImageFileName), u"\\??\\D:\\a.bin");
  EXPECT_EQ(AddLayout(*Good()), status::kObjectNameCollision) << "the letter is taken";
  ASSERT_EQ(Remove(DriveLink('L')), status::kSuccess);
  ExpectNothingLeft();

  // Pool running out at each allocation of the add leaves nothing either.
  const int before = model_.Allocations();
  ASSERT_EQ(AddLayout(*Good()), status::kSuccess);
  const int perAdd = model_.Allocations() - before;
  ASSERT_EQ(Remove(DriveLink('L')), status::kSuccess);
  for (int nth = 1; nth <= perAdd; ++nth) {
    SCOPED_TRACE(nth);
    model_.FailAllocation(nth);
    EXPECT_EQ(AddLayout(*Good()), status::kInsufficientResources);
    model_.FailAllocation(0);
    ExpectNothingLeft();
  }
}

TEST_P(LayoutRefusalTest, RefusesAndMakesNothing) {
  const LayoutRefusal &r = GetParam();
  WriteFiles(r.shortenBin);
  if (r.deniedFile)
    model_.DenyCallerRead(r.deniedFile);
  if (r.missingFile)
    std::remove(HostPath(r.missingFile).c_str());
  auto record = Good();
  uint32_t inputLength = kLayoutRecordSize;
  if (r.spoil)
    r.spoil(*record, inputLength);
  EXPECT_EQ(AddLayout(*record, inputLength), r.status);
  EXPECT_FALSE(model_.HasName(DriveDevice('L')));
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutRefusalTest,
    ::testing::Values(
        LayoutRefusal{"InputOneShort", [](LayoutRecord &, uint32_t &n) { --n; }, nullptr, nullptr,
                      0, status::kInvalidParameter},
        LayoutRefusal{"InputOneLong", [](LayoutRecord &, uint32_t &n) { ++n; }, nullptr, nullptr, 0,
                      status::kInvalidParameter},
        LayoutRefusal{"BadSignature", [](LayoutRecord &r, uint32_t &) { r.signature = 0; }, nullptr,
                      nullptr, 0, status::kInvalidParameter},
        LayoutRefusal{"TracksOverlap",
                      [](LayoutRecord &r, uint32_t &) { r.tracks[1].firstLba = 9; }, nullptr,
                      nullptr, 0, status::kInvalidParameter},
        LayoutRefusal{"LastSectorOneByteShort", nullptr, nullptr, nullptr, 1,
                      status::kInvalidParameter},
        LayoutRefusal{"StoredPregapPastTheFileStart",
                      [](LayoutRecord &r, uint32_t &) {
                        r.tracks[1].fileOffsetLow = 2048; // room for one pregap block, not two
                        r.tracks[1].sectors = 4;
                        r.tracks[1].firstLba = 12;
                        r.tracks[1].pregap = 2;
                        r.tracks[1].flags = kPregapInFile;
                      },
                      nullptr, nullptr, 0, status::kInvalidParameter},
        LayoutRefusal{"TrackRunsPastItsFile",
                      [](LayoutRecord &r, uint32_t &) { r.tracks[1].fileOffsetLow = 1; }, nullptr,
                      nullptr, 0, status::kInvalidParameter},
        LayoutRefusal{"SecondFileMissing", nullptr, nullptr, "b.iso", 0, status::kInvalidParameter},
        LayoutRefusal{"SecondFileNotTheCallers", nullptr, "b.iso", nullptr, 0,
                      status::kAccessDenied}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(LayoutRefusalTest, CallerWithoutThePrivilegeIsRefusedFirst) {
  WriteFiles();
  model_.SetCallerPrivileged(false);
  EXPECT_EQ(AddLayout(*Good()), status::kPrivilegeNotHeld);
  ExpectNothingLeft();
  fromUserMode_ = false; // a kernel-mode caller is trusted with the privilege and the files
  model_.DenyCallerRead("a.bin");
  EXPECT_EQ(AddLayout(*Good()), status::kSuccess);
}

TEST_F(AddRemoveTest, InputJustBelowTheRecordIsAccepted) {
  // How the program sends the record: as input, up to byte 999 (Wine hands a driver the input
  // only), with an output of the record's size for the answer.
  EXPECT_EQ(Add(u'G', u"D:\\a.iso", 1000, 1001), status::kInvalidParameter) << "short output";
  EXPECT_EQ(Add(u'G', u"D:\\a.iso", 1002, 1002), status::kBufferTooSmall) << "input too long";
  ExpectNothingLeft();
  EXPECT_EQ(Add(u'E', u"D:\\a.iso", 1000, 1002), status::kSuccess);
  EXPECT_EQ(Add(u'F', u"D:\\a.iso", 1000, 4096), status::kSuccess) << "a larger buffer is fine";
}

TEST_F(AddRemoveTest, InputWithoutALetterIsRefused) {
  std::vector<uint8_t> none;
  EXPECT_EQ(AddRecordBytes(none, 0, 1002), status::kInvalidParameter);
  EXPECT_EQ(AddRecordBytes({'E'}, 1, 1002), status::kInvalidParameter);
  ExpectNothingLeft();
}

TEST_F(AddRemoveTest, LongestPathThatFitsMakesADrive) {
  const std::u16string path = LongImagePath(495, u".iso");
  ASSERT_EQ(Add(u'E', path), status::kSuccess);
  VELMOR_DRIVE_EXTENSION *x = Extension(DriveDevice('E'));
  EXPECT_EQ(x->ImageFileName.Length, 998);
  EXPECT_EQ(Text(x->ImageFileName), u"\\??\\" + path);
  EXPECT_EQ(x->IsoFormat, 1u);
}

TEST_F(AddRemoveTest, PathsThatDoNotFitTheImageStoreAreRefused) {
  for (size_t units : {496u, 499u}) {
    EXPECT_EQ(Add(u'E', u"D:\\" + std::u16string(units - 3, u'x')), status::kInvalidParameter);
    ExpectNothingLeft();
  }
}

TEST_F(AddRemoveTest, EndStopBoundsAPathWithoutTerminator) {
  std::vector<uint8_t> record(1002, 'x'); // letter, path and end stop all non-zero
  record[0] = 'E';
  record[1] = 0;
  EXPECT_EQ(AddRecordBytes(record, 1001, 1002), status::kInvalidParameter)
      << "499 units is too long";
  ExpectNothingLeft();

  // A path of 495 units followed by a zero; everything after it is junk.
  const std::u16string path = LongImagePath(495, u"");
  std::memcpy(record.data() + 2, path.data(), path.size() * 2);
  record[2 + 2 * 495] = record[3 + 2 * 495] = 0;
  EXPECT_EQ(AddRecordBytes(record, 1001, 1002), status::kSuccess);
  EXPECT_EQ(Text(Extension(DriveDevice('E'))->ImageFileName), u"\\??\\" + path);
}

TEST_F(AddRemoveTest, MemoryFailureAtEachAllocationLeavesNothing) {
  const int before = model_.Allocations();
  ASSERT_EQ(Add(u'E', u"D:\\a.iso"), status::kSuccess);
  const int perAdd = model_.Allocations() - before;
  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  ASSERT_GE(perAdd, 2);
  for (int nth = 1; nth <= perAdd; ++nth) {
    SCOPED_TRACE(nth);
    model_.FailAllocation(nth);
    EXPECT_EQ(Add(u'E', u"D:\\a.iso"), status::kInsufficientResources);
    model_.FailAllocation(0);
    EXPECT_FALSE(model_.HasName(DriveLink('E')));
    ExpectNothingLeft();
  }
}

TEST_F(AddRemoveTest, SecondRemoveThroughAnOpenHandleDoesNothing) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(8192))), status::kSuccess);
  kernel::Device *held = model_.Open(DriveLink('E')); // a handle that stays open
  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  ExpectNothingLeft();

  kernel::Request again;
  again.code = IOCTL_VELMOR_REMOVE_DEVICE;
  again.fromUserMode = true;
  EXPECT_EQ(VelmorDispatchDeviceControl(held, &again), status::kSuccess);
  kernel::Request read;
  std::vector<uint8_t> data(2048);
  read.length = 2048;
  read.readBuffer = data.data();
  Dispatch(VelmorDispatchRead, held, read);
  EXPECT_EQ(read.status, status::kVerifyRequired);
  EXPECT_EQ(read.information, 0u);
  EXPECT_EQ(model_.Reads().size(), 0u);
  model_.Close(held);
  ExpectNothingLeft();
}

// A removed drive that something still references (a file system mounted on it, a handle
// left open) stays in the driver's list, and a stop of the service then defers the unload, and
// refuses every open of the driver's devices, until it goes. The control device tells which
// removed drives are held, so that the program stops the service only when none is.
TEST_F(AddRemoveTest, ARemovedDriveStillHeldIsToldAndDefersTheUnload) {
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", Pattern(8192))), status::kSuccess);
  ASSERT_EQ(Add(u'F', WriteImage("f.iso", Pattern(8192))), status::kSuccess);
  kernel::Device *held = model_.Open(DriveLink('E'));
  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  ASSERT_EQ(Remove(DriveLink('F')), status::kSuccess);
  auto heldLetters = [&] {
    const Answer a = Control(kControlLinkName, IOCTL_VELMOR_GET_HELD, 0, kHeldAnswerSize);
    EXPECT_EQ(a.status, status::kSuccess);
    return uint32_t(a.output[0] | a.output[1] << 8 | a.output[2] << 16 | a.output[3] << 24);
  };
  EXPECT_EQ(heldLetters(), 1u << ('E' - 'A'));
  // Mounts and ejects keep no device objects of their own: only the held one stays.
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Add(u'F', u"D:\\f.iso"), status::kSuccess);
    ASSERT_EQ(Remove(DriveLink('F')), status::kSuccess);
  }
  EXPECT_LE(model_.DeviceObjects(), 3u) << "the control device, E, the last F";
  bool listed = false;
  for (kernel::Device *d = model_.NextDevice(&driver_, nullptr); d;
       d = model_.NextDevice(&driver_, d))
    listed |= d == held;
  EXPECT_TRUE(listed) << "deleted, but still in the driver's list";

  EXPECT_FALSE(model_.StopDriver(&driver_)) << "the unload waits for the last reference";
  EXPECT_EQ(model_.Open(kControlLinkName), nullptr) << "nothing of the driver opens meanwhile";
  EXPECT_EQ(model_.LiveThreads(), 0u);
  model_.Close(held); // the unload runs now
  EXPECT_TRUE(driver_.unloaded);
  EXPECT_EQ(model_.DeviceCount(), 0u);
  EXPECT_EQ(model_.LiveAllocations(), 0u);
}

TEST_F(AddRemoveTest, ControlDeviceIsForAdministratorsAndCannotBeRemoved) {
  EXPECT_EQ(model_.FindDevice(kControlDeviceName)->security,
            kernel::DeviceSecurity::kAdministratorsOnly);
  EXPECT_EQ(Remove(kControlLinkName), status::kInvalidDeviceRequest);
  EXPECT_TRUE(model_.HasName(kControlLinkName));
  EXPECT_EQ(Control(kControlLinkName, ioctl::kCdromReadToc, 0, 804).status,
            status::kInvalidDeviceRequest)
      << "it has no disc";
}

TEST_F(AddRemoveTest, WithoutAGlobalDirectoryLinksTakeTheSessionName) {
  KernelModel model; // a system older than the global directory
  model.RemoveGlobalDirectory();
  model.MapDosDrive(u'D', dir_);
  kernel::Driver driver;
  UString path;
  kernel::InitString(&path, kServiceKey);
  WriteImage("e.iso", Pattern(2048));
  model.SetValue(kParametersKey, u"E", u"D:\\e.iso");
  const FileIdentity identity = KernelModel::IdentityOfHostFile(HostPath("e.iso"));
  const auto *bytes = reinterpret_cast<const uint8_t *>(&identity);
  model.SetBinaryValue(kIdentitiesNtKey, u"E",
                       std::vector<uint8_t>(bytes, bytes + sizeof(identity)));
  ASSERT_EQ(VelmorStartDriver(&driver, &path), status::kSuccess);
  EXPECT_TRUE(model.HasName(kControlLinkName));
  EXPECT_TRUE(model.HasName(u"\\DosDevices\\E:"));
  EXPECT_FALSE(model.HasName(GlobalLink('E')));
  VelmorUnloadDriver(&driver);
}

// Who may add and remove drives, and which images a caller may mount.
struct CallerCase {
  const char *name;
  bool privileged;   // holds the create-global privilege, as administrators do
  bool fromUserMode; // a kernel-mode caller is trusted
  bool imageDenied;  // the caller may not read the image
  NtStatus added;
};

class CallerCheckTest : public AddRemoveTest, public ::testing::WithParamInterface<CallerCase> {};

TEST_P(CallerCheckTest, AddAndRemoveCheckTheCaller) {
  const CallerCase &c = GetParam();
  const std::u16string image = WriteImage("private.iso", Pattern(4096));
  WriteImage("mine.iso", Pattern(4096));
  if (c.imageDenied)
    model_.DenyCallerRead("private.iso");
  ASSERT_EQ(Add(u'G', u"D:\\mine.iso"), status::kSuccess); // by an administrator
  model_.SetCallerPrivileged(c.privileged);
  fromUserMode_ = c.fromUserMode;

  EXPECT_EQ(Add(u'E', image), c.added);
  EXPECT_EQ(model_.HasName(DriveDevice('E')), IsSuccess(c.added));
  // The caller's access is checked on the very open the drive reads through.
  if (IsSuccess(c.added)) {
    EXPECT_EQ(model_.ImageOpens().back().asCaller, c.fromUserMode);
  }
  const NtStatus removed = Remove(DriveLink('G'));
  if (c.fromUserMode && !c.privileged) {
    EXPECT_EQ(removed, status::kPrivilegeNotHeld);
    EXPECT_TRUE(model_.HasName(DriveLink('G'))) << "another user's drive stays";
  } else {
    EXPECT_EQ(removed, status::kSuccess);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Callers, CallerCheckTest,
    ::testing::Values(
        CallerCase{"Administrator", true, true, false, status::kSuccess},
        CallerCase{"StandardUser", false, true, false, status::kPrivilegeNotHeld},
        CallerCase{"KernelCaller", false, false, true, status::kSuccess},
        CallerCase{"ImageTheCallerMayNotRead", true, true, true, status::kAccessDenied},
        // The privilege is looked at first: nothing of the image is touched for such a caller.
        CallerCase{"StandardUserUnreadableImage", false, true, true, status::kPrivilegeNotHeld}),
    [](const auto &info) { return std::string(info.param.name); });

// What the one open refuses besides a file the caller may not read: no drive, nothing open.
struct KindCase {
  const char *name;
  std::u16string path;
  NtStatus status;
};

class ImageKindTest : public AddRemoveTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(ImageKindTest, OnlyFilesOnLocalDisksAreMounted) {
  std::filesystem::create_directory(HostPath("folder"));
  ASSERT_EQ(Add(u'G', u"D:\\a.iso"), status::kSuccess); // one of our own drives
  const int open = model_.OpenFiles();
  EXPECT_EQ(Add(u'E', GetParam().path), GetParam().status);
  EXPECT_FALSE(model_.HasName(DriveDevice('E')));
  EXPECT_EQ(model_.OpenFiles(), open);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ImageKindTest,
    ::testing::Values(KindCase{"Missing", u"D:\\gone.iso", status::kObjectNameNotFound},
                      KindCase{"Folder", u"D:\\folder", status::kFileIsADirectory},
                      KindCase{"Pipe", u"PIPE\\server", status::kInvalidParameter},
                      KindCase{"Share", u"UNC\\host\\share\\a.iso", status::kInvalidParameter},
                      KindCase{"WholeVolume", u"D:", status::kInvalidParameter},
                      // Its reads would wait on the drive being made, or on themselves.
                      KindCase{"OnOurOwnDrive", u"G:\\inner.iso", status::kInvalidParameter}),
    [](const auto &info) { return std::string(info.param.name); });

struct FormatCase {
  std::u16string path;
  uint32_t iso;
};

class FormatRuleTest : public AddRemoveTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatRuleTest, DecidedByTheLastFourCodeUnits) {
  // The path lies in memory of its exact size, so a look before its start would be caught.
  const std::u16string &p = GetParam().path;
  WriteImage(ToNarrow(p.substr(3)), Pattern(4096));
  std::unique_ptr<char16_t[]> exact(new char16_t[p.size() + 1]);
  std::copy(p.begin(), p.end(), exact.get());
  UString path{uint16_t(p.size() * 2), uint16_t(p.size() * 2), p.empty() ? nullptr : exact.get()};
  char16_t link[] = u"E:";
  UString letter{4, 6, link};
  ASSERT_EQ(
      VelmorCreateDevice(model_.FindDevice(kControlDeviceName), &letter, &path, kClearInitializing),
      status::kSuccess);
  EXPECT_EQ(Extension(DriveDevice('E'))->IsoFormat, GetParam().iso);
  VelmorRemoveDevice(Extension(DriveDevice('E')));
}

INSTANTIATE_TEST_SUITE_P(Paths, FormatRuleTest,
                         ::testing::Values(FormatCase{u"D:\\x.ISO", 1}, FormatCase{u"D:\\x.iso", 1},
                                           FormatCase{u"D:\\x.IsO", 1}, FormatCase{u"D:\\.iso", 1},
                                           FormatCase{u"D:\\x.iso.bak", 0},
                                           FormatCase{u"D:\\x.img", 0},
                                           FormatCase{u"D:\\x.iso ", 0}, FormatCase{u"D:\\x", 0},
                                           FormatCase{u"D:\\o", 0}));

} // namespace
} // namespace velmor::test
