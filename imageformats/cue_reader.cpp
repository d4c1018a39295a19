// Cue sheets: FILE, TRACK, INDEX 00/01, PREGAP, POSTGAP and FLAGS over BINARY files.
//
// Times in a cue sheet count sectors from the start of the FILE they follow; the disc's
// addresses run on from one file into the next. A file's bytes are cut into sectors by the
// stride of the track they belong to, so the position of an index is found from the last index
// before it in the same file (the "anchor") and that track's stride.
#include <algorithm>

#include "descriptor_text.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

struct CueMode {
  const char *word;
  uint16_t stride;
  uint8_t userOffset;
  bool data;
};
constexpr CueMode kModes[] = {
    {"MODE1/2048", kStrideCooked, 0, true}, {"MODE1/2352", kStrideRaw, 16, true},
    {"MODE2/2352", kStrideRaw, 24, true},   {"MODE2/2336", kStrideMode2, 8, true},
    {"AUDIO", kStrideRaw, 0, false},
};

// Commands that say nothing about where sectors lie.
constexpr const char *kIgnoredCommands[] = {"REM",        "CATALOG", "TITLE",     "PERFORMER",
                                            "SONGWRITER", "ISRC",    "CDTEXTFILE"};
constexpr const char *kCueCommands[] = {"FILE",       "TRACK", "INDEX",     "PREGAP", "POSTGAP",
                                        "FLAGS",      "REM",   "CATALOG",   "TITLE",  "PERFORMER",
                                        "SONGWRITER", "ISRC",  "CDTEXTFILE"};

template <size_t N> bool OneOf(const std::string &word, const char *const (&list)[N]) {
  return std::any_of(list, list + N, [&](const char *w) { return SameWord(word, w); });
}

// Words split at blanks; a quoted word keeps its blanks and loses its quotes.
std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    if (line[at] == ' ' || line[at] == '\t') {
      ++at;
      continue;
    }
    size_t end;
    if (line[at] == '"') {
      end = line.find('"', at + 1);
      words.push_back(line.substr(at + 1, (end == std::string::npos ? line.size() : end) - at - 1));
      at = end == std::string::npos ? line.size() : end + 1;
      continue;
    }
    end = line.find_first_of(" \t", at);
    if (end == std::string::npos)
      end = line.size();
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

// "mm:ss:ff" (75 frames a second) as a count of sectors.
bool ParseMsf(const std::string &text, uint64_t *frames) {
  uint64_t part[3] = {};
  size_t at = 0;
  for (int p = 0; p < 3; ++p) {
    const size_t begin = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 3)
      part[p] = part[p] * 10 + uint64_t(text[at++] - '0');
    if (at == begin || (p < 2 && (at >= text.size() || text[at++] != ':')))
      return false;
  }
  if (at != text.size() || part[1] >= 60 || part[2] >= 75)
    return false;
  *frames = (part[0] * 60 + part[1]) * 75 + part[2];
  return true;
}

// Track and index numbers: one to three digits.
bool ParseSmallNumber(const std::string &text, uint32_t *value) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = uint32_t(std::stoul(text));
  return true;
}

struct CueFile {
  std::u16string path;
  uint64_t size = 0;
  uint32_t line = 0;
};

struct CueTrack {
  Track track;
  uint32_t line = 0; // of TRACK
  std::string numberWord;
  size_t cueFile = 0; // the file of INDEX 01
  bool has00 = false, has01 = false, ended = false;
  size_t file00 = 0;
  uint64_t frame00 = 0, frame01 = 0;
  uint32_t unstoredPregap = 0;
  uint64_t postgap = 0; // of the track's POSTGAP lines, the last at postgapLine
  uint32_t postgapLine = 0;
  std::string postgapWord;
};

// MSF 99:59:74 as a frame count.
constexpr uint64_t kLastCdFrame = (99 * 60 + 59) * 75 + 74;

class CueParser {
public:
  CueParser(ImageFiles &files, const std::u16string &path) : files_(files), path_(path) {}

  FormatError Parse(const DescriptorText &text, DiscLayout *layout) {
    utf8_ = text.utf8;
    for (size_t i = 0; i < text.lines.size() && !error_; ++i)
      OnLine(uint32_t(i + 1), Trim(text.lines[i]));
    if (!error_)
      EndFile();
    if (!error_ && tracks_.empty())
      Fail(Reason::kTruncated, uint32_t(text.lines.size()), "TRACK");
    if (!error_ && !tracks_.back().has01)
      Fail(Reason::kTruncated, tracks_.back().line, tracks_.back().numberWord);
    if (!error_)
      EndDisc();
    if (!error_)
      Fill(layout);
    return error_;
  }

private:
  struct Anchor {
    uint64_t frame = 0, byte = 0;
    uint16_t stride = 0; // 0 until a track gives one
  };

