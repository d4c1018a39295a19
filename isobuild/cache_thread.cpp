// TCacheThread: the producer of image blocks and the queue the writer takes them from.
#include "cache_thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "image_data.h"
#include "layout.h"

namespace velmor {

namespace {

constexpr std::int32_t kCacheUnit = 65536;
constexpr std::size_t kConsumerBatch = 8;

std::int32_t CapacityFor(std::int32_t cacheSize) {
  // Two at least, so that one block can be queued while the next is being filled.
  return std::max<std::int32_t>(cacheSize / kCacheUnit, 2);
}

} // namespace

TCacheThread::TCacheThread(Platform &Files, const CompilationStore &Entries, THeaderStream &Header,
                           std::int32_t CacheSize, bool WritePostGap, std::int64_t ImageBytes,
                           const DataPatch *Patch)
    : FFiles(Files), FEntries(Entries), FHeader(Header), FPatch(Patch),
      FCapacity(CapacityFor(CacheSize)), FImageBytes(ImageBytes),
      FPostGapWanted(WritePostGap && ImageBytes < kPostGapImageBytes), FImageBytesLeft(ImageBytes),
      FThread([this] { Run(); }) {}

TCacheThread::~TCacheThread() {
  Abort();
  Join();
}

void TCacheThread::Run() {
  SetCurrentThreadPriority(FPriority);
  try {
    Outcome outcome = QueueHeader();
    if (outcome == Outcome::Done)
      outcome = QueueFiles();
    if (outcome == Outcome::Done) {
      QueuePostGap();
      DrainAndPause();
    } else if (outcome == Outcome::Aborted) {
      EndAborted();
    }
  } catch (const std::exception &) {
    // Out of memory for a block or a path: the write cannot go on.
    Fail({WriteFailureKind::kInternal});
  }
}

TCacheThread::Outcome TCacheThread::QueueHeader() {
  // Blocks hold whole sectors, so each one's share of the made sectors is whole sectors too.
  const std::uint64_t size = FHeader.Size();
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, kBlockBytes));
    BlockPtr block = NewBlock();
    FHeader.Read(offset, piece, block->Data);
    offset += piece;
    if (!Append(std::move(block), static_cast<std::uint32_t>(piece)))
      return Outcome::Aborted;
  }
  if (FAbort)
    return Outcome::Aborted;
  // Its bytes live in the blocks now.
  FHeader.ReleaseHeader();
  return Outcome::Done;
}

TCacheThread::Outcome TCacheThread::QueueFiles() {
  BlockPtr filling;
  std::size_t fill = 0;
  for (std::int32_t i = 0; i < FEntries.EntryCount; ++i) {
    const TEntryNode *entry =
        static_cast<std::size_t>(i) < FEntries.Entries.size() ? FEntries.Entries[i] : nullptr;
    if (!entry) {
      Fail({WriteFailureKind::kInternal});
      return Outcome::Failed;
    }
    if (!CarriesData(*entry))
      continue;
    const Outcome outcome = QueueFile(*entry, filling, fill);
    if (outcome != Outcome::Done)
      return outcome;
  }
  // The trailer follows the last file's padded data, as its sectors follow in the image.
  const std::vector<std::uint8_t> &trailer = FHeader.Trailer();
  for (std::size_t offset = 0; offset < trailer.size();) {
    if (!filling) {
      filling = NewBlock();
      fill = 0;
    }
    const std::size_t piece = std::min(trailer.size() - offset, kBlockBytes - fill);
    std::memcpy(filling->Data + fill, trailer.data() + offset, piece);
    fill += piece;
    offset += piece;
    if (fill == kBlockBytes && !Append(std::move(filling), kBlockBytes))
      return Outcome::Aborted;
  }
  if (filling && !Append(std::move(filling), static_cast<std::uint32_t>(fill), false))
    return Outcome::Aborted;
  std::lock_guard<std::mutex> lock(FLock);
  if (FBytesQueued != FImageBytes) {
    // The compilation changed after the layout: the image would not match its own directories.
    FFailure = {WriteFailureKind::kInternal};
    FFinished = true;
    FDataOrEnd.notify_all();
    FReadyOrEnd.notify_all();
    return Outcome::Failed;
  }
  return Outcome::Done;
}

