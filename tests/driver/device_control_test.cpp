// Control requests, grouped by code: every code answered with too-short, exact and larger
// output buffers, by a drive and by the control device (which has no disc, and adds drives
// only).
#include "driver_fixture.h"
#include "velmor_build_identity.h"
#include "velmor_served.h"

namespace velmor::test {
namespace {

struct CodeCase {
  const char *name;
  uint32_t code;
  uint32_t needed;      // output bytes the answer needs; 0 = none
  NtStatus shortStatus; // answer to an output buffer under `needed`
  NtStatus status;      // answer otherwise
  uint32_t information; // bytes returned on success
};

constexpr NtStatus kOk = status::kSuccess;
constexpr NtStatus kNotReady = status::kDeviceNotReady;
constexpr NtStatus kInvalid = status::kInvalidDeviceRequest;

const CodeCase kCodes[] = {
    {"ReadToc", 0x00024000, kTocSize, status::kInvalidParameter, kOk, kTocSize},
    {"GetDriveGeometry", 0x0002404C, kGeometrySize, status::kInvalidParameter, kOk, kGeometrySize},
    {"CdromCheckVerify", 0x00024800, 4, status::kBufferTooSmall, kOk, 4},
    {"StorageCheckVerify", 0x002D4800, 4, status::kBufferTooSmall, kOk, 4},
    {"Version", 0x00022010, 4, status::kBufferTooSmall, kOk, 4},
    {"Build", 0x00022018, kBuildAnswerSize, status::kBufferTooSmall, kOk, kBuildAnswerSize},
    {"SeekAudioMsf", 0x00024004, 0, kOk, kOk, 0},
    {"StopAudio", 0x00024008, 0, kOk, kOk, 0},
    {"PauseAudio", 0x0002400C, 0, kOk, kOk, 0},
    {"ResumeAudio", 0x00024010, 0, kOk, kOk, 0},
    {"PlayAudioMsf", 0x00024018, 0, kOk, kOk, 0},
    {"SetVolume", 0x00024028, 0, kOk, kOk, 0},
    {"CdromEjectMedia", 0x00024808, 0, kOk, kOk, 0},
    {"StorageEjectMedia", 0x002D4808, 0, kOk, kOk, 0},
    {"FindNewDevices", 0x002D4818, 0, kOk, kOk, 0},
    {"CdromMediaRemoval", 0x00024804, 0, kOk, kOk, 0},
    {"StorageMediaRemoval", 0x002D4804, 0, kOk, kOk, 0},
    {"GetVolume", 0x00024014, 0, kNotReady, kNotReady, 0},
    {"ReadQChannel", 0x0002402C, 0, kNotReady, kNotReady, 0},
    {"GetLastSession", 0x00024038, 12, status::kBufferTooSmall, kOk, 12},
    {"DiskType", 0x00020040, 0, kInvalid, kInvalid, 0},
    {"RawRead", 0x0002403E, 0, kInvalid, kInvalid, 0},
    {"DiskGetDriveGeometry", 0x00070000, 0, kInvalid, kInvalid, 0},
    {"UnknownZero", 0x00000000, 0, kInvalid, kInvalid, 0},
    // The layout add with an input that is not a whole record.
    {"AddLayoutShortInput", 0x00022014, 0, status::kInvalidParameter, status::kInvalidParameter, 0},
    {"Skipped", 0x0002201C, kSkippedAnswerSize, status::kBufferTooSmall, kOk, kSkippedAnswerSize},
    {"Held", 0x00022020, kHeldAnswerSize, status::kBufferTooSmall, kOk, kHeldAnswerSize},
    // The served add with an input that is not a whole record, and a SERVE whose input is no
    // answer (nor is the request's file object a server's).
    {"AddServedShortInput", 0x00022024, 0, status::kInvalidParameter, status::kInvalidParameter, 0},
    {"ServeNoAnswer", 0x00022028, 24, status::kBufferTooSmall, status::kInvalidParameter, 0},
    {"UnknownPrivate80B", 0x0002202C, 0, kInvalid, kInvalid, 0},
    {"UnknownAllOnes", 0xFFFFFFFF, 0, kInvalid, kInvalid, 0},
};

class ControlCodeTest : public DriverTest,
                        public ::testing::WithParamInterface<std::tuple<CodeCase, bool>> {
protected:
  void SetUp() override {
    ASSERT_EQ(Start(), status::kSuccess);
    ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(64 * 1024))), status::kSuccess);
  }
  std::u16string Target() const {
    return std::get<1>(GetParam()) ? kControlLinkName : DriveLink('E');
  }
};

