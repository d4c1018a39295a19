// The system services the drive control client uses: files in the system directory, the
// service manager, device I/O, the registry table of mounted drives, the device-change
// broadcast, drive types and device names. The program uses the Win32 implementation
// (drive_system_win32.h); tests substitute their own. The Win32 implementation asks about
// drives, labels and devices with the system's "no disk" dialogs turned off.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "code_page.h"
#include "disc_image.h"
#include "velmor_identity.h"
#include "velmor_layout.h"

namespace velmor {

// Text in the ANSI code page as UTF-16 and back (characters it lacks become '?') is CodePage's.
class DriveSystem : public CodePage {
public:
  // Files, devices and services are reached through opaque handles.
  using Handle = uintptr_t;
  static constexpr Handle kInvalidHandle = ~Handle(0); // a file or device that did not open
  static constexpr Handle kNoService = 0;              // a service (manager) that did not open

  virtual ~DriveSystem() = default;

  // Files. The system directory as the system reports it, possibly without a final "\".
  virtual std::string SystemDirectory() = 0;
  // The full form of a path (relative ones against the current folder), of any length the
  // system allows; "" when the system cannot form it.
  virtual std::string FullPath(const std::string &path) = 0;
  enum class PathKind { kMissing, kFile, kFolder };
  // What a full path names, asked in a form that is not limited to MAX_PATH.
  virtual PathKind KindOfPath(const std::string &fullPath) = 0;
  // Creates or truncates a file for writing, sharing reads; kInvalidHandle on failure.
  virtual Handle CreateFileForWrite(const std::string &path) = 0;
  virtual bool WriteFile(Handle file, const void *data, uint32_t size) = 0;
  // Up to `limit` bytes from the start of a file; false when it cannot be opened or read.
  virtual bool ReadFileStart(const std::string &path, uint32_t limit,
                             std::vector<uint8_t> &bytes) = 0;
  // Deletes a file; true when it is gone (also when it was never there).
  virtual bool RemoveFile(const std::string &path) = 0;
  // Renames a file, replacing any file at `to`; a file the system has mapped as a running image
  // can still be renamed where it cannot be written.
  virtual bool RenameFile(const std::string &from, const std::string &to) = 0;
  // Has the system delete the file when it next starts (a file still in use now).
  virtual void RemoveFileAtRestart(const std::string &path) = 0;
  // The system's error code of this thread's last failed call.
  virtual uint32_t LastError() = 0;
  // Our cache folder in the user's local application data (created when missing), ending in
  // "\"; "" when there is none.
  virtual std::string CacheFolder() = 0;
  // The names of the files (not folders) in `folder`, which ends in "\".
  virtual std::vector<std::string> FilesIn(const std::string &folder) = 0;
  // Deletes an empty folder; false when it is not empty or cannot be deleted.
  virtual bool RemoveFolder(const std::string &path) = 0;
  // A lock file: opened (`createNew`: made, failing when it exists) for reading and writing,
  // shared for both but not for deletion, and its lock taken without waiting; kInvalidHandle
  // when it cannot be opened or another handle holds the lock. Close gives the lock up.
  virtual Handle LockFile(const std::string &path, bool createNew) = 0;
  // Waits `ms` milliseconds (a file another program is writing, a service stopping).
  virtual void Pause(uint32_t ms) = 0;

  // True when this 32-bit program runs on a 64-bit system (WOW64), which loads only 64-bit
  // drivers.
  virtual bool Is64BitSystem() = 0;
  // On a 64-bit system a 32-bit program's file names under the system directory are turned to
  // the folder kept for 32-bit programs. With redirection off, this thread's file names mean
  // the system's own files until it is turned on again.
  virtual void SetFileRedirection(bool on) = 0;

  // Devices, opened for reading with read sharing; kInvalidHandle when the open fails. For a
  // drive this opens its volume: the system mounts a file system on it first.
  virtual Handle OpenDevice(const std::string &path) = 0;
  // The device itself, with no access rights: no file system is mounted for such an open, so
  // it succeeds also for a drive whose volume cannot be mounted.
  virtual Handle OpenDeviceWithoutAccess(const std::string &path) = 0;
  // `returned` (when given) gets how many bytes of the output the answer filled.
  virtual bool DeviceControl(Handle device, uint32_t code, const void *input, uint32_t inputSize,
                             void *output, uint32_t outputSize, uint32_t *returned = nullptr) = 0;
  // Closes a file or device handle.
  virtual void Close(Handle handle) = 0;

