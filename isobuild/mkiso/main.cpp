// velmor-mkiso: builds an ISO 9660 image with Joliet names from files and folders, making the
// same calls as the image-from-files window: files go into the image's root, folders keep their
// path and are walked with their subfolders.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "kavo_burner.h"
#include "path_chars.h"
#include "progress.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

// Writes the prepared image on the component's threads, showing progress until OnWriteDone.
// Ctrl-C aborts the write. Returns the completion text (empty on success).
std::string WriteWithProgress(velmor::TKavoBurner &burner, const std::string &image) {
  std::mutex lock;
  std::condition_variable doneSignal;
  bool done = false;
  std::string error;
  burner.OnWriteDone = [&](velmor::TKavoBurner *, const std::string &text) {
    std::lock_guard<std::mutex> guard(lock);
    error = text;
    done = true;
    doneSignal.notify_all();
  };
  std::signal(SIGINT, OnInterrupt);
  velmor::mkiso::ProgressLine progress(stdout);
  const std::int64_t total = burner.ImageSectors() * 2048;
  burner.WriteImage(image);
  bool abortSent = false;
  std::unique_lock<std::mutex> guard(lock);
  while (!done) {
    // The signal handler can only set a flag; it is looked at here, a few times a second.
    doneSignal.wait_for(guard, std::chrono::milliseconds(100));
    if (interrupted && !abortSent) {
      burner.AbortWrite();
      abortSent = true;
    }
    if (!done)
      progress.Show(burner.BytesWritten(), total);
  }
  guard.unlock();
  if (error.empty())
    progress.Show(burner.BytesWritten(), total);
  progress.Finish();
  std::signal(SIGINT, SIG_DFL);
  return error;
}

#ifdef _WIN32
const char kDone[] = "\xD1\xB9\xD6\xC6\xCD\xEA\xB1\xCF!"; // GBK
const char kSeparators[] = "\\/";
#else
const char kDone[] = "\xE5\x8E\x8B\xE5\x88\xB6\xE5\xAE\x8C\xE6\xAF\x95!"; // UTF-8
const char kSeparators[] = "/";
#endif

int Usage() {
  std::fprintf(stderr, "usage: velmor-mkiso -o IMAGE [-V LABEL] [--no-joliet] [--no-recurse] "
                       "PATH...\n");
  return 2;
}

std::string Trim(const std::string &s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos)
    return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The label the window proposes: the local date and time as YYYYMMDD_HHMMSS.
std::string DefaultLabel() {
  const std::time_t now = std::time(nullptr);
  const std::tm *t = std::localtime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%.4d%.2d%.2d_%.2d%.2d%.2d", t->tm_year + 1900, t->tm_mon + 1,
                t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
  return text;
}

// Drops empty and "." components, as tar does; false when the path climbs with "..".
bool NormalizePath(const std::string &path, const velmor::CharTable &chars, std::string &out) {
  const char sep = kSeparators[0];
  std::string prefix;
  std::size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') {
    prefix = path.substr(0, 2);
    pos = 2;
  }
  if (pos < path.size() && std::strchr(kSeparators, path[pos]))
    prefix += sep;
  std::string rest;
  while (pos <= path.size()) {
    std::size_t end = velmor::FindSeparator(path, kSeparators, chars, pos);
    if (end == std::string::npos)
      end = path.size();
    const std::string part = path.substr(pos, end - pos);
    if (part == "..")
      return false;
    if (!part.empty() && part != ".") {
      if (!rest.empty())
        rest += sep;
      rest += part;
    }
    pos = end + 1;
  }
  out = prefix + rest;
  if (out.empty())
    out = ".";
  return true;
}

} // namespace

int main(int argc, char **argv) {
  std::string image, label = DefaultLabel();
  bool joliet = true, recurse = true;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "-o" || arg == "-V") && i + 1 < argc)
      (arg == "-o" ? image : label) = argv[++i];
    else if (arg == "--no-joliet")
      joliet = false;
    else if (arg == "--no-recurse")
      recurse = false;
    else if (arg == "-h" || arg == "--help")
      return Usage(), 0;
    else if (arg == "--")
      paths.insert(paths.end(), argv + i + 1, argv + argc), i = argc;
    else if (!arg.empty() && arg[0] == '-' && arg != "-")
      return Usage();
    else
      paths.push_back(arg);
  }
  if (image.empty() || paths.empty())
    return Usage();

  velmor::Platform &platform = velmor::NativePlatform();
  const velmor::CharTable chars(platform);
  std::vector<std::pair<std::string, bool>> items; // path, is a folder
  for (const std::string &raw : paths) {
    std::string path;
    if (!NormalizePath(raw, chars, path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: paths with \"..\" are not allowed\n", raw.c_str());
      return 2;
    }
    velmor::ListingRecord record;
    const bool isRoot =
        path == "/" || path == "." || (path.size() >= 2 && path.size() <= 3 && path[1] == ':');
    if (!isRoot && !platform.Stat(path, record)) {
      std::fprintf(stderr, "velmor-mkiso: %s: no such file or directory\n", raw.c_str());
      return 1;
    }
    items.emplace_back(path, isRoot || record.IsFolder());
  }
  // As the window does: an existing image is replaced, and is gone before the sources are read.
  std::remove(image.c_str());

  velmor::TKavoBurner burner(platform);
  int problems = 0;
  burner.OnDebugMessage = [&](velmor::TSCSIDevice *, const std::string &message, std::uint8_t) {
    std::fprintf(stderr, "velmor-mkiso: %s\n", message.c_str());
    ++problems;
  };
  burner.OnAddFile = [&](velmor::TKavoBurner *, const std::string &fullPath, std::string &,
                         std::string &, velmor::TDateTime &, std::uint32_t, std::int64_t,
                         bool &skip) {
    if (skip) {
      std::fprintf(stderr, "velmor-mkiso: %s: name of 128 bytes or more, left out\n",
                   fullPath.c_str());
      ++problems;
    }
  };
  burner.NewCompilation(600000, 20000);
  burner.SetJolietFileSystem(joliet);
  burner.SetIdVolume(Trim(label));
  for (const auto &[path, isFolder] : items) {
    // "." fills the root itself; every other folder keeps its path.
    if (isFolder)
      burner.InsertFolder("\\", path, false, path != ".", recurse, velmor::kAllAttributes, "*.*");
    else
      burner.InsertFile("\\", path, false);
  }
  burner.PrepareImage(true, nullptr);
  burner.OnDebugMessage = nullptr;
  const std::string error = WriteWithProgress(burner, image);
  if (!error.empty()) {
    std::fprintf(stderr, "velmor-mkiso: %s\n", error.c_str());
    std::remove(image.c_str());
    return 1;
  }
  std::printf("%s\n", kDone);
  return problems > 0 ? 1 : 0;
}