// What the other kind of device answers: the version on both, the layout add on the control
// device only, unknown codes nowhere, and everything else on a drive only.
CodeCase OnDevice(CodeCase c, bool control) {
  const bool both = c.code == IOCTL_VELMOR_GET_VERSION || c.code == IOCTL_VELMOR_GET_BUILD ||
                    c.status == kInvalid;
  const bool controlOnly = c.code == IOCTL_VELMOR_ADD_LAYOUT || c.code == IOCTL_VELMOR_GET_HELD ||
                           c.code == IOCTL_VELMOR_GET_SKIPPED ||
                           c.code == IOCTL_VELMOR_ADD_SERVED || c.code == IOCTL_VELMOR_SERVE;
  if (!both && control != controlOnly)
    c = CodeCase{c.name, c.code, 0, kInvalid, kInvalid, 0};
  return c;
}

TEST_P(ControlCodeTest, AnswersEveryOutputLength) {
  const CodeCase c = OnDevice(std::get<0>(GetParam()), std::get<1>(GetParam()));
  std::vector<uint32_t> lengths = {0, 1, 3, 4, 803, 804, 4096};
  if (c.needed)
    lengths.insert(lengths.end(), {c.needed - 1, c.needed, c.needed + 100});
  for (uint32_t length : lengths) {
    SCOPED_TRACE(testing::Message() << "output length " << length);
    const bool shortBuffer = length < c.needed;
    // The media check with no buffer at all succeeds without an answer.
    const bool noAnswer =
        length == 0 && c.status == kOk && (c.code == 0x00024800 || c.code == 0x002D4800);
    Answer a = Control(Target(), c.code, 16, length);
    EXPECT_EQ(a.completions, 1);
    if (noAnswer) {
      EXPECT_EQ(a.status, kOk);
      EXPECT_EQ(a.information, 0u);
    } else {
      EXPECT_EQ(a.status, shortBuffer ? c.shortStatus : c.status);
      EXPECT_EQ(a.information, shortBuffer ? 0u : c.information);
    }
  }
  // Nothing of these requests adds or removes a device.
  EXPECT_NE(model_.Resolve(DriveLink('E')), nullptr);
  EXPECT_NE(model_.Resolve(kControlLinkName), nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllCodes, ControlCodeTest,
                         ::testing::Combine(::testing::ValuesIn(kCodes), ::testing::Bool()),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_ControlDevice" : "_Drive");
                         });

class AnswerBytesTest : public DriverTest {
protected:
  void SetUp() override {
    ASSERT_EQ(Start(), status::kSuccess);
    ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(1024 * 1024))), status::kSuccess);
  }
};

uint32_t Little32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

TEST_F(AnswerBytesTest, VersionIsOne) {
  Answer a = Control(kControlLinkName, IOCTL_VELMOR_GET_VERSION, 0, 8);
  EXPECT_EQ(Little32(a.output, 0), 1u);
  EXPECT_EQ(a.output[4], 0xCD) << "only four bytes are written";
}

// The build: the protocol version, then the identity the program carries, and nothing more.
TEST_F(AnswerBytesTest, BuildIsTheCarriedIdentity) {
  Answer a = Control(kControlLinkName, IOCTL_VELMOR_GET_BUILD, 0, kBuildAnswerSize + 4);
  EXPECT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(Little32(a.output, 0), kBuildProtocolVersion);
  EXPECT_EQ(std::vector<uint8_t>(a.output.begin() + 4, a.output.begin() + kBuildAnswerSize),
            std::vector<uint8_t>(kDriverBuildIdentity, kDriverBuildIdentity + kBuildIdentitySize));
  EXPECT_EQ(a.output[kBuildAnswerSize], 0xCD);
  EXPECT_EQ(Control(kControlLinkName, IOCTL_VELMOR_GET_BUILD, 0, kBuildAnswerSize - 1).status,
            status::kBufferTooSmall);
}

// A drive that cannot lock its medium takes the lock and unlock as the class driver does, and
// refuses them without the one-byte record.
TEST_F(AnswerBytesTest, MediaRemovalNeedsItsRecord) {
  for (uint32_t code : {ioctl::kCdromMediaRemoval, ioctl::kStorageMediaRemoval}) {
    EXPECT_EQ(Control(DriveLink('E'), code, 1, 0).status, status::kSuccess);
    EXPECT_EQ(Control(DriveLink('E'), code, 0, 0).status, status::kInfoLengthMismatch);
  }
}

TEST_F(AnswerBytesTest, CheckVerifyReportsOneMediaChange) {
  for (uint32_t code : {ioctl::kCdromCheckVerify, ioctl::kStorageCheckVerify})
    EXPECT_EQ(Little32(Control(DriveLink('E'), code, 0, 4).output, 0), 1u);
}

TEST_F(AnswerBytesTest, IsoTableOfContentsIsFixed) {
  Answer a = Control(DriveLink('E'), ioctl::kCdromReadToc, 0, 900);
  const std::vector<uint8_t> head = {0x00, 0x12, 1, 1,    0,    0x14, 1,    0,    0,    0,
                                     2,    0,    0, 0x14, 0xAA, 0,    0x00, 0x2E, 0x3B, 0x3A};
  EXPECT_EQ(std::vector<uint8_t>(a.output.begin(), a.output.begin() + 20), head);
  EXPECT_EQ(std::count(a.output.begin() + 20, a.output.begin() + 804, 0), 784);
  EXPECT_EQ(a.output[804], 0xCD) << "nothing past the 804 bytes";
}

