// CloneCD control files: the disc's table of contents as [Entry n] sections, each track's mode
// in [TRACK n], over an IMG of raw 2,352-byte sectors from block 0 on. The SUB file with the
// subchannel is not needed to serve the tracks and is not read.
#include <algorithm>
#include <map>

#include "descriptor_text.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

struct Value {
  std::string key; // as written
  std::string text;
  uint32_t line = 0;
};

struct Section {
  std::string name; // as written, between the brackets
  uint32_t line = 0;
  std::map<std::string, Value> keys; // key names upper-cased
};

std::string Upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z')
      c = char(c - 'a' + 'A');
  return s;
}

// An entry of the table of contents that gives a track's start or the lead-out.
struct TocEntry {
  const Section *section = nullptr;
  uint32_t point = 0;
  int64_t lba = 0;
  int64_t control = -1;        // -1: not given
  const char *lbaKey = "PLBA"; // the key that gave the address
};

class CcdParser {
public:
  CcdParser(ImageFiles &files, const std::u16string &path) : files_(files), path_(path) {}

  FormatError Parse(const DescriptorText &text, DiscLayout *layout) {
    if (!ReadSections(text) || !CheckDisc() || !ReadEntries())
      return error_;
    std::vector<Track> tracks;
    for (size_t i = 0; i < entries_.size(); ++i) {
      Track t;
      if (!MakeTrack(entries_[i], &t))
        return error_;
      tracks.push_back(t);
    }
    // A track runs to the next one's pregap, the last to the lead-out.
    for (size_t i = 0; i < tracks.size(); ++i) {
      const int64_t end = i + 1 < tracks.size()
                              ? int64_t(tracks[i + 1].firstLba) - tracks[i + 1].pregap
                              : leadOut_.lba;
      const TocEntry &next = i + 1 < entries_.size() ? entries_[i + 1] : leadOut_;
      if (end <= int64_t(tracks[i].firstLba)) {
        Fail(Reason::kTrackOrder, *next.section, next.lbaKey);
        return error_;
      }
      tracks[i].sectors = uint32_t(end - tracks[i].firstLba);
    }
    const std::u16string image = WithExtension(path_, u".img");
    uint64_t size = 0;
    if (!files_.Size(image, &size)) {
      error_.reason = Reason::kMissingFile;
      error_.file = image;
      return error_;
    }
    if (uint64_t(leadOut_.lba) * kStrideRaw > size) {
      Fail(Reason::kTruncated, *leadOut_.section, leadOut_.lbaKey);
      error_.file = image;
      return error_;
    }
    layout->files = {image};
    layout->tracks = std::move(tracks);
    return error_;
  }

private:
  void Fail(Reason reason, uint32_t line, const std::string &field) {
    error_.reason = reason;
    error_.file = path_;
    error_.line = line;
    error_.field = field;
  }
  void Fail(Reason reason, const Section &section, const std::string &key) {
    auto it = section.keys.find(Upper(key));
    const bool found = it != section.keys.end();
    Fail(reason, found ? it->second.line : section.line,
         "[" + section.name + "] " + (found ? it->second.key : key));
  }

  bool ReadSections(const DescriptorText &text) {
    for (size_t i = 0; i < text.lines.size(); ++i) {
      const uint32_t line = uint32_t(i + 1);
      const std::string s = Trim(text.lines[i]);
      if (s.empty() || s[0] == ';')
        continue;
      if (s[0] == '[' && s.back() == ']') {
        sections_.push_back(Section{Trim(s.substr(1, s.size() - 2)), line, {}});
        continue;
      }
      const size_t equals = s.find('=');
      if (equals == std::string::npos || sections_.empty()) {
        Fail(Reason::kSyntax, line, s);
        return false;
      }
      const std::string key = Trim(s.substr(0, equals));
      sections_.back().keys[Upper(key)] = {key, Trim(s.substr(equals + 1)), line};
    }
    return true;
  }

  const Section *Find(const std::string &name) const {
    for (const Section &s : sections_)
      if (Upper(s.name) == Upper(name))
        return &s;
    return nullptr;
  }

  // The key's number; `*present` false when the key is missing (then only an error if
  // `required`). A value that is not a number is an error.
  bool Number(const Section &section, const std::string &key, bool required, int64_t *value,
              bool *present = nullptr) {
    auto it = section.keys.find(Upper(key));
    if (present != nullptr)
      *present = it != section.keys.end();
    if (it == section.keys.end()) {
      if (required)
        Fail(Reason::kTruncated, section, key);
      return !required;
    }
    if (!ParseNumber(it->second.text, value)) {
      Fail(Reason::kSyntax, section, key);
      return false;
    }
    return true;
  }

  bool CheckDisc() {
    const Section *disc = Find("Disc");
    if (disc == nullptr) {
      Fail(Reason::kTruncated, uint32_t(0), "[Disc]");
      return false;
    }
    int64_t sessions = 1, scrambled = 0;
    if (!Number(*disc, "Sessions", false, &sessions) ||
        !Number(*disc, "DataTracksScrambled", false, &scrambled))
      return false;
    if (sessions != 1) {
      Fail(Reason::kUnsupportedMode, *disc, "Sessions");
      return false;
    }
    if (scrambled != 0) {
      Fail(Reason::kUnsupportedMode, *disc, "DataTracksScrambled");
      return false;
    }
    return true;
  }

