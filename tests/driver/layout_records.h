// Layout records for the driver's tests and its fuzz entry.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmor_layout.h"

namespace velmor::test {

// A track of a layout record; the rest of its fields are zero.
inline LayoutTrack MakeTrack(uint8_t number, uint8_t file, uint32_t firstLba, uint32_t sectors,
                             uint16_t stride, uint8_t userOffset, uint64_t fileOffset,
                             uint8_t controlAdr = kControlAdrData) {
  LayoutTrack t{};
  t.fileOffsetLow = uint32_t(fileOffset);
  t.fileOffsetHigh = uint32_t(fileOffset >> 32);
  t.firstLba = firstLba;
  t.sectors = sectors;
  t.stride = stride;
  t.userOffset = userOffset;
  t.file = file;
  t.number = number;
  t.controlAdr = controlAdr;
  return t;
}

// A record for `letter` over `files` ("D:\\a.bin") and `tracks`.
inline std::unique_ptr<LayoutRecord> MakeLayout(char16_t letter,
                                                const std::vector<std::u16string> &files,
                                                const std::vector<LayoutTrack> &tracks) {
  auto record = std::make_unique<LayoutRecord>();
  std::memset(record.get(), 0, sizeof(LayoutRecord));
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = letter;
  record->trackCount = uint8_t(tracks.size());
  record->fileCount = uint8_t(files.size());
  std::copy(tracks.begin(), tracks.end(), record->tracks);
  size_t at = 0;
  for (const std::u16string &file : files) {
    std::copy(file.begin(), file.end(), record->names + at);
    at += file.size() + 1;
  }
  return record;
}

} // namespace velmor::test