  void Fail(Reason reason, uint32_t line, const std::string &field, std::u16string file = {}) {
    error_.reason = reason;
    error_.file = file.empty() ? path_ : std::move(file);
    error_.line = line;
    error_.field = field;
  }
  // The sheet's line whose address lies past the end of the file it means.
  void FailPastEnd(uint32_t line, const std::string &field, const CueFile &file) {
    Fail(Reason::kPastFileEnd, line, field);
    error_.trackFile = file.path;
  }

  void OnLine(uint32_t line, const std::string &text) {
    if (text.empty())
      return;
    const std::vector<std::string> words = Words(text);
    const std::string &command = words[0];
    if (OneOf(command, kIgnoredCommands))
      return;
    if (SameWord(command, "FILE"))
      OnFile(line, Trim(text.substr(4)));
    else if (SameWord(command, "TRACK"))
      OnTrack(line, words);
    else if (SameWord(command, "INDEX"))
      OnIndex(line, words);
    else if (SameWord(command, "PREGAP") || SameWord(command, "POSTGAP"))
      OnGap(line, words);
    else if (SameWord(command, "FLAGS"))
      OnFlags(line, words);
    else
      Fail(Reason::kSyntax, line, command);
  }

  // FILE "name with spaces" TYPE, or FILE name with spaces TYPE: the type is the last word.
  void OnFile(uint32_t line, const std::string &rest) {
    std::string name, type;
    if (!rest.empty() && rest[0] == '"') {
      const size_t close = rest.find('"', 1);
      if (close != std::string::npos) {
        name = rest.substr(1, close - 1);
        type = Trim(rest.substr(close + 1));
      }
    } else {
      const size_t blank = rest.find_last_of(" \t");
      if (blank != std::string::npos) {
        name = Trim(rest.substr(0, blank));
        type = rest.substr(blank + 1);
      }
    }
    if (name.empty() || type.empty())
      return Fail(Reason::kSyntax, line, "FILE");
    if (SameWord(type, "MOTOROLA") || SameWord(type, "WAVE") || SameWord(type, "MP3") ||
        SameWord(type, "AIFF"))
      return Fail(Reason::kUnsupportedMode, line, type);
    if (!SameWord(type, "BINARY"))
      return Fail(Reason::kSyntax, line, type);
    EndFile();
    if (error_)
      return;
    CueFile file{ResolveName(files_, path_, name, utf8_), 0, line};
    if (!files_.Size(file.path, &file.size))
      return Fail(Reason::kMissingFile, line, name, file.path);
    cueFiles_.push_back(std::move(file));
    // A track still waiting for its INDEX 01 goes on in this file with its own sector size;
    // otherwise the next TRACK gives the size, and the last one is only kept for counting the
    // sectors of a file that no track follows.
    const bool open = !tracks_.empty() && !tracks_.back().has01;
    anchor_ = Anchor{0, 0, tracks_.empty() ? uint16_t(0) : tracks_.back().track.stride};
    strideFromNextTrack_ = !open;
    lastFrame_ = 0;
  }

  void OnTrack(uint32_t line, const std::vector<std::string> &words) {
    if (words.size() != 3 || cueFiles_.empty())
      return Fail(Reason::kSyntax, line, "TRACK");
    uint32_t number = 0;
    if (!ParseSmallNumber(words[1], &number))
      return Fail(Reason::kSyntax, line, words[1]);
    const CueMode *mode = nullptr;
    for (const CueMode &m : kModes)
      if (SameWord(words[2], m.word))
        mode = &m;
    if (mode == nullptr)
      return Fail(Reason::kUnsupportedMode, line, words[2]);
    if (!tracks_.empty() && !tracks_.back().has01)
      return Fail(Reason::kTruncated, tracks_.back().line, tracks_.back().numberWord);
    if (tracks_.size() == kLayoutMaxTracks)
      return Fail(Reason::kTooManyTracks, line, words[1]);
    const bool numbered = number >= 1 && number <= 99 &&
                          (tracks_.empty() || number == tracks_.back().track.number + 1u);
    if (!numbered)
      return Fail(Reason::kTrackOrder, line, words[1]);
    CueTrack t;
    t.track.number = uint8_t(number);
    t.track.stride = mode->stride;
    t.track.userOffset = mode->userOffset;
    t.track.controlAdr = mode->data ? kControlAdrData : kControlAdrAudio;
    t.line = line;
    t.numberWord = words[1];
    tracks_.push_back(t);
    if (strideFromNextTrack_) {
      anchor_.stride = mode->stride;
      strideFromNextTrack_ = false;
    }
  }

