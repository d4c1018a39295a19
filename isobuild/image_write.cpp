// TKavoBurner: the threaded image write. The calling thread starts the read-ahead cache and
// waits until it is ready; the writer thread then does the rest and reports through OnWriteDone.
#include "kavo_burner.h"

namespace velmor {

bool TKavoBurner::WriteImage(const std::string &FileName) {
  // One write at a time: a previous writer is waited for.
  FWriter.Retire();
  FISOFileName = FileName;
  FWriter.State.AbortRequest = false;
  FWriter.State.BytesWritten = 0;
  // The header is used up by a write; without a fresh PrepareImage the data would land where
  // the directories do not point.
  const std::uint64_t headerBytes =
      static_cast<std::uint64_t>(FLayout.FirstFileSector - FLayout.StartSector) * kSectorSize;
  if (FHeaderStream.Size() != headerBytes) {
    RaiseWriteDone({WriteFailureKind::kInternal});
    return false;
  }
  auto cache = std::make_unique<TCacheThread>(
      FPlatform, TheCompilation(), FHeaderStream, FCacheSize, FWritePostGap,
      static_cast<std::int64_t>(FLayout.ImageSectorCount * kSectorSize), &FBootPatch);
  {
    std::lock_guard<std::mutex> lock(FWriter.Lock);
    FWriter.Starting = cache.get();
  }
  const bool ready = cache->WaitUntilReady(FWriter.State.AbortRequest);
  {
    std::lock_guard<std::mutex> lock(FWriter.Lock);
    FWriter.Starting = nullptr;
  }
  if (!ready) {
    // The cache failed, or the write was aborted, before a writer was needed.
    cache->Abort();
    cache->Join();
    const WriteFailure failure = cache->Failure();
    cache.reset();
    RaiseWriteDone(failure);
    return false;
  }
  StartWriter(std::move(cache));
  return true;
}

void TKavoBurner::StartWriter(std::unique_ptr<TCacheThread> Cache) {
  std::lock_guard<std::mutex> lock(FWriter.Lock);
  FWriter.Writer =
      std::make_unique<TThWrite>(FPlatform, FISOFileName, std::move(Cache), FWriter.State,
                                 [this](const WriteFailure &Failure) { RaiseWriteDone(Failure); });
}

void TKavoBurner::AbortWrite() {
  FWriter.State.AbortRequest = true;
  FWriter.Interrupt();
}

void TKavoBurner::RaiseWriteDone(const WriteFailure &Failure) {
  std::lock_guard<std::recursive_mutex> events(FWriter.EventLock);
  FWriteFailure = Failure;
  if (!FWriter.EventsOff && OnWriteDone)
    OnWriteDone(this, CompletionText(Failure));
}

} // namespace velmor
