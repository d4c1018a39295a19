// velmor-drive: mounts, ejects and lists virtual CD-ROM drives from the command line, making
// the same client calls as the main window.
//   velmor-drive mount [--force] IMAGE [L:]   prints the drive's letter, "L:"; --force
//                                   mounts an image in which no ISO 9660 or UDF volume is found
//   velmor-drive mount FOLDER [L:]  the folder's contents as a disc (a snapshot)
//   velmor-drive eject L:
//   velmor-drive list               one line per recorded drive, "L: path" (a folder disc's
//                                   path is the folder it holds), with
//                                   " (not mounted: REASON)" for one the driver does not serve
//   velmor-drive register [--all-users]    Explorer's "mount" verb on image files
//   velmor-drive unregister [--all-users]
//   velmor-drive uninstall          every drive, the driver, its service and keys, the verbs
// Exit status 0 on success, 1 when refused or failed, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "drive_client.h"
#include "drive_system_win32.h"
#include "folder_disc.h"
#include "image_check.h"
#include "mount_plan.h"
#include "problem_words.h"
#include "recorded_drives.h"
#include "served_client.h"
#include "shell_verbs_win32.h"

namespace velmor {
namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

volatile LONG interrupted = 0;

// Ctrl-C and the like only set a flag: a command finishes the system changes it has begun
// (a drive added is also recorded), and mount stops before it asks for a drive.
BOOL WINAPI OnConsoleEvent(DWORD) {
  InterlockedExchange(&interrupted, 1);
  return TRUE;
}

int Usage() {
  std::fprintf(stderr, "usage: velmor-drive mount [--force] IMAGE [L:]\n"
                       "       velmor-drive mount FOLDER [L:]\n"
                       "       velmor-drive eject L:\n"
                       "       velmor-drive list\n"
                       "       velmor-drive register [--all-users]\n"
                       "       velmor-drive unregister [--all-users]\n"
                       "       velmor-drive uninstall\n");
  return kUsage;
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "velmor-drive: %s\n", message.c_str());
  return kFailed;
}

// "L:" or "L", either case; 0 when it is no drive letter.
char ParseLetter(const char *text) {
  const size_t n = std::strlen(text);
  if (n < 1 || n > 2 || (n == 2 && text[1] != ':'))
    return 0;
  const char c = text[0];
  if (c >= 'a' && c <= 'z')
    return char(c - 'a' + 'A');
  return c >= 'A' && c <= 'Z' ? c : 0;
}

std::string Drive(char letter) { return std::string(1, letter) + ":"; }

bool Opens(DriveSystem &system, char letter) {
  return DeviceHandle(system, system.OpenDevice(DriveDevicePath(letter))).valid();
}

bool Recorded(DriveSystem &system, char letter) {
  for (const auto &value : system.DriveValues())
    if (value.first == std::string(1, letter))
      return true;
  return false;
}

// Why the driver cannot be given the image at `path`.
std::string Refusal(ImageRefusal why, const std::string &path) {
  switch (why) {
  case ImageRefusal::kNone:
    break;
  case ImageRefusal::kMissing:
    return path + ": no such file";
  case ImageRefusal::kFolder:
    return path + ": is a folder, not an image";
  case ImageRefusal::kNoDriveLetter:
    return path + ": the image must be on a drive with a letter";
  case ImageRefusal::kNetworkDrive:
    return path + ": the image is on a network drive, which the driver cannot rely on (it "
                  "also reads at start-up, as the system); copy it to a local disk";
  case ImageRefusal::kSubstDrive:
    return path + ": the image is on a SUBST drive letter, which the driver does not see "
                  "at start-up; give the folder's real path";
  case ImageRefusal::kTooLong:
    return path + ": path too long for a drive (at most 495 characters)";
  }
  return {};
}

