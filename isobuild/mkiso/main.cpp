// velmor-mkiso: builds an ISO 9660 image with Joliet names from files and folders, making the
// same calls as the image-from-files window: files go into the image's root, folders keep their
// path and are walked with their subfolders. Exit status 0 only when the image holds everything
// named; whatever is left out is reported on standard error.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "command_line_platform.h"
#include "gather_items.h"
#include "image_import.h"
#include "image_target.h"
#include "interrupts.h"
#include "kavo_burner.h"
#include "names.h"
#include "path_chars.h"
#include "problem_words.h"
#include "progress.h"

namespace {

using velmor::kMaxDirectories;
using velmor::kMaxEntries;
using velmor::kMaxIsoLabelBytes;
using velmor::kMaxJolietLabelUnits;

// Writes the prepared image on the component's threads, showing progress on Progress until
// OnWriteDone. An interruption aborts the write. Returns what ended it (none on success).
velmor::WriteFailure WriteWithProgress(velmor::TKavoBurner &burner, const std::string &image,
                                       std::FILE *progressOut) {
  std::mutex lock;
  std::condition_variable doneSignal;
  bool done = false;
  velmor::WriteFailure failure;
  burner.OnWriteDone = [&](velmor::TKavoBurner *sender, const std::string &) {
    std::lock_guard<std::mutex> guard(lock);
    failure = sender->LastWriteFailure();
    done = true;
    doneSignal.notify_all();
  };
  velmor::mkiso::ProgressLine progress(progressOut);
  const std::int64_t total = burner.ImageSectors() * 2048;
  burner.WriteImage(image);
  bool abortSent = false;
  std::unique_lock<std::mutex> guard(lock);
  while (!done) {
    // The interruption only sets a flag: it is looked at here, a few times a second.
    doneSignal.wait_for(guard, std::chrono::milliseconds(100));
    if (velmor::mkiso::Interruption() && !abortSent) {
      burner.AbortWrite();
      abortSent = true;
    }
    if (!done)
      progress.Show(burner.BytesWritten(), total);
  }
  guard.unlock();
  if (!failure)
    progress.Show(burner.BytesWritten(), total);
  progress.Finish();
  return failure;
}

#ifdef _WIN32
const char kDone[] = "\xD1\xB9\xD6\xC6\xCD\xEA\xB1\xCF!"; // GBK
const char kSeparators[] = "\\/";
#else
const char kDone[] = "\xE5\x8E\x8B\xE5\x88\xB6\xE5\xAE\x8C\xE6\xAF\x95!"; // UTF-8
const char kSeparators[] = "/";
#endif

int Usage() {
  std::fprintf(stderr,
               "usage: velmor-mkiso -o IMAGE [-V LABEL] [--no-joliet] [-udf] [--no-recurse]\n"
               "                    [-b BOOT-IMAGE [-c CATALOG] [-no-emul-boot]\n"
               "                     [-boot-load-size N] [-boot-info-table]]\n"
               "                    [-import OLD-IMAGE [-rm PATH-IN-IMAGE]...] PATH...\n");
  return 2;
}

// 512-byte sectors, as the boot catalog records them: 1 to 65535.
bool ParseLoadSize(const std::string &text, std::uint16_t &out) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::stoul(text);
  if (value == 0 || value > 0xFFFF)
    return false;
  out = static_cast<std::uint16_t>(value);
  return true;
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

// Reports what went wrong, as the last line: the image was not written, so every item named is
// missing from it.
int NoImage(std::size_t named, int status) {
  std::fprintf(stderr, "velmor-mkiso: no image written; %zu named item%s missing\n", named,
               named == 1 ? "" : "s");
  return status;
}

// The same when the output, not an input, is at fault.
int NoImageAt(const std::string &image, const char *reason) {
  std::fprintf(stderr, "velmor-mkiso: no image written; the output %s %s\n", image.c_str(), reason);
  return 1;
}

// The image path of a folder: its long names from the root down.
std::string ImagePathOf(const velmor::TDirNode *dir) {
  std::string path;
  for (; dir && dir->Entry; dir = dir->Parent) // the root has no entry
    path = "/" + dir->LongName + path;
  return path;
}

// Names the image holds under another name (shortened to fit a Joliet record, or marked "~n"
// because another item has it): told on standard error, the image is still complete.
void ReportRenamed(velmor::Platform &platform) {
  const velmor::CompilationStore &c = velmor::TheCompilation();
  for (std::int32_t i = 0; i < c.EntryCount; ++i) {
    const velmor::TEntryNode &e = *c.Entries[i];
    const std::u16string name = platform.AnsiToUtf16(e.LongName);
    if (e.JolietIdentifier == name)
      continue;
    const std::size_t suffix = e.IsFolder() ? 0 : velmor::kVersionSuffixLength;
    const bool tooLong = name.size() + suffix > velmor::kMaxJolietUnits;
    const std::string path = e.IsFolder() ? ImagePathOf(e.Dir) : e.SourcePath;
    std::fprintf(stderr, "velmor-mkiso: %s: renamed in the image (%s)\n", path.c_str(),
                 tooLong ? "name too long for a Joliet record" : "another item has that name");
  }
}

} // namespace

