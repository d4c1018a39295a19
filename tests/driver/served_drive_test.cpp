// Served drives: a layout drive whose bytes a user-mode server answers for through SERVE
// requests on the control device. The test plays the server from its own thread; the drive's
// thread asks and waits as it would in the kernel.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "disc_answers.h"
#include "driver_fixture.h"
#include "velmor_served.h"

namespace velmor::test {
namespace {

constexpr uint32_t kSectors = 400; // 800 KiB: a read of all of it is asked in four pieces

std::vector<uint8_t> Slice(const std::vector<uint8_t> &b, size_t at, size_t n) {
  return std::vector<uint8_t>(b.begin() + long(at), b.begin() + long(at + n));
}

// A SERVE in flight, with a system buffer of exactly max(input, output) bytes.
struct ServeCall {
  kernel::Device *device = nullptr;
  kernel::Request request;
  std::vector<uint8_t> buffer;
  NtStatus returned = 0;
  ServedRequest Asked() const {
    ServedRequest asked{};
    std::memcpy(&asked, buffer.data(), sizeof(asked));
    return asked;
  }
};

// A read sent as the file system sends a paging read, left to complete.
struct ReadCall {
  kernel::Device *device = nullptr;
  kernel::Request request;
  std::vector<uint8_t> data;
};

class ServedDriveTest : public DriverTest {
protected:
  void SetUp() override {
    ASSERT_EQ(Start(), status::kSuccess);
    stream_ = Pattern(size_t(kSectors) * kBytesPerSector, 3);
  }
  void TearDown() override {
    // Every handle the test's servers hold is closed before the unload, as a process's exit.
    for (const void *server : {ServerA(), ServerB()})
      CloseServer(server);
    for (auto &call : serves_)
      if (call->device) {
        model_.AwaitCompletion(call->request);
        model_.Close(call->device);
      }
  }

  const void *ServerA() const { return &servers_[0]; }
  const void *ServerB() const { return &servers_[1]; }

  static std::unique_ptr<LayoutRecord> Record(char16_t letter) {
    return MakeLayout(letter, {u"D:\\disc.chd"},
                      {MakeTrack(1, 0, 0, kSectors, kStrideCooked, 0, 0)});
  }

  NtStatus AddServed(const LayoutRecord &record, const void *server,
                     uint32_t inputLength = kLayoutRecordSize) {
    kernel::Device *device = model_.Open(kControlDeviceName);
    std::vector<uint8_t> system(std::max<size_t>(inputLength, 1), 0xCD);
    std::memcpy(system.data(), &record, std::min<size_t>(inputLength, sizeof(record)));
    kernel::Request request;
    request.code = IOCTL_VELMOR_ADD_SERVED;
    request.inputLength = inputLength;
    request.systemBuffer = system.data();
    request.fromUserMode = fromUserMode_;
    request.file = server;
    Dispatch(VelmorDispatchDeviceControl, device, request);
    model_.Close(device);
    EXPECT_EQ(request.information, 0u);
    return request.status;
  }

  // A SERVE through the server's handle, carrying `answer` as its input.
  ServeCall *Serve(const void *server, const std::vector<uint8_t> &answer = {},
                   uint32_t outputLength = sizeof(ServedRequest)) {
    serves_.push_back(std::make_unique<ServeCall>());
    ServeCall *call = serves_.back().get();
    call->device = model_.Open(kControlDeviceName);
    call->buffer.assign(std::max<size_t>({answer.size(), outputLength, 1}), 0xCD);
    std::copy(answer.begin(), answer.end(), call->buffer.begin());
    call->request.code = IOCTL_VELMOR_SERVE;
    call->request.inputLength = uint32_t(answer.size());
    call->request.outputLength = outputLength;
    call->request.systemBuffer = call->buffer.data();
    call->request.fromUserMode = true;
    call->request.file = server;
    call->returned = VelmorDispatchDeviceControl(call->device, &call->request);
    if (call->returned == status::kPending) {
      EXPECT_TRUE(call->request.pending);
    }
    return call;
  }
  void Await(ServeCall &call) {
    model_.AwaitCompletion(call.request);
    EXPECT_EQ(call.request.completions.load(), 1);
  }
  // The answer to `asked` from the stream, or changed by `edit`.
  std::vector<uint8_t> AnswerTo(const ServedRequest &asked) const {
    ServedAnswer head{asked.id, asked.letter, 0, kServedAnswerOk, asked.length};
    std::vector<uint8_t> bytes(sizeof(head));
    std::memcpy(bytes.data(), &head, sizeof(head));
    const uint64_t at = ServedOffset(asked);
    bytes.insert(bytes.end(), stream_.begin() + long(at),
                 stream_.begin() + long(at + asked.length));
    return bytes;
  }

