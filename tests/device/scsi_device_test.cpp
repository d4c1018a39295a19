#include <gtest/gtest.h>

#include <memory>

#include "scsi_device.h"

namespace velmor {
namespace {

class Memo : public TDebugMemo {
public:
  std::vector<std::string> Lines;
  void AddLine(const std::string &line) override { Lines.push_back(line); }
};

TEST(ScsiDeviceTest, StartsWithNoDeviceAndRefusesEveryCommand) {
  TSCSIDevice device;
  EXPECT_FALSE(device.Erasing());
  EXPECT_EQ(device.HostAdapter(), 254);
  EXPECT_EQ(device.Target(), 254);
  EXPECT_EQ(device.Lun(), 254);
  EXPECT_FALSE(device.DoDebug());
  EXPECT_TRUE(device.DeviceList().empty());
  EXPECT_EQ(device.DebugWindow(), nullptr);
  EXPECT_FALSE(TSCSIDevice::ASPIInitialized());
  const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  EXPECT_EQ(device.ExecuteCommand(inquiry, sizeof inquiry, 10000), 0xE2);
  EXPECT_EQ(device.SetWriteSpeed(4), 0xE2);
  EXPECT_TRUE(device.LastError().empty());
}

TEST(ScsiDeviceTest, DebugLinesReachMemoAndEventUntilTheMemoIsGone) {
  TSCSIDevice device;
  std::vector<std::string> events;
  device.OnDebugMessage = [&](TSCSIDevice *sender, const std::string &text, std::uint8_t level) {
    EXPECT_EQ(sender, &device);
    events.push_back(std::to_string(level) + text);
  };
  auto memo = std::make_unique<Memo>();
  device.SetDebugWindow(memo.get());
  device.DebugMsg("ONE", 3);
  EXPECT_EQ(memo->Lines, std::vector<std::string>{"ONE"});
  memo.reset();
  EXPECT_EQ(device.DebugWindow(), nullptr);
  device.DebugMsg("TWO", 4);
  EXPECT_EQ(events, (std::vector<std::string>{"3ONE", "4TWO"}));
}

TEST(ScsiDeviceTest, DeviceGoneBeforeItsMemo) {
  Memo memo;
  {
    TSCSIDevice device;
    device.SetDebugWindow(&memo);
  }
  memo.AddLine("still fine"); // the memo's destructor must not reach the device either
  SUCCEED();
}

} // namespace
} // namespace velmor
