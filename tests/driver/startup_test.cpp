// Start of the driver: the control device, then the drives recorded in the registry table.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>

#include "driver_fixture.h"

namespace velmor::test {
namespace {

class StartupTest : public DriverTest, public ::testing::WithParamInterface<bool> {
protected:
  // Both registries: Wine fails the query of a missing value, Windows leaves it empty.
  void SetUp() override { model_.SetMissingValueFails(GetParam()); }
  // A drive as the program records it: its path, and the identity of each file the add
  // opened (when they exist), one after another.
  void Record(const char *name, const std::u16string &path,
              std::vector<std::u16string> files = {}) {
    model_.SetValue(kParametersKey, ToU16(name), path);
    if (files.empty())
      files.push_back(path);
    std::vector<uint8_t> identities;
    for (const std::u16string &file : files) {
      if (file.size() < 3)
        return;
      std::string host = HostPath(ToNarrow(file.substr(3)));
      std::replace(host.begin(), host.end(), '\\', '/');
      if (::access(host.c_str(), F_OK) != 0)
        return;
      const FileIdentity identity = KernelModel::IdentityOfHostFile(host);
      const auto *bytes = reinterpret_cast<const uint8_t *>(&identity);
      identities.insert(identities.end(), bytes, bytes + sizeof(identity));
    }
    model_.SetBinaryValue(kIdentitiesNtKey, ToU16(name), identities);
  }
  std::vector<uint8_t> Skipped() {
    return Control(kControlLinkName, IOCTL_VELMOR_GET_SKIPPED, 0, kSkippedAnswerSize).output;
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
  EXPECT_EQ(control->security, kernel::DeviceSecurity::kAdministratorsOnly);
  EXPECT_EQ(model_.DeviceCount(), 1u);
  EXPECT_EQ(model_.LiveAllocations(), 1u) << "the control device's link store, nothing else";
  EXPECT_EQ(model_.LiveThreads(), 0u) << "threads are the drives'";
}

TEST_P(StartupTest, RecordedDrivesComeBackInLetterOrderOneQueryEach) {
  WriteImage("e.iso", Pattern(2048));
  WriteImage("c.iso", Pattern(2048));
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
  Record("F", WriteImage("f.iso", Pattern(2048)));
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Drives(), std::vector<std::u16string>{DriveDevice('F')});
}

TEST_P(StartupTest, RecordedImageKeepsItsFormat) {
  Record("H", WriteImage("x.img", Pattern(2048)));
  Record("I", WriteImage("x.ISO", Pattern(2048)));
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Extension(DriveDevice('H'))->IsoFormat, 0u);
  EXPECT_EQ(Extension(DriveDevice('I'))->IsoFormat, 1u);
}

TEST_P(StartupTest, RecordedLayoutMakesALayoutDriveAndAnUnfitOneNone) {
  const std::u16string layouts = std::u16string(kParametersKey) + u"\\Layouts";
  auto Layout = [](char16_t letter, const std::u16string &file) {
    auto record = MakeLayout(letter, {file},
                             {MakeTrack(1, 0, 0, 10, 2352, 16, 0),
                              MakeTrack(2, 0, 10, 300, 2352, 0, 23520, kControlAdrAudio)});
    const auto *bytes = reinterpret_cast<const uint8_t *>(record.get());
    return std::vector<uint8_t>(bytes, bytes + sizeof(LayoutRecord));
  };
  WriteImage("e.bin", Pattern(310 * 2352));
  WriteImage("f.cue", Pattern(2048)); // a classic drive over the sheet would read its text
  Record("E", u"D:\\e.cue", {u"D:\\e.bin"});
  model_.SetBinaryValue(layouts, u"E", Layout(u'E', u"D:\\e.bin"));
  Record("F", u"D:\\f.cue");
  model_.SetBinaryValue(layouts, u"F", Layout(u'E', u"D:\\e.bin")); // another letter's record
  Record("G", u"D:\\g.cue");
  auto cut = Layout(u'G', u"D:\\e.bin");
  cut.pop_back();
  model_.SetBinaryValue(layouts, u"G", cut);
  Record("H", u"D:\\h.cue");
  auto spoilt = Layout(u'H', u"D:\\e.bin");
  spoilt[offsetof(LayoutRecord, tracks) + offsetof(LayoutTrack, number)] = 2; // numbers 2, 2
  model_.SetBinaryValue(layouts, u"H", spoilt);
  Record("I", u"D:\\i.cue", {u"D:\\e.bin"});
  model_.SetBinaryValue(layouts, u"I", Layout(u'I', u"D:\\gone.bin")); // its file is gone
  model_.SetBinaryValue(layouts, u"K", Layout(u'K', u"D:\\e.bin"));    // no path recorded
  ASSERT_EQ(Start(), status::kSuccess);

  EXPECT_EQ(Drives(), std::vector<std::u16string>{DriveDevice('E')});
  EXPECT_EQ(Extension(DriveDevice('E'))->LayoutLeadOut, 310u);
  Answer toc = Control(DriveLink('E'), ioctl::kCdromReadToc, 0, 804);
  EXPECT_EQ(toc.output[1], 2 + 8 * 3) << "the layout's two tracks and lead-out";
  EXPECT_EQ(model_.QueriedBinaryValues(),
            (std::vector<std::u16string>{u"E", u"E", u"E", u"F", u"F", u"G", u"G", u"H", u"H", u"I",
                                         u"I", u"I"}))
      << "records (served, then layout) are looked for only beside a recorded path, its "
         "identities beside a good one";
  for (const auto &open : model_.ImageOpens())
    EXPECT_FALSE(open.asCaller) << "made in the system's context";
}

TEST_P(StartupTest, DrivesThatCannotBeMadeAreSkipped) {
  model_.HoldName(GlobalLink('D'));
  Record("D", u"D:\\held.iso");                     // letter taken
  Record("F", u"D:\\" + std::u16string(493, u'x')); // 496 units: no room
  Record("G", u"D:\\" + std::u16string(496, u'x')); // 499 units: too long to query
  Record("J", LongImagePath(495, u".iso"));         // 495 units: fits
  Record("K", WriteImage("k.iso", Pattern(2048)));
  Record("L", u"D:\\missing.iso"); // image gone
  ASSERT_EQ(Start(), status::kSuccess);
  EXPECT_EQ(Drives(), (std::vector<std::u16string>{DriveDevice('J'), DriveDevice('K')}));
  EXPECT_EQ(model_.DeviceCount(), 3u);
  EXPECT_EQ(model_.LiveAllocations(), 7u) << "two stores and a worker per drive, the link's";
  EXPECT_EQ(model_.LiveThreads(), 2u) << "a thread per drive";
}

TEST_P(StartupTest, OnlyTheFilesTheAddOpenedComeBack) {
  // E is untouched; F's image was removed and written anew (another file behind the same
  // name, as a junction or a link planted in a user's folder would give); G was recorded by an
  // older build, without identities; H's layout file was replaced the same way.
  const auto image = Pattern(4096);
  Record("E", WriteImage("e.iso", image));
  Record("F", WriteImage("f.iso", image));
  const std::string replaced = HostPath("f.iso");
  std::filesystem::rename(replaced, HostPath("f.old"));
  WriteImage("f.iso", image);
  model_.SetValue(kParametersKey, u"G", WriteImage("g.iso", image));
  const std::u16string layouts = std::u16string(kParametersKey) + u"\\Layouts";
  auto record = MakeLayout(u'H', {u"D:\\h.bin"}, {MakeTrack(1, 0, 0, 2, 2352, 16, 0)});
  const auto *bytes = reinterpret_cast<const uint8_t *>(record.get());
  WriteImage("h.bin", Pattern(2 * 2352));
  Record("H", u"D:\\h.cue", {u"D:\\h.bin"});
  model_.SetBinaryValue(layouts, u"H", std::vector<uint8_t>(bytes, bytes + sizeof(LayoutRecord)));
  std::filesystem::rename(HostPath("h.bin"), HostPath("h.old"));
  WriteImage("h.bin", Pattern(2 * 2352, 2));
  Record("I", u"D:\\gone.iso");
  ASSERT_EQ(Start(), status::kSuccess);

  EXPECT_EQ(Drives(), std::vector<std::u16string>{DriveDevice('E')});
  const std::vector<uint8_t> skipped = Skipped();
  EXPECT_EQ(skipped['E' - 'A'], uint8_t(SkipReason::kNone));
  EXPECT_EQ(skipped['F' - 'A'], uint8_t(SkipReason::kIdentityChanged));
  EXPECT_EQ(skipped['G' - 'A'], uint8_t(SkipReason::kNoIdentity));
  EXPECT_EQ(skipped['H' - 'A'], uint8_t(SkipReason::kIdentityChanged));
  EXPECT_EQ(skipped['I' - 'A'], uint8_t(SkipReason::kNoIdentity)) << "nothing to compare with";
  EXPECT_EQ(model_.OpenFiles(), 1) << "the changed files are closed again";
  // The program re-adds G through the checked add, which settles why it was skipped.
  ASSERT_EQ(Add(u'G', u"D:\\g.iso"), status::kSuccess);
  EXPECT_EQ(Skipped()['G' - 'A'], uint8_t(SkipReason::kNone));
}

// A served drive is its server's to make again, and a CHD is never read raw: start-up opens
// none of their files, whatever else the registry holds for them.
TEST_P(StartupTest, ServedLettersAndChdImagesAreLeftAlone) {
  const std::u16string layouts = std::u16string(kParametersKey) + u"\\Layouts";
  const std::u16string served = std::u16string(kParametersKey) + u"\\Served";
  auto Bytes = [](const LayoutRecord &record) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(bytes, bytes + sizeof(LayoutRecord));
  };
  WriteImage("e.chd", Pattern(4096));
  WriteImage("f.iso", Pattern(4096));
  WriteImage("g.bin", Pattern(2 * 2352));
  WriteImage("h.CHD", Pattern(4096));
  // E: served, recorded with its layout and an identity as any drive.
  Record("E", u"D:\\e.chd");
  model_.SetBinaryValue(
      served, u"E", Bytes(*MakeLayout(u'E', {u"D:\\e.chd"}, {MakeTrack(1, 0, 0, 2, 2048, 0, 0)})));
  // F: a plain image whose Served value is broken still belongs to the server.
  Record("F", u"D:\\f.iso");
  model_.SetBinaryValue(served, u"F", {1, 2, 3});
  // G: a layout over a CHD read raw; H: a classic drive over one, in upper case.
  Record("G", u"D:\\g.cue", {u"D:\\g.bin"});
  model_.SetBinaryValue(
      layouts, u"G",
      Bytes(*MakeLayout(u'G', {u"D:\\h.CHD"}, {MakeTrack(1, 0, 0, 2, 2352, 16, 0)})));
  Record("H", u"D:\\h.CHD");
  ASSERT_EQ(Start(), status::kSuccess);

