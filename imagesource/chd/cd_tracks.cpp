// CHT2 (and the older CHTR, without gaps) metadata: "TRACK:1 TYPE:MODE1_RAW SUBTYPE:NONE
// FRAMES:300 PREGAP:0 PGTYPE:MODE1 PGSUB:NONE POSTGAP:0". A PGTYPE starting with 'V' means the
// pregap's sectors are stored, as the first of FRAMES. chdman pads each track's frames to a
// multiple of four in the CHD.
#include "cd_tracks.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "big_endian.h"

namespace velmor::imagesource::chd {
namespace {

constexpr uint32_t kTrackPadding = 4;

struct Kind {
  const char *name;
  bool audio;
  uint16_t stride;
  uint8_t userOffset;
};
constexpr Kind kKinds[] = {
    {"MODE1", false, 2048, 0},          {"MODE1_RAW", false, 2352, 16},
    {"MODE2", false, 2336, 8},          {"MODE2_FORM1", false, 2048, 0},
    {"MODE2_FORM_MIX", false, 2336, 8}, {"MODE2_RAW", false, 2352, 24},
    {"AUDIO", true, 2352, 0},
};

// The KEY:VALUE words of one entry (the text may end with a zero byte).
std::map<std::string, std::string> Fields(const std::string &text) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  const size_t end = std::min(text.find('\0'), text.size());
  while (at < end) {
    size_t stop = text.find(' ', at);
    if (stop == std::string::npos || stop > end)
      stop = end;
    const std::string word = text.substr(at, stop - at);
    const size_t colon = word.find(':');
    if (colon != std::string::npos)
      fields[word.substr(0, colon)] = word.substr(colon + 1);
    at = stop + 1;
  }
  return fields;
}

bool Number(const std::map<std::string, std::string> &fields, const char *key, uint32_t *value,
            bool required) {
  const auto it = fields.find(key);
  if (it == fields.end()) {
    *value = 0;
    return !required;
  }
  const std::string &s = it->second;
  if (s.empty() || s.size() > 9 ||
      !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *value = uint32_t(std::strtoul(s.c_str(), nullptr, 10));
  return true;
}

} // namespace

bool ReadCdTracks(const std::vector<MetadataEntry> &metadata, std::vector<CdTrack> *tracks,
                  std::string *why) {
  tracks->clear();
  uint64_t frame = 0;
  for (const MetadataEntry &m : metadata) {
    if (m.tag != Tag("CHT2") && m.tag != Tag("CHTR"))
      continue;
    const auto fields = Fields(m.data);
    CdTrack t;
    uint32_t number = 0;
    if (!Number(fields, "TRACK", &number, true) || !Number(fields, "FRAMES", &t.frames, true) ||
        !Number(fields, "PREGAP", &t.pregap, false) ||
        !Number(fields, "POSTGAP", &t.postgap, false) || number != tracks->size() + 1 ||
        number > 99) {
      *why = "its track list is broken (track " + std::to_string(tracks->size() + 1) + ")";
      return false;
    }
    t.number = uint8_t(number);
    const auto type = fields.find("TYPE");
    const Kind *kind = nullptr;
    for (const Kind &k : kKinds)
      if (type != fields.end() && type->second == k.name)
        kind = &k;
    if (kind == nullptr) {
      *why = "track " + std::to_string(number) + " holds sectors of the kind " +
             (type == fields.end() ? std::string("(none)") : type->second) +
             ", which our drives do not serve";
      return false;
    }
    t.audio = kind->audio;
    t.stride = kind->stride;
    t.userOffset = kind->userOffset;
    const auto pgtype = fields.find("PGTYPE");
    t.pregapStored = pgtype != fields.end() && !pgtype->second.empty() && pgtype->second[0] == 'V';
    if ((t.pregapStored && t.pregap >= t.frames) || t.frames == 0) {
      *why = "its track list is broken (track " + std::to_string(number) + ")";
      return false;
    }
    t.firstFrame = frame;
    frame += t.frames + (kTrackPadding - t.frames % kTrackPadding) % kTrackPadding;
    tracks->push_back(t);
  }
  if (tracks->empty()) {
    *why = "it lists no tracks";
    return false;
  }
  return true;
}

} // namespace velmor::imagesource::chd
