#include "gather_items.h"

#include <utility>

namespace velmor {

namespace {

// Gives the burner's hooks back whatever way the gathering ends.
class HooksLent {
public:
  explicit HooksLent(TKavoBurner &burner)
      : burner_(burner), addFile_(std::move(burner.OnAddFile)), addDir_(std::move(burner.OnAddDir)),
        leftOut_(std::move(burner.OnLeftOut)) {}
  ~HooksLent() {
    burner_.OnAddFile = std::move(addFile_);
    burner_.OnAddDir = std::move(addDir_);
    burner_.OnLeftOut = std::move(leftOut_);
  }
  HooksLent(const HooksLent &) = delete;
  HooksLent &operator=(const HooksLent &) = delete;

private:
  TKavoBurner &burner_;
  TAddFileEvent addFile_;
  TAddDirEvent addDir_;
  TLeftOutEvent leftOut_;
};

void Note(GatherResult &result, const LeftOutItem &item) {
  if (!result.LeftOut.empty() && result.LeftOut.back().Path == item.Path)
    return; // one line an item, however many times it was refused
  result.LeftOut.push_back(item);
}

} // namespace

GatherResult GatherItems(TKavoBurner &Burner, const std::vector<SourceItem> &Items,
                         const GatherOptions &Options) {
  GatherResult result;
  HooksLent lent(Burner);
  const auto stop = [&] {
    if (!result.Stopped && Options.Stop && Options.Stop())
      result.Stopped = true;
    return result.Stopped;
  };
  Burner.OnLeftOut = [&](TKavoBurner *, const LeftOutItem &item) { Note(result, item); };
  Burner.OnAddDir = [&](TKavoBurner *, std::string &, std::string &, bool &skip) {
    skip = skip || stop();
  };
  Burner.OnAddFile = [&](TKavoBurner *, const std::string &path, std::string &, std::string &,
                         TDateTime &, std::uint32_t, std::int64_t, bool &skip) {
    skip = skip || stop() || (Options.Skip && Options.Skip(path));
    if (!skip && Options.FilesGathered)
      Options.FilesGathered->fetch_add(1, std::memory_order_relaxed);
  };
  for (const SourceItem &item : Items) {
    if (stop())
      break;
    const std::size_t noted = result.LeftOut.size();
    const std::int32_t inserted = item.Folder
                                      ? Burner.InsertFolder("\\", item.Path, false, item.KeepPath,
                                                            item.Recursive, kAllAttributes, "*.*")
                                      : Burner.InsertFile("\\", item.Path, item.KeepPath);
    if (inserted < 0)
      Note(result, {item.Path, LeftOutReason::kNotFound});
    else if (inserted == 0 && !Burner.LimitReached() && !result.Stopped &&
             result.LeftOut.size() == noted)
      Note(result, {item.Path, LeftOutReason::kNoPlace}); // the tree could not make its folder
    if (Burner.LimitReached()) {
      result.LimitReached = true;
      LeftOutItem limit = Burner.LimitItem();
      limit.Path = item.Path;
      if (!result.LeftOut.empty() && result.LeftOut.back().Path == item.Path)
        result.LeftOut.back() = limit; // the limit says more than what came before
      else
        result.LeftOut.push_back(limit);
      if (Options.StopAtLimit)
        break;
    }
  }
  return result;
}

} // namespace velmor
