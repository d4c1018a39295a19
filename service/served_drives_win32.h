// Every drive this server serves, by letter, with the state of the recorded ones it could not
// make. One lock over all of them: requests from the pipe, the restore at start and the stop
// take turns.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>

#include "image_source.h"
#include "served_drive_win32.h"
#include "server_channel.h"
#include "velmor_identity.h"

namespace velmor::server {

using OpenSource = std::unique_ptr<imagesource::ImageSource> (*)(
    std::unique_ptr<imagesource::RandomAccessFile>, imagesource::OpenProblem *);

class ServedDrives {
public:
  explicit ServedDrives(OpenSource open) : open_(open) {}
  ~ServedDrives() { Release(); }

  // Opens `path` with `caller`'s token (its access check), and makes and records the drive.
  channel::Reply Mount(HANDLE caller, char16_t letter, const std::u16string &path);
  channel::Reply Eject(char16_t letter);
  channel::Reply List();
  // Takes every served drive down and closes its handle; the records stay.
  channel::Reply Release();
  // Makes every recorded served drive that is not mounted, opening its image as this server
  // (the system) and checking it is the file recorded.
  channel::Reply Restore();

private:
  struct Entry {
    std::unique_ptr<ServedDrive> drive; // null: recorded, not mounted
    channel::NotMounted state = channel::NotMounted::kMounted;
    uint32_t code = 0;
  };
  // Opens the image through `file` (already opened) and makes the drive; kOk or why not.
  channel::Reply MakeDrive(HANDLE file, char16_t letter, const std::u16string &path,
                           FileIdentity *identity, LayoutRecord *record);
  void RestoreOne(char16_t letter);

  OpenSource open_;
  std::mutex lock_;
  std::map<char16_t, Entry> drives_;
};

} // namespace velmor::server
