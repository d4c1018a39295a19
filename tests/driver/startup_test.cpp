// Start of the driver: the control device, then the drives recorded in the registry table.
#include <cstddef>

#include "driver_fixture.h"

namespace velmor::test {
namespace {

class StartupTest : public DriverTest, public ::testing::WithParamInterface<bool> {
protected:
  // Both registries: Wine fails the query of a missing value, Windows leaves it empty.
  void SetUp() override { model_.SetMissingValueFails(GetParam()); }
  void Record(const char *name, const std::u16string &path) {
    model_.SetValue(kParametersKey, ToU16(name), path);
  }
  std::vector<std::u16string> Drives() const {
    std::vector<std::u16string> drives; // made and still there, in order of creation
    for (const std::u16string &name : model_.CreatedDevices())
      if (name != kControlDeviceName && model_.FindDevice(name))
        drives.push_back(name);
    return drives;
  }
};

TEST_P(StartupTest, ControlDeviceAloneWithoutParametersKey) {
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_TRUE(driver_.handlersInstalled);
  kernel::Device *control = model_.Resolve(kControlLinkName);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control, model_.FindDevice(kControlDeviceName));
  EXPECT_EQ(control->type, kFileDeviceUnknown);
  EXPECT_EQ(control->flags, kernel::kDoDirectIo | kernel::kDoDeviceInitializing)
      << "the system clears initializing for devices made at start";
  EXPECT_EQ(Extension(kControlDeviceName)->IsoFormat, 1u);
  EXPECT_EQ(model_.DeviceCount(), 1u);
  EXPECT_EQ(model_.LiveAllocations(), 3u)
      << "the control device's two stores and the driver's queue, nothing else";
}

TEST_P(StartupTest, RecordedDrivesComeBackInLetterOrderOneQueryEach) {
  Record("E", u"D:\\e.iso");
  Record("C", u"D:\\c.iso");
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Drives(), (std::vector<std::u16string>{DriveDevice('C'), DriveDevice('E')}));
  EXPECT_EQ(model_.Resolve(DriveLink('C')), model_.FindDevice(DriveDevice('C')));
  EXPECT_EQ(model_.FindDevice(DriveDevice('E'))->flags & kernel::kDoDeviceInitializing,
            kernel::kDoDeviceInitializing);
  std::vector<std::u16string> letters;
  for (char16_t c = u'A'; c <= u'Z'; ++c)
    letters.push_back(std::u16string(1, c));
  EXPECT_EQ(model_.QueriedValues(), letters);
}

TEST_P(StartupTest, OtherValueNamesAndEmptyValuesMakeNoDrive) {
  Record("AA", u"D:\\a.iso");
  Record("1", u"D:\\a.iso");
  Record("Drive", u"D:\\a.iso");
  Record("G", u"");
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_TRUE(Drives().empty());
  EXPECT_EQ(model_.DeviceCount(), 1u);
}

TEST_P(StartupTest, ValuesThatAreNotStringsMakeNoDrive) {
  model_.SetNonStringValue(kParametersKey, u"E");
  Record("F", u"D:\\f.iso");
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Drives(), std::vector<std::u16string>{DriveDevice('F')});
}

TEST_P(StartupTest, RecordedImageKeepsItsFormat) {
  Record("H", u"D:\\x.img");
  Record("I", u"D:\\x.ISO");
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Extension(DriveDevice('H'))->IsoFormat, 0u);
  EXPECT_EQ(Extension(DriveDevice('I'))->IsoFormat, 1u);
}

