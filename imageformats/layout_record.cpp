#include <cstring>

#include "disc_image.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

FormatError Refuse(Reason reason, std::u16string file, std::string field) {
  FormatError e;
  e.reason = reason;
  e.file = std::move(file);
  e.field = std::move(field);
  return e;
}

// What the structural check found, as a reason the user's message can give.
Reason ReasonOf(LayoutFault fault) {
  switch (fault) {
  case LayoutFault::kNames:
    return Reason::kNamesTooLong;
  case LayoutFault::kSectorKind:
    return Reason::kUnsupportedMode;
  case LayoutFault::kFileSpan:
    return Reason::kTruncated;
  case LayoutFault::kCounts:
    return Reason::kTooManyTracks;
  case LayoutFault::kHeader:
    return Reason::kSyntax;
  default:
    return Reason::kTrackOrder;
  }
}

} // namespace

FormatError MakeLayoutRecord(const DiscLayout &layout, char16_t letter, LayoutRecord *record) {
  std::memset(record, 0, sizeof *record);
  const std::u16string first = layout.files.empty() ? std::u16string() : layout.files[0];
  if (layout.tracks.size() > kLayoutMaxTracks || layout.files.size() > kLayoutMaxFiles)
    return Refuse(Reason::kTooManyTracks, first, "tracks");
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = letter;
  record->trackCount = uint8_t(layout.tracks.size());
  record->fileCount = uint8_t(layout.files.size());
  size_t at = 0;
  for (const std::u16string &name : layout.files) {
    if (name.size() > kMaxDriveImagePathUnits || name.find(u'\0') != std::u16string::npos)
      return Refuse(Reason::kNamesTooLong, name, "names");
    if (at + name.size() + 1 > kLayoutNameUnits)
      return Refuse(Reason::kNamesTooLong, name, "together");
    std::memcpy(record->names + at, name.data(), name.size() * sizeof(char16_t));
    at += name.size() + 1;
  }
  for (size_t i = 0; i < layout.tracks.size(); ++i) {
    const Track &t = layout.tracks[i];
    LayoutTrack &r = record->tracks[i];
    r.fileOffsetLow = uint32_t(t.fileOffset);
    r.fileOffsetHigh = uint32_t(t.fileOffset >> 32);
    r.firstLba = t.firstLba;
    r.sectors = t.sectors;
    r.pregap = t.pregap;
    r.stride = t.stride;
    r.userOffset = t.userOffset;
    r.file = uint8_t(t.file < kLayoutMaxFiles ? t.file : kLayoutMaxFiles);
    r.number = t.number;
    r.controlAdr = t.controlAdr;
    r.flags = t.pregapInFile ? kPregapInFile : 0;
    r.postgap = t.postgap;
  }
  const LayoutFault fault = CheckLayoutRecord(*record);
  if (fault != LayoutFault::kValid) {
    std::memset(record, 0, sizeof *record);
    return Refuse(ReasonOf(fault), first, "record");
  }
  return {};
}

} // namespace velmor::formats
