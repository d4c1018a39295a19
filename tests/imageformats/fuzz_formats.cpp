// Fuzz entry: detects an image from an arbitrary descriptor and up to two data files in memory,
// then packs the layout it gives into the driver's record. The input is
//   the names (1 byte: the descriptor's in bits 0-2, the first file's in bits 3-4, the second
//   file's in bit 5; bits 6-7 the repeated unit), how often each part's first unit repeats
//   (1 byte each: descriptor, first file, second file), the descriptor's length (2 bytes), the
//   first file's length (2 bytes), then the descriptor, the first file and the second file.
// A file is its part's first unit (the whole part, or its first 2,048, 2,352 or 2,336 bytes)
// repeated, then the rest of the part: a few bytes reach the sizes of real images (a raw track
// needs 17 sectors before it is recognised; an NRG file keeps its chunks at its end) while
// inputs stay small.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "memory_files.h"

namespace {

using namespace velmor;
using namespace velmor::formats;

// The descriptor's name, by the input's first byte: its extension steers only the name-based
// choices (".iso", the CloneCD and MDS image beside it); the readers go by contents.
const char16_t *const kDescriptorNames[] = {
    u"D:\\d\\disc.cue", u"D:\\d\\disc.ccd", u"D:\\d\\disc.mds", u"D:\\d\\disc.nrg",
    u"D:\\d\\disc.iso", u"D:\\d\\disc.img", u"D:\\d\\disc.bin", u"D:\\d\\disc.vlm",
};
// Where the data files lie: the names the descriptors of the test images use.
const char16_t *const kFirstFileNames[] = {
    u"D:\\d\\disc.bin",
    u"D:\\d\\disc.img",
    u"D:\\d\\disc.mdf",
    u"D:\\d\\disc-tracks 01.bin",
};
const char16_t *const kSecondFileNames[] = {
    u"D:\\d\\disc-tracks 02.bin",
    u"D:\\d\\disc.sub",
};

// Up to 256 raw sectors: a data track past the 18 sectors a volume needs and an audio track
// after a stored two-second pregap, still cheap to build.
constexpr size_t kMaxFileSize = 256 * kStrideRaw;

std::string Repeated(const uint8_t *data, size_t size, uint8_t repeats, uint8_t unitKind) {
  const size_t units[] = {size, kBytesPerSector, kStrideRaw, kStrideMode2};
  const size_t unit = std::min(size, units[unitKind & 3]);
  const size_t total = std::min(kMaxFileSize, unit * (1 + size_t(repeats)));
  std::string out;
  out.reserve(total + size - unit);
  out.assign(reinterpret_cast<const char *>(data), unit);
  while (out.size() < total) // copies from the string itself: reserved, so never reallocated
    out.append(out, 0, std::min(out.size(), total - out.size()));
  out.append(reinterpret_cast<const char *>(data) + unit, size - unit);
  return out;
}

// Every track inside its file, its stored pregap included; false names an unsound layout.
bool TracksInsideFiles(MemoryFiles &files, const DiscLayout &layout) {
  if (layout.tracks.empty())
    return false;
  for (const Track &t : layout.tracks) {
    uint64_t size = 0;
    if (t.file >= layout.files.size() || !files.Size(layout.files[t.file], &size))
      return false;
    const uint64_t before = t.pregapInFile ? uint64_t(t.pregap) * t.stride : 0;
    if (t.fileOffset < before || t.fileOffset > size ||
        uint64_t(t.sectors) * t.stride > size - t.fileOffset)
      return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t kHeader = 8;
  if (size < kHeader)
    return 0;
  const uint8_t names = data[0];
  const size_t rest = size - kHeader;
  const size_t descriptorSize = std::min<size_t>(data[4] | data[5] << 8, rest);
  const size_t firstSize = std::min<size_t>(data[6] | data[7] << 8, rest - descriptorSize);
  const uint8_t *descriptorBytes = data + kHeader;
  const uint8_t *firstBytes = descriptorBytes + descriptorSize;
  const uint8_t *secondBytes = firstBytes + firstSize;

  MemoryFiles files;
  const std::u16string descriptor = kDescriptorNames[names & 7];
  if (firstSize)
    files.contents[kFirstFileNames[names >> 3 & 3]] =
        Repeated(firstBytes, firstSize, data[2], names >> 6);
  if (const size_t secondSize = rest - descriptorSize - firstSize)
    files.contents[kSecondFileNames[names >> 5 & 1]] =
        Repeated(secondBytes, secondSize, data[3], names >> 6);
  // The descriptor last: a plain image named like a data file is that file.
  files.contents[descriptor] = Repeated(descriptorBytes, descriptorSize, data[1], names >> 6);

  const DetectedImage image = DetectImage(files, descriptor);
  if (image.error || image.kind != ImageKind::kLayout)
    return 0;
  if (!TracksInsideFiles(files, image.layout))
    std::abort();
  auto record = std::make_unique<LayoutRecord>();
  if (!MakeLayoutRecord(image.layout, u'E', record.get()) &&
      CheckLayoutRecord(*record) != LayoutFault::kValid)
    std::abort();
  return 0;
}
