// Reads and the image-backed answers: where in the file each format reads, and how failures
// to read reach the caller.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>

#include <chrono>
#include <thread>

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
  const size_t before = model_.Reads().size();
  Answer a = Read(DriveLink('E'), 0x8000, 4096);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 4096u);
  EXPECT_EQ(a.output, Slice(image, size_t(0x8000 + GetParam().base), 4096));
  ASSERT_EQ(model_.Reads().size(), before + 1);
  EXPECT_EQ(model_.Reads()[before].offset, 0x8000 + GetParam().base);
  EXPECT_EQ(model_.OpenFiles(), 1) << "read through the one open the add made";
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
  const size_t before = model_.Reads().size(); // the VELMOR header's table of contents
  EXPECT_EQ(Read(DriveLink('E'), iso, 2048).output, first);
  EXPECT_EQ(Read(DriveLink('F'), iso, 2048).output, second);
  ASSERT_EQ(model_.Reads().size(), before + 2);
  EXPECT_EQ(model_.Reads()[before].offset, iso);
  EXPECT_EQ(model_.Reads()[before + 1].offset, velmor);
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
    model_.OnNextFileRead([this] {
      entered_.set_value();
      release_.get_future().wait();
    });
  }
  std::promise<void> entered_, release_;
};

TEST_F(QueuedReadTest, AStuckImageHoldsUpOnlyItsOwnDriveAndRemoveFailsWhatWaits) {
  const auto image = Pattern(8192);
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", image)), status::kSuccess);
  ASSERT_EQ(Add(u'F', WriteImage("f.iso", image)), status::kSuccess);
  HoldTheThread();
  auto first = Send(DriveLink('E'), 2048);
  entered_.get_future().wait(); // E's thread is inside the first read, as on a stuck image
  auto second = Send(DriveLink('E'), 2048);
  auto other = Send(DriveLink('F'), 2048);
  Finish(*other); // served by F's own thread meanwhile
  EXPECT_EQ(other->request.status, status::kSuccess);
  EXPECT_EQ(other->data, Slice(image, 0, 2048));
  EXPECT_EQ(second->request.completions.load(), 0) << "waits behind its own drive's read";

  // The remove waits for the read being served, then fails what waits behind it.
  const int joins = model_.JoinsStarted();
  std::thread remove([&] { EXPECT_EQ(Remove(DriveLink('E')), status::kSuccess); });
  for (int i = 0; i < 5000 && model_.JoinsStarted() == joins; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(model_.JoinsStarted(), joins) << "the remove waits for the drive's thread";
  release_.set_value();
  remove.join();
  for (Pending *p : {first.get(), second.get()})
    Finish(*p);
  EXPECT_EQ(first->request.status, status::kSuccess) << "the read being served ends normally";
  EXPECT_EQ(second->request.status, status::kDeviceNotReady);
  EXPECT_EQ(second->request.information, 0u);
  EXPECT_FALSE(model_.HasName(DriveDevice('E')));
  EXPECT_EQ(model_.OpenFiles(), 1) << "only F's image";
}

TEST_F(QueuedReadTest, CancelAndCleanupTakeQueuedReadsOut) {
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", Pattern(8192))), status::kSuccess);
  HoldTheThread();
  auto first = Send(DriveLink('E'), 2048);
  entered_.get_future().wait();
  const int fileA = 0, fileB = 0;
  auto cancelled = Send(DriveLink('E'), 2048);
  auto through = [&](const int *file) {
    auto p = std::make_unique<Pending>();
    p->device = model_.Open(DriveLink('E'));
    p->data.assign(2048, 0xEE);
    p->request.length = 2048;
    p->request.readBuffer = p->data.data();
    p->request.file = file;
    return p;
  };
  auto closing = through(&fileA), kept = through(&fileB);
  ASSERT_EQ(VelmorDispatchRead(closing->device, &closing->request), status::kPending);
  ASSERT_EQ(VelmorDispatchRead(kept->device, &kept->request), status::kPending);

  model_.Cancel(cancelled->request); // the caller gave up (CancelIoEx, or its thread ended)
  EXPECT_EQ(cancelled->request.status, status::kCancelled);
  kernel::Request cleanup; // the last handle of fileA is closed
  cleanup.file = &fileA;
  EXPECT_EQ(VelmorDispatchCleanup(closing->device, &cleanup), status::kSuccess);
  EXPECT_EQ(closing->request.completions.load(), 1);
  EXPECT_EQ(closing->request.status, status::kCancelled);
  EXPECT_TRUE(model_.Queued(kept->request)) << "another file's read stays queued";

  release_.set_value();
  for (Pending *p : {first.get(), cancelled.get(), closing.get(), kept.get()})
    Finish(*p);
  EXPECT_EQ(kept->request.status, status::kSuccess);
}

// The kernel cancels in two steps: it clears the request's cancel routine, then calls it.
// A remove that runs in between skips the request (it belongs to its cancel now) and frees what
// the drive no longer needs; the routine must still find the queue's lock, which lies in the
// device the request keeps referenced.
TEST_F(QueuedReadTest, ACancelSplitByARemoveStillFindsItsQueue) {
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", Pattern(8192))), status::kSuccess);
  HoldTheThread();
  auto first = Send(DriveLink('E'), 2048);
  entered_.get_future().wait();
  auto cancelled = Send(DriveLink('E'), 2048);
  ASSERT_TRUE(model_.BeginCancel(cancelled->request)) << "its cancel routine was set";
  std::thread remove([&] { EXPECT_EQ(Remove(DriveLink('E')), status::kSuccess); });
  release_.set_value();
  remove.join();
  EXPECT_EQ(cancelled->request.completions.load(), 0) << "the remove leaves it to its cancel";
  model_.FinishCancel(cancelled->request);
  for (Pending *p : {first.get(), cancelled.get()})
    Finish(*p);
  EXPECT_EQ(first->request.status, status::kSuccess);
  EXPECT_EQ(cancelled->request.status, status::kCancelled);
  EXPECT_EQ(model_.Faults(), 0);
}

// A request its sender cancelled before the drive queued it is completed as cancelled, and
// only once the drive holds no spin lock: the sender's completion routine may send it back.
TEST_F(QueuedReadTest, ARequestCancelledBeforeItIsQueuedIsCompletedOutsideTheLocks) {
  ASSERT_EQ(Add(u'E', WriteImage("e.iso", Pattern(8192))), status::kSuccess);
  kernel::Device *device = model_.Open(DriveLink('E'));
  std::vector<uint8_t> data(2048, 0xEE);
  kernel::Request request;
  request.length = 2048;
  request.readBuffer = data.data();
  request.cancelRequested = true;
  Dispatch(VelmorDispatchRead, device, request);
  model_.Close(device);
  EXPECT_EQ(request.status, status::kCancelled);
  EXPECT_EQ(request.information, 0u);
  EXPECT_TRUE(model_.Reads().empty());
}

TEST_F(ReadTest, RemovedDriveAnswersNoMediaAndAsksForAVerify) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(8192))), status::kSuccess);
  kernel::Device *mounted = model_.Open(DriveLink('E')); // as a mounted volume holds it
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromCheckVerify, 0, 4).status, status::kSuccess);
  ASSERT_EQ(Remove(DriveLink('E')), status::kSuccess);
  EXPECT_TRUE(mounted->flags & kernel::kDoVerifyVolume);
  // Anything but the file system's own verify is told to verify; the verify finds no medium.
  for (bool verifying : {false, true})
    for (uint32_t code : {ioctl::kCdromCheckVerify, ioctl::kStorageCheckVerify}) {
      kernel::Request check;
      check.code = code;
      check.overrideVerify = verifying;
      Dispatch(VelmorDispatchDeviceControl, mounted, check);
      EXPECT_EQ(check.status, verifying ? status::kNoMediaInDevice : status::kVerifyRequired);
      EXPECT_EQ(check.information, 0u);
    }
  kernel::Request read;
  read.length = 2048;
  std::vector<uint8_t> data(2048);
  read.readBuffer = data.data();
  Dispatch(VelmorDispatchRead, mounted, read);
  EXPECT_EQ(read.status, status::kVerifyRequired);
  model_.Close(mounted);
}

