// The channel between the programs and the image server (the service velmor-served): one
// request message, one reply message, over a named pipe that only administrators and the
// system may open. Every field is little-endian and of fixed size; a message is at most
// kMaxMessageBytes. Portable: the programs, the server and the host tests share this one
// encoding and its checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmor::channel {

inline constexpr char kPipeName[] = "\\\\.\\pipe\\VelmorImageServer";
inline constexpr char kServerServiceName[] = "VelmorServer";
inline constexpr char kServiceDisplayName[] = "Velmor image server";
inline constexpr char kServerFileName[] = "velmor-served.exe";

inline constexpr uint32_t kMagic = 0x52565356; // "VSVR" in memory order
inline constexpr uint16_t kVersion = 1;
inline constexpr uint32_t kMaxMessageBytes = 8192;
inline constexpr uint32_t kIdentityBytes = 16;

enum class Kind : uint16_t {
  kHello = 1,   // -> the server's build identity
  kMount = 2,   // an image at a letter (0: the first free one), opened as the caller
  kEject = 3,   // a served drive taken down and forgotten
  kList = 4,    // every recorded served drive, and why one is not mounted
  kRelease = 5, // every served drive taken down, records kept, the driver let go of
  kRestore = 6, // the recorded served drives made again
};

// What the server answers. `code` carries the system's error code where one applies.
enum class Status : uint32_t {
  kOk = 0,
  kBadRequest = 1,       // not a message of this channel
  kNotAdministrator = 2, // the caller is not an administrator
  kCannotOpen = 3,       // the image could not be opened as the caller (code)
  kOnOurDrive = 4,       // the image lies on one of our own drives
  kNotServedImage = 5,   // no reader takes the image, or it is broken (text says why)
  kLetterInUse = 6,
  kNoFreeLetter = 7,
  kDriverUnavailable = 8, // the driver's control device did not open (code)
  kDriverRefused = 9,     // the driver refused the drive (code)
  kRecordFailed = 10,     // the registry would not keep the drive (code); it was removed
  kNoSuchDrive = 11,      // eject of a letter that is no served drive
  kTooLong = 12,          // the path is longer than a drive keeps
};

// Why a recorded served drive is not mounted, as kList answers it.
enum class NotMounted : uint8_t {
  kMounted = 0,
  kUnreachable = 1,     // the image could not be opened (code): missing, or a share not there
  kIdentityChanged = 2, // another file lies behind the recorded path now
  kImageBroken = 3,     // the reader refuses the image now
  kNotMade = 4,         // the driver did not make it (code), or its letter is taken
  kReleased = 5,        // taken down for an upgrade, not yet restored
};

struct Request {
  Kind kind = Kind::kHello;
  char16_t letter = 0; // kMount, kEject: a drive letter
  std::u16string path; // kMount: a full path, 1 to kMaxPathUnits units, no zero unit
};
inline constexpr uint32_t kMaxPathUnits = 495;

struct ListedDrive {
  char16_t letter = 0;
  NotMounted state = NotMounted::kMounted;
  uint32_t code = 0;
};

struct Reply {
  Kind kind = Kind::kHello;
  Status status = Status::kOk;
  uint32_t code = 0;
  char16_t letter = 0;
  std::string text;                      // a reader's sentence (UTF-8), at most kMaxTextBytes
  uint8_t identity[kIdentityBytes] = {}; // kHello
  std::vector<ListedDrive> drives;       // kList, at most 26
};
inline constexpr uint32_t kMaxTextBytes = 2048;

std::vector<uint8_t> EncodeRequest(const Request &request);
// False for anything that is not a well-formed request: wrong magic, version or kind, a size
// that does not match, a letter that is no drive letter, an empty or too long path, a zero unit
// inside it.
bool DecodeRequest(const uint8_t *bytes, size_t size, Request *request);

std::vector<uint8_t> EncodeReply(const Reply &reply);
// False for anything that is not a well-formed reply to a request of `asked`.
bool DecodeReply(const uint8_t *bytes, size_t size, Kind asked, Reply *reply);

} // namespace velmor::channel
