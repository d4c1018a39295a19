// The cache folder of folder discs. Each disc has up to three files there, "disc-N.iso" (its
// image), "disc-N.lock" (held by the run that builds it, from before the image exists until its
// drive is recorded) and "disc-N.folder" (the folder it holds, shown in place of the image). Runs
// started together never take each other's files: a name is claimed by creating its lock file,
// and the clean-up deletes only what no run holds and no drive records.
#pragma once

#include <string>

#include "drive_system.h"

namespace velmor {

// The lock on one image name in the cache folder; its release closes and deletes the lock file.
class FolderDiscLock {
public:
  FolderDiscLock() = default;
  FolderDiscLock(DriveSystem &system, std::string path, DriveSystem::Handle handle)
      : system_(&system), path_(std::move(path)), handle_(handle) {}
  ~FolderDiscLock() { Release(); }
  FolderDiscLock(FolderDiscLock &&o) noexcept { *this = std::move(o); }
  FolderDiscLock &operator=(FolderDiscLock &&o) noexcept;
  FolderDiscLock(const FolderDiscLock &) = delete;
  FolderDiscLock &operator=(const FolderDiscLock &) = delete;

  bool held() const { return handle_ != DriveSystem::kInvalidHandle; }
  void Release();

private:
  DriveSystem *system_ = nullptr;
  std::string path_;
  DriveSystem::Handle handle_ = DriveSystem::kInvalidHandle;
};

// A name of its own for a new image in `cacheFolder` (which ends in "\"), locked: no file of that
// name is there and its lock file was made by this call. Empty `image` when no name could be
// claimed.
FolderDiscLock ClaimFolderDiscImage(DriveSystem &system, const std::string &cacheFolder,
                                    std::string &image);

// Names compared as the system compares them: ASCII letters without regard to case.
bool SameFileName(const std::string &a, const std::string &b);
// Whether `path` names something directly in `folder` (which ends in "\").
bool IsDirectlyIn(const std::string &folder, const std::string &path);
// Whether `path` is an image that a folder mounted as a disc was built into (one in the
// system's cache folder): its drive's eject deletes it.
bool IsFolderDiscImage(DriveSystem &system, const std::string &path);
// Notes beside the image the folder it holds; false when the note could not be written.
bool NoteFolderOfDisc(DriveSystem &system, const std::string &image, const std::string &folder);
// What a drive's recorded path shows: the folder that a folder disc holds, else the path.
std::string ShownImagePath(DriveSystem &system, const std::string &path);
// Deletes a folder disc's image and its note; true when the image is gone.
bool RemoveFolderDiscImage(DriveSystem &system, const std::string &image);
// Deletes the cache's files that no run holds and no recorded drive uses: left by a program that
// ended before their drive was ejected, or whose insert failed.
void CleanFolderDiscCache(DriveSystem &system);
// Deletes the cache folder and the program's folder above it when they are empty (uninstall).
void RemoveEmptyCacheFolder(DriveSystem &system);

} // namespace velmor