  std::unique_ptr<ReadCall> StartRead(char letter, int64_t offset, uint32_t length) {
    auto call = std::make_unique<ReadCall>();
    call->device = model_.Open(DriveLink(letter));
    EXPECT_NE(call->device, nullptr);
    call->data.assign(length, 0xEE);
    call->request.byteOffset = offset;
    call->request.length = length;
    call->request.readBuffer = call->data.data();
    IrqlScope paging(kernel::kApcLevel); // paging reads take the same road
    EXPECT_EQ(VelmorDispatchRead(call->device, &call->request), status::kPending);
    return call;
  }
  void Finish(ReadCall &call) {
    model_.AwaitCompletion(call.request);
    EXPECT_EQ(call.request.completions.load(), 1);
    model_.Close(call.device);
    call.device = nullptr;
  }
  // Serves a read whose first question goes to `first` (pending already): answers every
  // question from the stream until the read completes. Returns the SERVE it leaves pending.
  ServeCall *ServeUntilDone(ReadCall &read, ServeCall *first, const void *server) {
    ServeCall *serve = first;
    for (;;) {
      Await(*serve);
      EXPECT_EQ(serve->request.status, status::kSuccess);
      EXPECT_EQ(serve->request.information, sizeof(ServedRequest));
      if (serve->request.information != sizeof(ServedRequest))
        break;
      asked_.push_back(serve->Asked());
      serve = Serve(server, AnswerTo(serve->Asked()));
      // The next question takes this SERVE (at once when it was posted already), or the read
      // is done.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!serve->request.completions.load() && !read.request.completions.load() &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (!serve->request.completions.load())
        break;
    }
    Finish(read);
    return serve;
  }

  // The last handle of a server's file object goes: cleanup, then close, on the control device.
  void CloseServer(const void *server) {
    kernel::Device *device = model_.Open(kControlDeviceName);
    if (!device)
      return;
    kernel::Request cleanup, close;
    cleanup.file = close.file = server;
    VelmorDispatchCleanup(device, &cleanup);
    VelmorDispatchClose(device, &close);
    model_.Close(device);
    for (auto &call : serves_)
      if (call->request.file == server && call->device) {
        model_.AwaitCompletion(call->request);
        model_.Close(call->device);
        call->device = nullptr;
      }
  }

  std::vector<uint8_t> stream_;
  std::vector<ServedRequest> asked_;
  std::vector<std::unique_ptr<ServeCall>> serves_; // every SERVE sent, until the test's end
  int servers_[2] = {};
};

TEST_F(ServedDriveTest, ReadsComeFromItsServerInPiecesAndAnswersFromTheRecord) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  EXPECT_TRUE(model_.ImageOpens().empty()) << "the driver opens no file on this road";
  Answer toc = Control(DriveLink('E'), ioctl::kCdromReadToc, 0, kTocSize);
  EXPECT_EQ(toc.status, status::kSuccess) << "answered from the record, no server asked";
  Answer length = Control(DriveLink('E'), ioctl::kDiskGetLengthInfo, 0, kLengthInfoSize);
  EXPECT_EQ(length.status, status::kSuccess);

