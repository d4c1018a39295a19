// The protocol values against the platform's published codes and layouts.
#include <gtest/gtest.h>

#include <string>

#include "velmor_protocol.h"

namespace velmor {
namespace {

struct Code {
  uint32_t value;
  uint32_t expected;
};

TEST(ProtocolTest, ControlCodesFollowThePlatformLayout) {
  const Code codes[] = {
      {IOCTL_VELMOR_ADD_DEVICE, 0x00022008},       {IOCTL_VELMOR_REMOVE_DEVICE, 0x0002200C},
      {IOCTL_VELMOR_GET_VERSION, 0x00022010},      {ioctl::kCdromReadToc, 0x00024000},
      {ioctl::kCdromGetDriveGeometry, 0x0002404C}, {ioctl::kCdromCheckVerify, 0x00024800},
      {ioctl::kStorageCheckVerify, 0x002D4800},    {ioctl::kCdromSeekAudioMsf, 0x00024004},
      {ioctl::kCdromStopAudio, 0x00024008},        {ioctl::kCdromPauseAudio, 0x0002400C},
      {ioctl::kCdromResumeAudio, 0x00024010},      {ioctl::kCdromPlayAudioMsf, 0x00024018},
      {ioctl::kCdromSetVolume, 0x00024028},        {ioctl::kCdromEjectMedia, 0x00024808},
      {ioctl::kStorageEjectMedia, 0x002D4808},     {ioctl::kStorageFindNewDevices, 0x002D4818},
      {ioctl::kCdromGetVolume, 0x00024014},        {ioctl::kCdromReadQChannel, 0x0002402C},
      {ioctl::kCdromGetLastSession, 0x00024038},   {ioctl::kCdromDiskType, 0x00020040},
      {ioctl::kCdromRawRead, 0x0002403E},          {ioctl::kDiskGetDriveGeometry, 0x00070000},
  };
  for (const Code &c : codes)
    EXPECT_EQ(c.value, c.expected) << std::hex << c.expected;
  EXPECT_EQ(ControlCode(2, 0x802, 0, 0), 0x00022008u);
}

TEST(ProtocolTest, ImageFormatRule) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"D:\\x.ISO", true},      {u"D:\\x.iso", true},  {u"D:\\x.IsO", true},
      {u"D:\\x.iso.bak", false}, {u"D:\\x.img", false}, {u"D:\\x.iso ", false},
      {u"iso", false},           {u"", false},
  };
  for (const auto &[path, iso] : cases)
    EXPECT_EQ(IsIsoImagePath(path.data(), path.size()), iso) << path.size();
}

TEST(ProtocolTest, VolumeNotice) {
  const VolumeNotice e = MakeVolumeNotice('E');
  EXPECT_EQ(e.size, 18u);
  EXPECT_EQ(e.deviceType, 2u);
  EXPECT_EQ(e.unitMask, 0x10u);
  EXPECT_EQ(e.flags, 2u);
  EXPECT_EQ(MakeVolumeNotice('A').unitMask, 1u);
  EXPECT_EQ(NoticeRepeats(kDbtDeviceArrival), 1);
  EXPECT_EQ(NoticeRepeats(kDbtDeviceRemoveComplete), 2);
}

} // namespace
} // namespace velmor