  bool ReadEntries() {
    for (const Section &s : sections_) {
      if (Upper(s.name).rfind("ENTRY ", 0) != 0)
        continue;
      TocEntry e;
      e.section = &s;
      int64_t point = 0, session = 1, adr = 1;
      bool hasPlba = false;
      if (!Number(s, "Point", true, &point) || !Number(s, "Session", false, &session) ||
          !Number(s, "ADR", false, &adr) || !Number(s, "Control", false, &e.control) ||
          !Number(s, "PLBA", false, &e.lba, &hasPlba))
        return false;
      if (session != 1) {
        Fail(Reason::kUnsupportedMode, s, "Session");
        return false;
      }
      const bool track = point >= 1 && point <= 99;
      if (adr != 1 || (!track && point != 0xA2))
        continue; // the first and last track numbers, and other kinds of entry
      if (!hasPlba) {
        int64_t m = 0, sec = 0, f = 0;
        if (!Number(s, "PMin", true, &m) || !Number(s, "PSec", true, &sec) ||
            !Number(s, "PFrame", true, &f))
          return false;
        e.lba = (m * 60 + sec) * 75 + f - kSectorsBeforeLba0;
        e.lbaKey = "PMin";
      }
      if (e.lba < 0 || e.lba >= kLayoutMaxSectors) {
        Fail(Reason::kTrackOrder, s, e.lbaKey);
        return false;
      }
      e.point = uint32_t(point);
      if (track)
        entries_.push_back(e);
      else
        leadOut_ = e;
    }
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const TocEntry &a, const TocEntry &b) { return a.point < b.point; });
    if (entries_.empty() || leadOut_.section == nullptr) {
      Fail(Reason::kTruncated, uint32_t(0),
           entries_.empty() ? "[Entry] Point" : "[Entry] Point=0xa2");
      return false;
    }
    if (entries_.size() > kLayoutMaxTracks) {
      Fail(Reason::kTooManyTracks, *entries_.back().section, "Point");
      return false;
    }
    for (size_t i = 1; i < entries_.size(); ++i) {
      if (entries_[i].point != entries_[i - 1].point + 1) {
        Fail(Reason::kTrackOrder, *entries_[i].section, "Point");
        return false;
      }
    }
    return true;
  }

  bool MakeTrack(const TocEntry &e, Track *t) {
    t->number = uint8_t(e.point);
    t->firstLba = uint32_t(e.lba);
    t->fileOffset = uint64_t(e.lba) * kStrideRaw;
    t->stride = kStrideRaw;
    const Section *info = Find("TRACK " + std::to_string(e.point));
    int64_t mode = -1, index0 = 0;
    bool hasIndex0 = false;
    if (info != nullptr && (!Number(*info, "MODE", false, &mode) ||
                            !Number(*info, "INDEX 0", false, &index0, &hasIndex0)))
      return false;
    if (mode < 0 && e.control >= 0 && !IsDataTrack(uint8_t(e.control)))
      mode = 0; // an audio track needs no mode
    const std::string where = "TRACK " + std::to_string(e.point);
    if (mode < 0) {
      Fail(Reason::kTruncated, info != nullptr ? info->line : e.section->line,
           "[" + where + "] MODE");
      return false;
    }
    if (mode > 2) {
      Fail(Reason::kUnsupportedMode, *info, "MODE");
      return false;
    }
    const bool data = mode != 0;
    if (e.control >= 0 && IsDataTrack(uint8_t(e.control)) != data) {
      Fail(Reason::kSyntax, *e.section, "Control");
      return false;
    }
    t->userOffset = uint8_t(mode == 0 ? 0 : mode == 1 ? 16 : 24);
    t->controlAdr =
        uint8_t(kAdrPosition | (e.control >= 0 ? e.control & 0x0B : 0) | (data ? kControlData : 0));
    if (hasIndex0) {
      if (index0 < 0 || index0 > e.lba) {
        Fail(Reason::kTrackOrder, *info, "INDEX 0");
        return false;
      }
      t->pregap = uint32_t(e.lba - index0);
      t->pregapInFile = true;
    }
    return true;
  }

  ImageFiles &files_;
  const std::u16string &path_;
  std::vector<Section> sections_;
  std::vector<TocEntry> entries_;
  TocEntry leadOut_;
  FormatError error_;
};

} // namespace

bool IsCloneCdControl(ImageFiles &files, const std::u16string &path) {
  DescriptorText text;
  if (!ReadDescriptorText(files, path, &text))
    return false;
  for (const std::string &line : text.lines) {
    const std::string s = Trim(line);
    if (!s.empty() && s[0] != ';')
      return SameWord(s, "[CloneCD]");
  }
  return false;
}

FormatError ReadCloneCdControl(ImageFiles &files, const std::u16string &path, DiscLayout *layout) {
  DescriptorText text;
  if (FormatError e = ReadDescriptorOrFail(files, path, &text))
    return e;
  return CcdParser(files, path).Parse(text, layout);
}

} // namespace velmor::formats
