#pragma once
// Sums computed beside the copy rather than in its way: the bytes written are handed to
// workers, each on a thread of its own, that all see the same bytes in the same order. The
// copy waits only when the workers fall a whole queue behind, so the slowest sum (SHA-1, which
// cannot be split) sets the pace, not the sum of the copy and every sum.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmor {

class SumWorkers {
public:
  using Work = std::function<void(const std::uint8_t *data, std::size_t size)>;
  explicit SumWorkers(std::vector<Work> works);
  // Ends the workers; bytes they have not seen yet are left unsummed.
  ~SumWorkers();
  SumWorkers(const SumWorkers &) = delete;
  SumWorkers &operator=(const SumWorkers &) = delete;

  // Copies the bytes into the queue.
  void Add(const void *data, std::size_t size);
  // Waits until every worker has seen every byte added; the workers then end.
  void Finish();

private:
  // Slots of 1 MiB: a hand-over costs a lock and a wake-up (kernel objects under Wine), few
  // enough at this size; eight of them let a worker lag by a few chunks without stopping the copy.
  static constexpr std::size_t kSlotBytes = 1048576;
  static constexpr std::size_t kSlots = 8;

  void Publish();
  void Run(std::size_t worker);

  std::vector<Work> works_;
  const std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t sizes_[kSlots] = {};
  std::size_t filling_ = 0; // bytes in the slot being filled (slot published_ % kSlots)
  std::mutex mutex_;
  std::condition_variable published_changed_, consumed_changed_;
  std::uint64_t published_ = 0;         // slots handed over so far
  std::vector<std::uint64_t> consumed_; // per worker: slots it has summed
  bool ending_ = false;                 // no more slots will come
  bool abandoned_ = false;              // stop at once
  std::vector<std::thread> threads_;
};

} // namespace velmor