  // Service manager of the local machine (read and write access); kNoService when refused.
  virtual Handle OpenServiceManager() = 0;
  virtual Handle OpenDriverService(Handle manager, const std::string &name) = 0;
  // An automatically started kernel driver service running `binaryPath`.
  virtual Handle CreateKernelService(Handle manager, const std::string &name,
                                     const std::string &binaryPath) = 0;
  // An automatically started service of its own process, run as the system, started after
  // the service `dependency`.
  virtual Handle CreateServerService(Handle manager, const std::string &name,
                                     const std::string &displayName, const std::string &binaryPath,
                                     const std::string &dependency) = 0;
  virtual bool StartDriverService(Handle service) = 0;
  // Asks the service to stop; false when the request is refused (a driver that cannot unload,
  // on Windows).
  virtual bool StopDriverService(Handle service) = 0;
  enum class ServiceState { kStopped, kStopping, kStarting, kRunning, kUnknown };
  virtual ServiceState QueryServiceState(Handle service) = 0;
  // Marks the service for deletion; it goes when its last handle is closed.
  virtual bool DeleteDriverService(Handle service) = 0;
  virtual void CloseService(Handle service) = 0;
  // Deletes the service's registry key (under HKEY_LOCAL_MACHINE's services) with every subkey
  // (the drive table and its layouts); 0 when it is gone, or the system's error code.
  virtual long DeleteServiceKey(const std::string &name) = 0;
  // Removes Explorer's verb on image files for the current user and for all users; 0, or the
  // system's error code of the first that could not be removed.
  virtual long RemoveShellVerbs() = 0;

  // The registry table of mounted drives (kDrivesKey under HKEY_LOCAL_MACHINE, opened with
  // creation allowed). SetDriveValue returns the system's error code (0 on success).
  virtual long SetDriveValue(const std::string &name, const std::string &path) = 0;
  virtual void DeleteDriveValue(const std::string &name) = 0;
  // Every value, name and string data, in the registry's own order.
  virtual std::vector<std::pair<std::string, std::string>> DriveValues() = 0;
  // A layout drive's record: a REG_BINARY value under the table's kLayoutsSubkey (created
  // when missing). SetLayoutValue returns the system's error code (0 on success).
  virtual long SetLayoutValue(const std::string &name, const void *data, uint32_t size) = 0;
  virtual void DeleteLayoutValue(const std::string &name) = 0;
  // The identity of the files a drive reads, as the add answered it: a REG_BINARY value under
  // kIdentitiesKey (created when missing). SetIdentityValue returns the system's error code.
  virtual long SetIdentityValue(const std::string &name, const void *data, uint32_t size) = 0;
  virtual void DeleteIdentityValue(const std::string &name) = 0;
  virtual bool HasIdentityValue(const std::string &name) = 0;
  // A served drive's record (the image server's): a REG_BINARY value under the table's
  // kServedSubkey, which the server writes. The client only asks for it and forgets it.
  virtual bool HasServedValue(const std::string &name) = 0;
  virtual void DeleteServedValue(const std::string &name) = 0;

  // One request to the image server over its pipe, and its reply; false (LastError says why)
  // when the pipe does not open or the exchange fails.
  virtual bool CallServer(const std::vector<uint8_t> &request, std::vector<uint8_t> &reply) = 0;

  // WM_DEVICECHANGE to every component, not to this task.
  virtual void BroadcastDeviceChange(uint32_t event, const VolumeNotice &notice) = 0;

  // The type of the drive whose root is letter + ":\" (DRIVE_NO_ROOT_DIR when there is none).
  virtual unsigned DriveType(char letter) = 0;
  // The device that the name letter + ":" stands for, or "" when it names none.
  virtual std::string DosDeviceTarget(char letter) = 0;
  // The volume label of letter + ":\" (at most 63 bytes), or "" when it cannot be read.
  virtual std::string VolumeLabel(char letter) = 0;

  // Image files as the image readers see them.
  virtual formats::ImageFiles &ImageFiles() = 0;
};

// Drive types the client tells apart (the platform's values).
inline constexpr unsigned kDriveNoRootDir = 1;
inline constexpr unsigned kDriveRemote = 4;
inline constexpr unsigned kDriveCdrom = 5;

// System error codes the client tells apart (the platform's values).
namespace syserr {
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kHandleDiskFull = 39;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kBadExeFormat = 193; // a driver for another processor
// the signature was refused (ERROR_INVALID_IMAGE_HASH, which mingw-w64 does not define)
inline constexpr uint32_t kInvalidImageHash = 577;
inline constexpr uint32_t kServiceAlreadyRunning = 1056;
inline constexpr uint32_t kSharingViolation = 32; // a file another program has open to write
inline constexpr uint32_t kServiceExists = 1073;  // created by another program meanwhile
inline constexpr uint32_t kServiceMarkedForDelete = 1072;
inline constexpr uint32_t kServiceNotActive = 1062;
inline constexpr uint32_t kWriteFault = 29;         // what a read back that differs reports
inline constexpr uint32_t kPrivilegeNotHeld = 1314; // a caller who may not add or remove drives
} // namespace syserr

// Requests to the file system mounted on a drive (the platform's codes), which the client
// sends to take a volume down before the drive goes.
namespace fsctl {
inline constexpr uint32_t kFileDeviceFileSystem = 9;
inline constexpr uint32_t kLockVolume =
    ControlCode(kFileDeviceFileSystem, 6, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kUnlockVolume =
    ControlCode(kFileDeviceFileSystem, 7, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kDismountVolume =
    ControlCode(kFileDeviceFileSystem, 8, kMethodBuffered, kFileAnyAccess);
} // namespace fsctl

} // namespace velmor