// Why an image's descriptor or contents are refused: the file, then the line (text
// descriptors) or the field (binary ones), then the reason. A missing file is named after the
// descriptor that names it.
std::string FormatErrorMessage(DriveSystem &system, const std::string &image,
                               const formats::FormatError &e) {
  using Reason = formats::FormatError::Reason;
  const std::string file = system.Utf16ToAnsi(e.file);
  std::string where = (e.reason == Reason::kMissingFile ? image : file) + ": ";
  if (e.line)
    where += "line " + std::to_string(e.line) + ": ";
  else if (!e.field.empty())
    where += e.field + ": ";
  const std::string word = e.field.empty() || !e.line ? "" : " '" + e.field + "'";
  switch (e.reason) {
  case Reason::kNone:
    break;
  case Reason::kUnreadable:
    return where + "cannot be read";
  case Reason::kMissingFile:
    return where + "no such file: " + file;
  case Reason::kUnsupportedMode:
    return where + "unsupported track mode or sector size" + word;
  case Reason::kTrackOrder:
    return where + "tracks overlap, are out of order or misnumbered" + word;
  case Reason::kTruncated:
    return where + "truncated" + word;
  case Reason::kSyntax:
    return where + "cannot be understood" + word;
  case Reason::kTooManyTracks:
    return where + "more tracks or files than a drive holds (99)";
  case Reason::kNamesTooLong:
    if (e.field == "together")
      return file + ": the full paths of the image's files are too long together for a drive "
                    "(16,384 UTF-16 units, one more for each file)";
    return where + "the file names are too long for a drive" + word;
  case Reason::kNotUnderstood:
    return file + ": the descriptor is not understood (a cue sheet needs FILE, TRACK and INDEX "
                  "lines, as ANSI, UTF-8 or UTF-16 text)";
  case Reason::kTooSmall:
    return where + "too small to hold a disc volume (under 18 sectors of data)";
  case Reason::kPastFileEnd:
    return where + "'" + e.field + "' lies past the end of " + system.Utf16ToAnsi(e.trackFile);
  case Reason::kPostgapTooLong:
    return where + "POSTGAP too long" + word + " (a drive keeps at most 65,535 sectors)";
  case Reason::kLongerThanCd:
    return where + "the disc's lead-out passes 99:59:74, the largest address a CD's table of "
                   "contents holds";
  }
  return where + "not a disc image";
}

std::string InstallFailureMessage(const InstallFailure &f) {
  const std::string code = " (error " + std::to_string(f.code) + ")";
  const std::string file = f.driverPath + ": ";
  switch (ProblemOf(f)) {
  case InstallProblem::kNeedsAdministrator:
    break;
  case InstallProblem::kDiskFull:
    return file + "cannot write the driver file: the disk is full" + code;
  case InstallProblem::kDriverFileDenied:
    return file + "cannot write the driver file: access denied; run as administrator" + code;
  case InstallProblem::kDriverFileNotWritten:
    return file + "cannot write the driver file" + code;
  case InstallProblem::kServiceNotRegistered:
    return std::string("cannot register the driver service ") + kServiceName + code;
  case InstallProblem::kSignatureRefused:
    return file +
           "the system refused the driver's signature: 64-bit Windows loads only signed "
           "drivers (turn on test signing, or sign it with your own certificate)" +
           code;
  case InstallProblem::kDriverFileMissing:
    return file + "the driver file is missing" + code;
  case InstallProblem::kWrongProcessor:
    return file + "the driver file is not for this processor" + code;
  case InstallProblem::kServiceNotStarted:
    return std::string("cannot start the driver service ") + kServiceName + code;
  }
  return "cannot reach the Velmor driver: installing and starting it needs administrator rights";
}

std::string ServerFailureMessage(const ServerFailure &f) {
  using Step = ServerFailure::Step;
  const std::string code = " (error " + std::to_string(f.code) + ")";
  const std::string service = std::string("the image server ") + channel::kServerServiceName;
  switch (f.step) {
  case Step::kNone:
    break;
  case Step::kServerFile:
    return f.path + ": cannot write the image server's file" + code;
  case Step::kServiceManager:
    return "cannot open the service manager" + code + "; run as administrator";
  case Step::kService:
    return "cannot register " + service + code;
  case Step::kStart:
    return "cannot start " + service + code;
  case Step::kNoAnswer:
    return service + " does not answer" + code;
  }
  return "cannot reach " + service;
}

// Why the image server did not make the drive: the image's path, then the reason.
std::string ServedMountMessage(const std::string &path, const channel::Reply &r) {
  using channel::Status;
  const std::string code = " (error " + std::to_string(r.code) + ")";
  const std::string drive = std::string(1, char(r.letter)) + ":";
  switch (r.status) {
  case Status::kOk:
    break;
  case Status::kBadRequest:
    return "the image server did not understand the request for " + path;
  case Status::kNotAdministrator:
    return path + ": the image server serves administrators only; run as administrator";
  case Status::kCannotOpen:
    if (r.code == syserr::kAccessDenied)
      return path + ": access denied" + code;
    return path + ": cannot be opened" + code;
  case Status::kOnOurDrive:
    return path + ": lies on a Velmor drive, which cannot serve another drive's image";
  case Status::kNotServedImage:
    return path + ": " + (r.text.empty() ? "not an image the image server reads" : r.text);
  case Status::kLetterInUse:
    return drive + " is in use";
  case Status::kNoFreeLetter:
    return "no free drive letter";
  case Status::kDriverUnavailable:
    return "the image server cannot reach the Velmor driver" + code;
  case Status::kDriverRefused:
    return "the driver refused drive " + drive + " for " + path + code;
  case Status::kRecordFailed:
    return "cannot record drive " + drive + ": in the registry" + code +
           "; the drive was removed again";
  case Status::kNoSuchDrive:
  case Status::kTooLong:
    break;
  }
  return path + ": path too long for a drive (at most 495 characters)";
}

