// A layout drive's table of contents, geometry and last session, from its copy of the tracks.
#include "layout_drive.h"

namespace velmor {
namespace {

void PutLittle32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(v >> (8 * i));
}

void PutBig32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(v >> (8 * (3 - i)));
}

// One TRACK_DATA record: reserved, control and ADR, number, reserved, address.
void PutTrack(uint8_t *p, uint8_t controlAdr, uint8_t number) {
  p[0] = 0;
  p[1] = controlAdr;
  p[2] = number;
  p[3] = 0;
}

} // namespace

// One byte for the minutes: a block past 255:59:74 is given as that address. 32-bit divisions
// only: the i386 kernel has no 64-bit division helpers.
void VelmorPutMsf(uint8_t *p, uint32_t lba) {
  const uint32_t frames = lba + kSectorsBeforeLba0; // lba < 2^30: no overflow
  const uint32_t minutes = frames / (60 * 75);
  p[0] = 0;
  p[1] = minutes > 255 ? 255 : uint8_t(minutes);
  p[2] = minutes > 255 ? 59 : uint8_t(frames / 75 % 60);
  p[3] = minutes > 255 ? 74 : uint8_t(frames % 75);
}

void VelmorFillLayoutToc(const VelmorLayout *layout, void *buffer) {
  auto *out = static_cast<uint8_t *>(buffer);
  for (uint32_t i = 0; i < kTocSize; ++i)
    out[i] = 0;
  const uint32_t n = layout->trackCount;
  const uint32_t length = 2 + 8 * (n + 1); // what follows the length field
  out[0] = uint8_t(length >> 8);
  out[1] = uint8_t(length);
  out[2] = layout->tracks[0].number;
  out[3] = layout->tracks[n - 1].number;
  uint8_t *track = out + 4;
  for (uint32_t i = 0; i < n; ++i, track += 8) {
    PutTrack(track, layout->tracks[i].controlAdr, layout->tracks[i].number);
    VelmorPutMsf(track + 4, layout->tracks[i].firstLba);
  }
  // The lead-out carries the last track's control, as a drive reports it.
  PutTrack(track, layout->tracks[n - 1].controlAdr, 0xAA);
  VelmorPutMsf(track + 4, layout->leadOut);
}

void VelmorFillLayoutGeometry(const VelmorLayout *layout, void *buffer) {
  // The plain ISO answer's 64 tracks of 32 sectors, with enough cylinders for the lead-out.
  constexpr uint32_t kSectorsPerCylinder = 64 * 32;
  auto *out = static_cast<uint8_t *>(buffer);
  PutLittle32(out + 0, (layout->leadOut + kSectorsPerCylinder - 1) / kSectorsPerCylinder);
  PutLittle32(out + 4, 0);
  PutLittle32(out + 8, 11); // RemovableMedia
  PutLittle32(out + 12, 64);
  PutLittle32(out + 16, 32);
  PutLittle32(out + 20, kBytesPerSector);
}

void VelmorFillLayoutSession(const VelmorLayout *layout, void *buffer) {
  // One session; its first track's start as a logical block, big-endian: the class driver asks
  // the drive for this answer without MSF addressing.
  auto *out = static_cast<uint8_t *>(buffer);
  out[0] = 0;
  out[1] = kSessionAnswerSize - 2;
  out[2] = 1; // first complete session
  out[3] = 1; // last complete session
  PutTrack(out + 4, layout->tracks[0].controlAdr, layout->tracks[0].number);
  PutBig32(out + 8, layout->tracks[0].firstLba);
}

} // namespace velmor