TCacheThread::Outcome TCacheThread::QueueFile(const TEntryNode &Entry, BlockPtr &Filling,
                                              std::size_t &Fill) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FCurrentSource = Entry.SourcePath;
  }
  EntryData data(FFiles, Entry, FPatch);
  if (!data.Open()) {
    Fail(data.Failure());
    return Outcome::Failed;
  }
  while (data.Left() > 0) {
    if (!Filling) {
      Filling = NewBlock();
      Fill = 0;
    }
    Fill += data.Fill(Filling->Data + Fill, kBlockBytes - Fill);
    if (FAbort)
      return Outcome::Aborted;
    if (Fill == kBlockBytes && !Append(std::move(Filling), kBlockBytes))
      return Outcome::Aborted;
  }
  if (data.Changed()) {
    // Its share of the image was still delivered in full, so the layout holds.
    std::lock_guard<std::mutex> lock(FLock);
    if (!FSourceChange)
      FSourceChange = data.Failure();
  }
  return Outcome::Done;
}

void TCacheThread::QueuePostGap() {
  std::unique_lock<std::mutex> lock(FLock);
  if (FPostGapWanted) {
    std::int64_t gap = kPostGapImageBytes - FImageBytes;
    FImageBytesLeft += gap;
    while (gap > 0) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(gap, kBlockBytes));
      lock.unlock();
      BlockPtr block = NewBlock();
      std::memset(block->Data, 0, piece);
      block->Count = static_cast<std::uint32_t>(piece);
      lock.lock();
      FQueue.push_back(std::move(block));
      gap -= static_cast<std::int64_t>(piece);
    }
  }
  FAllQueued = true;
  FReady = true;
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

void TCacheThread::DrainAndPause() {
  std::unique_lock<std::mutex> lock(FLock);
  FProducerWakeLevel = 0;
  FProducerWaiting = true;
  FRoomOrDrained.wait(lock, [this] { return FQueue.empty() || FAbort; });
  FProducerWaiting = false;
  if (FAbort) {
    lock.unlock();
    EndAborted();
    return;
  }
  FFinished = true;
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
  // A last pause before the thread ends; the writer cuts it short when it joins.
  FTerminated.wait_for(lock, std::chrono::seconds(1), [this] { return FTerminate; });
}

void TCacheThread::EndAborted() {
  std::lock_guard<std::mutex> lock(FLock);
  FQueue.clear();
  if (!FFailure)
    FFailure = {WriteFailureKind::kAborted};
  FFinished = true;
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

void TCacheThread::Fail(const WriteFailure &Failure) {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FFailure)
    FFailure = Failure;
  FFinished = true;
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

BlockPtr TCacheThread::NewBlock() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FSpare.empty()) {
      BlockPtr block = std::move(FSpare.back());
      FSpare.pop_back();
      return block;
    }
  }
  return BlockPtr(new ImageBlock); // data left uninitialised: every byte handed out is written
}

bool TCacheThread::Append(BlockPtr Block, std::uint32_t Count, bool WaitForRoom) {
  Block->Count = Count;
  std::unique_lock<std::mutex> lock(FLock);
  FQueue.push_back(std::move(Block));
  FBytesQueued += Count;
  const std::size_t queued = FQueue.size();
  FPeakQueued = std::max(FPeakQueued, queued);
  const std::size_t limit = static_cast<std::size_t>(FCapacity - 1);
  // A waiting writer is woken for a batch of blocks, not for each one; a full queue and the end
  // of the data wake it in any case.
  if (FConsumerWaiting && (queued >= std::min(kConsumerBatch, limit) || !WaitForRoom))
    FDataOrEnd.notify_one();
  if (!WaitForRoom || queued < limit) {
    lock.unlock();
    AdjustPriority(queued);
    return !FAbort;
  }
  // The queue is full: the writer may start, and the producer yields the processor to it.
  FReady = true;
  FReadyOrEnd.notify_all();
  lock.unlock();
  if (FPriority != ThreadPriority::Idle)
    SetCurrentThreadPriority(FPriority = ThreadPriority::Idle);
  lock.lock();
  FProducerWakeLevel = WakeLevel();
  FProducerWaiting = true;
  FRoomOrDrained.wait(lock, [&] { return FQueue.size() < limit || FAbort; });
  FProducerWaiting = false;
  const std::size_t now = FQueue.size();
  lock.unlock();
  AdjustPriority(now);
  return !FAbort;
}

