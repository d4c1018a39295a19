// The recorded drives beside the driver's own view of them: which ones it serves, why start-up
// did not make the others, and which removed ones something still holds. On that the program
// adds drives again (a record from before identities, a drive taken down for an upgrade) and
// decides whether the driver may stop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_system.h"
#include "driver_install.h"
#include "server_channel.h"

namespace velmor {

// The control device when the driver already runs; it is never installed nor started for this.
DeviceHandle OpenRunningControlDevice(DriveSystem &system);

// Why start-up did not make each letter's drive, A to Z; false when the driver does not say
// (a build from before the question).
bool AskSkipped(DriveSystem &system, const DeviceHandle &control, SkipReason (&reasons)[26]);
// The letters (bit 0 = A) whose removed drives something still references; false when the
// driver does not say.
bool AskHeld(DriveSystem &system, const DeviceHandle &control, uint32_t *letters);

// True when the letter names one of the driver's drives.
bool HasDriveOfOurs(DriveSystem &system, char letter);

// A recorded drive and, when the driver has no drive at its letter, what it says about it.
struct RecordedDrive {
  char letter;
  std::string path;
  bool mounted;
  bool driverRunning;
  SkipReason reason; // kNone: not mounted for no reason the driver gave
  // A drive the image server makes: its state as the server tells it.
  bool served = false;
  bool serverRunning = true;
  channel::NotMounted servedState = channel::NotMounted::kMounted;
  uint32_t servedCode = 0; // the system's error code behind servedState
};
// Every recorded drive, in the registry's order.
std::vector<RecordedDrive> RecordedDrives(DriveSystem &system);

// Adds a recorded drive again through the checked add, from its recorded path (a descriptor is
// read again), which records the identities of its files; true when the driver made it.
bool AddRecordedDrive(DriveSystem &system, const DeviceHandle &control, char letter,
                      const std::string &path);
// Adds again every recorded drive that has no drive because it was recorded without an
// identity (by an older build, or an upgrade that needed a restart): the driver says so, or
// says nothing while the registry holds no identity for it. Only where the driver already
// runs. A drive whose file changed behind its path stays as it is. The letters added.
std::vector<char> AddUnidentifiedDrives(DriveSystem &system);

// Takes every drive of the driver down (its volume locked and dismounted where a file system
// answers, then removed), keeping their records: the letters that went.
std::vector<char> TakeDownDrives(DriveSystem &system);
// Adds again those of `letters` that are recorded and have no drive now.
void AddTakenDownDrives(DriveSystem &system, const DeviceHandle &control,
                        const std::vector<char> &letters);

} // namespace velmor