// An image the server reads: the driver installed first (the server's service depends on it),
// then the server, then the drive asked of it.
int MountServed(DriveSystem &system, const std::string &path, char letter) {
  InstallFailure failure;
  bool restartNeeded = false;
  DeviceHandle control = OpenControlDevice(system, &failure, &restartNeeded);
  if (!control.valid())
    return Fail(InstallFailureMessage(failure));
  control.reset(); // the server opens its own
  if (restartNeeded)
    std::fprintf(stderr, "velmor-drive: the running driver is another build and cannot stop; "
                         "the new driver takes effect after a restart of the computer\n");
  ServerFailure serverFailure;
  if (!EnsureImageServer(system, &serverFailure))
    return Fail(ServerFailureMessage(serverFailure));
  if (interrupted)
    return kInterrupted;
  const ServedMount mount = MountServedImage(system, path, letter);
  if (mount.noFreeLetter)
    return Fail("no free drive letter");
  if (!mount.reached)
    return Fail("the image server did not answer for " + path + " (error " +
                std::to_string(mount.reply.code) + ")");
  if (mount.reply.status != channel::Status::kOk)
    return Fail(ServedMountMessage(path, mount.reply));
  std::printf("%s\n", Drive(char(mount.reply.letter)).c_str());
  return 0;
}

// `shown`: what the messages call the image (a folder disc's folder); its path when empty.
int Mount(DriveSystem &system, const std::string &image, const char *letterText, bool force,
          const std::string &shown = {}) {
  const MountPlan plan = PlanMount(system, image, "");
  const std::string &path = plan.image.path;
  const std::string &named = shown.empty() ? path : shown;
  if (plan.image.refusal != ImageRefusal::kNone)
    return Fail(Refusal(plan.image.refusal, path));
  if (plan.detected.error)
    return Fail(FormatErrorMessage(system, plan.image.path, plan.detected.error));
  if (plan.trackFile.refusal != ImageRefusal::kNone)
    return Fail(Refusal(plan.trackFile.refusal, plan.trackFile.path));
  if (plan.verdict == MountPlan::Verdict::kAskFirst && !force)
    return Fail(path + ": no ISO 9660 or UDF volume found in the image; mount it anyway with "
                       "--force");
  char letter = 0;
  if (letterText) {
    letter = ParseLetter(letterText);
    if (!letter)
      return Usage();
    if (!IsDriveLetterFree(system, letter))
      return Fail(Drive(letter) + " is in use");
  } else if (!AnyDriveLetterFree(system)) {
    return Fail("no free drive letter");
  }
  if (plan.served)
    return MountServed(system, path, letter);
  InstallFailure failure;
  bool restartNeeded = false;
  DeviceHandle control = OpenControlDevice(system, &failure, &restartNeeded);
  if (!control.valid())
    return Fail(InstallFailureMessage(failure));
  if (restartNeeded)
    std::fprintf(stderr, "velmor-drive: the running driver is another build and cannot stop; "
                         "the new driver takes effect after a restart of the computer\n");
  if (interrupted)
    return kInterrupted;
  try {
    if (letter) {
      if (!AddVirtualDrive(system, control, path, letter, plan.Layout()))
        return Fail("the driver refused drive " + Drive(letter) + " for " + named);
    } else {
      const AddResult added = AddVirtualDriveAtFreeLetter(system, control, path, plan.Layout());
      if (added.outcome == AddOutcome::kNoFreeLetter)
        return Fail("no free drive letter");
      if (added.outcome == AddOutcome::kRefused)
        return Fail("the driver refused a drive for " + named);
      letter = added.letter;
    }
  } catch (const DriveRecordError &e) {
    return Fail(std::string(e.what()) + "; the drive was removed again");
  }
  std::printf("%s\n", Drive(letter).c_str());
  return 0;
}

