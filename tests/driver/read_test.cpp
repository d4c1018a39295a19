// Reads and the image-backed answers: where in the file each format reads, and how failures
// to read reach the caller.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>

#include "driver_fixture.h"

namespace velmor::test {
namespace {

class ReadTest : public DriverTest {
protected:
  void SetUp() override { ASSERT_EQ(Start(), status::kSuccess); }
  std::vector<uint8_t> Slice(const std::vector<uint8_t> &b, size_t at, size_t n) {
    return std::vector<uint8_t>(b.begin() + long(at), b.begin() + long(at + n));
  }
};

struct OffsetCase {
  const char *file;
  int64_t base;
};

class ReadOffsetTest : public ReadTest, public ::testing::WithParamInterface<OffsetCase> {};

TEST_P(ReadOffsetTest, ReadsTheFileBehindTheFormatBase) {
  const auto image = Pattern(0x30000);
  ASSERT_EQ(Add(u'E', WriteImage(GetParam().file, image)), status::kSuccess);
  Answer a = Read(DriveLink('E'), 0x8000, 4096);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 4096u);
  EXPECT_EQ(a.output, Slice(image, size_t(0x8000 + GetParam().base), 4096));
  ASSERT_EQ(model_.Reads().size(), 1u);
  EXPECT_EQ(model_.Reads()[0].offset, 0x8000 + GetParam().base);
  EXPECT_EQ(model_.OpenFiles(), 0) << "nothing stays open between requests";
}

INSTANTIATE_TEST_SUITE_P(Formats, ReadOffsetTest,
                         ::testing::Values(OffsetCase{"a.iso", 0}, OffsetCase{"a.img", 0x10000}));

TEST_F(ReadTest, OffsetSumCarriesIntoTheHighHalf) {
  // A sparse file a little over 4 GiB with a marker sector at each of the two offsets.
  const int64_t iso = 0xFFFFF800, velmor = 0x10000F800;
  const std::string host = HostPath("big.iso");
  int fd = ::open(host.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, velmor + 2048), 0);
  const auto first = Pattern(2048, 7), second = Pattern(2048, 8);
  ASSERT_EQ(::pwrite(fd, first.data(), 2048, iso), 2048);
  ASSERT_EQ(::pwrite(fd, second.data(), 2048, velmor), 2048);
  ::close(fd);
  ASSERT_EQ(::symlink(host.c_str(), HostPath("big.img").c_str()), 0);

  ASSERT_EQ(Add(u'E', u"D:\\big.iso"), status::kSuccess);
  ASSERT_EQ(Add(u'F', u"D:\\big.img"), status::kSuccess);
  EXPECT_EQ(Read(DriveLink('E'), iso, 2048).output, first);
  EXPECT_EQ(Read(DriveLink('F'), iso, 2048).output, second);
  ASSERT_EQ(model_.Reads().size(), 2u);
  EXPECT_EQ(model_.Reads()[0].offset, iso);
  EXPECT_EQ(model_.Reads()[1].offset, velmor);
}

TEST_F(ReadTest, ReadRunningPastTheEndReturnsTheFullLengthWithZerosBeyond) {
  const auto image = Pattern(5000);
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", image)), status::kSuccess);
  Answer a = Read(DriveLink('E'), 4096, 2048); // the buffer held 0xEE before
  EXPECT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 2048u);
  EXPECT_EQ(Slice(a.output, 0, 904), Slice(image, 4096, 904));
  EXPECT_EQ(std::count(a.output.begin() + 904, a.output.end(), 0), 2048 - 904)
      << "the caller's old bytes must not come back as disc data";
}

TEST_F(ReadTest, NoAddressSpaceForTheBufferIsAShortage) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(8192))), status::kSuccess);
  model_.FailMapping(1);
  Answer a = Read(DriveLink('E'), 0, 2048);
  EXPECT_EQ(a.status, status::kInsufficientResources);
  EXPECT_EQ(a.information, 0u);
  EXPECT_TRUE(model_.Reads().empty());
  EXPECT_EQ(Read(DriveLink('E'), 0, 2048).status, status::kSuccess) << "the next one maps";
}

// Reads queued for the driver's thread, with the thread held inside the first read's open.
class QueuedReadTest : public ReadTest {
protected:
  struct Pending {
    kernel::Device *device;
    std::vector<uint8_t> data;
    kernel::Request request;
  };
  std::unique_ptr<Pending> Send(const std::u16string &name, uint32_t length) {
    auto p = std::make_unique<Pending>();
    p->device = model_.Open(name);
    p->data.assign(length, 0xEE);
    p->request.length = length;
    p->request.readBuffer = p->data.data();
    IrqlScope paging(kernel::kApcLevel);
    EXPECT_EQ(VelmorDispatchRead(p->device, &p->request), status::kPending);
    return p;
  }
  void Finish(Pending &p) {
    model_.AwaitCompletion(p.request);
    model_.Close(p.device);
  }
  void HoldTheThread() {
    model_.OnNextFileOpen([this] {
      entered_.set_value();
      release_.get_future().wait();
    });
  }
  std::promise<void> entered_, release_;
};

