// Layouts as short text, so a table row's expected tracks read as one line each and a failure
// shows which field differs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disc_image.h"

namespace velmor::formats {

// "#2 ca=10 f1 @352800 2352/0 lba 450+300 gap 150 stored post 150"
inline std::string TrackText(const Track &t) {
  const char hex[] = "0123456789abcdef";
  return "#" + std::to_string(t.number) + " ca=" + hex[t.controlAdr >> 4] + hex[t.controlAdr & 15] +
         " f" + std::to_string(t.file) + " @" + std::to_string(t.fileOffset) + " " +
         std::to_string(t.stride) + "/" + std::to_string(t.userOffset) + " lba " +
         std::to_string(t.firstLba) + "+" + std::to_string(t.sectors) + " gap " +
         std::to_string(t.pregap) + (t.pregapInFile ? " stored" : "") +
         (t.postgap ? " post " + std::to_string(t.postgap) : "");
}

inline std::vector<std::string> TracksText(const DiscLayout &layout) {
  std::vector<std::string> out;
  for (const Track &t : layout.tracks)
    out.push_back(TrackText(t));
  return out;
}

// Every layout a reader gives must make a record the driver accepts, with the same lead-out.
inline void ExpectRecordAccepted(const DiscLayout &layout) {
  static LayoutRecord record;
  const FormatError e = MakeLayoutRecord(layout, u'L', &record);
  EXPECT_FALSE(e) << "refused: " << e.field;
  EXPECT_EQ(CheckLayoutRecord(record), LayoutFault::kValid);
  if (!e) {
    const Track &last = layout.tracks.back();
    EXPECT_EQ(LayoutLeadOut(record), last.firstLba + last.sectors + last.postgap);
  }
}

// The 1-based number of the first line of `text` holding `marker`.
inline uint32_t LineOf(const std::string &text, const std::string &marker) {
  const size_t at = text.find(marker);
  if (marker.empty() || at == std::string::npos)
    return 0;
  uint32_t line = 1;
  for (size_t i = 0; i < at; ++i)
    line += text[i] == '\n';
  return line;
}

} // namespace velmor::formats