// Succeeds when the drive went, whatever the remove request answered. The letter itself does
// not tell: another program's mount may take it again at once (the first free letter), so the
// device that the remove went to is asked, and the letter only when the remove could not say.
int Eject(DriveSystem &system, const char *letterText) {
  const char letter = ParseLetter(letterText);
  if (!letter)
    return Usage();
  const bool recorded = Recorded(system, letter);
  const bool ours = IsVelmorDevice(system.DosDeviceTarget(letter));
  if (!ours && !recorded)
    return Fail(Drive(letter) +
                (IsDriveLetterFree(system, letter) ? " no such drive" : " is not a Velmor drive"));
  // Recorded but not ours (its drive is gone): only the record is removed.
  if (!EjectVirtualDrive(system, letter) && ours && HasDriveOfOurs(system, letter) &&
      Opens(system, letter))
    return Fail(Drive(letter) + " could not be ejected");
  return 0;
}

std::string UninstallFailureMessage(const UninstallFailure &f) {
  using Step = UninstallFailure::Step;
  const std::string code = " (error " + std::to_string(f.code) + ")";
  const std::string service = std::string("the driver service ") + kServiceName;
  switch (f.step) {
  case Step::kEject:
    return Drive(f.letter) + " could not be ejected";
  case Step::kDriveInUse:
    return Drive(f.letter) + " is still in use by a program, so " + service +
           " was not stopped: the driver keeps running until the computer restarts";
  case Step::kServiceManager:
    return "cannot open the service manager" + code + "; run as administrator";
  case Step::kStopService:
    return "cannot stop " + service + code +
           ": the driver keeps running until the computer restarts";
  case Step::kDeleteService:
    return "cannot delete " + service + code;
  case Step::kDriverFile:
    return f.path + ": cannot delete the driver file now" + code +
           "; it is deleted when the computer restarts";
  case Step::kServiceKey:
    return std::string("cannot delete the registry key HKEY_LOCAL_MACHINE\\SYSTEM\\"
                       "CurrentControlSet\\Services\\") +
           kServiceName + code;
  case Step::kShellVerbs:
    return "cannot remove Explorer's verbs" + code;
  case Step::kImageServer:
    return std::string("cannot remove the image server ") + channel::kServerServiceName + " (" +
           f.path + ")" + code + "; its file is deleted when the computer restarts";
  }
  return "uninstall failed" + code;
}

// Every step runs; each failure is told, and any makes the status 1.
int UninstallAll(DriveSystem &system) {
  const std::vector<UninstallFailure> failed = Uninstall(system);
  for (const UninstallFailure &f : failed)
    Fail(UninstallFailureMessage(f));
  return failed.empty() ? 0 : kFailed;
}

// Why a served drive is not mounted, as its server tells it.
std::string ServedNotMountedWords(const RecordedDrive &drive) {
  using channel::NotMounted;
  const std::string code = " (error " + std::to_string(drive.servedCode) + ")";
  if (!drive.serverRunning)
    return "the image server is not running";
  switch (drive.servedState) {
  case NotMounted::kMounted:
    break;
  case NotMounted::kUnreachable:
    return "the image could not be opened" + code;
  case NotMounted::kIdentityChanged:
    return "the file changed since it was mounted";
  case NotMounted::kImageBroken:
    return "the image server cannot read the image";
  case NotMounted::kNotMade:
    return "the drive could not be made" + code;
  case NotMounted::kReleased:
    return "taken down while the driver is replaced";
  }
  return "the image server has no such drive";
}

// Why a recorded drive has no drive now, as the driver tells it.
std::string NotMountedWords(const RecordedDrive &drive) {
  if (drive.served)
    return ServedNotMountedWords(drive);
  if (!drive.driverRunning)
    return "the driver is not running";
  switch (drive.reason) {
  case SkipReason::kNone:
    break;
  case SkipReason::kNoIdentity:
    return "recorded without the file's identity";
  case SkipReason::kIdentityChanged:
    return "the file changed since it was mounted";
  case SkipReason::kFileMissing:
    return "the file is missing";
  case SkipReason::kFileRefused:
    return "the file is not an ordinary file on a local disk";
  case SkipReason::kLayoutBroken:
    return "its recorded layout is damaged";
  case SkipReason::kNotMade:
    return "the drive could not be made (its letter is taken, or memory is short)";
  case SkipReason::kServed:
    return "its image is served from user mode, and its server has not made it again yet";
  }
  return "the driver has no such drive";
}

// A folder disc shows as the folder it holds. A recorded drive that the driver does not serve
// says why; mounting its image at its letter
// again, or ejecting it, settles it.
int List(DriveSystem &system) {
  for (const RecordedDrive &drive : RecordedDrives(system)) {
    std::printf("%s %s", Drive(drive.letter).c_str(), ShownImagePath(system, drive.path).c_str());
    if (!drive.mounted)
      std::printf(" (not mounted: %s)", NotMountedWords(drive).c_str());
    std::printf("\n");
  }
  return std::fflush(stdout) == 0 ? 0 : kFailed;
}

