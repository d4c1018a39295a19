#include "SumWorkers.h"

#include <algorithm>
#include <cstring>

namespace velmor {

SumWorkers::SumWorkers(std::vector<Work> works)
    : works_(std::move(works)), storage_(new std::uint8_t[kSlotBytes * kSlots]),
      consumed_(works_.size(), 0) {
  for (std::size_t i = 0; i < works_.size(); ++i)
    threads_.emplace_back([this, i] { Run(i); });
}

SumWorkers::~SumWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    ending_ = true;
  }
  published_changed_.notify_all();
  for (std::thread &t : threads_)
    if (t.joinable())
      t.join();
}

void SumWorkers::Add(const void *data, std::size_t size) {
  const auto *p = static_cast<const std::uint8_t *>(data);
  while (size > 0) {
    if (filling_ == 0) { // the slot must be free: every worker is past its last use
      std::unique_lock<std::mutex> lock(mutex_);
      consumed_changed_.wait(lock, [this] {
        return std::all_of(consumed_.begin(), consumed_.end(),
                           [this](std::uint64_t c) { return c + kSlots > published_; });
      });
    }
    const std::size_t n = std::min(size, kSlotBytes - filling_);
    std::memcpy(storage_.get() + (published_ % kSlots) * kSlotBytes + filling_, p, n);
    filling_ += n;
    p += n;
    size -= n;
    if (filling_ == kSlotBytes)
      Publish();
  }
}

void SumWorkers::Publish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sizes_[published_ % kSlots] = filling_;
    ++published_;
  }
  filling_ = 0;
  published_changed_.notify_all();
}

void SumWorkers::Finish() {
  if (filling_ > 0)
    Publish();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  published_changed_.notify_all();
  for (std::thread &t : threads_)
    t.join();
  threads_.clear();
}

void SumWorkers::Run(std::size_t worker) {
  for (;;) {
    std::uint64_t slot;
    std::size_t size;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      published_changed_.wait(
          lock, [&] { return abandoned_ || consumed_[worker] < published_ || ending_; });
      if (abandoned_ || consumed_[worker] == published_)
        return; // ending with every slot summed, or given up
      slot = consumed_[worker] % kSlots;
      size = sizes_[slot];
    }
    works_[worker](storage_.get() + slot * kSlotBytes, size);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++consumed_[worker];
    }
    consumed_changed_.notify_one();
  }
}

} // namespace velmor