std::size_t TCacheThread::WakeLevel() const { return static_cast<std::size_t>(FCapacity - 1) / 2; }

void TCacheThread::AdjustPriority(std::size_t Queued) {
  const std::size_t capacity = static_cast<std::size_t>(FCapacity);
  const ThreadPriority wanted = Queued < capacity / 4   ? ThreadPriority::Normal
                                : Queued < capacity / 2 ? ThreadPriority::Lower
                                                        : ThreadPriority::Lowest;
  if (wanted != FPriority)
    SetCurrentThreadPriority(FPriority = wanted);
}

std::int32_t TCacheThread::Pop(void *Destination) {
  BlockPtr block;
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FAbort)
      return 0;
    if (FQueue.empty())
      return FFinished || FAllQueued ? 0 : -1;
    block = std::move(FQueue.front());
    FQueue.pop_front();
    FImageBytesLeft -= block->Count;
    if (FProducerWaiting && FQueue.size() <= FProducerWakeLevel)
      FRoomOrDrained.notify_one();
  }
  const std::uint32_t count = block->Count;
  std::memcpy(Destination, block->Data, count);
  Recycle(std::move(block));
  return static_cast<std::int32_t>(count);
}

TCacheThread::TakeResult TCacheThread::Take(BlockPtr &Out, const std::atomic<bool> &Stop) {
  std::unique_lock<std::mutex> lock(FLock);
  FConsumerWaiting = true;
  FDataOrEnd.wait(lock, [&] {
    return !FQueue.empty() || FFinished || FAllQueued || FAbort || FFailure || Stop;
  });
  FConsumerWaiting = false;
  if (FFailure || FAbort)
    return TakeResult::Stopped;
  if (FQueue.empty())
    return FFinished || FAllQueued ? TakeResult::EndOfData : TakeResult::Interrupted;
  Out = std::move(FQueue.front());
  FQueue.pop_front();
  FImageBytesLeft -= Out->Count;
  if (FProducerWaiting && FQueue.size() <= FProducerWakeLevel)
    FRoomOrDrained.notify_one();
  return TakeResult::Block;
}

void TCacheThread::Recycle(BlockPtr Block) {
  std::lock_guard<std::mutex> lock(FLock);
  // More spare blocks than the queue can hold would only be memory kept for nothing.
  if (FSpare.size() < static_cast<std::size_t>(FCapacity))
    FSpare.push_back(std::move(Block));
}

void TCacheThread::Interrupt() {
  std::lock_guard<std::mutex> lock(FLock);
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

void TCacheThread::Abort() {
  std::lock_guard<std::mutex> lock(FLock);
  FAbort = true;
  FRoomOrDrained.notify_all();
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

void TCacheThread::Join() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminate = true;
    FTerminated.notify_all();
  }
  if (FThread.joinable())
    FThread.join();
}

bool TCacheThread::WaitUntilReady(const std::atomic<bool> &Stop) {
  std::unique_lock<std::mutex> lock(FLock);
  FReadyOrEnd.wait(lock, [&] { return FReady || FFinished || Stop; });
  return FReady;
}

bool TCacheThread::Ready() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FReady;
}

bool TCacheThread::Finished() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FFinished;
}

std::size_t TCacheThread::QueuedBlocks() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FQueue.size();
}

std::size_t TCacheThread::PeakQueuedBlocks() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FPeakQueued;
}

std::int64_t TCacheThread::ImageBytesLeft() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FImageBytesLeft;
}

std::string TCacheThread::CurrentSource() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FCurrentSource;
}

WriteFailure TCacheThread::Failure() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FFailure;
}

void TCacheThread::SetFailure(const WriteFailure &Failure) {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FFailure)
    FFailure = Failure;
  FDataOrEnd.notify_all();
  FReadyOrEnd.notify_all();
}

WriteFailure TCacheThread::SourceChange() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FSourceChange;
}

} // namespace velmor