TEST_F(QueuedReadTest, RemoveFailsTheReadsQueuedForItsDriveOnly) {
  const auto image = Pattern(8192);
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", image)), status::kSuccess);
  ASSERT_EQ(Add(u'F', WriteImage("f.iso", image)), status::kSuccess);
  const size_t allocations = model_.LiveAllocations();
  HoldTheThread();
  auto first = Send(DriveLink('E'), 2048);
  entered_.get_future().wait(); // the thread is inside the first read
  auto second = Send(DriveLink('E'), 2048);
  auto other = Send(DriveLink('F'), 2048);
  auto third = Send(DriveLink('E'), 2048);

  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  for (Pending *p : {second.get(), third.get()}) {
    EXPECT_EQ(p->request.completions.load(), 1) << "failed by the remove, at once";
    EXPECT_EQ(p->request.status, status::kDeviceNotReady);
    EXPECT_EQ(p->request.information, 0u);
  }
  EXPECT_EQ(other->request.completions.load(), 0) << "another drive's read waits its turn";

  release_.set_value();
  for (Pending *p : {first.get(), second.get(), other.get(), third.get()})
    Finish(*p);
  EXPECT_EQ(first->request.status, status::kSuccess) << "the read being served ends normally";
  EXPECT_EQ(other->request.status, status::kSuccess);
  EXPECT_EQ(other->data, Slice(image, 0, 2048));
  EXPECT_EQ(first->request.completions.load(), 1);
  EXPECT_EQ(model_.LiveAllocations(), allocations - 2) << "the removed drive's two stores";
  EXPECT_FALSE(model_.HasName(DriveDevice('E')));
  EXPECT_EQ(model_.OpenFiles(), 0);
}

TEST_F(ReadTest, RemovedDriveAnswersNoMediaAndAsksForAVerify) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(8192))), status::kSuccess);
  kernel::Device *mounted = model_.Open(DriveLink('E')); // as a mounted volume holds it
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromCheckVerify, 0, 4).status, status::kSuccess);
  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  for (uint32_t code : {ioctl::kCdromCheckVerify, ioctl::kStorageCheckVerify}) {
    kernel::Request check;
    check.code = code;
    Dispatch(VelmorDispatchDeviceControl, mounted, check);
    EXPECT_EQ(check.status, status::kNoMediaInDevice);
    EXPECT_EQ(check.information, 0u);
    EXPECT_TRUE(mounted->flags & kernel::kDoVerifyVolume);
  }
  model_.Close(mounted);
}

TEST_F(ReadTest, ReadStartingAtOrPastTheEndIsNotReady) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(4096))), status::kSuccess);
  for (int64_t offset : {int64_t(4096), int64_t(1) << 40}) {
    Answer a = Read(DriveLink('E'), offset, 2048);
    EXPECT_EQ(a.status, status::kDeviceNotReady);
    EXPECT_EQ(a.information, 0u);
    EXPECT_EQ(a.completions, 1);
  }
}

TEST_F(ReadTest, MissingImageStillMakesADrive) {
  ASSERT_EQ(Add(u'E', u"D:\\gone.iso"), status::kSuccess);
  ASSERT_EQ(Add(u'F', u"D:\\gone.img"), status::kSuccess);
  EXPECT_EQ(Read(DriveLink('E'), 0, 2048).status, status::kDeviceNotReady);
  // A plain drive answers from its fixed tables; a VELMOR format drive needs the file.
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromReadToc, 0, 804).status, status::kSuccess);
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromGetDriveGeometry, 0, 24).status, status::kSuccess);
  for (uint32_t code : {ioctl::kCdromReadToc, ioctl::kCdromGetDriveGeometry}) {
    Answer a = Control(DriveLink('F'), code, 0, 804);
    EXPECT_EQ(a.status, status::kDeviceNotReady);
    EXPECT_EQ(a.information, 0u);
  }
}

TEST_F(ReadTest, VelmorHeaderGivesTableOfContentsAndGeometry) {
  const auto image = Pattern(0x20000);
  ASSERT_EQ(Add(u'H', WriteImage("disc.img", image)), status::kSuccess);
  Answer toc = Control(DriveLink('H'), ioctl::kCdromReadToc, 0, 1000);
  EXPECT_EQ(toc.status, status::kSuccess);
  EXPECT_EQ(toc.information, 804u);
  EXPECT_EQ(Slice(toc.output, 0, 804), Slice(image, 2048, 804));
  Answer geometry = Control(DriveLink('H'), ioctl::kCdromGetDriveGeometry, 0, 24);
  EXPECT_EQ(geometry.information, 24u);
  EXPECT_EQ(geometry.output, Slice(image, 1024, 24));
}

TEST_F(ReadTest, HeaderCutShortAnswersZerosForTheMissingPart) {
  const auto image = Pattern(2048 + 100);
  ASSERT_EQ(Add(u'H', WriteImage("short.img", image)), status::kSuccess);
  Answer toc = Control(DriveLink('H'), ioctl::kCdromReadToc, 0, 804);
  EXPECT_EQ(toc.status, status::kSuccess);
  EXPECT_EQ(Slice(toc.output, 0, 100), Slice(image, 2048, 100));
  EXPECT_EQ(std::count(toc.output.begin() + 100, toc.output.end(), 0), 704);
}

TEST_F(ReadTest, ImageChangedWhileMountedIsSeenByTheNextRead) {
  const auto before = Pattern(4096, 1), after = Pattern(4096, 2);
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", before)), status::kSuccess);
  EXPECT_EQ(Read(DriveLink('E'), 0, 4096).output, before);
  WriteImage("a.iso", after);
  EXPECT_EQ(Read(DriveLink('E'), 0, 4096).output, after);
}

} // namespace
} // namespace velmor::test
