// The programs' side of the image server (service/): whether an image is one it serves, its
// installation (the carried velmor-served.exe in the system's folder, a service of its own
// started after the driver's), and the requests for served drives: mount, eject, list, and the
// release and restore around a stop of the driver. Portable over DriveSystem.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_system.h"
#include "driver_install.h"
#include "server_channel.h"

namespace velmor {

// True when the image at `fullPath` is read through the server (a CHD, by its content), not by
// the driver itself.
bool IsServedImage(DriveSystem &system, const std::string &fullPath);

// The server's executable as built, carried by the programs like the driver.
EmbeddedFile EmbeddedServerFile();
// Where the server's executable is placed: the system's folder (for a 32-bit program on a
// 64-bit system, the one of 32-bit programs), where our drives never are.
std::string ServerBinaryPath(DriveSystem &system);

// The step of making the server answer that failed, with the system's error code.
struct ServerFailure {
  enum class Step {
    kNone,
    kServerFile,     // writing velmor-served.exe, or reading it back
    kServiceManager, // opening the service manager
    kService,        // creating the service
    kStart,          // starting it
    kNoAnswer,       // started, yet its pipe does not answer as this build's server
  };
  Step step = Step::kNone;
  uint32_t code = 0;
  std::string path; // the server's file
};
// Makes the server of this build answer: installed on first use, started when stopped, and
// replaced (its drives released, the service stopped, the file written, the service started,
// which makes them again) when another build answers. The driver must run already.
bool EnsureImageServer(DriveSystem &system, ServerFailure *failure = nullptr);
// How long EnsureImageServer waits for a server it started to answer.
inline constexpr int kServerAnswerPauses = 100;

// A request and its reply; `reached` is false (and the reply empty) when the server did not
// answer or answered with something that is no reply.
channel::Reply AskServer(DriveSystem &system, const channel::Request &request, bool *reached);

struct ServedMount {
  bool reached = false;      // false: the server did not answer (code: the system's error)
  channel::Reply reply;      // its answer; reply.letter is the drive's when kOk
  bool noFreeLetter = false; // every letter tried was taken
};
// Asks the server for a drive over the image at `fullPath`, at `letter`, or (letter 0) at the
// first free letter, trying the next when another program takes one first; announced when made.
ServedMount MountServedImage(DriveSystem &system, const std::string &fullPath, char letter);

// An eject of a served drive: through the server, which takes the drive down and forgets it;
// when the server does not answer (it was stopped or killed), the drive is removed and its
// records forgotten here. True when the drive went.
bool EjectServedDrive(DriveSystem &system, char letter);

// The server's view of every recorded served drive; empty with `reached` false when it does
// not answer.
std::vector<channel::ListedDrive> ServedDriveStates(DriveSystem &system, bool *reached);

// Around a stop of the driver: the server takes its drives down (records kept) and is stopped,
// since its service depends on the driver's and its handles hold the driver; then it is started
// again, which makes them again. Nothing happens where no server is installed. Release answers
// whether the server was running; false when it would not stop.
bool ReleaseServedDrives(DriveSystem &system, bool *wasRunning);
void RestoreServedDrives(DriveSystem &system, bool wasRunning);
// Uninstall's part: the server stopped, its service deleted, its file deleted (or at the next
// start when still in use). The system's error code of the first step that failed, else 0.
uint32_t RemoveImageServer(DriveSystem &system);

} // namespace velmor
