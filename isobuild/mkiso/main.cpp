// velmor-mkiso: builds an ISO 9660 image with Joliet names from files and folders, making the
// same calls as the image-from-files window: files go into the image's root, folders keep their
// path and are walked with their subfolders. Exit status 0 only when the image holds everything
// named; whatever is left out is reported on standard error. Four steps: the arguments are read
// (command_line.*), checked (nothing is written before every refusal), the image built into a
// temporary file and committed in place of the output.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "command_line.h"
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

// What the checks hand the build: the sources, each with whether it is a folder.
struct Checked {
  std::vector<std::pair<std::string, bool>> Items;
};

// The inputs named on the command line: the sources and the imported image.
std::size_t Named(const velmor::mkiso::Request &r) {
  return r.Paths.size() + (r.Import.ImagePath.empty() ? 0 : 1);
}

int Usage(int status) {
  velmor::mkiso::PrintUsage(stderr);
  return status;
}

// Everything that can be refused before the output is touched: the boot flags, the label, the
// sources, the paths in the image. Returns 0 or the exit status (the reason already told).
int Check(velmor::mkiso::Request &r, velmor::Platform &platform, const velmor::CharTable &chars,
          Checked &out) {
  const std::string flagsProblem = velmor::mkiso::FlagsProblem(r);
  if (!flagsProblem.empty()) {
    std::fprintf(stderr, "velmor-mkiso: %s\n", flagsProblem.c_str());
    return NoImage(r.Paths.size(), 2);
  }
  r.Label = Trim(r.Label);
  const std::size_t labelUnits = platform.AnsiToUtf16(r.Label).size();
  if (r.Label.size() > kMaxIsoLabelBytes || (r.Joliet && labelUnits > kMaxJolietLabelUnits)) {
    std::fprintf(stderr,
                 "velmor-mkiso: volume label \"%s\" is too long (%zu bytes, %zu UCS-2 units): "
                 "at most %zu bytes fit the ISO 9660 label and %zu UCS-2 units the Joliet "
                 "label\n",
                 r.Label.c_str(), r.Label.size(), labelUnits, kMaxIsoLabelBytes,
                 kMaxJolietLabelUnits);
    return NoImage(r.Paths.size(), 2);
  }
  for (const std::string &raw : r.Paths) {
    std::string path;
    if (!NormalizePath(raw, chars, path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: paths with \"..\" are not allowed\n", raw.c_str());
      return NoImage(r.Paths.size(), 2);
    }
    velmor::ListingRecord record;
    const bool isRoot =
        path == "/" || path == "." || (path.size() >= 2 && path.size() <= 3 && path[1] == ':');
    if (!isRoot && !platform.Stat(path, record)) {
      std::fprintf(stderr, "velmor-mkiso: %s: no such file or directory\n", raw.c_str());
      return NoImage(r.Paths.size(), 1);
    }
    if (!isRoot && record.Refused()) {
      std::fprintf(stderr, "velmor-mkiso: %s: %s\n", raw.c_str(),
                   velmor::mkiso::LeftOutWords({raw, record.Refusal}).c_str());
      return NoImage(r.Paths.size(), 1);
    }
    out.Items.emplace_back(path, isRoot || record.IsFolder());
  }
  std::vector<std::string *> inImage{&r.Catalog};
  for (velmor::mkiso::BootRequest &entry : r.Boot)
    inImage.push_back(&entry.Options.ImagePath);
  for (std::string *path : inImage) {
    if (!path->empty() && !NormalizePath(*path, chars, *path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: paths with \"..\" are not allowed\n", path->c_str());
      return NoImage(r.Paths.size(), 2);
    }
  }
  return 0;
}

