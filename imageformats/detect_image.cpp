// How a file is mounted, decided by a few sectors of its contents: a multi-gigabyte image costs
// no more to look at than a small one.
#include <algorithm>
#include <cstring>

#include "readers.h"
#include "volume_probe.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

// A volume needs its system area and at least two descriptors past it.
constexpr uint32_t kVolumeSectors = 18;
constexpr uint32_t kRawDescriptorSector = 16;
constexpr uint8_t kSync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
constexpr uint8_t kForm2 = 0x20; // in the submode byte of a mode 2 sector's subheader

struct Descriptor {
  bool (*is)(ImageFiles &, const std::u16string &);
  FormatError (*read)(ImageFiles &, const std::u16string &, DiscLayout *);
};
constexpr Descriptor kDescriptors[] = {
    {IsCueSheet, ReadCueSheet},
    {IsCloneCdControl, ReadCloneCdControl},
    {IsMediaDescriptor, ReadMediaDescriptor},
    {IsNeroImage, ReadNeroImage},
};

bool ReadExactly(ImageFiles &files, const std::u16string &path, uint64_t offset, void *buffer,
                 uint32_t length) {
  uint32_t got = 0;
  return files.Read(path, offset, buffer, length, &got) && got == length;
}

UserSectorReader FlatSectors(ImageFiles &files, const std::u16string &path, uint64_t base) {
  return [&files, &path, base](uint32_t n, uint8_t *sector) {
    return ReadExactly(files, path, base + uint64_t(n) * kBytesPerSector, sector, kBytesPerSector);
  };
}

UserSectorReader TrackSectors(ImageFiles &files, const std::u16string &path, const Track &t) {
  return [&files, &path, t](uint32_t n, uint8_t *sector) {
    return n < t.sectors &&
           ReadExactly(files, path, t.fileOffset + uint64_t(n) * t.stride + t.userOffset, sector,
                       kBytesPerSector);
  };
}

void Refuse(DetectedImage *image, Reason reason, const std::u16string &file) {
  image->error.reason = reason;
  image->error.file = file;
}

// The volume and size checks of a layout, at its first data track.
void CheckLayout(ImageFiles &files, DetectedImage *image) {
  image->kind = ImageKind::kLayout;
  for (const Track &t : image->layout.tracks) {
    if (!IsDataTrack(t.controlAdr))
      continue;
    const std::u16string &file = image->layout.files[t.file];
    if (t.sectors < kVolumeSectors)
      return Refuse(image, Reason::kTooSmall, file);
    image->volumeFound = HasVolume(TrackSectors(files, file, t), t.firstLba);
    return;
  }
  image->volumeExpected = false; // an audio disc
}

// One data track of raw 2,352-byte sectors: sync patterns at sectors 0 and 16, and a volume
// descriptor in the user data of sector 16 (mode 1, or mode 2 form 1).
bool IsRawDataTrack(ImageFiles &files, const std::u16string &path, uint64_t size, Track *track) {
  uint8_t first[sizeof kSync];
  uint8_t s[kStrideRaw];
  if (size < uint64_t(kRawDescriptorSector + 1) * kStrideRaw ||
      !ReadExactly(files, path, 0, first, sizeof first) ||
      !ReadExactly(files, path, uint64_t(kRawDescriptorSector) * kStrideRaw, s, kStrideRaw) ||
      std::memcmp(first, kSync, sizeof kSync) != 0 || std::memcmp(s, kSync, sizeof kSync) != 0)
    return false;
  const uint8_t mode = s[15];
  uint8_t userOffset;
  if (mode == 1)
    userOffset = 16;
  else if (mode == 2 && !(s[18] & kForm2))
    userOffset = 24;
  else
    return false;
  if (!HasVolumeDescriptor(s + userOffset))
    return false;
  *track = Track{};
  track->stride = kStrideRaw;
  track->userOffset = userOffset;
  track->sectors = uint32_t(std::min<uint64_t>(size / kStrideRaw, kLayoutMaxSectors - 1));
  return true;
}

// A CHD, whatever its name: MAME's signature at its start.
bool StartsWithChdSignature(ImageFiles &files, const std::u16string &path) {
  static constexpr char kChdSignature[8] = {'M', 'C', 'o', 'm', 'p', 'r', 'H', 'D'};
  char first[sizeof kChdSignature];
  return ReadExactly(files, path, 0, first, sizeof first) &&
         std::memcmp(first, kChdSignature, sizeof first) == 0;
}

bool EndsWithIso(const std::u16string &path) {
  if (path.size() < 4)
    return false;
  std::u16string end = path.substr(path.size() - 4);
  for (char16_t &c : end)
    if (c >= u'A' && c <= u'Z')
      c = char16_t(c - u'A' + u'a');
  return end == u".iso";
}

// A plain run of 2,048-byte sectors with a volume at its start.
bool IsCookedVolume(ImageFiles &files, const std::u16string &path) {
  const UserSectorReader read = FlatSectors(files, path, 0);
  uint8_t s[kBytesPerSector];
  return (read(kRawDescriptorSector, s) && std::memcmp(s + 1, "CD001", 5) == 0) ||
         HasUdfAnchor(read, 0);
}

// The classic images: data at `base` of the file, no layout.
void CheckFlat(ImageFiles &files, const std::u16string &path, uint64_t size, uint64_t base,
               DetectedImage *image) {
  if (size < base + uint64_t(kVolumeSectors) * kBytesPerSector)
    return Refuse(image, Reason::kTooSmall, path);
  image->volumeFound = HasVolume(FlatSectors(files, path, base), 0);
}

} // namespace

DetectedImage DetectImage(ImageFiles &files, const std::u16string &path) {
  DetectedImage image;
  uint64_t size = 0;
  if (!files.Size(path, &size)) {
    Refuse(&image, Reason::kUnreadable, path);
    return image;
  }
  if (StartsWithChdSignature(files, path)) {
    image.kind = ImageKind::kServed;
    image.volumeExpected = false; // the server reads the image; it has no volume to look at here
    return image;
  }
  for (const Descriptor &d : kDescriptors) {
    if (!d.is(files, path))
      continue;
    image.kind = ImageKind::kLayout;
    image.error = d.read(files, path, &image.layout);
    if (!image.error)
      CheckLayout(files, &image);
    return image;
  }
  if (StartsLikeCueSheet(files, path)) {
    Refuse(&image, Reason::kNotUnderstood, path);
    return image;
  }
  Track plain; // one data track from block 0
  const bool raw = IsRawDataTrack(files, path, size, &plain);
  if (!raw && EndsWithIso(path)) {
    image.kind = ImageKind::kIso;
    CheckFlat(files, path, size, 0, &image);
    return image;
  }
  if (raw || IsCookedVolume(files, path)) {
    if (!raw)
      plain.sectors = uint32_t(std::min<uint64_t>(size / kBytesPerSector, kLayoutMaxSectors - 1));
    image.layout.files = {path};
    image.layout.tracks = {plain};
    CheckLayout(files, &image);
    return image;
  }
  image.kind = ImageKind::kVelmor;
  CheckFlat(files, path, size, kVelmorHeaderSize, &image);
  return image;
}

} // namespace velmor::formats
