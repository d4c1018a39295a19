#include "folder_disc_cache.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>
#include <vector>

namespace velmor {

namespace {

constexpr char kImageEnding[] = ".iso";
constexpr char kLockEnding[] = ".lock";
constexpr char kNoteEnding[] = ".folder";
// A folder as long as the system allows, in a double-byte code page.
constexpr uint32_t kLongestNote = 65536;

bool EndsWith(const std::string &name, const std::string &ending) {
  return name.size() > ending.size() &&
         SameFileName(name.substr(name.size() - ending.size()), ending);
}

// The name shared by a disc's files: the image's without its ending.
std::string StemOf(const std::string &path) {
  for (const char *ending : {kImageEnding, kLockEnding, kNoteEnding})
    if (EndsWith(path, ending))
      return path.substr(0, path.size() - std::char_traits<char>::length(ending));
  return {};
}

std::string NoteOf(const std::string &image) {
  const std::string stem = StemOf(image);
  return (stem.empty() ? image : stem) + kNoteEnding;
}

bool Recorded(const std::vector<std::pair<std::string, std::string>> &values,
              const std::string &path) {
  return std::any_of(values.begin(), values.end(),
                     [&](const auto &value) { return SameFileName(value.second, path); });
}

} // namespace

bool SameFileName(const std::string &a, const std::string &b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return upper(x) == upper(y); });
}

bool IsDirectlyIn(const std::string &folder, const std::string &path) {
  return !folder.empty() && path.size() > folder.size() &&
         SameFileName(path.substr(0, folder.size()), folder) &&
         path.find('\\', folder.size()) == std::string::npos;
}

FolderDiscLock &FolderDiscLock::operator=(FolderDiscLock &&o) noexcept {
  if (this != &o) {
    Release();
    system_ = o.system_;
    path_ = std::move(o.path_);
    handle_ = std::exchange(o.handle_, DriveSystem::kInvalidHandle);
  }
  return *this;
}

void FolderDiscLock::Release() {
  if (!held())
    return;
  system_->Close(std::exchange(handle_, DriveSystem::kInvalidHandle));
  // Fails while a clean-up has it open; that clean-up deletes it.
  system_->RemoveFile(path_);
}

FolderDiscLock ClaimFolderDiscImage(DriveSystem &system, const std::string &cacheFolder,
                                    std::string &image) {
  image.clear();
  // The time in ticks, and the next one while another run has the name.
  auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string stem = cacheFolder + "disc-" + std::to_string(tick++);
    if (system.KindOfPath(stem + kImageEnding) != DriveSystem::PathKind::kMissing)
      continue;
    FolderDiscLock lock(system, stem + kLockEnding, system.LockFile(stem + kLockEnding, true));
    // The image is asked about again: an image of that name may have come and gone before the
    // lock file was made.
    if (!lock.held() || system.KindOfPath(stem + kImageEnding) != DriveSystem::PathKind::kMissing)
      continue;
    image = stem + kImageEnding;
    return lock;
  }
  return {};
}

bool IsFolderDiscImage(DriveSystem &system, const std::string &path) {
  return IsDirectlyIn(system.CacheFolder(), path);
}

bool NoteFolderOfDisc(DriveSystem &system, const std::string &image, const std::string &folder) {
  const std::string note = NoteOf(image);
  bool written = false;
  if (const DriveSystem::Handle file = system.CreateFileForWrite(note);
      file != DriveSystem::kInvalidHandle) {
    written = system.WriteFile(file, folder.data(), uint32_t(folder.size()));
    system.Close(file);
  }
  if (!written)
    system.RemoveFile(note);
  return written;
}

std::string ShownImagePath(DriveSystem &system, const std::string &path) {
  std::vector<uint8_t> note;
  if (!IsFolderDiscImage(system, path) || !system.ReadFileStart(NoteOf(path), kLongestNote, note) ||
      note.empty() || note.size() == kLongestNote)
    return path;
  return std::string(note.begin(), note.end());
}

bool RemoveFolderDiscImage(DriveSystem &system, const std::string &image) {
  if (!system.RemoveFile(image))
    return false;
  system.RemoveFile(NoteOf(image));
  return true;
}

void CleanFolderDiscCache(DriveSystem &system) {
  const std::string cache = system.CacheFolder();
  if (cache.empty())
    return;
  std::set<std::string> stems;
  for (const std::string &name : system.FilesIn(cache)) {
    const std::string stem = StemOf(name);
    if (!stem.empty())
      stems.insert(cache + stem);
    else if (!Recorded(system.DriveValues(), cache + name))
      system.RemoveFile(cache + name); // not one of ours: no run holds it
  }
  for (const std::string &stem : stems) {
    // A run that holds the lock is still building or mounting its image.
    FolderDiscLock lock(system, stem + kLockEnding, system.LockFile(stem + kLockEnding, false));
    if (!lock.held())
      continue;
    // The records are read with the lock held: a run records its drive before it lets go.
    const std::string image = stem + kImageEnding;
    if (!Recorded(system.DriveValues(), image))
      RemoveFolderDiscImage(system, image);
  }
}

void RemoveEmptyCacheFolder(DriveSystem &system) {
  std::string folder = system.CacheFolder();
  for (int level = 0; level < 2 && folder.size() > 1 && folder.back() == '\\'; ++level) {
    folder.pop_back();
    if (!system.RemoveFolder(folder))
      return;
    folder.erase(folder.rfind('\\') + 1);
  }
}

} // namespace velmor