  uint64_t ByteAt(uint64_t frame) const {
    return anchor_.byte + (frame - anchor_.frame) * anchor_.stride;
  }

  void OnIndex(uint32_t line, const std::vector<std::string> &words) {
    uint32_t index = 0;
    uint64_t frame = 0;
    if (words.size() != 3 || tracks_.empty() || !ParseSmallNumber(words[1], &index) || index > 99)
      return Fail(Reason::kSyntax, line, words.size() > 1 ? words[1] : "INDEX");
    if (!ParseMsf(words[2], &frame))
      return Fail(Reason::kSyntax, line, words[2]);
    if (frame < lastFrame_)
      return Fail(Reason::kTrackOrder, line, words[2]);
    lastFrame_ = frame;
    CueTrack &t = tracks_.back();
    const size_t file = cueFiles_.size() - 1;
    const uint64_t byte = ByteAt(frame);
    if (index == 0) {
      if (t.has00 || t.has01)
        return Fail(Reason::kTrackOrder, line, words[1]);
      if (byte > cueFiles_[file].size)
        return FailPastEnd(line, words[2], cueFiles_[file]);
      t.has00 = true;
      t.file00 = file;
      t.frame00 = frame;
      anchor_ = Anchor{frame, byte, t.track.stride};
    } else if (index == 1) {
      if (t.has01)
        return Fail(Reason::kTrackOrder, line, words[1]);
      OnIndex01(line, words[2], t, file, frame, byte);
    }
  }

  void OnIndex01(uint32_t line, const std::string &msf, CueTrack &t, size_t file, uint64_t frame,
                 uint64_t byte) {
    const bool storedPregap = t.has00 && t.file00 == file;
    if (tracks_.size() > 1) {
      CueTrack &before = tracks_[tracks_.size() - 2];
      if (!before.ended && before.cueFile == file) {
        const uint64_t end = storedPregap ? t.frame00 : frame;
        if (end <= before.frame01)
          return Fail(Reason::kTrackOrder, line, msf);
        before.track.sectors = uint32_t(end - before.frame01);
        before.ended = true;
      }
    }
    if (byte + t.track.stride > cueFiles_[file].size)
      return FailPastEnd(line, msf, cueFiles_[file]);
    if (discBase_ + frame >= kLayoutMaxSectors)
      return Fail(Reason::kUnsupportedMode, line, msf);
    t.has01 = true;
    t.cueFile = file;
    t.frame01 = frame;
    t.track.firstLba = uint32_t(discBase_ + frame);
    t.track.fileOffset = byte;
    t.track.pregap = storedPregap ? uint32_t(frame - t.frame00) : t.unstoredPregap;
    t.track.pregapInFile = storedPregap;
    anchor_ = Anchor{frame, byte, t.track.stride};
  }

  // PREGAP: sectors before the track that no file holds. POSTGAP: the same after the track.
  // Both move every later address on; the last track's POSTGAP moves the lead-out.
  void OnGap(uint32_t line, const std::vector<std::string> &words) {
    uint64_t frames = 0;
    if (words.size() != 2 || tracks_.empty())
      return Fail(Reason::kSyntax, line, words[0]);
    if (!ParseMsf(words[1], &frames))
      return Fail(Reason::kSyntax, line, words[1]);
    CueTrack &t = tracks_.back();
    const bool pre = SameWord(words[0], "PREGAP");
    if (pre ? t.has00 || t.has01 : !t.has01)
      return Fail(Reason::kSyntax, line, words[0]);
    if (pre) {
      t.unstoredPregap += uint32_t(frames);
    } else {
      t.postgap += frames;
      t.postgapLine = line;
      t.postgapWord = words[1];
    }
    discBase_ += frames;
  }

  // The control bits besides the data bit, which the mode alone decides.
  void OnFlags(uint32_t line, const std::vector<std::string> &words) {
    if (tracks_.empty())
      return Fail(Reason::kSyntax, line, words[0]);
    for (size_t i = 1; i < words.size(); ++i) {
      uint8_t bit;
      if (SameWord(words[i], "PRE"))
        bit = 0x01;
      else if (SameWord(words[i], "DCP"))
        bit = 0x02;
      else if (SameWord(words[i], "4CH"))
        bit = 0x08;
      else if (SameWord(words[i], "SCMS"))
        bit = 0; // serial copy management lives in the subchannel, not in the control nibble
      else
        return Fail(Reason::kSyntax, line, words[i]);
      tracks_.back().track.controlAdr |= bit;
    }
  }