TEST_P(StartupTest, RecordedLayoutMakesALayoutDriveAndAnUnfitOneTheClassicDrive) {
  const std::u16string layouts = std::u16string(kParametersKey) + u"\\Layouts";
  auto Layout = [](char16_t letter) {
    // Two tracks over a file that need not exist now: start-up does not look at the files.
    auto record = MakeLayout(letter, {u"D:\\gone.bin"},
                             {MakeTrack(1, 0, 0, 10, 2352, 16, 0),
                              MakeTrack(2, 0, 10, 300, 2352, 0, 23520, kControlAdrAudio)});
    const auto *bytes = reinterpret_cast<const uint8_t *>(record.get());
    return std::vector<uint8_t>(bytes, bytes + sizeof(LayoutRecord));
  };
  Record("E", u"D:\\e.cue");
  model_.SetBinaryValue(layouts, u"E", Layout(u'E'));
  Record("F", u"D:\\f.cue");
  model_.SetBinaryValue(layouts, u"F", Layout(u'E')); // another letter's record
  Record("G", u"D:\\g.cue");
  auto cut = Layout(u'G');
  cut.pop_back();
  model_.SetBinaryValue(layouts, u"G", cut);
  Record("H", u"D:\\h.cue");
  auto spoilt = Layout(u'H');
  spoilt[offsetof(LayoutRecord, tracks) + offsetof(LayoutTrack, number)] = 2; // numbers 2, 2
  model_.SetBinaryValue(layouts, u"H", spoilt);
  model_.SetBinaryValue(layouts, u"K", Layout(u'K')); // no path recorded: no drive
  ASSERT_EQ(Start(), status::kSuccess);

  EXPECT_EQ(Drives(), (std::vector<std::u16string>{DriveDevice('E'), DriveDevice('F'),
                                                   DriveDevice('G'), DriveDevice('H')}));
  EXPECT_EQ(Extension(DriveDevice('E'))->LayoutLeadOut, 310u);
  Answer toc = Control(DriveLink('E'), ioctl::kCdromReadToc, 0, 804);
  EXPECT_EQ(toc.output[1], 2 + 8 * 3) << "the layout's two tracks and lead-out";
  EXPECT_EQ(Read(DriveLink('E'), 0, 2048).status, status::kDeviceNotReady) << "no file";
  for (char letter : {'F', 'G', 'H'}) {
    EXPECT_EQ(Extension(DriveDevice(letter))->LayoutLeadOut, 0u) << letter;
    const UString &name = Extension(DriveDevice(letter))->ImageFileName;
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2),
              u"\\??\\D:\\" + std::u16string(1, char16_t(letter + 32)) + u".cue");
  }
  EXPECT_EQ(model_.QueriedBinaryValues(), (std::vector<std::u16string>{u"E", u"F", u"G", u"H"}))
      << "a record is looked for only beside a recorded path";
}

TEST_P(StartupTest, DrivesThatCannotBeMadeAreSkipped) {
  model_.HoldName(GlobalLink('D'));
  Record("D", u"D:\\held.iso");                               // letter taken
  Record("F", u"D:\\" + std::u16string(493, u'x'));           // 496 units: no room
  Record("G", u"D:\\" + std::u16string(496, u'x'));           // 499 units: too long to query
  Record("J", u"D:\\" + std::u16string(488, u'x') + u".iso"); // 495 units: fits
  Record("K", u"D:\\k.iso");
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Drives(), (std::vector<std::u16string>{DriveDevice('J'), DriveDevice('K')}));
  EXPECT_EQ(model_.DeviceCount(), 3u);
  EXPECT_EQ(model_.LiveAllocations(), 7u) << "two stores per device, and the queue";
}

TEST_P(StartupTest, NoDriveOutlivesAMissingControlDevice) {
  model_.HoldName(kControlDeviceName);
  Record("E", u"D:\\e.iso");
  EXPECT_EQ(Start(), status::kObjectNameCollision);
  EXPECT_EQ(model_.DeviceCount(), 0u);
  EXPECT_EQ(model_.LiveAllocations(), 0u);
}

TEST_P(StartupTest, MemoryFailureAtEachStartAllocationFailsCleanly) {
  // The two key paths and the layout record's store, the driver's queue, then the control
  // device's stores.
  for (int nth = 1; nth <= 6; ++nth) {
    SCOPED_TRACE(nth);
    KernelModel model;
    model.SetValue(kParametersKey, u"E", u"D:\\e.iso");
    model.FailAllocation(nth);
    kernel::Driver driver;
    UString path;
    kernel::InitString(&path, kServiceKey);
    EXPECT_EQ(VelmorStartDriver(&driver, &path), status::kInsufficientResources);
    EXPECT_EQ(model.DeviceCount(), 0u);
    EXPECT_EQ(model.LiveAllocations(), 0u);
    EXPECT_EQ(driver.handlersInstalled, nth > 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Registries, StartupTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Wine" : "Windows"; });

} // namespace
} // namespace velmor::test