  const uint32_t bytes = 3 * kServedMaxRead + 5 * kBytesPerSector;
  auto read = StartRead('E', 4 * kBytesPerSector, bytes);
  ServeUntilDone(*read, Serve(ServerA()), ServerA());
  ASSERT_EQ(read->request.status, status::kSuccess);
  EXPECT_EQ(read->request.information, bytes);
  EXPECT_EQ(read->data, Slice(stream_, 4 * kBytesPerSector, bytes));
  ASSERT_EQ(asked_.size(), 4u);
  uint64_t at = 4 * kBytesPerSector;
  for (const ServedRequest &q : asked_) {
    EXPECT_NE(q.id, 0u);
    EXPECT_EQ(q.letter, u'E');
    EXPECT_EQ(q.file, 0);
    EXPECT_EQ(ServedOffset(q), at);
    EXPECT_LE(q.length, kServedMaxRead);
    at += q.length;
  }
  EXPECT_EQ(at, 4 * kBytesPerSector + bytes);
  EXPECT_NE(asked_[0].id, asked_[1].id);
}

TEST_F(ServedDriveTest, AQuestionAskedBeforeAnySERVEGoesToTheNextOne) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  const int waits = model_.TimedWaitsStarted();
  auto read = StartRead('E', 0, kBytesPerSector);
  while (model_.TimedWaitsStarted() == waits) // the drive's thread has asked and waits
    std::this_thread::yield();
  auto serve = Serve(ServerA());
  ASSERT_EQ(serve->returned, status::kSuccess) << "the posted question, at once";
  EXPECT_EQ(serve->request.information, sizeof(ServedRequest));
  EXPECT_EQ(Serve(ServerA(), AnswerTo(serve->Asked()))->returned, status::kPending);
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kSuccess);
  EXPECT_EQ(read->data, Slice(stream_, 0, kBytesPerSector));
}

// Each answer the driver must not take; `fails` is what becomes of the read it names (0: it
// goes on waiting, and a good answer still completes it), `serve` what the SERVE carrying it
// gets at once (kPending: dropped, the SERVE waits on).
struct WrongAnswer {
  const char *name;
  std::vector<uint8_t> (*make)(const ServedRequest &asked);
  NtStatus serve;
  NtStatus read;
};

std::vector<uint8_t> Head(uint32_t id, char16_t letter, uint32_t result, uint32_t length,
                          size_t data) {
  ServedAnswer head{id, letter, 0, result, length};
  std::vector<uint8_t> bytes(sizeof(head) + data, 0x5A);
  std::memcpy(bytes.data(), &head, sizeof(head));
  return bytes;
}

const WrongAnswer kWrongAnswers[] = {
    {"AnotherId",
     [](const ServedRequest &q) { return Head(q.id + 1, q.letter, 0, q.length, q.length); },
     status::kPending, 0},
    {"AnotherLetter",
     [](const ServedRequest &q) { return Head(q.id, u'F', 0, q.length, q.length); },
     status::kPending, 0},
    {"ShorterThanAsked",
     [](const ServedRequest &q) { return Head(q.id, q.letter, 0, q.length - 1, q.length - 1); },
     status::kInvalidParameter, status::kIoDeviceError},
    {"LongerThanAsked",
     [](const ServedRequest &q) { return Head(q.id, q.letter, 0, q.length + 1, q.length + 1); },
     status::kInvalidParameter, status::kIoDeviceError},
    {"NoDataForAnOk", [](const ServedRequest &q) { return Head(q.id, q.letter, 0, 0, 0); },
     status::kInvalidParameter, status::kIoDeviceError},
    {"ImageRefusedIt",
     [](const ServedRequest &q) { return Head(q.id, q.letter, kServedAnswerFailed, 0, 0); },
     status::kPending, status::kDeviceDataError},
    {"LengthNotTheInputs",
     [](const ServedRequest &q) { return Head(q.id, q.letter, 0, q.length, q.length - 8); },
     status::kInvalidParameter, 0},
    {"MoreDataThanItsLength",
     [](const ServedRequest &q) { return Head(q.id, q.letter, 0, q.length, q.length + 8); },
     status::kInvalidParameter, 0},
    {"LongerThanAnyRead",
     [](const ServedRequest &q) {
       return Head(q.id, q.letter, 0, kServedMaxRead + 2, kServedMaxRead + 2);
     },
     status::kInvalidParameter, 0},
    {"UnknownResult", [](const ServedRequest &q) { return Head(q.id, q.letter, 7, 0, 0); },
     status::kInvalidParameter, 0},
    {"FailedWithData",
     [](const ServedRequest &q) {
       return Head(q.id, q.letter, kServedAnswerFailed, q.length, q.length);
     },
     status::kInvalidParameter, 0},
    {"ShorterThanAnAnswer",
     [](const ServedRequest &q) {
       auto bytes = Head(q.id, q.letter, 0, 0, 0);
       bytes.resize(sizeof(ServedAnswer) - 1);
       return bytes;
     },
     status::kInvalidParameter, 0},
};