  // The tracks still open in the current file end with it; the next file's addresses follow
  // its last whole sector.
  void EndFile() {
    if (cueFiles_.empty())
      return;
    const CueFile &file = cueFiles_.back();
    if (anchor_.stride == 0)
      return Fail(Reason::kSyntax, file.line, "FILE");
    const uint64_t frames = anchor_.frame + (file.size - anchor_.byte) / anchor_.stride;
    for (CueTrack &t : tracks_)
      if (t.has01 && !t.ended && t.cueFile == cueFiles_.size() - 1) {
        if (frames <= t.frame01)
          return FailPastEnd(t.line, t.numberWord, file);
        t.track.sectors = uint32_t(frames - t.frame01);
        t.ended = true;
      }
    discBase_ += frames;
    if (discBase_ > kLayoutMaxSectors)
      Fail(Reason::kUnsupportedMode, file.line, "FILE", file.path);
  }

  // The last track keeps its POSTGAP: the sectors a drive serves before the lead-out. Between
  // tracks a POSTGAP is a gap that belongs to neither, as the addresses alone say.
  // A CD's table of contents holds addresses up to 99:59:74. A disc with an audio track, raw
  // sectors or gaps is a CD and must end there; one data track of 2,048-byte sectors under a
  // sheet (a DVD's image) need not.
  void EndDisc() {
    CueTrack &last = tracks_.back();
    if (last.postgap > UINT16_MAX)
      return Fail(Reason::kPostgapTooLong, last.postgapLine, last.postgapWord);
    last.track.postgap = uint16_t(last.postgap);
    bool cd = false;
    for (const CueTrack &t : tracks_)
      cd = cd || !IsDataTrack(t.track.controlAdr) || t.track.stride != kStrideCooked ||
           t.track.pregap > 0 || t.postgap > 0;
    const uint64_t leadOut =
        uint64_t(last.track.firstLba) + last.track.sectors + last.track.postgap;
    if (cd && kSectorsBeforeLba0 + leadOut > kLastCdFrame)
      Fail(Reason::kLongerThanCd, 0, {});
  }

  // Only the files that hold a track go into the layout.
  void Fill(DiscLayout *layout) {
    layout->files.clear();
    layout->tracks.clear();
    std::vector<int> used(cueFiles_.size(), -1);
    for (CueTrack &t : tracks_) {
      if (used[t.cueFile] < 0) {
        used[t.cueFile] = int(layout->files.size());
        layout->files.push_back(cueFiles_[t.cueFile].path);
      }
      t.track.file = uint32_t(used[t.cueFile]);
      layout->tracks.push_back(t.track);
    }
  }

  ImageFiles &files_;
  const std::u16string &path_;
  bool utf8_ = false;
  std::vector<CueFile> cueFiles_;
  std::vector<CueTrack> tracks_;
  Anchor anchor_;
  bool strideFromNextTrack_ = false;
  uint64_t lastFrame_ = 0;
  uint64_t discBase_ = 0; // the disc address of the current file's first sector
  FormatError error_;
};

// Whether the first meaningful line is a cue command, and whether a FILE and a TRACK appear.
struct CueShape {
  bool cueFirst = false, file = false, track = false;
};

CueShape ShapeOf(ImageFiles &files, const std::u16string &path) {
  CueShape shape;
  DescriptorText text;
  if (!ReadDescriptorText(files, path, &text))
    return shape;
  bool first = true;
  for (const std::string &line : text.lines) {
    const std::vector<std::string> words = Words(Trim(line));
    if (words.empty())
      continue;
    if (first && !OneOf(words[0], kCueCommands))
      return shape;
    first = false;
    shape.cueFirst = true;
    shape.file = shape.file || SameWord(words[0], "FILE");
    shape.track = shape.track || SameWord(words[0], "TRACK");
  }
  return shape;
}

} // namespace

// A sheet with a mistake further down is still read as one, so its error reaches the user.
bool IsCueSheet(ImageFiles &files, const std::u16string &path) {
  const CueShape shape = ShapeOf(files, path);
  return shape.cueFirst && shape.file && shape.track;
}

bool StartsLikeCueSheet(ImageFiles &files, const std::u16string &path) {
  return ShapeOf(files, path).cueFirst;
}

FormatError ReadCueSheet(ImageFiles &files, const std::u16string &path, DiscLayout *layout) {
  DescriptorText text;
  if (FormatError e = ReadDescriptorOrFail(files, path, &text))
    return e;
  return CueParser(files, path).Parse(text, layout);
}

} // namespace velmor::formats