TEST_F(ReadTest, ReadStartingAtOrPastTheEndIsTheCallersFault) {
  ASSERT_EQ(Add(u'E', WriteImage("a.iso", Pattern(4096))), status::kSuccess);
  for (int64_t offset : {int64_t(4096), int64_t(1) << 40}) {
    Answer a = Read(DriveLink('E'), offset, 2048);
    EXPECT_EQ(a.status, status::kInvalidParameter);
    EXPECT_EQ(a.information, 0u);
    EXPECT_EQ(a.completions, 1);
  }
}

TEST_F(ReadTest, MissingImageMakesNoDrive) {
  EXPECT_EQ(Add(u'E', u"D:\\gone.iso"), status::kObjectNameNotFound);
  EXPECT_FALSE(model_.HasName(DriveDevice('E')));
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

// An image cut short under its drive (truncated, or replaced by a shorter file) answers for
// the sectors it still holds, the rest of a sector cut in its middle as zeros, and fails every
// read that touches a sector it lost: zeros answered as data would pass for a good copy.
TEST_F(ReadTest, SectorsAShrunkenImageLostFailTheirReads) {
  for (const OffsetCase format : {OffsetCase{"a.iso", 0}, OffsetCase{"a.img", 0x10000}}) {
    SCOPED_TRACE(format.file);
    const char letter = format.base ? 'F' : 'E';
    const auto image = Pattern(size_t(format.base) + 4 * 2048);
    ASSERT_EQ(Add(char16_t(letter), WriteImage(format.file, image)), status::kSuccess);
    ASSERT_EQ(::truncate(HostPath(format.file).c_str(), format.base + 2 * 2048 + 100), 0);
    EXPECT_EQ(Read(DriveLink(letter), 2048, 2048).status, status::kSuccess);
    Answer cut = Read(DriveLink(letter), 4096, 2048);
    ASSERT_EQ(cut.status, status::kSuccess) << "the sector starts inside the file";
    EXPECT_EQ(Slice(cut.output, 0, 100), Slice(image, size_t(format.base) + 4096, 100));
    EXPECT_EQ(std::count(cut.output.begin() + 100, cut.output.end(), 0), 2048 - 100);
    for (const auto &[offset, length] : {std::pair{4096, 4096}, std::pair{6144, 2048}}) {
      Answer lost = Read(DriveLink(letter), offset, uint32_t(length));
      EXPECT_EQ(lost.status, status::kDeviceDataError) << offset;
      EXPECT_EQ(lost.information, 0u);
    }
  }
}

// ---- Layout drives ---------------------------------------------------------------------------

// Sectors of `stride` bytes holding the 2,048-byte blocks of `user` at `userOffset`, the rest
// of each sector a filler that no read may hand back.
std::vector<uint8_t> StridedSectors(const std::vector<uint8_t> &user, uint32_t stride,
                                    uint32_t userOffset) {
  const size_t blocks = user.size() / 2048;
  std::vector<uint8_t> file(blocks * stride, 0x5A);
  for (size_t i = 0; i < blocks; ++i)
    std::copy_n(user.begin() + long(i * 2048), 2048, file.begin() + long(i * stride + userOffset));
  return file;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(ReadTest, LayoutReadGathersUserBytesAcrossTracksGapsAndChunks) {
  // Track 1: 60 raw sectors (user data at 16) behind 352 other bytes; a gap of 5 blocks; track
  // 2: 10 plain blocks behind 4,096 bytes, with a pregap of 5 that no file holds; track 3: 5
  // sectors of 2,336 bytes (user data at 8).
  const auto user1 = Pattern(60 * 2048, 1), user2 = Pattern(10 * 2048, 2),
             user3 = Pattern(5 * 2048, 3);
  WriteImage("a.bin", Cat(std::vector<uint8_t>(352, 7), StridedSectors(user1, 2352, 16)));
  WriteImage("b.iso", Cat(Pattern(4096, 9), user2));
  WriteImage("c.bin", StridedSectors(user3, 2336, 8));
  auto track2 = MakeTrack(2, 1, 70, 10, 2048, 0, 4096);
  track2.pregap = 5;
  auto record = MakeLayout(
      u'L', {u"D:\\a.bin", u"D:\\b.iso", u"D:\\c.bin"},
      {MakeTrack(1, 0, 0, 60, 2352, 16, 352), track2, MakeTrack(3, 2, 80, 5, 2336, 8, 0)});
  ASSERT_EQ(AddLayout(*record), status::kSuccess);
  const auto disc = Cat(Cat(Cat(user1, std::vector<uint8_t>(10 * 2048, 0)), user2), user3);

  // From inside block 5 to just before the end of the last block.
  const int64_t offset = 5 * 2048 + 100;
  const uint32_t length = uint32_t(disc.size() - offset - 50);
  Answer a = Read(DriveLink('L'), offset, length);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, length);
  EXPECT_TRUE(a.output == Slice(disc, size_t(offset), length));
  // One file read per run of sectors: the raw track in chunks under 64 KiB (26 + 26 + 3
  // sectors), each other track at once, nothing for the gap and the pregap.
  ASSERT_EQ(model_.Reads().size(), 5u);
  EXPECT_EQ(model_.Reads()[0].offset, 352 + 5 * 2352);
  EXPECT_EQ(model_.Reads()[0].length, 26u * 2352);
  EXPECT_EQ(model_.Reads()[3].offset, 4096);
  EXPECT_EQ(model_.Reads()[3].length, 10u * 2048);
  EXPECT_EQ(model_.OpenFiles(), 3) << "each file opened once, by the add";
}

TEST_F(ReadTest, LayoutReadEdgesAudioStoredPregapAndLeadOut) {
  // Track 1 data, blocks 0-9 of a.iso; track 2 audio, 10-14; track 3 data from 17 with a
  // pregap of 2 held in a.iso just before it (blocks 15 and 16); lead-out at 20.
  const auto iso = Pattern(20 * 2048, 4);
  WriteImage("a.iso", iso);
  WriteImage("b.bin", Pattern(5 * 2352, 5));
  auto track3 = MakeTrack(3, 0, 17, 3, 2048, 0, 17 * 2048);
  track3.pregap = 2;
  track3.flags = kPregapInFile;
  auto record = MakeLayout(u'L', {u"D:\\a.iso", u"D:\\b.bin"},
                           {MakeTrack(1, 0, 0, 10, 2048, 0, 0),
                            MakeTrack(2, 1, 10, 5, 2352, 0, 0, kControlAdrAudio), track3});
  ASSERT_EQ(AddLayout(*record), status::kSuccess);

  EXPECT_TRUE(Read(DriveLink('L'), 15 * 2048, 4096).output == Slice(iso, 15 * 2048, 4096))
      << "the stored pregap";
  Answer audio = Read(DriveLink('L'), 9 * 2048, 4096);
  EXPECT_EQ(audio.status, status::kInvalidDeviceRequest) << "a cooked read of audio";
  EXPECT_EQ(audio.information, 0u);
  Answer straddling = Read(DriveLink('L'), 18 * 2048, 4 * 2048);
  ASSERT_EQ(straddling.status, status::kSuccess);
  EXPECT_TRUE(Slice(straddling.output, 0, 4096) == Slice(iso, 18 * 2048, 4096));
  EXPECT_EQ(std::count(straddling.output.begin() + 4096, straddling.output.end(), 0), 4096)
      << "past the lead-out";
  for (int64_t at : {int64_t(20 * 2048), int64_t(1) << 50, int64_t(-2048)})
    EXPECT_EQ(Read(DriveLink('L'), at, 2048).status, status::kInvalidParameter) << at;
  WriteImage("a.iso", Slice(iso, 0, 18 * 2048)); // shrunk since the add
  Answer lost = Read(DriveLink('L'), 18 * 2048, 2048);
  EXPECT_EQ(lost.status, status::kDeviceDataError) << "a sector the file no longer holds";
  EXPECT_EQ(lost.information, 0u);
}

TEST_F(ReadTest, LayoutPostgapOfTheLastTrackReadsAsUnstoredSectorsBeforeTheLeadOut) {
  // Drive L: data 0-9, audio 10-14 and its postgap of 3, lead-out at 18 (00:02:18). Drive M:
  // one data track 0-9 and its postgap of 2, lead-out at 12.
  const auto iso = Pattern(10 * 2048, 6), audio = Pattern(5 * 2352, 7);
  WriteImage("a.iso", iso);
  WriteImage("b.bin", audio);
  auto audioTrack = MakeTrack(2, 1, 10, 5, 2352, 0, 0, kControlAdrAudio);
  audioTrack.postgap = 3;
  auto dataTrack = MakeTrack(1, 0, 0, 10, 2048, 0, 0);
  dataTrack.postgap = 2;
  ASSERT_EQ(AddLayout(*MakeLayout(u'L', {u"D:\\a.iso", u"D:\\b.bin"},
                                  {MakeTrack(1, 0, 0, 10, 2048, 0, 0), audioTrack})),
            status::kSuccess);
  ASSERT_EQ(AddLayout(*MakeLayout(u'M', {u"D:\\a.iso"}, {dataTrack})), status::kSuccess);

  Answer toc = Control(DriveLink('L'), ioctl::kCdromReadToc, 0, 804);
  ASSERT_EQ(toc.status, status::kSuccess);
  EXPECT_EQ(Slice(toc.output, 20, 8), (std::vector<uint8_t>{0, 0x10, 0xAA, 0, 0, 0, 2, 18}));
  Answer raw = RawRead(DriveLink('L'), 14 * 2048, 4, kTrackModeCdda, 4 * 2352);
  ASSERT_EQ(raw.status, status::kSuccess);
  EXPECT_TRUE(Slice(raw.output, 0, 2352) == Slice(audio, 4 * 2352, 2352));
  EXPECT_EQ(std::count(raw.output.begin() + 2352, raw.output.end(), 0), 3 * 2352);
  EXPECT_EQ(RawRead(DriveLink('L'), 17 * 2048, 2, kTrackModeCdda, 2 * 2352).status,
            status::kInvalidParameter)
      << "past the lead-out";
  EXPECT_EQ(Read(DriveLink('L'), 15 * 2048, 2048).status, status::kInvalidDeviceRequest)
      << "a cooked read of the audio track's postgap";

  Answer data = Read(DriveLink('M'), 9 * 2048, 3 * 2048);
  ASSERT_EQ(data.status, status::kSuccess);
  EXPECT_TRUE(Slice(data.output, 0, 2048) == Slice(iso, 9 * 2048, 2048));
  EXPECT_EQ(std::count(data.output.begin() + 2048, data.output.end(), 0), 2 * 2048);
  EXPECT_EQ(Read(DriveLink('M'), 12 * 2048, 2048).status, status::kInvalidParameter);
}

TEST_F(QueuedReadTest, RemoveDuringALayoutReadLeavesTheTracksToTheRead) {
  const auto a = Pattern(2 * 2048, 1), b = Pattern(2 * 2048, 2);
  WriteImage("a.iso", a);
  WriteImage("b.iso", b);
  auto record = MakeLayout(u'L', {u"D:\\a.iso", u"D:\\b.iso"},
                           {MakeTrack(1, 0, 0, 2, 2048, 0, 0), MakeTrack(2, 1, 2, 2, 2048, 0, 0)});
  ASSERT_EQ(AddLayout(*record), status::kSuccess);
  HoldTheThread();
  auto read = Send(DriveLink('L'), 4 * 2048);
  entered_.get_future().wait(); // inside the first file's read
  // The remove waits for the read, which still reads the second file through its handle.
  const int joins = model_.JoinsStarted();
  std::thread remove([&] { EXPECT_EQ(Remove(DriveLink('L')), status::kSuccess); });
  for (int i = 0; i < 5000 && model_.JoinsStarted() == joins; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(model_.JoinsStarted(), joins) << "the remove waits for the drive's thread";
  release_.set_value();
  remove.join();
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kSuccess);
  EXPECT_TRUE(read->data == Cat(a, b));
  EXPECT_EQ(model_.OpenFiles(), 0) << "the files closed after the read";
}

// Raw reads of a disc with a plain data track (0-9), an audio track (10-14), a data track of
// 2,448-byte sectors (15-17) and one of 2,336-byte sectors (18-19).
class RawReadTest : public ReadTest {
protected:
  void SetUp() override {
    ReadTest::SetUp();
    WriteImage("a.iso", Pattern(10 * 2048, 1));
    WriteImage("b.bin", audio_);
    WriteImage("c.bin", sub_);
    WriteImage("d.bin", mode2_);
    auto record = MakeLayout(
        u'L', {u"D:\\a.iso", u"D:\\b.bin", u"D:\\c.bin", u"D:\\d.bin"},
        {MakeTrack(1, 0, 0, 10, 2048, 0, 0), MakeTrack(2, 1, 10, 5, 2352, 0, 0, kControlAdrAudio),
         MakeTrack(3, 2, 15, 3, 2448, 16, 0), MakeTrack(4, 3, 18, 2, 2336, 8, 0)});
    ASSERT_EQ(AddLayout(*record), status::kSuccess);
  }
  const std::vector<uint8_t> audio_ = Pattern(5 * 2352, 2), sub_ = Pattern(3 * 2448, 3),
                             mode2_ = Pattern(2 * 2336, 4);
};

TEST_F(RawReadTest, KernelCallersInputAndTheLockedBufferSize) {
  // The file system's associated raw reads: the input at Type3InputBuffer, the system buffer
  // another request's; the locked buffer must cover every sector written.
  for (bool shortMdl : {false, true}) {
    SCOPED_TRACE(shortMdl);
    RawReadInfo info{10 * 2048, 0, 2, kTrackModeCdda};
    std::vector<uint8_t> data(2 * 2352, 0xEE);
    uint8_t master[16] = {}; // what AssociatedIrp holds: not the input
    kernel::Device *device = model_.Open(DriveLink('L'));
    kernel::Request request;
    request.code = ioctl::kCdromRawRead;
    request.inputLength = sizeof(info);
    request.outputLength = 2 * 2352;
    request.systemBuffer = master;
    request.type3Input = &info;
    request.readBuffer = data.data();
    request.mdlBytes = shortMdl ? 2352 : 2 * 2352;
    Dispatch(VelmorDispatchDeviceControl, device, request);
    model_.Close(device);
    EXPECT_EQ(request.status, shortMdl ? status::kInvalidParameter : status::kSuccess);
    if (!shortMdl)
      EXPECT_TRUE(data == std::vector<uint8_t>(audio_.begin(), audio_.begin() + 2 * 2352));
    else
      EXPECT_EQ(data, std::vector<uint8_t>(2 * 2352, 0xEE)) << "nothing written";
  }
}

TEST_F(RawReadTest, SectorsTheTrackFileLostFailLikeCookedOnes) {
  // The audio file keeps its first three sectors and 100 bytes of the fourth.
  ASSERT_EQ(::truncate(HostPath("b.bin").c_str(), 3 * 2352 + 100), 0);
  Answer kept = RawRead(DriveLink('L'), 12 * 2048, 2, kTrackModeCdda, 2 * 2352);
  ASSERT_EQ(kept.status, status::kSuccess);
  EXPECT_TRUE(Slice(kept.output, 0, 2352 + 100) ==
              std::vector<uint8_t>(audio_.begin() + 2 * 2352, audio_.begin() + 3 * 2352 + 100));
  EXPECT_EQ(RawRead(DriveLink('L'), 13 * 2048, 2, kTrackModeCdda, 2 * 2352).status,
            status::kDeviceDataError);
  ASSERT_EQ(::truncate(HostPath("c.bin").c_str(), 2448), 0);
  EXPECT_EQ(RawRead(DriveLink('L'), 15 * 2048, 2, kTrackModeYellowMode2, 2 * 2352).status,
            status::kDeviceDataError)
      << "through the bounce buffer";
}

TEST_F(RawReadTest, SectorsOfEachStrideComeWhole) {
  Answer audio = RawRead(DriveLink('L'), 11 * 2048, 4, kTrackModeCdda, 4 * 2352 + 10);
  ASSERT_EQ(audio.status, status::kSuccess);
  EXPECT_EQ(audio.information, 4u * 2352);
  EXPECT_TRUE(Slice(audio.output, 0, 4 * 2352) == Slice(audio_, 2352, 4 * 2352));

  Answer data = RawRead(DriveLink('L'), 15 * 2048, 5, kTrackModeYellowMode2, 5 * 2352);
  ASSERT_EQ(data.status, status::kSuccess);
  for (size_t i = 0; i < 3; ++i) // the subchannel left out
    EXPECT_TRUE(Slice(data.output, i * 2352, 2352) == Slice(sub_, i * 2448, 2352)) << i;
  // Block 18 is 00:02:18: the sync pattern and header the file does not hold, in BCD.
  const std::vector<uint8_t> header = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0,    0x00, 0x02, 0x18, 2};
  EXPECT_EQ(Slice(data.output, 3 * 2352, 16), header);
  EXPECT_TRUE(Slice(data.output, 3 * 2352 + 16, 2336) == Slice(mode2_, 0, 2336));
  EXPECT_EQ(data.output[4 * 2352 + 14], 0x19);
}

