#include "folder_disc.h"

#include <chrono>

#include "kavo_burner.h"

namespace velmor {

std::string FolderDiscLabel(Platform &platform, const std::string &folder) {
  // The last name, read a character at a time (a GBK trail byte may be a backslash).
  std::string name, part;
  for (size_t i = 0; i < folder.size();) {
    const size_t n =
        std::max<size_t>(1, platform.CharLength(static_cast<unsigned char>(folder[i])));
    if (n == 1 && (folder[i] == '\\' || folder[i] == '/')) {
      if (!part.empty())
        name = part;
      part.clear();
    } else {
      part.append(folder, i, n);
    }
    i += n;
  }
  if (!part.empty())
    name = part;
  if (name.empty() || name.back() == ':')
    return "CDROM";
  std::string label;
  for (size_t i = 0; i < name.size();) {
    const size_t n = std::max<size_t>(1, platform.CharLength(static_cast<unsigned char>(name[i])));
    const std::string longer = label + name.substr(i, n);
    if (longer.size() > kMaxIsoLabelBytes ||
        platform.AnsiToUtf16(longer).size() > kMaxJolietLabelUnits)
      break;
    label = longer;
    i += n;
  }
  return label;
}

FolderDisc BuildFolderDisc(Platform &platform, DriveSystem &system, const std::string &folder,
                           const std::string &cacheFolder) {
  FolderDisc disc;
  if (cacheFolder.empty()) {
    disc.failure = FolderDisc::Failure::kNoCacheFolder;
    return disc;
  }
  // A name of its own: the time in ticks, and the next one while a file has it.
  auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string image;
  do
    image = cacheFolder + "disc-" + std::to_string(tick++) + ".iso";
  while (system.KindOfPath(image) != DriveSystem::PathKind::kMissing);

  TKavoBurner burner(platform);
  burner.NewCompilation(kMaxEntries, kMaxDirectories);
  burner.SetJolietFileSystem(true);
  burner.SetIdVolume(FolderDiscLabel(platform, folder));
  GatherOptions gathering;
  gathering.StopAtLimit = true;
  // The image never goes into itself (a folder that holds the cache folder).
  gathering.Skip = [&](const std::string &path) { return path == image; };
  // The folder's contents fill the root.
  const GatherResult gathered =
      GatherItems(burner, {SourceItem{folder, true, false, true}}, gathering);
  disc.leftOut = gathered.LeftOut;
  // As the build window does: UDF only where ISO 9660 and Joliet fall short (files of 4 GiB and
  // more, names Joliet would shorten), which Windows then reads through it.
  burner.SetUdfFileSystem(burner.CompilationWantsUdf());
  if (gathered.LimitReached) {
    disc.failure = FolderDisc::Failure::kTooMany;
    return disc;
  }
  burner.PrepareImage(true, nullptr);
  if (!burner.WriteImage(image, true)) {
    system.RemoveFile(image);
    disc.failure = FolderDisc::Failure::kWrite;
    disc.write = burner.LastWriteFailure();
    return disc;
  }
  disc.image = image;
  return disc;
}

} // namespace velmor
