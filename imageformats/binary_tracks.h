// What the binary descriptors' readers (MDS, NRG) share about tracks: the sector shapes the
// driver serves, and the checks of a filled layout.
#pragma once

#include <string>

#include "disc_image.h"

namespace velmor::formats {

// What a track's sectors hold, as the descriptors' mode codes say.
enum class SectorKind { kAudio, kMode1, kMode2Form1, kUnsupported };

// Sets the track's stride, user-data offset and audio/data kind for sectors of `kind` stored
// in `size` bytes; false when the driver cannot serve that pair.
bool SetSectorShape(SectorKind kind, uint16_t size, Track *t);

// Blocks between the end of the layout's last track and `firstLba` (all of them before the
// first track): the most of a pregap the descriptor gives that fits. The first track's
// pregap of a disc lies before block 0, in the lead-in, and never reaches the layout.
uint32_t RoomBefore(const DiscLayout &layout, uint32_t firstLba);

// "track 3": how binary descriptors name a track in an error.
std::string TrackField(unsigned number, const char *what = nullptr);

// Numbers one up from 1, tracks in logical-block order without overlap (the pregap counts),
// no empty track, and each track's stored sectors (and stored pregap) inside its file. Errors
// name the descriptor, or the file that is missing or too short, and the track.
FormatError CheckTracks(ImageFiles &files, const std::u16string &descriptor,
                        const DiscLayout &layout);

} // namespace velmor::formats