// The boot entries and the hybrid system area, once the tree is gathered. Returns 0 or the exit
// status.
int SetUpBoot(velmor::TKavoBurner &burner, const velmor::mkiso::Request &r,
              velmor::ImportResult &imported) {
  if (!r.Import.ImagePath.empty() && r.Boot.empty()) {
    const std::string error = velmor::KeepImportedBoot(burner, imported);
    for (const std::string &note : imported.Notes)
      std::fprintf(stderr, "velmor-mkiso: %s: %s\n", r.Import.ImagePath.c_str(), note.c_str());
    if (!error.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s: its boot cannot be kept: %s\n",
                   r.Import.ImagePath.c_str(), error.c_str());
      return NoImage(Named(r), 1);
    }
  }
  for (std::size_t i = 0; i < r.Boot.size(); ++i) {
    velmor::BootOptions options = r.Boot[i].Options;
    std::string replaced, error;
    if (i == 0) {
      options.CatalogPath = r.Catalog;
      error = burner.SetBootImage(options, &replaced);
    } else {
      error = burner.AddBootImage(options);
    }
    if (!error.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s\n", error.c_str());
      return NoImage(r.Paths.size(), 1);
    }
    if (!replaced.empty())
      std::fprintf(stderr, "velmor-mkiso: %s: replaced in the image by the boot catalog\n",
                   replaced.c_str());
  }
  if (!r.HybridMbr.empty()) {
    const std::string error = burner.SetHybrid(r.HybridMbr, r.GptBasdat);
    if (!error.empty()) {
      std::fprintf(stderr, "velmor-mkiso: %s\n", error.c_str());
      return NoImage(r.Paths.size(), 1);
    }
  }
  return 0;
}

// The imported image's tree, as the compilation to start from, before the sources are gathered.
// Returns 0 or the exit status.
int Import(velmor::TKavoBurner &burner, const velmor::mkiso::Request &r, velmor::Platform &platform,
           velmor::ImportResult &imported) {
  if (r.Import.ImagePath.empty())
    return 0;
  imported = velmor::ImportImage(burner, platform, r.Import);
  if (!imported.Fault.empty()) {
    std::fprintf(stderr, "velmor-mkiso: %s\n", imported.Fault.c_str());
    return NoImage(Named(r), 1);
  }
  for (const velmor::LeftOutItem &item : imported.LeftOut)
    std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::LeftOutLine(item).c_str());
  if (imported.LimitReached)
    return NoImage(Named(r), 1);
  // An image read through its UDF tree keeps it: its files may need it.
  burner.SetUdfFileSystem(r.Udf || std::string(imported.Names) == "UDF");
  if (!r.LabelGiven && !imported.Label.empty())
    burner.SetIdVolume(imported.Label); // the writer fits it to each label's room
  return 0;
}

// Gathers the tree, sets up its boot and writes the image to the target's temporary file.
// Returns 0 or the exit status; `missing` is what the tree left out.
int Build(const velmor::mkiso::Request &r, const Checked &checked, velmor::Platform &platform,
          velmor::mkiso::ImageTarget &target, std::FILE *messages, std::size_t &missing,
          const std::function<void()> &endIfInterrupted) {
  velmor::TKavoBurner burner(platform);
  // Sized to the tree: the arrays grow as it is gathered, up to what an image can number.
  burner.NewCompilation(kMaxEntries, kMaxDirectories);
  burner.SetJolietFileSystem(r.Joliet);
  burner.SetUdfFileSystem(r.Udf);
  burner.SetIdVolume(r.Label);
  velmor::ImportResult imported;
  if (const int status = Import(burner, r, platform, imported))
    return status;
  std::vector<velmor::SourceItem> sources;
  for (const auto &[path, isFolder] : checked.Items) // "." fills the root; others keep their path
    sources.push_back({path, isFolder, isFolder && path != ".", r.Recurse});
  velmor::GatherOptions gathering;
  gathering.Stop = [] { return velmor::mkiso::Interruption() != 0; }; // passes over the rest
  gathering.StopAtLimit = true;
  // The image and its temporary file never go into the image, as other ISO tools leave out
  // their output.
  gathering.Skip = [&](const std::string &path) { return target.IsOwnFile(path); };
  const velmor::GatherResult gathered = velmor::GatherItems(burner, sources, gathering);
  missing = gathered.LeftOut.size() + imported.LeftOut.size();
  for (const velmor::LeftOutItem &item : gathered.LeftOut)
    std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::LeftOutLine(item).c_str());
  endIfInterrupted();
  if (gathered.LimitReached)
    return NoImage(Named(r), 1);
  if (const int status = SetUpBoot(burner, r, imported))
    return status;
  velmor::mkiso::HoldIfAsked("layout");
  burner.PrepareImage(true, nullptr);
  if (r.Joliet)
    ReportRenamed(platform);
  endIfInterrupted();
  velmor::WriteFailure failure = WriteWithProgress(burner, target.WritePath(), messages);
  endIfInterrupted();
  if (failure) {
    const bool imageFailed = velmor::mkiso::BlamesTheImage(failure);
    if (imageFailed)
      failure.Path = r.Image; // the output as it was named, not the file it is written through
    std::fprintf(stderr, "velmor-mkiso: %s\n", velmor::mkiso::FailureWords(failure).c_str());
    return imageFailed ? NoImageAt(r.Image, "could not be written") : NoImage(r.Paths.size(), 1);
  }
  return 0;
}

