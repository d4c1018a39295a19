#include "DiscPlan.h"

#include <cstdio>
#include <cstring>

namespace velmor {
namespace {

constexpr std::uint32_t kBlocksBeforeLba0 = 150; // MSF 00:02:00 is block 0
constexpr std::uint8_t kControlData = 0x04;

std::string Two(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02u", value % 100);
  return text;
}

// A count of blocks as the cue sheet's "mm:ss:ff".
std::string Msf(std::uint32_t blocks) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", unsigned(blocks / (75 * 60)),
                unsigned(blocks / 75 % 60), unsigned(blocks % 75));
  return text;
}

const char *ModeWord(TrackForm form) {
  switch (form) {
  case TrackForm::kAudio:
    return "AUDIO";
  case TrackForm::kMode1:
    return "MODE1/2352";
  case TrackForm::kMode2:
    return "MODE2/2352";
  case TrackForm::kCooked:
    break;
  }
  return "MODE1/2048";
}

std::uint8_t Bcd(std::uint32_t value) { return std::uint8_t(value / 10 << 4 | value % 10); }

} // namespace

bool ParseToc(const std::uint8_t *bytes, std::size_t size, DiscToc *toc) {
  if (size < 4)
    return false;
  const std::size_t length = std::size_t(bytes[0]) << 8 | bytes[1];
  const std::size_t end = length + 2 < size ? length + 2 : size;
  toc->tracks.clear();
  toc->leadOut = 0;
  for (std::size_t at = 4; at + 8 <= end; at += 8) {
    const std::uint8_t *r = bytes + at;
    const std::uint32_t frames = (std::uint32_t(r[5]) * 60 + r[6]) * 75 + r[7];
    if (frames < kBlocksBeforeLba0)
      return false;
    const std::uint32_t lba = frames - kBlocksBeforeLba0;
    if (!toc->tracks.empty() && lba <= toc->tracks.back().start)
      return false;
    if (r[2] == 0xAA) {
      toc->leadOut = lba;
      return !toc->tracks.empty();
    }
    TocTrack track;
    track.number = r[2];
    track.control = r[1] & 0x0F;
    track.start = lba;
    toc->tracks.push_back(track);
  }
  return false;
}

TrackForm FormOfRawSector(const std::uint8_t *sector) {
  return sector[15] == 2 ? TrackForm::kMode2 : TrackForm::kMode1;
}

std::uint64_t Iso9660VolumeBytes(const std::uint8_t *sector16) {
  if (sector16[0] != 1 || std::memcmp(sector16 + 1, "CD001", 5) != 0)
    return 0;
  const std::uint32_t blocks = std::uint32_t(sector16[80]) | std::uint32_t(sector16[81]) << 8 |
                               std::uint32_t(sector16[82]) << 16 |
                               std::uint32_t(sector16[83]) << 24;
  const std::uint32_t blockSize = std::uint32_t(sector16[128]) | std::uint32_t(sector16[129]) << 8;
  return std::uint64_t(blocks) * blockSize;
}

bool IsPlainDataDisc(const DiscToc &toc, TrackForm firstForm) {
  return toc.tracks.size() == 1 && (toc.tracks[0].control & kControlData) &&
         firstForm != TrackForm::kMode2;
}

std::vector<PlannedTrack> PlanTracks(const DiscToc &toc, const std::vector<TrackForm> &forms,
                                     const std::string &base,
                                     const std::vector<std::uint32_t> &pregaps) {
  const auto fileStart = [&](std::size_t i) {
    const std::uint32_t start = toc.tracks[i].start;
    if (i == 0)
      return std::uint32_t(0);
    const std::uint32_t room = start - toc.tracks[i - 1].start - 1;
    const std::uint32_t gap = i < pregaps.size() ? pregaps[i] : 0;
    return start - (gap < room ? gap : room);
  };
  std::vector<PlannedTrack> plan;
  for (std::size_t i = 0; i < toc.tracks.size(); ++i) {
    PlannedTrack t;
    t.toc = toc.tracks[i];
    t.form = i < forms.size() ? forms[i] : TrackForm::kAudio;
    t.first = fileStart(i);
    const std::uint32_t end = i + 1 < toc.tracks.size() ? fileStart(i + 1) : toc.leadOut;
    t.sectors = end - t.first;
    t.file =
        toc.tracks.size() == 1 ? base + ".bin" : base + " (Track " + Two(t.toc.number) + ").bin";
    plan.push_back(t);
  }
  return plan;
}

std::string CueSheetText(const std::vector<PlannedTrack> &tracks) {
  std::string text;
  for (const PlannedTrack &t : tracks) {
    text += "FILE \"" + t.file + "\" BINARY\r\n";
    text += "  TRACK " + Two(t.toc.number) + " " + ModeWord(t.form) + "\r\n";
    std::string flags;
    if (t.toc.control & 0x02)
      flags += " DCP";
    if (t.toc.control & 0x08)
      flags += " 4CH";
    if (t.toc.control & 0x01)
      flags += " PRE";
    if (!flags.empty())
      text += "    FLAGS" + flags + "\r\n";
    if (t.toc.start > t.first)
      text += "    INDEX 00 00:00:00\r\n";
    text += "    INDEX 01 " + Msf(t.toc.start - t.first) + "\r\n";
  }
  return text;
}

std::string Sha1ListText(const std::vector<FileSum> &sums) {
  std::string text;
  for (const FileSum &s : sums)
    text += s.sha1 + "  " + s.name + "\n";
  return text;
}

void FillUnreadableSector(TrackForm form, std::uint32_t lba, std::uint8_t *sector) {
  std::memset(sector, 0, form == TrackForm::kCooked ? kCookedSector : kRawSector);
  if (form == TrackForm::kAudio || form == TrackForm::kCooked)
    return;
  std::memset(sector + 1, 0xFF, 10);
  const std::uint32_t frames = lba + kBlocksBeforeLba0;
  sector[12] = Bcd(frames / (75 * 60));
  sector[13] = Bcd(frames / 75 % 60);
  sector[14] = Bcd(frames % 75);
  sector[15] = form == TrackForm::kMode2 ? 2 : 1;
}

} // namespace velmor