class WrongAnswerTest : public ServedDriveTest,
                        public ::testing::WithParamInterface<WrongAnswer> {};

TEST_P(WrongAnswerTest, IsRefusedAndNeverWrittenIntoARead) {
  const WrongAnswer &c = GetParam();
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  ASSERT_EQ(AddServed(*Record(u'F'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto first = Serve(ServerA());
  auto read = StartRead('E', 8 * kBytesPerSector, 4 * kBytesPerSector);
  Await(*first);
  const ServedRequest asked = first->Asked();
  auto wrong = Serve(ServerA(), c.make(asked));
  EXPECT_EQ(wrong->returned, c.serve);
  if (c.serve != status::kPending) {
    EXPECT_EQ(wrong->request.status, c.serve);
  }
  if (c.read) {
    Finish(*read);
    EXPECT_EQ(read->request.status, c.read);
    EXPECT_EQ(read->request.information, 0u);
    EXPECT_EQ(std::count(read->data.begin(), read->data.end(), 0xEE), long(read->data.size()))
        << "a refused answer's bytes reached the read";
  } else {
    // Nothing was answered: the read still waits, and the right answer completes it.
    EXPECT_EQ(read->request.completions.load(), 0);
    auto right = Serve(ServerA(), AnswerTo(asked));
    EXPECT_EQ(right->returned, status::kPending);
    Finish(*read);
    EXPECT_EQ(read->request.status, status::kSuccess);
    EXPECT_EQ(read->data, Slice(stream_, 8 * kBytesPerSector, 4 * kBytesPerSector));
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, WrongAnswerTest, ::testing::ValuesIn(kWrongAnswers),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ServedDriveTest, OnlyTheHandleThatMadeTheDriveServesIt) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto other = Serve(ServerB());
  auto read = StartRead('E', 0, kBytesPerSector);
  auto own = Serve(ServerA());
  Await(*own); // takes the question, posted or handed
  EXPECT_EQ(other->request.completions.load(), 0) << "another handle's SERVE took the read";
  // Another handle answering the question, right as it is, is not heard.
  auto stranger = Serve(ServerB(), AnswerTo(own->Asked()));
  EXPECT_EQ(stranger->returned, status::kPending);
  EXPECT_EQ(read->request.completions.load(), 0);
  Serve(ServerA(), AnswerTo(own->Asked()));
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kSuccess);
}

TEST_F(ServedDriveTest, ATimeOutFailsOnlyThatReadAndItsLateAnswerIsDropped) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kAtOnce);
  // With no SERVE pending at all: the wait is bounded all the same.
  auto lonely = StartRead('E', 0, kBytesPerSector);
  Finish(*lonely);
  EXPECT_EQ(lonely->request.status, status::kIoDeviceError);
  // Handed, never answered in time.
  auto first = Serve(ServerA());
  auto read = StartRead('E', 0, kBytesPerSector);
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kIoDeviceError);
  ASSERT_EQ(first->request.status, status::kSuccess);
  auto late = Serve(ServerA(), AnswerTo(first->Asked()));
  EXPECT_EQ(late->returned, status::kPending) << "a late answer is dropped, not an error";
  // The next read is served as if nothing had happened.
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto next = StartRead('E', 2 * kBytesPerSector, kBytesPerSector);
  Await(*late);
  ASSERT_NE(late->Asked().id, first->Asked().id);
  Serve(ServerA(), AnswerTo(late->Asked()));
  Finish(*next);
  EXPECT_EQ(next->request.status, status::kSuccess);
  EXPECT_EQ(next->data, Slice(stream_, 2 * kBytesPerSector, kBytesPerSector));
}

