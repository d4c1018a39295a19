#pragma once
// The in-memory file source with what an image write needs to be steered without timing: a gate
// that holds the writer before it creates the image, a hook before every write to the image (to
// abort or fail there), sources that come out shorter than listed, and counts of opened sources.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "kavo_burner.h"
#include "mock_platform.h"

namespace velmor::testing {

// Opened once by one thread, waited for by others.
class Gate {
public:
  void Open() {
    std::lock_guard<std::mutex> lock(lock_);
    open_ = true;
    signal_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(lock_);
    signal_.wait(lock, [this] { return open_; });
  }

private:
  std::mutex lock_;
  std::condition_variable signal_;
  bool open_ = false;
};

class WriterPlatform : public MockPlatform {
public:
  Gate *HoldCreate = nullptr;
  bool FailCreate = false;
  // Runs on the writer thread before write number Index (from 0); false makes that write fail.
  std::function<bool(std::size_t Index)> BeforeWrite;
  std::map<std::string, std::uint64_t> ShortSources; // path -> bytes it really holds
  std::map<std::string, std::uint64_t> GrownSources; // path -> bytes added since the listing
  std::atomic<int> Opened{0}, OpenNow{0};
  std::uint32_t SystemCode = 0; // what the system says of every failed call

  std::uint32_t LastSystemCode() const override { return SystemCode; }

  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    std::unique_ptr<SourceFile> inner = MockPlatform::OpenRead(path);
    if (!inner)
      return nullptr;
    ++Opened;
    const auto s = ShortSources.find(path);
    const auto g = GrownSources.find(path);
    return std::make_unique<Counted>(std::move(inner), OpenNow,
                                     s == ShortSources.end() ? UINT64_MAX : s->second,
                                     g == GrownSources.end() ? 0 : g->second);
  }

  std::unique_ptr<ImageFile> CreateImage(const std::string &path) override {
    if (HoldCreate)
      HoldCreate->Wait();
    if (FailCreate)
      return nullptr;
    return std::make_unique<Hooked>(MockPlatform::CreateImage(path), *this);
  }

private:
  class Counted : public SourceFile {
  public:
    Counted(std::unique_ptr<SourceFile> inner, std::atomic<int> &open, std::uint64_t limit,
            std::uint64_t grown)
        : inner_(std::move(inner)), open_(open), left_(limit), grown_(grown) {
      ++open_;
    }
    ~Counted() override { --open_; }
    std::int64_t Read(void *buffer, std::size_t count) override {
      std::int64_t n = inner_->Read(buffer, std::min<std::uint64_t>(count, left_));
      left_ -= static_cast<std::uint64_t>(n > 0 ? n : 0);
      if (n == 0 && grown_ > 0) { // bytes written after the listing, 0xAB each
        n = static_cast<std::int64_t>(std::min<std::uint64_t>(count, grown_));
        std::memset(buffer, 0xAB, static_cast<std::size_t>(n));
        grown_ -= static_cast<std::uint64_t>(n);
      }
      return n;
    }

  private:
    std::unique_ptr<SourceFile> inner_;
    std::atomic<int> &open_;
    std::uint64_t left_;
    std::uint64_t grown_;
  };

  class Hooked : public ImageFile {
  public:
    Hooked(std::unique_ptr<ImageFile> inner, WriterPlatform &owner)
        : inner_(std::move(inner)), owner_(owner) {}
    bool Write(const void *data, std::size_t count) override {
      return Allowed() && inner_->Write(data, count);
    }
    bool WriteZeros(std::uint64_t count) override { return Allowed() && inner_->WriteZeros(count); }
    bool Close() override { return inner_->Close(); }

  private:
    bool Allowed() { return !owner_.BeforeWrite || owner_.BeforeWrite(index_++); }
    std::unique_ptr<ImageFile> inner_;
    WriterPlatform &owner_;
    std::size_t index_ = 0;
  };
};

// Records the completion event of a write and lets the test wait for it.
class Completion {
public:
  void Attach(TKavoBurner &burner) {
    burner.OnWriteDone = [this](TKavoBurner *, const std::string &error) { Record(error); };
  }
  void Record(const std::string &error) {
    std::lock_guard<std::mutex> lock(lock_);
    error_ = error;
    ++calls_;
    thread_ = std::this_thread::get_id();
    signal_.notify_all();
  }
  // The completion text; a write that never ends fails the test instead of hanging it.
  std::string Wait() {
    std::unique_lock<std::mutex> lock(lock_);
    if (!signal_.wait_for(lock, std::chrono::minutes(1), [this] { return calls_ > 0; }))
      ADD_FAILURE() << "OnWriteDone was not raised";
    return error_;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(lock_);
    error_.clear();
    calls_ = 0;
    thread_ = {};
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(lock_);
    return calls_;
  }
  std::thread::id Thread() {
    std::lock_guard<std::mutex> lock(lock_);
    return thread_;
  }

private:
  std::mutex lock_;
  std::condition_variable signal_;
  std::string error_;
  int calls_ = 0;
  std::thread::id thread_;
};

} // namespace velmor::testing
