// The disc images the program mounts, read without Win32: one track model that every
// format's reader fills (CUE, CCD, MDS, NRG, raw and plain images), the detection that picks
// the reader by the file's contents, and the layout record the driver is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "code_page.h"
#include "velmor_layout.h"

namespace velmor::formats {

// The files a reader looks at, by full UTF-16 path. The program passes the Win32 file
// system; tests pass files in memory. Names in descriptors without a UTF-8 mark are in the
// ANSI code page (GBK): AnsiToUtf16.
class ImageFiles : public CodePage {
public:
  virtual ~ImageFiles() = default;
  // The file's size in bytes; false when it cannot be opened (missing, a folder, denied).
  virtual bool Size(const std::u16string &path, uint64_t *size) = 0;
  // Up to `length` bytes at `offset`; `*got` is short only at the file's end. False when the
  // file cannot be opened or read.
  virtual bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
                    uint32_t *got) = 0;
};

// One track of the model; the same fields as the driver's LayoutTrack, in plain types.
struct Track {
  uint8_t number = 1;
  uint8_t controlAdr = kControlAdrData;
  uint32_t file = 0;       // index into DiscLayout::files
  uint64_t fileOffset = 0; // of the sector at firstLba
  uint16_t stride = kStrideCooked;
  uint8_t userOffset = 0;
  uint32_t firstLba = 0;
  uint32_t sectors = 0;
  uint32_t pregap = 0;
  bool pregapInFile = false;
  uint16_t postgap = 0; // only on the last track: unstored sectors before the lead-out
};

struct DiscLayout {
  std::vector<std::u16string> files; // full paths
  std::vector<Track> tracks;
};

// What a reader found wrong, for the message that names the file and the line or field.
struct FormatError {
  enum class Reason {
    kNone,
    kUnreadable,      // the descriptor or a track's file cannot be opened or read
    kMissingFile,     // a descriptor names a file that is not there
    kUnsupportedMode, // a track mode or sector size the driver cannot serve
    kTrackOrder,      // tracks overlapping, out of order, or numbered wrongly
    kTruncated,       // the descriptor ends early, or a track runs past its file's end
    kSyntax,          // a line or field that means nothing
    kTooManyTracks,   // more tracks or files than a drive holds
    kNamesTooLong,    // a file's full path longer than a drive keeps, or all names together
                      // (field "together")
    kTooSmall,        // too small to hold a volume: under 18 sectors past where data starts
    kNotUnderstood,   // begins as a descriptor but is none that a reader takes
    kPastFileEnd,     // the line's address lies past the end of its file (`trackFile`)
    kPostgapTooLong,  // a POSTGAP longer than a drive keeps (65,535 sectors)
    kLongerThanCd,    // a CD layout whose lead-out passes 99:59:74
  };
  Reason reason = Reason::kNone;
  std::u16string file;      // the descriptor, or the file a track names
  uint32_t line = 0;        // 1-based line of a text descriptor; 0 for binary ones
  std::string field;        // the offending word, or the binary field's name ("CUEX", "track 3")
  std::u16string trackFile; // for kPastFileEnd: the file the line's address lies beyond
  explicit operator bool() const { return reason != Reason::kNone; }
};

enum class ImageKind {
  kLayout, // sent with IOCTL_VELMOR_ADD_LAYOUT
  kIso,    // a ".iso" name with 2,048-byte sectors: the classic add request
  kVelmor, // anything else: the classic add request, VELMOR format
  kServed, // a CHD: served from user mode (the image sources), never sent to the driver as a file
};

struct DetectedImage {
  ImageKind kind = ImageKind::kVelmor;
  DiscLayout layout; // for kLayout
  // Whether an ISO 9660 or UDF volume was found where the image's first data track (or the
  // ISO or VELMOR format data) begins. False for an audio-only disc, which expects none:
  // see volumeExpected.
  bool volumeFound = false;
  bool volumeExpected = true;
  FormatError error; // set when the image is refused
};

// Decides how to mount the file at `path` (a full path) by its contents, in this order: a CHD
// (kServed) by its signature, the descriptors (CUE, CCD, MDS, NRG) by their own structure, raw
// 2,352-byte sectors, a ".iso" name, 2,048-byte sectors under another name, else the VELMOR format.
DetectedImage DetectImage(ImageFiles &files, const std::u16string &path);

// The record for the driver; a FormatError (kTooManyTracks, kNamesTooLong) when the layout
// does not fit one. The result passes CheckLayoutRecord.
FormatError MakeLayoutRecord(const DiscLayout &layout, char16_t letter, LayoutRecord *record);

} // namespace velmor::formats