TEST_F(ServedDriveTest, AStuckServerHoldsUpOnlyItsOwnDrivesAndItsEndFailsTheirReadsAtOnce) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  ASSERT_EQ(AddServed(*Record(u'F'), ServerB()), status::kSuccess);
  // Only a wake can end a wait: a read that needed its time to run out never completes.
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto stuck = Serve(ServerA());
  auto waiting = StartRead('E', 0, kBytesPerSector);
  Await(*stuck); // handed to A, which never answers
  auto read = StartRead('F', kBytesPerSector, kBytesPerSector);
  ServeCall *left = ServeUntilDone(*read, Serve(ServerB()), ServerB());
  EXPECT_EQ(read->request.status, status::kSuccess);
  EXPECT_EQ(waiting->request.completions.load(), 0);

  // A's process exits while E's read waits: the read fails at once, A's SERVEs end.
  auto pending = Serve(ServerA());
  const int waits = model_.TimedWaitsStarted();
  CloseServer(ServerA());
  Finish(*waiting);
  EXPECT_EQ(waiting->request.status, status::kNoMediaInDevice);
  EXPECT_EQ(pending->request.status, status::kCancelled);
  // No media from now on, without asking anyone: reads, raw reads, the disc's answers.
  auto after = StartRead('E', 0, kBytesPerSector);
  Finish(*after);
  EXPECT_EQ(after->request.status, status::kNoMediaInDevice);
  EXPECT_EQ(model_.TimedWaitsStarted(), waits);
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kCdromReadToc, 0, kTocSize).status,
            status::kNoMediaInDevice);
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kDiskGetLengthInfo, 0, kLengthInfoSize).status,
            status::kNoMediaInDevice);
  EXPECT_EQ(Control(DriveLink('E'), ioctl::kStorageCheckVerify, 0, 4).status,
            status::kNoMediaInDevice);
  EXPECT_EQ(RawRead(DriveLink('E'), 0, 1, kTrackModeYellowMode2, kRawSectorBytes).status,
            status::kNoMediaInDevice);
  // A new handle at the same address is no server of the old drive.
  auto again = Serve(ServerA());
  EXPECT_EQ(again->returned, status::kPending);
  // Eject still removes it; B's drive goes on.
  EXPECT_EQ(Remove(DriveLink('E')), status::kSuccess);
  EXPECT_FALSE(model_.HasName(DriveLink('E')));
  auto more = StartRead('F', 0, kBytesPerSector);
  ServeUntilDone(*more, left, ServerB());
  EXPECT_EQ(more->request.status, status::kSuccess);
}

TEST_F(ServedDriveTest, EjectWhileAReadWaitsEndsTheWaitAndTheLateAnswerFindsNothing) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto serve = Serve(ServerA());
  auto read = StartRead('E', 0, 2 * kBytesPerSector);
  Await(*serve);
  EXPECT_EQ(Remove(DriveLink('E')), status::kSuccess); // waits for the drive's thread
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kDeviceNotReady);
  auto late = Serve(ServerA(), AnswerTo(serve->Asked()));
  EXPECT_EQ(late->returned, status::kPending);
  EXPECT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess) << "the letter is free again";
}

// The cleanup came while the add was still running on another thread of the server: the close
// that follows (the add's request held the file object until then) leaves no drive bound to a
// file object whose memory may next be another handle's.
TEST_F(ServedDriveTest, AnAddStillRunningAtTheCleanupIsLetGoByTheClose) {
  kernel::Device *control = model_.Open(kControlDeviceName);
  kernel::Request cleanup, close;
  cleanup.file = close.file = ServerA();
  VelmorDispatchCleanup(control, &cleanup);
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  VelmorDispatchClose(control, &close);
  model_.Close(control);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  auto read = StartRead('E', 0, kBytesPerSector);
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kNoMediaInDevice);
}

