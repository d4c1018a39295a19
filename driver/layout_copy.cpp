// A layout drive's own copy of its record, the add request's checks of the files, and where a
// block of the disc lies.
#include "layout_drive.h"

namespace velmor {

using namespace kernel;

VelmorLayout *VelmorNewLayout(const LayoutRecord &record) {
  // About 38 KiB: far too much for a kernel stack, and touched only at PASSIVE_LEVEL.
  auto *layout = static_cast<VelmorLayout *>(AllocatePaged(sizeof(VelmorLayout), kPoolTagDdk));
  if (!layout)
    return nullptr;
  layout->bounce =
      static_cast<uint8_t *>(AllocateNonPaged(kBounceSectors * kStrideRawSub, kPoolTagDdk));
  if (!layout->bounce) {
    FreePool(layout);
    return nullptr;
  }
  for (uint32_t f = 0; f < kLayoutMaxFiles; ++f)
    layout->handles[f] = nullptr;
  layout->trackCount = record.trackCount;
  layout->fileCount = record.fileCount;
  layout->leadOut = LayoutLeadOut(record);
  for (uint32_t i = 0; i < kLayoutMaxTracks; ++i)
    layout->tracks[i] = i < record.trackCount ? record.tracks[i] : LayoutTrack{};
  // The record's names were checked: each ends within the pool and fits behind the prefix.
  const char16_t prefix[] = u"\\??\\";
  uint32_t from = 0, to = 0;
  for (uint32_t f = 0; f < kLayoutMaxFiles; ++f) {
    UString &file = layout->files[f];
    file = UString{0, 0, nullptr};
    if (f >= record.fileCount)
      continue;
    file.Buffer = layout->names + to;
    for (uint32_t i = 0; i < 4; ++i)
      layout->names[to++] = prefix[i];
    while (record.names[from] != 0)
      layout->names[to++] = record.names[from++];
    ++from;
    layout->names[to++] = 0;
    file.Length = uint16_t((layout->names + to - 1 - file.Buffer) * sizeof(char16_t));
    file.MaximumLength = uint16_t(file.Length + sizeof(char16_t));
  }
  return layout;
}

void VelmorCloseLayoutFiles(VelmorLayout *layout) {
  for (uint32_t f = 0; f < kLayoutMaxFiles; ++f)
    if (FileHandle handle = layout->handles[f]) {
      layout->handles[f] = nullptr;
      CloseFile(handle);
    }
}

void VelmorFreeLayout(VelmorLayout *layout) {
  VelmorCloseLayoutFiles(layout);
  FreePool(layout->bounce);
  FreePool(layout);
}

namespace {

// The end of a track's stored sectors in its file. The structural check keeps a stored pregap
// from starting before byte 0.
uint64_t StoredEnd(const LayoutTrack &t) {
  return TrackFileOffset(t) + uint64_t(t.sectors) * t.stride; // below 2^63: the check's bound
}

} // namespace

NtStatus VelmorOpenLayoutFiles(Driver *driver, VelmorLayout *layout, uint32_t options) {
  for (uint32_t f = 0; f < layout->fileCount; ++f) {
    const NtStatus opened =
        VelmorOpenImage(driver, &layout->files[f], options, &layout->handles[f]);
    if (!IsSuccess(opened))
      return opened == status::kAccessDenied ? opened : status::kInvalidParameter;
    uint64_t size = 0;
    if (!IsSuccess(QueryFileSize(layout->handles[f], &size)))
      return status::kInvalidParameter;
    for (uint32_t i = 0; i < layout->trackCount; ++i)
      if (layout->tracks[i].file == f && StoredEnd(layout->tracks[i]) > size)
        return status::kInvalidParameter;
  }
  return status::kSuccess;
}

LayoutPlace VelmorLocateBlock(const VelmorLayout *layout, uint32_t lba) {
  if (lba >= layout->leadOut)
    return LayoutPlace{LayoutPlace::kPastEnd, nullptr, 0, 0};
  // Tracks are in block order without overlap: the first that ends after lba holds it, or
  // the gap before it does.
  for (uint32_t i = 0; i < layout->trackCount; ++i) {
    const LayoutTrack &t = layout->tracks[i];
    const uint32_t end = t.firstLba + t.sectors;
    if (lba >= end)
      continue;
    const uint32_t start = t.firstLba - t.pregap;
    if (lba < start)
      return LayoutPlace{LayoutPlace::kGap, nullptr, start - lba, 0};
    if (lba < t.firstLba && !(t.flags & kPregapInFile))
      return LayoutPlace{LayoutPlace::kUnstored, &t, t.firstLba - lba, 0};
    // A stored pregap lies just before the sector at firstLba.
    const uint64_t offset = lba >= t.firstLba
                                ? TrackFileOffset(t) + uint64_t(lba - t.firstLba) * t.stride
                                : TrackFileOffset(t) - uint64_t(t.firstLba - lba) * t.stride;
    return LayoutPlace{LayoutPlace::kStored, &t, end - lba, offset};
  }
  // Between the last track's stored sectors and the lead-out: its postgap, which reads as an
  // unstored pregap does.
  return LayoutPlace{LayoutPlace::kUnstored, &layout->tracks[layout->trackCount - 1],
                     layout->leadOut - lba, 0};
}

} // namespace velmor
