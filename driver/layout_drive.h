// Layout drives: discs whose sectors lie in one or more image files as a layout record
// describes them (raw sectors, several tracks, audio). The drive keeps a paged copy of the
// record's tracks and its files' native names; everything here reads that copy only.
#pragma once

#include "velmor_driver.h"
#include "velmor_layout.h"

namespace velmor {

struct VelmorLayout {
  uint32_t trackCount;
  uint32_t fileCount;
  uint32_t leadOut; // the first block after the last track and its postgap
  LayoutTrack tracks[kLayoutMaxTracks];
  UString files[kLayoutMaxFiles]; // "\??\" + path, stored in `names`
  char16_t names[kLayoutNameUnits + 4 * kLayoutMaxFiles];
  // The files, each opened once by VelmorOpenLayoutFiles and read only through these handles.
  kernel::FileHandle handles[kLayoutMaxFiles];
  // Where sectors stored with more than their user data are gathered: nonpaged, taken with
  // the layout, so the paging path allocates nothing.
  uint8_t *bounce;
};

// Raw sectors per file read through the bounce buffer: under 64 KiB even with subchannel.
inline constexpr uint32_t kBounceSectors = 26;

// A paged copy of a record that passed CheckLayoutRecord, its files not yet open; null when
// pool runs out. Up to APC_LEVEL (paged pool).
VelmorLayout *VelmorNewLayout(const LayoutRecord &record);
// Closes what is open and frees the layout (PASSIVE_LEVEL).
void VelmorFreeLayout(VelmorLayout *layout);
void VelmorCloseLayoutFiles(VelmorLayout *layout);

// Opens every file of the layout once, before any drive is made, as VelmorOpenImage does (with
// the caller's access check for kCheckCallerAccess in `options`, in the caller's own thread,
// at PASSIVE_LEVEL), and checks that every track's stored bytes lie inside its file. The
// caller's refusal and a refused kind of file keep their statuses; a track beyond its file is
// kInvalidParameter. What was opened stays with the layout either way.
NtStatus VelmorOpenLayoutFiles(kernel::Driver *driver, VelmorLayout *layout, uint32_t options);

// Where a block of the disc lies.
struct LayoutPlace {
  enum Kind : uint8_t {
    kPastEnd,  // at or after the lead-out
    kGap,      // between tracks: belongs to none
    kUnstored, // a pregap, or the last track's postgap, the files do not hold: reads as zeros
    kStored,   // in `track`'s file at `fileOffset` (its first byte of the sector)
  } kind;
  const LayoutTrack *track; // null for kPastEnd and kGap
  uint32_t run;             // blocks from this one on that lie the same way, contiguously
  uint64_t fileOffset;
};
LayoutPlace VelmorLocateBlock(const VelmorLayout *layout, uint32_t lba);

// The disc as the answers see it, from the copy alone.
struct DiscView;
DiscView VelmorLayoutView(const VelmorLayout *layout);
// The answers, from the copy alone: kTocSize and kGeometrySize bytes.
void VelmorFillLayoutToc(const VelmorLayout *layout, void *buffer);
void VelmorFillLayoutGeometry(const VelmorLayout *layout, void *buffer);

// The first block of a raw read: its disc offset counts 2,048-byte blocks in bytes. A negative
// offset gives a block far past any disc.
inline uint64_t RawReadFirstBlock(const RawReadInfo &info) {
  return (uint64_t(info.diskOffsetHigh) << 32 | info.diskOffsetLow) >> 11;
}

// The driver's thread: a read of 2,048-byte blocks, and a raw read (RAW_READ_INFO in the system
// buffer, already checked against the disc by the control request), of a layout drive. Each
// completes the request.
void VelmorServeLayoutRead(VELMOR_DRIVE_EXTENSION *extension, kernel::Request *request);
void VelmorServeRawRead(VELMOR_DRIVE_EXTENSION *extension, kernel::Request *request);

} // namespace velmor
