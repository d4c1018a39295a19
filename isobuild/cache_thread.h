#pragma once
// TCacheThread: the producer half of an image write. On a thread of its own it turns the image
// into a bounded queue of blocks in image order: the header from the header stream, the data of
// every file (each padded to whole sectors, consecutive files packed into the same block), then
// the post-gap. The writer thread is its one consumer.
//
// Both sides meet under one mutex. Instead of polling, each side sleeps on a condition variable
// that the other side signals only when the sleeper is actually waiting: the consumer when a
// block arrives or the data end, the producer when the queue has drained to half its capacity
// (so it refills in batches rather than waking for every block) or has drained completely at the
// end.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "build_problem.h"
#include "compilation.h"
#include "el_torito.h"
#include "header_stream.h"
#include "platform.h"
#include "thread_priority.h"

namespace velmor {

constexpr std::size_t kBlockBytes = 63488; // 31 sectors
constexpr std::int64_t kPostGapImageBytes = 614400;

// Up to 31 sectors of image data; Count bytes are valid. Data always start on a sector boundary.
struct ImageBlock {
  std::uint32_t Count = 0;
  std::uint8_t Data[kBlockBytes];
};
using BlockPtr = std::unique_ptr<ImageBlock>;

class TCacheThread {
public:
  enum class TakeResult { Block, EndOfData, Stopped, Interrupted };

  // Starts the producer at once. CacheSize bounds the queue to CacheSize / 65536 - 1 blocks (at
  // least one); ImageBytes is the image sector count x 2048 without the post-gap. Entries and
  // Header are read on the producer thread and must not change until the thread has ended; the
  // header stream is emptied once all of it has been queued. Patch, when given, stands in for
  // part of one file's data, and must outlive the thread as well.
  TCacheThread(Platform &Files, const CompilationStore &Entries, THeaderStream &Header,
               std::int32_t CacheSize, bool WritePostGap, std::int64_t ImageBytes,
               const DataPatch *Patch = nullptr);
  // Aborts the producer if it still runs and waits for its thread to end.
  ~TCacheThread();
  TCacheThread(const TCacheThread &) = delete;
  TCacheThread &operator=(const TCacheThread &) = delete;

  // Copies the oldest block into Destination (room for kBlockBytes) and returns its byte count;
  // 0 when no data will come any more (all delivered, failed or aborted); -1 when the queue is
  // empty but more is to come. Never waits.
  std::int32_t Pop(void *Destination);
  // The writer's way to take blocks without a copy: waits until the oldest block can be handed
  // out (Block), the data have ended (EndOfData), the cache failed or was aborted (Stopped), or
  // Interrupt was called while Stop is set (Interrupted).
  TakeResult Take(BlockPtr &Out, const std::atomic<bool> &Stop);
  // Gives a taken block back for reuse.
  void Recycle(BlockPtr Block);
  // Wakes Take and WaitUntilReady so that they look at their Stop flag again.
  void Interrupt();

  // Asks the producer to stop: it empties the queue, sets the failure to kAborted unless one is
  // set, marks itself finished and ends.
  void Abort();
  // Ends the producer's pause after the last block at once, then waits for its thread.
  void Join();

  // Waits until the writer may start (the queue filled up once, or everything is queued) or the
  // producer has finished, or Stop is set and Interrupt called. Returns Ready().
  bool WaitUntilReady(const std::atomic<bool> &Stop);

  bool Ready() const;
  bool Finished() const;
  std::int32_t Capacity() const { return FCapacity; }
  std::size_t QueuedBlocks() const;
  std::size_t PeakQueuedBlocks() const; // most blocks queued at once, before the post-gap
  std::int64_t ImageBytesLeft() const;
  std::string CurrentSource() const;
  // None while all is well; otherwise what ends the write.
  WriteFailure Failure() const;
  std::string ErrorText() const { return CompletionText(Failure()); }
  // Sets the failure unless one is set already.
  void SetFailure(const WriteFailure &Failure);
  // None unless a source file delivered fewer or more bytes than its recorded size (its share
  // of the image was filled with zeros or cut); the first such file. It does not stop the write.
  WriteFailure SourceChange() const;

private:
  enum class Outcome { Done, Aborted, Failed };

  void Run();
  Outcome QueueHeader();
  Outcome QueueFiles();
  Outcome QueueFile(const TEntryNode &Entry, BlockPtr &Filling, std::size_t &Fill);
  void QueuePostGap();
  void DrainAndPause();
  void EndAborted();
  void Fail(const WriteFailure &Failure);

  BlockPtr NewBlock();
  // Appends a block; false when the producer was aborted while it waited for room.
  bool Append(BlockPtr Block, std::uint32_t Count, bool WaitForRoom = true);
  void AdjustPriority(std::size_t Queued);
  std::size_t WakeLevel() const;

  Platform &FFiles;
  const CompilationStore &FEntries;
  THeaderStream &FHeader;
  const DataPatch *FPatch;
  const std::int32_t FCapacity;
  const std::int64_t FImageBytes;
  const bool FPostGapWanted;

  mutable std::mutex FLock;
  std::condition_variable FRoomOrDrained; // producer sleeps here
  std::condition_variable FDataOrEnd;     // consumer sleeps here
  std::condition_variable FReadyOrEnd;    // the starter sleeps here
  std::condition_variable FTerminated;    // the final pause sleeps here
  std::deque<BlockPtr> FQueue;
  std::vector<BlockPtr> FSpare;
  std::int64_t FImageBytesLeft;
  std::int64_t FBytesQueued = 0; // header and file data, to check against the layout
  std::size_t FPeakQueued = 0;
  std::size_t FProducerWakeLevel = 0; // valid while the producer waits
  bool FProducerWaiting = false;
  bool FConsumerWaiting = false;
  bool FAllQueued = false;
  bool FReady = false;
  bool FFinished = false;
  bool FTerminate = false;
  std::atomic<bool> FAbort{false};
  WriteFailure FFailure;
  WriteFailure FSourceChange;
  std::string FCurrentSource;
  ThreadPriority FPriority = ThreadPriority::Lower;

  std::thread FThread; // last: starts once everything above is set up
};

} // namespace velmor