// Puts the finished image in place of the output.
int Commit(const velmor::mkiso::Request &r, velmor::mkiso::ImageTarget &target, std::FILE *messages,
           std::size_t missing, const std::function<void()> &endIfInterrupted) {
  velmor::mkiso::HoldIfAsked("commit");
  endIfInterrupted();
  std::string error;
  if (!target.Commit(error)) {
    std::fprintf(stderr, "velmor-mkiso: %s: %s\n", r.Image.c_str(), error.c_str());
    return NoImageAt(r.Image, "could not be put in place");
  }
  if (missing > 0) {
    std::fprintf(stderr, "velmor-mkiso: %zu item%s missing from the image\n", missing,
                 missing == 1 ? "" : "s");
    return 1;
  }
  std::fprintf(messages, "%s\n", kDone);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  velmor::mkiso::Request request;
  request.Label = DefaultLabel();
  if (!velmor::mkiso::ParseArguments(argc, argv, request))
    return Usage(2);
  if (request.Help)
    return Usage(0);
  if (request.Image.empty() || (request.Paths.empty() && request.Import.ImagePath.empty()))
    return Usage(2);
  velmor::mkiso::CatchInterrupts();
  velmor::mkiso::CommandLinePlatform platform(velmor::NativePlatform());
  const velmor::CharTable chars(platform);
  Checked checked;
  if (const int status = Check(request, platform, chars, checked))
    return status;

  // Nothing at -o changes until the image is finished.
  velmor::mkiso::ImageTarget target;
  std::string error;
  if (!target.Open(request.Image, error)) {
    std::fprintf(stderr, "velmor-mkiso: %s: %s\n", request.Image.c_str(), error.c_str());
    return NoImageAt(request.Image, "cannot be written");
  }
  for (const auto &[path, isFolder] : checked.Items)
    if (!isFolder && target.IsTarget(path)) {
      std::fprintf(stderr, "velmor-mkiso: %s: the output is this input file\n", path.c_str());
      return NoImageAt(request.Image, "would replace an input");
    }
  if (!request.Import.ImagePath.empty() && target.IsTarget(request.Import.ImagePath)) {
    std::fprintf(stderr, "velmor-mkiso: %s: the output is the image being imported\n",
                 request.Import.ImagePath.c_str());
    return NoImageAt(request.Image, "would replace an input");
  }
  const bool toStandardOutput =
      target.GetKind() == velmor::mkiso::ImageTarget::Kind::StandardOutput;
  std::FILE *const messages = toStandardOutput ? stderr : stdout;
  // Between the steps of the build: an interruption removes what was made and ends the process.
  const std::function<void()> endIfInterrupted = [&]() {
    if (velmor::mkiso::Interruption() == 0)
      return;
    target.Discard();
    // Nothing named is missing: the build was stopped.
    std::fprintf(stderr, "velmor-mkiso: interrupted; no image written\n");
    velmor::mkiso::EndAsInterrupted();
  };
  std::size_t missing = 0;
  if (const int status =
          Build(request, checked, platform, target, messages, missing, endIfInterrupted))
    return status;
  return Commit(request, target, messages, missing, endIfInterrupted);
}
