// The program's side of the virtual drive: through the driver's control device (which
// driver_install.h opens, installing the driver), adds and removes drives, records them in the
// registry and announces them. Everything runs synchronously on the caller's thread over a
// DriveSystem.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "device_name.h"
#include "disc_image.h"
#include "drive_system.h"
#include "driver_install.h"
#include "folder_disc_cache.h"

namespace velmor {

// The first letter from C to Z that names no drive, no device and no recorded drive, else 'A'.
char FindFreeDriveLetter(DriveSystem &system);
// True when `letter` names no drive and no device.
bool IsDriveLetterFree(DriveSystem &system, char letter);
// True when some letter is free; FindFreeDriveLetter then gives one (unless another program
// takes it meanwhile).
bool AnyDriveLetterFree(DriveSystem &system);

// The registry would not take a drive's value.
class DriveRecordError : public std::runtime_error {
public:
  DriveRecordError(char letter, long code);
  char letter() const { return letter_; }
  long code() const { return code_; } // the system's error code
private:
  char letter_;
  long code_;
};

// Asks the driver for a drive at `letter` for the image at `imagePath` (ANSI), by the classic
// add request or, given a layout, by the layout request; on success records it (with the
// identities of its files, where the driver answers them) and announces it. True if the driver
// accepted. When the record fails, the drive is removed again and
// DriveRecordError thrown: a drive that is not recorded could be neither shown nor ejected.
bool AddVirtualDrive(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                     char letter, const formats::DiscLayout *layout = nullptr);

enum class AddOutcome { kAdded, kNoFreeLetter, kRefused };
struct AddResult {
  AddOutcome outcome;
  char letter; // the drive's letter when added
};
// How many letters one insert tries when others are taken by concurrent inserts: each letter
// lost went to another insert, so an insert gets through beside seven others at once.
inline constexpr int kAddAttempts = 8;
// AddVirtualDrive at the first free letter. When the driver refuses because the letter was
// taken meanwhile (another insert got there first), the next free letter is tried.
AddResult AddVirtualDriveAtFreeLetter(DriveSystem &system, const DeviceHandle &control,
                                      const std::string &imagePath,
                                      const formats::DiscLayout *layout = nullptr);

// Takes the drive's volume down when the system lets it lock the volume first, then asks the
// drive's device to remove itself, opening it without mounting anything; true when the device
// no longer serves (whatever the request answered). A drive that still serves after the
// request is asked again, a little later, up to kRemoveAttempts times in all.
bool RemoveVirtualDrive(DriveSystem &system, char letter);
inline constexpr int kRemoveAttempts = 10;
inline constexpr uint32_t kRemovePauseMs = 50;
// RemoveVirtualDrive, announced when it took effect; the record stays.
bool TakeDownDrive(DriveSystem &system, char letter);
// Forgets the drive's record, then, when the letter is one of the driver's drives, takes the
// drive down; true when it went. A letter that is not ours
// gets no request at all. A folder disc's image is deleted once its drive is gone.
bool EjectVirtualDrive(DriveSystem &system, char letter);

// Records letter -> image path; throws DriveRecordError when the registry refuses.
void SaveDriveMapping(DriveSystem &system, char letter, const std::string &imagePath);
// Forgets the letter's path, its layout record and the identities of its files.
void DeleteDriveMapping(DriveSystem &system, char letter);
// Announces a volume arriving (once) or going (twice).
void BroadcastVolumeChange(DriveSystem &system, uint32_t event, char letter);

// A drive letter in upper case; anything else as it is.
char UpperLetter(char letter);
// "\\.\L:" for a drive letter.
std::string DriveDevicePath(char letter);

} // namespace velmor