struct RawRefusal {
  const char *name;
  uint64_t offset;
  uint32_t sectors;
  uint32_t mode;
  uint32_t outputLength;
  uint32_t inputLength;
  NtStatus status;
};

class RawRefusalTest : public RawReadTest, public ::testing::WithParamInterface<RawRefusal> {};

TEST_P(RawRefusalTest, RefusesWithoutReading) {
  const RawRefusal &r = GetParam();
  Answer a = RawRead(DriveLink('L'), r.offset, r.sectors, r.mode, r.outputLength, r.inputLength);
  EXPECT_EQ(a.status, r.status);
  EXPECT_EQ(a.information, 0u);
  EXPECT_EQ(a.completions, 1);
  EXPECT_TRUE(model_.Reads().empty());
}

constexpr NtStatus kBadParameter = status::kInvalidParameter;
constexpr NtStatus kWrongKind = status::kInvalidDeviceRequest;

INSTANTIATE_TEST_SUITE_P(
    Requests, RawRefusalTest,
    ::testing::Values(
        RawRefusal{"InputShort", 10 * 2048, 1, kTrackModeCdda, 2352, 15, kBadParameter},
        RawRefusal{"NoSectors", 10 * 2048, 0, kTrackModeCdda, 2352, 16, kBadParameter},
        RawRefusal{"UnknownMode", 10 * 2048, 1, 3, 2352, 16, kBadParameter},
        RawRefusal{"OutputOneShort", 10 * 2048, 2, kTrackModeCdda, 2 * 2352 - 1, 16,
                   status::kBufferTooSmall},
        // 1,826,092 sectors are 1,088 bytes more than 2^32: a 32-bit product would pass.
        RawRefusal{"CountWrapsIn32Bits", 10 * 2048, 1826092, kTrackModeCdda, 4096, 16,
                   status::kBufferTooSmall},
        RawRefusal{"PastTheLeadOut", 19 * 2048, 2, kTrackModeYellowMode2, 2 * 2352, 16,
                   kBadParameter},
        RawRefusal{"NegativeOffset", uint64_t(-2048), 1, kTrackModeCdda, 2352, 16, kBadParameter},
        RawRefusal{"PlainDataTrack", 0, 1, kTrackModeYellowMode2, 2352, 16, kWrongKind},
        RawRefusal{"AudioAsData", 10 * 2048, 1, kTrackModeXaForm2, 2352, 16, kWrongKind},
        RawRefusal{"DataAsAudio", 15 * 2048, 1, kTrackModeCdda, 2352, 16, kWrongKind},
        RawRefusal{"RunIntoAudio", 9 * 2048, 2, kTrackModeCdda, 2 * 2352, 16, kWrongKind}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace velmor::test
