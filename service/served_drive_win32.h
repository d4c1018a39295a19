// One served drive: the control-device handle that made it (the only one that serves it), and
// the thread that keeps its requests pending and answers them from the image's source.
#pragma once

#include <windows.h>

#include <memory>
#include <thread>

#include "image_source.h"
#include "velmor_served.h"

namespace velmor::server {

class ServedDrive {
public:
  // Opens a control handle of its own, makes the drive with `record` and starts serving it;
  // null with the system's error code in `error` when the driver does not open
  // (`driverMissing` set) or refuses the drive.
  static std::unique_ptr<ServedDrive> Make(std::unique_ptr<imagesource::ImageSource> source,
                                           const LayoutRecord &record, DWORD *error,
                                           bool *driverMissing);
  // Stops serving: the pending requests cancelled and waited for, the handle closed. The drive
  // itself (when not removed first) is left without media.
  ~ServedDrive();
  ServedDrive(const ServedDrive &) = delete;
  ServedDrive &operator=(const ServedDrive &) = delete;

  char16_t letter() const { return letter_; }

private:
  ServedDrive(HANDLE control, std::unique_ptr<imagesource::ImageSource> source, char16_t letter);

  HANDLE control_;
  HANDLE stop_;
  std::unique_ptr<imagesource::ImageSource> source_;
  char16_t letter_;
  std::thread thread_;
};

// Takes our drive at `letter` down as an eject does: its volume locked and dismounted where a
// file system answers, then the remove sent through an open without access. True when its
// device no longer answers.
bool RemoveOurDrive(char16_t letter);

} // namespace velmor::server
