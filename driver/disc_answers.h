// The answers a CD-ROM drive gives about its disc (length, geometry, capacity, identity,
// configuration profile, extended tables of contents), as the platform's CD-ROM class driver
// gives them, filled from a view of the disc alone. Portable and freestanding, like the rest of
// the request logic: no file work, no kernel call, 32-bit divisions only (the i386 kernel has no
// 64-bit division helpers). Every fill writes within the length it is given and nothing past it;
// big- and little-endian fields are written byte by byte.
#pragma once

#include <stdint.h>

#include "velmor_layout.h"
#include "velmor_protocol.h"

namespace velmor {

// A disc as the answers see it.
struct DiscView {
  const LayoutTrack *tracks; // in block order; number, controlAdr and firstLba are used (the
                             // full table of contents also looks at a data track's sector shape)
  uint32_t trackCount;       // 1 to 99
  uint32_t leadOut;          // first block of the lead-out, as the table of contents gives it
  uint32_t blocks;           // 2,048-byte blocks the drive reads: its length and capacity
  uint32_t cylinders;        // the geometry's cylinders of 64 tracks of 32 sectors
};

inline constexpr uint32_t kTracksPerCylinder = 64;
inline constexpr uint32_t kSectorsPerTrack = 32;
inline constexpr uint32_t kSectorsPerCylinder = kTracksPerCylinder * kSectorsPerTrack;
// The plain image's fixed answers: a lead-out at 46:59:58 and 146 cylinders (299,008 sectors).
// They stay for an image of up to that many sectors; a larger one gets answers that cover it.
inline constexpr uint32_t kIsoFixedLeadOut = 211333;
inline constexpr uint32_t kIsoFixedCylinders = 146;
inline constexpr uint32_t kIsoFixedSectors = kIsoFixedCylinders * kSectorsPerCylinder;
// A disc larger than 900 MiB (a CD holds at most about 870) is a DVD.
inline constexpr uint32_t kLargestCdBlocks = 900u * 1024 * 1024 / kBytesPerSector;

// A plain image of `imageBytes`: one data track from block 0, in `track`, which the view points
// to. The blocks cover the image (its last part sector counted whole), up to kLayoutMaxSectors.
DiscView VelmorIsoView(uint64_t imageBytes, LayoutTrack *track);
// The tracks of a CDROM_TOC answer of `length` bytes (MSF addresses), as the header of a VELMOR
// format image holds it, into `tracks` (room for kLayoutMaxTracks). False when the answer is not
// a table of contents: its length field, track numbers or addresses out of range or order.
bool VelmorParseToc(const uint8_t *toc, uint32_t length, LayoutTrack *tracks, DiscView *view);
// Whether the drive is a DVD-ROM drive for this disc rather than a CD-ROM drive.
inline bool VelmorIsDvd(const DiscView &view) { return view.blocks > kLargestCdBlocks; }

// ---- Answers of a fixed size -----------------------------------------------------------------
// Each writes min(length, its size) bytes and returns its size, the request's information.
inline constexpr uint32_t kLengthInfoSize = 8;    // GET_LENGTH_INFORMATION
inline constexpr uint32_t kGeometryExSize = 32;   // DISK_GEOMETRY_EX up to its Data member
inline constexpr uint32_t kReadCapacitySize = 32; // STORAGE_READ_CAPACITY
inline constexpr uint32_t kDeviceNumberSize = 12; // STORAGE_DEVICE_NUMBER
inline constexpr uint32_t kHotplugInfoSize = 8;   // STORAGE_HOTPLUG_INFO
inline constexpr uint32_t kMediaTypesSize = 40;   // GET_MEDIA_TYPES with one DEVICE_MEDIA_INFO

uint32_t VelmorFillToc(const DiscView &view, void *out, uint32_t length); // kTocSize, MSF
uint32_t VelmorFillGeometry(const DiscView &view, void *out, uint32_t length);
uint32_t VelmorFillGeometryEx(const DiscView &view, void *out, uint32_t length);
uint32_t VelmorFillLengthInfo(const DiscView &view, void *out, uint32_t length);
uint32_t VelmorFillReadCapacity(const DiscView &view, void *out, uint32_t length);
// The drive's own number: its letter's index, A being 0.
uint32_t VelmorFillDeviceNumber(uint32_t number, void *out, uint32_t length);
uint32_t VelmorFillHotplugInfo(void *out, uint32_t length);
uint32_t VelmorFillMediaTypes(const DiscView &view, void *out, uint32_t length);
// The first track of the last session, its start as a big-endian block, or as MSF when `msf`.
uint32_t VelmorFillSession(const DiscView &view, bool msf, void *out, uint32_t length);

// ---- Answers that read their request ---------------------------------------------------------
// The request's input and its answer share the system buffer: each reads all of its input
// before it writes a byte.
struct DiscAnswer {
  NtStatus status;
  uint32_t information;
};

// IOCTL_STORAGE_QUERY_PROPERTY: the device or the adapter descriptor, or whether one exists.
// A standard query answers as much of the descriptor as fits (its header tells the whole size).
DiscAnswer VelmorAnswerPropertyQuery(const DiscView &view, const void *input, uint32_t inputLength,
                                     void *out, uint32_t length);
// IOCTL_CDROM_GET_CONFIGURATION (GET_CONFIGURATION_IOCTL_INPUT): the header with the current
// profile and the features asked for; cut at `length`, the header still tells the whole length.
DiscAnswer VelmorAnswerConfiguration(const DiscView &view, const void *input, uint32_t inputLength,
                                     void *out, uint32_t length);
// IOCTL_CDROM_READ_TOC_EX (CDROM_READ_TOC_EX): formats TOC, session and full TOC, in logical
// blocks or MSF; cut at `length`, the length field still tells the whole answer.
DiscAnswer VelmorAnswerTocEx(const DiscView &view, const void *input, uint32_t inputLength,
                             void *out, uint32_t length);

// ---- Buffer rules ----------------------------------------------------------------------------
// What the class driver checks before it answers a request: the input, then the output (too
// short, too long, of odd length), or the output first where the rule says so.
struct BufferRule {
  uint32_t minInput;   // input bytes the request needs
  NtStatus shortInput; // status for less
  uint32_t minOutput;  // output bytes the answer needs
  NtStatus shortOutput;
  uint32_t maxOutput; // 0: no limit
  NtStatus longOutput;
  uint32_t flags; // the kRule values
};
inline constexpr uint32_t kRuleNoOutputAllowed = 1; // no output at all passes as well
inline constexpr uint32_t kRuleEvenOutput = 2;      // the adapter's word alignment: odd refused
inline constexpr uint32_t kRuleOutputFirst = 4;     // the output is checked before the input

// Sizes the rules check.
inline constexpr uint32_t kPropertyQuerySize = 12;      // STORAGE_PROPERTY_QUERY
inline constexpr uint32_t kDescriptorHeaderSize = 8;    // STORAGE_DESCRIPTOR_HEADER
inline constexpr uint32_t kConfigurationInputSize = 16; // GET_CONFIGURATION_IOCTL_INPUT, 32-bit
inline constexpr uint32_t kConfigurationHeaderSize = 8; // GET_CONFIGURATION_HEADER
inline constexpr uint32_t kTocExInputSize = 4;          // CDROM_READ_TOC_EX
inline constexpr uint32_t kTocExMinimumOutput = 2;      // its length field
inline constexpr uint32_t kMediaChangeCountSize = 4;    // a check verify's answer

// The rule of `code` in the driver's one table of control requests, or null when it has no row.
const BufferRule *VelmorBufferRuleOf(uint32_t code);
// The status of a request whose buffers break its rule, or success.
NtStatus VelmorCheckBufferRule(const BufferRule &rule, uint32_t inputLength, uint32_t outputLength);

// A VELMOR format image's table of contents, as its header holds it, and the view over it.
struct VelmorHeaderDisc {
  uint8_t toc[kTocSize];
  LayoutTrack tracks[kLayoutMaxTracks];
  DiscView view;
};
// kSuccess when the lengths pass the rule, else the status the request is refused with.

} // namespace velmor
