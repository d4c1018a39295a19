// What identifies the files a drive reads, and what the driver tells about drives it did not
// make or could not let go of. Freestanding, like velmor_protocol.h.
//
// A drive recorded for the next start is opened again at start-up in the system's context, by
// its path. Whoever controls a folder on that path could, before the restart, put another file
// behind the same name. So the add answers the identity of each file it opened (the handle the
// drive reads through), the program records it, and start-up makes a drive only when the file
// it opened has the recorded identity.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "velmor_protocol.h"

namespace velmor {

// A file's identity: its volume's serial number and its file ID within that volume. The driver
// takes the 128-bit ID (FileIdInformation) where the system has it, else the 64-bit one
// (FileInternalInformation, zero-extended) with the volume's 32-bit serial; the same system
// always gives the same form, and only the driver compares them.
struct FileIdentity {
  uint32_t volumeSerialLow;
  uint32_t volumeSerialHigh;
  uint8_t fileId[16];
};
static_assert(sizeof(FileIdentity) == 24, "a file identity is 24 bytes on both processors");

inline constexpr bool SameIdentity(const FileIdentity &a, const FileIdentity &b) {
  if (a.volumeSerialLow != b.volumeSerialLow || a.volumeSerialHigh != b.volumeSerialHigh)
    return false;
  for (int i = 0; i < 16; ++i)
    if (a.fileId[i] != b.fileId[i])
      return false;
  return true;
}

// The answers of the adds: IOCTL_VELMOR_ADD_DEVICE answers the image's identity (Information =
// 24) in its output buffer; IOCTL_VELMOR_ADD_LAYOUT, given an output of at least fileCount × 24
// bytes, answers one identity per file of the record, in the record's order (Information =
// fileCount × 24; 0 when the output is shorter).
//
// The registry keeps each drive's answer as a REG_BINARY value named by its letter, under this
// subkey of the service's key (beside Parameters, so no build that lists Parameters' values as
// drives sees it). A drive whose value is missing or of another size is not made at start-up.
inline constexpr char kIdentitiesKey[] = "SYSTEM\\CurrentControlSet\\Services\\VELMOR\\Identities";
inline constexpr char16_t kIdentitiesKeySuffix[] = u"\\Identities";

// Why start-up did not make a recorded drive, as IOCTL_VELMOR_GET_SKIPPED answers it.
enum class SkipReason : uint8_t {
  kNone = 0,            // made, or nothing recorded, or added since
  kNoIdentity = 1,      // recorded without an identity (by an older build): re-add it, checked
  kIdentityChanged = 2, // another file lies behind the recorded path now
  kFileMissing = 3,     // the file could not be opened
  kFileRefused = 4,     // the file is of a kind no drive is made over (a share, a pipe...)
  kLayoutBroken = 5,    // the recorded layout cannot be made into a drive
  kNotMade = 6,         // anything else: the letter taken, no memory
  kServed = 7,          // served from user mode: its server makes it again, not start-up
};

// The control device's answer: one SkipReason byte per letter, A to Z.
inline constexpr uint32_t IOCTL_VELMOR_GET_SKIPPED =
    ControlCode(kFileDeviceCdRom, 0x807, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kSkippedAnswerSize = 26;

// The control device's answer: a little-endian 32-bit mask (bit 0 = A) of the letters whose
// drives have been removed but whose devices something still references (a file system
// mounted on them, a handle still open). The system keeps such a device, and defers the
// driver's unload, until the last reference goes: a stop of the service would then leave every
// drive dead until the next restart.
inline constexpr uint32_t IOCTL_VELMOR_GET_HELD =
    ControlCode(kFileDeviceCdRom, 0x808, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kHeldAnswerSize = 4;

} // namespace velmor
