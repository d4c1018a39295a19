// The tracks of a CD CHD from its metadata: how each lies in the CHD's frames and on the disc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chd_file.h"

namespace velmor::imagesource::chd {

struct CdTrack {
  uint8_t number = 0;
  bool audio = false;
  uint16_t stride = 0;       // bytes of the frame the track's sectors hold (its BIN's stride)
  uint8_t userOffset = 0;    // where a data sector's 2,048 user bytes begin
  uint32_t frames = 0;       // stored frames, a stored pregap included
  uint32_t pregap = 0;       // sectors before the track's start
  bool pregapStored = false; // the first `pregap` of `frames` are the pregap
  uint32_t postgap = 0;      // sectors after the track, not stored
  uint64_t firstFrame = 0;   // the CHD frame of the track's first stored sector
};

// The tracks the metadata lists, in order; false with `*why` set when there are none, they are
// broken, or one holds sectors no drive of ours serves.
bool ReadCdTracks(const std::vector<MetadataEntry> &metadata, std::vector<CdTrack> *tracks,
                  std::string *why);

} // namespace velmor::imagesource::chd
