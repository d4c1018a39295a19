#pragma once
// TThWrite: the consumer half of an image write. On a thread of its own it takes the image block
// by block from the read-ahead cache, writes it into the image file, counts the bytes written,
// honours the abort request between blocks, and reports the end with a failure that is none on
// success.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache_thread.h"
#include "platform.h"

namespace velmor {

// What a component shares with its writer thread.
struct WriteState {
  std::atomic<std::int64_t> BytesWritten{0};
  std::atomic<bool> AbortRequest{false};
};

class TThWrite {
public:
  using DoneHandler = std::function<void(const WriteFailure &Failure)>;

  // Starts the thread at once. It owns the cache from now on and ends its thread before it
  // reports through Done, on the writer thread.
  TThWrite(Platform &Files, std::string FileName, std::unique_ptr<TCacheThread> Cache,
           WriteState &State, DoneHandler Done);
  // Waits for the thread to end.
  ~TThWrite();
  TThWrite(const TThWrite &) = delete;
  TThWrite &operator=(const TThWrite &) = delete;

  // Makes a thread that waits for the next block look at the abort request.
  void Interrupt() { FCache->Interrupt(); }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThread.get_id(); }

private:
  void Execute();
  void WriteBlocks(ImageFile &Image);
  void Stop(const WriteFailure &Failure);
  // A failure of the image file, with the system's code of the call that just failed.
  WriteFailure ImageFailure(WriteFailureKind Kind) const;

  Platform &FFiles;
  const std::string FFileName;
  std::unique_ptr<TCacheThread> FCache;
  WriteState &FState;
  DoneHandler FDone;
  std::thread FThread; // last: starts once everything above is set up
};

// A component's hold on its write: the shared state, the writer once started, and the cache
// while the starter waits for it. Going away, it turns the completion event off, stops a running
// write and waits for both threads, so that the component outlives them even when its window
// closes right after an abort.
struct WriterSlot {
  WriteState State;
  std::mutex Lock; // guards Writer, Ended and Starting
  std::unique_ptr<TThWrite> Writer;
  // A writer whose own completion handler started the next write: it cannot wait for itself,
  // so it is waited for later.
  std::vector<std::unique_ptr<TThWrite>> Ended;
  TCacheThread *Starting = nullptr;
  // Held while the completion event runs; a handler may start the next write on the same thread.
  std::recursive_mutex EventLock;
  bool EventsOff = false;

  WriterSlot() = default;
  WriterSlot(const WriterSlot &) = delete;
  WriterSlot &operator=(const WriterSlot &) = delete;
  ~WriterSlot();
  // Wakes whichever side of a running write waits, after AbortRequest was set.
  void Interrupt();
  // Waits for previous writer threads to end, except the calling one.
  void Retire();
};

} // namespace velmor