TEST_F(AnswerBytesTest, IsoGeometryIsFixed) {
  Answer a = Control(DriveLink('E'), ioctl::kCdromGetDriveGeometry, 0, 24);
  EXPECT_EQ(Little32(a.output, 0), 146u);
  EXPECT_EQ(Little32(a.output, 4), 0u);
  EXPECT_EQ(Little32(a.output, 8), 11u);
  EXPECT_EQ(Little32(a.output, 12), 64u);
  EXPECT_EQ(Little32(a.output, 16), 32u);
  EXPECT_EQ(Little32(a.output, 20), 2048u);
  EXPECT_EQ(model_.Reads().size(), 0u) << "a plain image is not read for these answers";
}

TEST_F(AnswerBytesTest, EjectLeavesTheDriveMounted) {
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromEjectMedia, 0, 0).status, status::kSuccess);
  EXPECT_EQ(Read(DriveLink('E'), 0, 2048).status, status::kSuccess);
}

TEST_F(AnswerBytesTest, LayoutTocGeometryAndSessionComeFromTheTracks) {
  // Data from block 258, audio from 268, data at 1,000,000 (222:15:25 with the 150 blocks
  // before block 0) and at 1,200,000, past what a minutes byte holds.
  WriteImage("t.iso", Pattern(10 * 2048));
  WriteImage("t.bin", Pattern(5 * 2352));
  auto record = MakeLayout(
      u'L', {u"D:\\t.iso", u"D:\\t.bin"},
      {MakeTrack(1, 0, 258, 10, 2048, 0, 0), MakeTrack(2, 1, 268, 5, 2352, 0, 0, kControlAdrAudio),
       MakeTrack(3, 0, 1000000, 1, 2048, 0, 0), MakeTrack(4, 0, 1200000, 1, 2048, 0, 0)});
  ASSERT_EQ(AddLayout(*record), status::kSuccess);

  Answer toc = Control(DriveLink('L'), ioctl::kCdromReadToc, 0, 900);
  ASSERT_EQ(toc.status, status::kSuccess);
  EXPECT_EQ(toc.information, 804u);
  const std::vector<uint8_t> head = {0x00, 42,   1,    4, // 2 + 8 x 5 bytes follow; tracks 1-4
                                     0,    0x14, 1,    0, 0, 0,   5,  33,  // 00:05:33
                                     0,    0x10, 2,    0, 0, 0,   5,  43,  // audio, 00:05:43
                                     0,    0x14, 3,    0, 0, 222, 15, 25,  //
                                     0,    0x14, 4,    0, 0, 255, 59, 74,  // the largest address
                                     0,    0x14, 0xAA, 0, 0, 255, 59, 74}; // lead-out
  EXPECT_EQ(std::vector<uint8_t>(toc.output.begin(), toc.output.begin() + 44), head);
  EXPECT_EQ(std::count(toc.output.begin() + 44, toc.output.begin() + 804, 0), 760);

  Answer geometry = Control(DriveLink('L'), ioctl::kCdromGetDriveGeometry, 0, 24);
  EXPECT_EQ(Little32(geometry.output, 0), 586u) << "64 x 32 blocks a cylinder, lead-out covered";
  EXPECT_EQ(Little32(geometry.output, 20), 2048u);

  Answer session = Control(DriveLink('L'), ioctl::kCdromGetLastSession, 0, 12);
  ASSERT_EQ(session.status, status::kSuccess);
  EXPECT_EQ(session.information, 12u);
  EXPECT_EQ(session.output, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 1, 2}))
      << "the first track's start as a big-endian block";
  EXPECT_EQ(Control(DriveLink('L'), ioctl::kCdromGetLastSession, 0, 11).status,
            status::kBufferTooSmall);
  EXPECT_EQ(model_.Reads().size(), 0u) << "answered from the tracks, without a file read";
  for (uint32_t code : {ioctl::kCdromPlayAudioMsf, ioctl::kCdromStopAudio})
    EXPECT_EQ(Control(DriveLink('L'), code, 0, 0).status, status::kSuccess);

  kernel::Device *mounted = model_.Open(DriveLink('L'));
  ASSERT_EQ(Remove(DriveLink('L')), status::kSuccess);
  kernel::Request late;
  late.code = ioctl::kCdromReadToc;
  late.outputLength = 804;
  std::vector<uint8_t> buffer(804);
  late.systemBuffer = buffer.data();
  Dispatch(VelmorDispatchDeviceControl, mounted, late);
  EXPECT_EQ(late.status, status::kVerifyRequired) << "the disc went with the drive";
  model_.Close(mounted);
}

} // namespace
} // namespace velmor::test