TEST_F(ServedDriveTest, ACancelBetweenAnyTwoStepsCompletesTheSERVEOnce) {
  ASSERT_EQ(AddServed(*Record(u'E'), ServerA()), status::kSuccess);
  model_.SetTimedWaits(KernelModel::TimedWaits::kNever);
  // Cancelled before it was queued.
  serves_.push_back(std::make_unique<ServeCall>());
  ServeCall *early = serves_.back().get();
  {
    early->device = model_.Open(kControlDeviceName);
    early->buffer.assign(sizeof(ServedRequest), 0);
    early->request.code = IOCTL_VELMOR_SERVE;
    early->request.outputLength = sizeof(ServedRequest);
    early->request.systemBuffer = early->buffer.data();
    early->request.file = ServerA();
    early->request.cancelRequested = true;
    EXPECT_EQ(VelmorDispatchDeviceControl(early->device, &early->request), status::kPending);
    EXPECT_EQ(early->request.status, status::kCancelled);
    model_.Close(early->device);
    early->device = nullptr;
  }
  // The cancel's first step, then a read's question and the handle's cleanup, then its second.
  auto serve = Serve(ServerA());
  ASSERT_TRUE(model_.BeginCancel(serve->request));
  const int waits = model_.TimedWaitsStarted();
  auto read = StartRead('E', 0, kBytesPerSector);
  while (model_.TimedWaitsStarted() == waits)
    std::this_thread::yield();
  EXPECT_EQ(serve->request.completions.load(), 0) << "a SERVE being cancelled was handed a read";
  model_.FinishCancel(serve->request);
  EXPECT_EQ(serve->request.status, status::kCancelled);
  // The question is still there for the next SERVE.
  auto next = Serve(ServerA());
  ASSERT_EQ(next->returned, status::kSuccess);
  Serve(ServerA(), AnswerTo(next->Asked()));
  Finish(*read);
  EXPECT_EQ(read->request.status, status::kSuccess);
  // A cleanup between the two steps leaves the request to its cancel.
  auto last = Serve(ServerA());
  ASSERT_TRUE(model_.BeginCancel(last->request));
  kernel::Device *device = model_.Open(kControlDeviceName);
  kernel::Request cleanup;
  cleanup.file = ServerA();
  VelmorDispatchCleanup(device, &cleanup);
  model_.Close(device);
  EXPECT_EQ(last->request.completions.load(), 0);
  model_.FinishCancel(last->request);
  EXPECT_EQ(last->request.completions.load(), 1);
}

TEST_F(ServedDriveTest, TheAddChecksItsCallerAndRecordAndLeavesNothingWhenItFails) {
  auto record = Record(u'E');
  EXPECT_EQ(AddServed(*record, nullptr), status::kInvalidParameter) << "no handle to serve it";
  EXPECT_EQ(AddServed(*record, ServerA(), kLayoutRecordSize - 1), status::kInvalidParameter);
  auto broken = Record(u'E');
  broken->tracks[0].stride = 2000;
  EXPECT_EQ(AddServed(*broken, ServerA()), status::kInvalidParameter);
  model_.SetCallerPrivileged(false);
  EXPECT_EQ(AddServed(*record, ServerA()), status::kPrivilegeNotHeld);
  model_.SetCallerPrivileged(true);
  model_.HoldName(GlobalLink('E'));
  EXPECT_EQ(AddServed(*record, ServerA()), status::kObjectNameCollision);
  EXPECT_EQ(model_.DeviceCount(), 1u);
  const size_t live = model_.LiveAllocations();
  for (int nth = 1;; ++nth) {
    SCOPED_TRACE(nth);
    model_.FailAllocation(nth);
    const NtStatus made = AddServed(*Record(u'F'), ServerA());
    model_.FailAllocation(0);
    if (IsSuccess(made))
      break;
    EXPECT_EQ(made, status::kInsufficientResources);
    EXPECT_EQ(model_.LiveAllocations(), live);
    EXPECT_EQ(model_.DeviceCount(), 1u);
  }
  // A drive over the SERVEs of a handle that made it: the answers about it are the record's.
  Answer capacity = Control(DriveLink('F'), ioctl::kStorageReadCapacity, 0, kReadCapacitySize);
  EXPECT_EQ(capacity.status, status::kSuccess);
}

} // namespace
} // namespace velmor::test