  EXPECT_TRUE(Drives().empty());
  EXPECT_TRUE(model_.ImageOpens().empty());
  const std::vector<uint8_t> skipped = Skipped();
  EXPECT_EQ(skipped['E' - 'A'], uint8_t(SkipReason::kServed));
  EXPECT_EQ(skipped['F' - 'A'], uint8_t(SkipReason::kServed));
  EXPECT_EQ(skipped['G' - 'A'], uint8_t(SkipReason::kFileRefused));
  EXPECT_EQ(skipped['H' - 'A'], uint8_t(SkipReason::kFileRefused));
}

TEST_P(StartupTest, NoDriveOutlivesAMissingControlDevice) {
  model_.HoldName(kControlDeviceName);
  Record("E", u"D:\\e.iso");
  EXPECT_EQ(Start(), status::kObjectNameCollision);
  EXPECT_EQ(model_.DeviceCount(), 0u);
  EXPECT_EQ(model_.LiveAllocations(), 0u);
}

TEST_P(StartupTest, MemoryFailureAtEachStartAllocationFailsCleanly) {
  // The four key paths, the layout record's, identities' and path's stores, then the control
  // device's link store.
  for (int nth = 1; nth <= 8; ++nth) {
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
    EXPECT_EQ(driver.handlersInstalled, nth > 7);
  }
}

INSTANTIATE_TEST_SUITE_P(Registries, StartupTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Wine" : "Windows"; });

} // namespace
} // namespace velmor::test
