#include "served_drive_win32.h"

#include <vector>

#include "serve_loop.h"

namespace velmor::server {
namespace {

// How long a cancelled request is waited for before its memory is given up for lost: a driver
// that never completes it must not hang the server's eject or stop.
constexpr DWORD kCancelWaitMs = 10000;

class Event {
public:
  Event() : h_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (h_)
      CloseHandle(h_);
  }
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;
  HANDLE get() const { return h_; }

private:
  HANDLE h_;
};

// A device request sent with an OVERLAPPED and waited for: the control handle is opened for
// overlapped I/O so that the serving requests can stay pending on it.
bool Control(HANDLE device, DWORD code, const void *input, DWORD inputSize, void *output,
             DWORD outputSize, DWORD *error) {
  Event done;
  OVERLAPPED overlapped{};
  overlapped.hEvent = done.get();
  DWORD returned = 0;
  if (!DeviceIoControl(device, code, const_cast<void *>(input), inputSize, output, outputSize,
                       &returned, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    *error = GetLastError();
    return false;
  }
  if (!GetOverlappedResult(device, &overlapped, &returned, TRUE)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

// The serving requests of one handle, a slot each, with the drive's stop event beside them.
class HandleChannel final : public serving::ServeChannel {
public:
  HandleChannel(HANDLE device, HANDLE stop, unsigned slots)
      : device_(device), stop_(stop), slots_(slots) {
    for (Slot &slot : slots_)
      slot.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~HandleChannel() override {
    CancelIoEx(device_, nullptr);
    bool lost = false;
    for (Slot &slot : slots_)
      if (slot.pending && WaitForSingleObject(slot.overlapped.hEvent, kCancelWaitMs) != 0)
        lost = true;
    if (lost) { // the driver may still write into them: they are never freed
      new std::vector<Slot>(std::move(slots_));
      return;
    }
    for (Slot &slot : slots_)
      CloseHandle(slot.overlapped.hEvent);
  }

  bool Submit(unsigned i, const uint8_t *input, uint32_t size) override {
    // An answer the driver refuses at once fails only that read: the slot goes on, empty.
    return Send(i, input, size) || (size != 0 && Send(i, nullptr, 0));
  }

  bool Next(unsigned *i, ServedRequest *request, uint32_t *size) override {
    std::vector<HANDLE> waits;
    for (const Slot &slot : slots_)
      waits.push_back(slot.overlapped.hEvent);
    waits.push_back(stop_);
    const DWORD woke = WaitForMultipleObjects(DWORD(waits.size()), waits.data(), FALSE, INFINITE);
    if (woke >= WAIT_OBJECT_0 + slots_.size())
      return false; // the stop, or a wait that failed
    Slot &slot = slots_[woke - WAIT_OBJECT_0];
    DWORD returned = 0;
    const bool ok = GetOverlappedResult(device_, &slot.overlapped, &returned, FALSE);
    slot.pending = false;
    // Cancelled: the handle is closing. Any other failure (an answer the driver refused) is no
    // request, and the slot is sent again empty, a little later if they come one after another.
    if (!ok && GetLastError() == ERROR_OPERATION_ABORTED)
      return false;
    failures_ = ok ? 0 : failures_ + 1;
    if (failures_ > kFailuresBeforePause && WaitForSingleObject(stop_, 100) == WAIT_OBJECT_0)
      return false;
    *i = unsigned(woke - WAIT_OBJECT_0);
    *request = slot.request;
    *size = ok ? returned : 0;
    return true;
  }

private:
  static constexpr int kFailuresBeforePause = 16;

  bool Send(unsigned i, const uint8_t *input, uint32_t size) {
    Slot &slot = slots_[i];
    ResetEvent(slot.overlapped.hEvent);
    slot.pending = true;
    if (!DeviceIoControl(device_, IOCTL_VELMOR_SERVE, const_cast<uint8_t *>(input), size,
                         &slot.request, sizeof slot.request, nullptr, &slot.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      slot.pending = false;
      return false;
    }
    return true;
  }

  struct Slot {
    OVERLAPPED overlapped{};
    ServedRequest request{};
    bool pending = false;
  };
  HANDLE device_;
  HANDLE stop_;
  std::vector<Slot> slots_;
  int failures_ = 0;
};

std::wstring DrivePath(char16_t letter) {
  return std::wstring(L"\\\\.\\") + wchar_t(letter) + L":";
}

} // namespace

std::unique_ptr<ServedDrive> ServedDrive::Make(std::unique_ptr<imagesource::ImageSource> source,
                                               const LayoutRecord &record, DWORD *error,
                                               bool *driverMissing) {
  *driverMissing = false;
  const HANDLE control = CreateFileW(L"\\\\.\\VELMOR", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
  if (control == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    *driverMissing = true;
    return nullptr;
  }
  if (!Control(control, IOCTL_VELMOR_ADD_SERVED, &record, sizeof record, nullptr, 0, error)) {
    CloseHandle(control);
    return nullptr;
  }
  return std::unique_ptr<ServedDrive>(new ServedDrive(control, std::move(source), record.letter));
}

ServedDrive::ServedDrive(HANDLE control, std::unique_ptr<imagesource::ImageSource> source,
                         char16_t letter)
    : control_(control), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      source_(std::move(source)), letter_(letter) {
  thread_ = std::thread([this] {
    HandleChannel channel(control_, stop_, serving::kServeSlots);
    serving::RunServeLoop(channel, *source_, letter_);
  });
}

ServedDrive::~ServedDrive() {
  SetEvent(stop_);
  thread_.join();
  CloseHandle(control_);
  CloseHandle(stop_);
}

bool RemoveOurDrive(char16_t letter) {
  const std::wstring path = DrivePath(letter);
  for (int attempt = 0; attempt < 10; ++attempt) {
    // A file system left mounted would outlive the device and never let the volume go.
    const HANDLE volume =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (volume != INVALID_HANDLE_VALUE) {
      DWORD n = 0;
      if (DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr)) {
        DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr);
        DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n, nullptr);
      }
      CloseHandle(volume);
    }
    const HANDLE device = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
      return true; // gone, or never there
    DWORD n = 0;
    DeviceIoControl(device, IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0, nullptr, 0, &n, nullptr);
    // The answer does not tell (Wine answers a remove that deleted its device with a failure):
    // whether the device still answers does.
    uint8_t version[kVersionAnswerSize];
    const bool answers = DeviceIoControl(device, IOCTL_VELMOR_GET_VERSION, nullptr, 0, version,
                                         sizeof version, &n, nullptr) != FALSE;
    CloseHandle(device);
    if (!answers)
      return true;
    Sleep(50);
  }
  return false;
}

} // namespace velmor::server