std::string ScopeName(VerbScope scope) {
  return scope == VerbScope::kAllUsers ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

int Register(VerbScope scope) {
  const std::wstring program = ProgramBesideThis();
  if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES)
    return Fail(Win32DriveSystem().Utf16ToAnsi(std::u16string(program.begin(), program.end())) +
                ": no such file; velmor.exe must be beside velmor-drive.exe");
  if (const long error = RegisterShellVerbs(scope, program))
    return Fail("cannot add the verbs under " + ScopeName(scope) + " (error " +
                std::to_string(error) + ")");
  return 0;
}

int Unregister(VerbScope scope) {
  if (const long error = UnregisterShellVerbs(scope))
    return Fail("cannot remove the verbs under " + ScopeName(scope) + " (error " +
                std::to_string(error) + ")");
  return 0;
}

std::string FolderDiscFailureWords(const FolderDisc &disc) {
  switch (disc.failure) {
  case FolderDisc::Failure::kNone:
    break;
  case FolderDisc::Failure::kNoCacheFolder:
    return "no folder for the disc's image in the user's local application data";
  case FolderDisc::Failure::kTooMany:
    return mkiso::LeftOutWords(disc.leftOut.back());
  case FolderDisc::Failure::kWrite:
    return mkiso::FailureWords(disc.write);
  }
  return "the image could not be written";
}

// A folder's contents as a disc: the image is built first (what the builder leaves out told
// as velmor-mkiso tells it), then mounted; it goes when the drive is ejected, or at once when
// the mount fails. Status 1 when something was left out, though the drive is there.
int MountFolder(DriveSystem &system, const std::string &folder, const char *letterText) {
  if (letterText && !ParseLetter(letterText))
    return Usage();
  CleanFolderDiscCache(system);
  // The image's lock is held until its drive is recorded or the image deleted.
  FolderDisc disc = BuildFolderDisc(NativePlatform(), system, folder, system.CacheFolder());
  for (const LeftOutItem &item : disc.leftOut)
    std::fprintf(stderr, "velmor-drive: %s\n", mkiso::LeftOutLine(item).c_str());
  if (disc.image.empty())
    return Fail(folder + ": no disc made of the folder: " + FolderDiscFailureWords(disc));
  if (interrupted) {
    RemoveFolderDiscImage(system, disc.image);
    return kInterrupted;
  }
  // The image is our own, with an ISO 9660 volume: nothing to ask about.
  const int status = Mount(system, disc.image, letterText, true, folder);
  if (status != 0) {
    RemoveFolderDiscImage(system, disc.image);
    return status;
  }
  disc.lock.Release();
  if (!disc.leftOut.empty())
    return Fail(std::to_string(disc.leftOut.size()) + " item" +
                (disc.leftOut.size() == 1 ? "" : "s") + " of " + folder + " missing from the disc");
  return 0;
}

} // namespace
} // namespace velmor

int main(int argc, char **argv) {
  using namespace velmor;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  DriveSystem &system = Win32DriveSystem();
  const std::string command = argc > 1 ? argv[1] : "";
  // Drives recorded without their files' identities (by an older version) are added again
  // while the driver runs, which records them; the uninstall takes every drive anyway.
  if (command == "mount" || command == "eject" || command == "list" || command == "register" ||
      command == "unregister")
    AddUnidentifiedDrives(system);
  const bool force = argc > 2 && std::strcmp(argv[2], "--force") == 0;
  const int image = force ? 3 : 2; // the image's argument
  if (command == "mount" && (argc == image + 1 || argc == image + 2)) {
    const char *letter = argc == image + 2 ? argv[image + 1] : nullptr;
    const std::string full = system.FullPath(argv[image]);
    if (!full.empty() && system.KindOfPath(full) == DriveSystem::PathKind::kFolder)
      return MountFolder(system, full, letter);
    return Mount(system, argv[image], letter, force);
  }
  if (command == "eject" && argc == 3)
    return Eject(system, argv[2]);
  if (command == "list" && argc == 2)
    return List(system);
  if (command == "uninstall" && argc == 2)
    return UninstallAll(system);
  if ((command == "register" || command == "unregister") &&
      (argc == 2 || (argc == 3 && std::strcmp(argv[2], "--all-users") == 0))) {
    const VerbScope scope = argc == 3 ? VerbScope::kAllUsers : VerbScope::kCurrentUser;
    return command == "register" ? Register(scope) : Unregister(scope);
  }
  return Usage();
}