int main(int argc, char **argv) {
  std::string image, label = DefaultLabel();
  bool joliet = true, udf = false, recurse = true;
  std::vector<std::string> paths;
  velmor::BootOptions boot;
  velmor::ImportRequest import;
  bool loadSizeGiven = false, labelGiven = false;
  std::string badLoadSize;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "-o" || arg == "-V") && i + 1 < argc) {
      (arg == "-o" ? image : label) = argv[++i];
      labelGiven = labelGiven || arg == "-V";
    } else if (arg == "-b" && i + 1 < argc)
      boot.ImagePath = argv[++i];
    else if (arg == "-import" && i + 1 < argc)
      import.ImagePath = argv[++i];
    else if (arg == "-rm" && i + 1 < argc)
      import.Remove.push_back(argv[++i]);
    else if (arg == "-c" && i + 1 < argc)
      boot.CatalogPath = argv[++i];
    else if (arg == "-no-emul-boot")
      boot.NoEmulation = true;
    else if (arg == "-boot-info-table")
      boot.InfoTable = true;
    else if (arg == "-boot-load-size" && i + 1 < argc) {
      if (!ParseLoadSize(argv[++i], boot.LoadSectors))
        badLoadSize = argv[i];
      loadSizeGiven = true;
    } else if (arg == "--no-joliet")
      joliet = false;
    else if (arg == "-udf")
      udf = true;
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
  if (image.empty() || (paths.empty() && import.ImagePath.empty()))
    return Usage();
  if (!import.Remove.empty() && import.ImagePath.empty()) {
    std::fprintf(stderr, "velmor-mkiso: -rm needs -import\n");
    return NoImage(paths.size(), 2);
  }
  const char *bootError = nullptr;
  if (boot.ImagePath.empty() &&
      (!boot.CatalogPath.empty() || boot.NoEmulation || boot.InfoTable || loadSizeGiven))
    bootError = "-c, -no-emul-boot, -boot-load-size and -boot-info-table need -b";
  else if (!badLoadSize.empty())
    bootError = "-boot-load-size takes a number of 512-byte sectors from 1 to 65535";
  else if (loadSizeGiven && !boot.NoEmulation)
    bootError = "-boot-load-size needs -no-emul-boot: floppy emulation loads one sector";
  if (bootError) {
    std::fprintf(stderr, "velmor-mkiso: %s\n", bootError);
    return NoImage(paths.size(), 2);
  }
  velmor::mkiso::CatchInterrupts();

  velmor::mkiso::CommandLinePlatform platform(velmor::NativePlatform());
  label = Trim(label);
  const std::size_t labelUnits = platform.AnsiToUtf16(label).size();
  if (label.size() > kMaxIsoLabelBytes || (joliet && labelUnits > kMaxJolietLabelUnits)) {
    std::fprintf(stderr,
                 "velmor-mkiso: volume label \"%s\" is too long (%zu bytes, %zu UCS-2 units): "
                 "at most %zu bytes fit the ISO 9660 label and %zu UCS-2 units the Joliet "
                 "label\n",
                 label.c_str(), label.size(), labelUnits, kMaxIsoLabelBytes, kMaxJolietLabelUnits);
    return NoImage(paths.size(), 2);
  }

  const velmor::CharTable chars(platform);
  std::vector<std::pair<std::string, bool>> items; // path, is a folder
  for (const std::string &raw : paths) {
    std::string path;
    if (!NormalizePath(raw, chars, path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: paths with \"..\" are not allowed\n", raw.c_str());
      return NoImage(paths.size(), 2);
    }
    velmor::ListingRecord record;
    const bool isRoot =
        path == "/" || path == "." || (path.size() >= 2 && path.size() <= 3 && path[1] == ':');
    if (!isRoot && !platform.Stat(path, record)) {
      std::fprintf(stderr, "velmor-mkiso: %s: no such file or directory\n", raw.c_str());
      return NoImage(paths.size(), 1);
    }
    if (!isRoot && record.Refused()) {
      std::fprintf(stderr, "velmor-mkiso: %s: %s\n", raw.c_str(),
                   velmor::mkiso::LeftOutWords({raw, record.Refusal}).c_str());
      return NoImage(paths.size(), 1);
    }
    items.emplace_back(path, isRoot || record.IsFolder());
  }
  for (std::string *inImage : {&boot.ImagePath, &boot.CatalogPath}) {
    if (!inImage->empty() && !NormalizePath(*inImage, chars, *inImage)) {
      std::fprintf(stderr, "velmor-mkiso: %s: paths with \"..\" are not allowed\n",
                   inImage->c_str());
      return NoImage(paths.size(), 2);
    }
  }

  // Nothing at -o changes until the image is finished.
  velmor::mkiso::ImageTarget target;
  std::string error;
  if (!target.Open(image, error)) {
    std::fprintf(stderr, "velmor-mkiso: %s: %s\n", image.c_str(), error.c_str());
    return NoImageAt(image, "cannot be written");
  }
  for (const auto &[path, isFolder] : items)
    if (!isFolder && target.IsTarget(path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: the output is this input file\n", path.c_str());
      return NoImageAt(image, "would replace an input");
    }
  if (!import.ImagePath.empty() && target.IsTarget(import.ImagePath)) {
    std::fprintf(stderr, "velmor-mkiso: %s: the output is the image being imported\n",
                 import.ImagePath.c_str());
    return NoImageAt(image, "would replace an input");
  }
  const bool toStandardOutput =
      target.GetKind() == velmor::mkiso::ImageTarget::Kind::StandardOutput;
  std::FILE *const messages = toStandardOutput ? stderr : stdout;
  // Between the steps of the build: an interruption removes what was made and ends the process.
  auto endIfInterrupted = [&]() {
    if (velmor::mkiso::Interruption() == 0)
      return;
    target.Discard();
    // Nothing named is missing: the build was stopped.
    std::fprintf(stderr, "velmor-mkiso: interrupted; no image written\n");
    velmor::mkiso::EndAsInterrupted();
  };

  velmor::TKavoBurner burner(platform);
  // Sized to the tree: the arrays grow as it is gathered, up to what an image can number.
  burner.NewCompilation(kMaxEntries, kMaxDirectories);
  burner.SetJolietFileSystem(joliet);
  burner.SetUdfFileSystem(udf);
  burner.SetIdVolume(label);
  std::size_t importMissing = 0;
  velmor::ImportResult imported;
  if (!import.ImagePath.empty()) {
    imported = velmor::ImportImage(burner, platform, import);
    if (!imported.Fault.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s\n", imported.Fault.c_str());
      return NoImage(paths.size() + 1, 1);
    }
    for (const velmor::LeftOutItem &item : imported.LeftOut)
      std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::LeftOutLine(item).c_str());
    importMissing = imported.LeftOut.size();
    if (imported.LimitReached)
      return NoImage(paths.size() + 1, 1);
    // An image read through its UDF tree keeps it: its files may need it.
    burner.SetUdfFileSystem(udf || std::string(imported.Names) == "UDF");
    if (!labelGiven && !imported.Label.empty())
      burner.SetIdVolume(imported.Label); // the writer fits it to each label's room
  }
  std::vector<velmor::SourceItem> sources;
  for (const auto &[path, isFolder] : items) // "." fills the root; other folders keep their path
    sources.push_back({path, isFolder, isFolder && path != ".", recurse});
  velmor::GatherOptions gathering;
  gathering.Stop = [] { return velmor::mkiso::Interruption() != 0; }; // passes over the rest
  gathering.StopAtLimit = true;
  // The image and its temporary file never go into the image, as other ISO tools leave out
  // their output.
  gathering.Skip = [&](const std::string &path) { return target.IsOwnFile(path); };
  const velmor::GatherResult gathered = velmor::GatherItems(burner, sources, gathering);
  const std::size_t missing = gathered.LeftOut.size() + importMissing;
  for (const velmor::LeftOutItem &item : gathered.LeftOut)
    std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::LeftOutLine(item).c_str());
  endIfInterrupted();
  if (gathered.LimitReached)
    return NoImage(paths.size(), 1);
  if (!boot.ImagePath.empty()) {
    std::string replaced;
    error = burner.SetBootImage(boot, &replaced);
    if (!error.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s\n", error.c_str());
      return NoImage(paths.size(), 1);
    }
    if (!replaced.empty())
      std::fprintf(stderr, "velmor-mkiso: %s: replaced in the image by the boot catalog\n",
                   replaced.c_str());
  }
  if (!import.ImagePath.empty() && boot.ImagePath.empty()) {
    error = velmor::KeepImportedBoot(burner, imported);
    for (const std::string &note : imported.Notes)
      std::fprintf(stderr, "velmor-mkiso: %s: %s\n", import.ImagePath.c_str(), note.c_str());
    if (!error.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s: its boot cannot be kept: %s\n",
                   import.ImagePath.c_str(), error.c_str());
      return NoImage(paths.size() + 1, 1);
    }
  }
  velmor::mkiso::HoldIfAsked("layout");
  burner.PrepareImage(true, nullptr);
  if (joliet)
    ReportRenamed(platform);
  endIfInterrupted();
  velmor::WriteFailure failure = WriteWithProgress(burner, target.WritePath(), messages);
  endIfInterrupted();
  if (failure) {
    const bool imageFailed = velmor::mkiso::BlamesTheImage(failure);
    if (imageFailed)
      failure.Path = image; // the output as it was named, not the file it is written through
    std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::FailureWords(failure).c_str());
    return imageFailed ? NoImageAt(image, "could not be written") : NoImage(paths.size(), 1);
  }
  velmor::mkiso::HoldIfAsked("commit");
  endIfInterrupted();
  if (!target.Commit(error)) {
    std::fprintf(stderr, "velmor-mkiso: %s: %s\n", image.c_str(), error.c_str());
    return NoImageAt(image, "could not be put in place");
  }
  if (missing > 0) {
    std::fprintf(stderr, "velmor-mkiso: %zu item%s missing from the image\n", missing,
                 missing == 1 ? "" : "s");
    return 1;
  }
  std::fprintf(messages, "%s\n", kDone);
  return 0;
}
