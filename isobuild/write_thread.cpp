// TThWrite: writes the blocks of the read-ahead cache into the image file.
#include "write_thread.h"

#include <algorithm>
#include <cstring>

#include "thread_priority.h"

namespace velmor {

namespace {

bool AllZeros(const std::uint8_t *Data, std::size_t Count) {
  return Count == 0 || (Data[0] == 0 && std::memcmp(Data, Data + 1, Count - 1) == 0);
}

} // namespace

TThWrite::TThWrite(Platform &Files, std::string FileName, std::unique_ptr<TCacheThread> Cache,
                   WriteState &State, DoneHandler Done)
    : FFiles(Files), FFileName(std::move(FileName)), FCache(std::move(Cache)), FState(State),
      FDone(std::move(Done)), FThread([this] { Execute(); }) {}

TThWrite::~TThWrite() {
  if (FThread.joinable())
    FThread.join();
}

void TThWrite::Execute() {
  SetCurrentThreadPriority(ThreadPriority::TimeCritical);
  std::unique_ptr<ImageFile> image = FFiles.CreateImage(FFileName);
  if (!image) {
    Stop(ImageFailure(WriteFailureKind::kImageUncreatable));
  } else {
    // The cache may have failed after it was ready and before this thread started.
    if (!FCache->Failure())
      WriteBlocks(*image);
    // Data the system kept back can still fail to reach the disk when the file is closed.
    if (!image->Close())
      Stop(ImageFailure(WriteFailureKind::kImageUnwritable));
  }
  WriteFailure completion = FCache->Failure();
  if (!completion)
    completion = FCache->SourceChange();
  FCache->Join();
  if (FDone)
    FDone(completion);
}

void TThWrite::WriteBlocks(ImageFile &Image) {
  // The first block is written whatever the abort request says: it is looked at between blocks.
  const std::atomic<bool> never{false};
  BlockPtr block;
  TCacheThread::TakeResult taken = FCache->Take(block, never);
  while (taken == TCacheThread::TakeResult::Block) {
    FState.BytesWritten += block->Count;
    // Zeros (the post-gap, sparse sources) may become a hole in the image file.
    const bool written = AllZeros(block->Data, block->Count)
                             ? Image.WriteZeros(block->Count)
                             : Image.Write(block->Data, block->Count);
    if (!written) {
      // A full disk or a removed medium: the image would be incomplete.
      Stop(ImageFailure(WriteFailureKind::kImageUnwritable));
      return;
    }
    FCache->Recycle(std::move(block));
    do {
      if (FState.AbortRequest) {
        Stop({WriteFailureKind::kAborted});
        return;
      }
      taken = FCache->Take(block, FState.AbortRequest);
    } while (taken == TCacheThread::TakeResult::Interrupted);
  }
}

WriteFailure TThWrite::ImageFailure(WriteFailureKind Kind) const {
  return {Kind, FFileName, FFiles.LastSystemCode()};
}

void TThWrite::Stop(const WriteFailure &Failure) {
  FCache->SetFailure(Failure);
  FCache->Abort();
}

WriterSlot::~WriterSlot() {
  {
    std::lock_guard<std::recursive_mutex> events(EventLock);
    EventsOff = true;
  }
  State.AbortRequest = true;
  Interrupt();
  Retire();
}

void WriterSlot::Interrupt() {
  std::lock_guard<std::mutex> lock(Lock);
  if (Writer)
    Writer->Interrupt();
  else if (Starting)
    Starting->Interrupt();
}

void WriterSlot::Retire() {
  std::vector<std::unique_ptr<TThWrite>> previous;
  {
    std::lock_guard<std::mutex> lock(Lock);
    if (Writer)
      Ended.push_back(std::move(Writer));
    for (auto &writer : Ended)
      if (!writer->IsCurrentThread())
        previous.push_back(std::move(writer));
    Ended.erase(std::remove(Ended.begin(), Ended.end(), nullptr), Ended.end());
  }
  previous.clear();
}

} // namespace velmor
