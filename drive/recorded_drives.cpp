#include "recorded_drives.h"

#include <algorithm>

#include "drive_client.h"
#include "mount_plan.h"
#include "served_client.h"

namespace velmor {
namespace {

bool IsLetter(const std::string &name) {
  return name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z';
}

std::string RecordedPathAt(DriveSystem &system, char letter) {
  for (const auto &[name, path] : system.DriveValues())
    if (name == std::string(1, letter))
      return path;
  return {};
}

} // namespace

DeviceHandle OpenRunningControlDevice(DriveSystem &system) {
  return DeviceHandle(system, system.OpenDevice(kControlDevicePath));
}

bool AskSkipped(DriveSystem &system, const DeviceHandle &control, SkipReason (&reasons)[26]) {
  uint8_t answer[kSkippedAnswerSize] = {};
  uint32_t answered = 0;
  if (!control.valid() ||
      !system.DeviceControl(control.get(), IOCTL_VELMOR_GET_SKIPPED, nullptr, 0, answer,
                            sizeof answer, &answered) ||
      answered != sizeof answer)
    return false;
  for (int i = 0; i < 26; ++i)
    reasons[i] =
        answer[i] <= uint8_t(SkipReason::kServed) ? SkipReason(answer[i]) : SkipReason::kNotMade;
  return true;
}

bool AskHeld(DriveSystem &system, const DeviceHandle &control, uint32_t *letters) {
  uint8_t answer[kHeldAnswerSize] = {};
  uint32_t answered = 0;
  if (!control.valid() ||
      !system.DeviceControl(control.get(), IOCTL_VELMOR_GET_HELD, nullptr, 0, answer, sizeof answer,
                            &answered) ||
      answered != sizeof answer)
    return false;
  *letters =
      (answer[0] | answer[1] << 8 | answer[2] << 16 | uint32_t(answer[3]) << 24) & ((1u << 26) - 1);
  return true;
}

bool HasDriveOfOurs(DriveSystem &system, char letter) {
  return IsVelmorDevice(system.DosDeviceTarget(letter));
}

std::vector<RecordedDrive> RecordedDrives(DriveSystem &system) {
  std::vector<RecordedDrive> drives;
  for (const auto &[name, path] : system.DriveValues())
    if (IsLetter(name))
      drives.push_back({name[0], path, HasDriveOfOurs(system, name[0]), true, SkipReason::kNone,
                        system.HasServedValue(name)});
  // A served drive is mounted only while its server serves it: a drive of ours left without
  // its server has no media.
  if (std::any_of(drives.begin(), drives.end(), [](const RecordedDrive &d) { return d.served; })) {
    bool reached = false;
    const std::vector<channel::ListedDrive> states = ServedDriveStates(system, &reached);
    for (RecordedDrive &drive : drives) {
      if (!drive.served)
        continue;
      drive.serverRunning = reached;
      drive.servedState = channel::NotMounted::kNotMade;
      for (const channel::ListedDrive &state : states)
        if (state.letter == char16_t(drive.letter)) {
          drive.servedState = state.state;
          drive.servedCode = state.code;
        }
      drive.mounted = reached && drive.servedState == channel::NotMounted::kMounted;
    }
  }
  // The driver is asked only about drives it does not serve.
  if (std::all_of(drives.begin(), drives.end(), [](const RecordedDrive &d) { return d.mounted; }))
    return drives;
  const DeviceHandle control = OpenRunningControlDevice(system);
  SkipReason reasons[26] = {};
  AskSkipped(system, control, reasons);
  for (RecordedDrive &drive : drives) {
    drive.driverRunning = control.valid();
    if (!drive.mounted)
      drive.reason = reasons[drive.letter - 'A'];
  }
  return drives;
}

bool AddRecordedDrive(DriveSystem &system, const DeviceHandle &control, char letter,
                      const std::string &path) {
  const MountPlan plan = PlanMount(system, path, "");
  // A disc with no known volume was mounted once on the user's word: it is not asked again.
  if (plan.verdict == MountPlan::Verdict::kRefused)
    return false;
  try {
    return AddVirtualDrive(system, control, plan.image.path, letter, plan.Layout());
  } catch (const DriveRecordError &) {
    return false; // removed again; its record is as it was
  }
}

std::vector<char> AddUnidentifiedDrives(DriveSystem &system) {
  std::vector<char> added;
  const DeviceHandle control = OpenRunningControlDevice(system);
  if (!control.valid())
    return added;
  SkipReason reasons[26] = {};
  const bool said = AskSkipped(system, control, reasons);
  for (const auto &[name, path] : system.DriveValues()) {
    // A served drive is the server's to make again, never the driver's.
    if (!IsLetter(name) || HasDriveOfOurs(system, name[0]) || system.HasServedValue(name))
      continue;
    const SkipReason why = reasons[name[0] - 'A'];
    const bool unidentified =
        said ? why == SkipReason::kNoIdentity : !system.HasIdentityValue(name);
    if (unidentified && AddRecordedDrive(system, control, name[0], path))
      added.push_back(name[0]);
  }
  return added;
}

std::vector<char> TakeDownDrives(DriveSystem &system) {
  std::vector<char> letters;
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    if (HasDriveOfOurs(system, letter) && TakeDownDrive(system, letter))
      letters.push_back(letter);
  return letters;
}

void AddTakenDownDrives(DriveSystem &system, const DeviceHandle &control,
                        const std::vector<char> &letters) {
  for (const char letter : letters) {
    const std::string path = RecordedPathAt(system, letter);
    if (!path.empty() && !HasDriveOfOurs(system, letter) &&
        !system.HasServedValue(std::string(1, letter)))
      AddRecordedDrive(system, control, letter, path);
  }
}

} // namespace velmor
