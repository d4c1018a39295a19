// The answers a CD-ROM drive gives about its disc, from a view of the disc alone.
#include "disc_answers.h"

namespace velmor {
namespace {

// Writes fields one after another, storing only what lies inside the buffer but counting every
// byte, so that an answer cut short still knows its whole length.
class Writer {
public:
  Writer(void *out, uint32_t length) : p_(static_cast<uint8_t *>(out)), length_(length) {}

  void Byte(uint32_t v) {
    if (at_ < length_)
      p_[at_] = uint8_t(v);
    ++at_;
  }
  void Zeros(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
      Byte(0);
  }
  void Big16(uint32_t v) {
    Byte(v >> 8);
    Byte(v);
  }
  void Big32(uint32_t v) {
    Big16(v >> 16);
    Big16(v);
  }
  void Little16(uint32_t v) {
    Byte(v);
    Byte(v >> 8);
  }
  void Little32(uint32_t v) {
    Little16(v);
    Little16(v >> 16);
  }
  void Little64(uint64_t v) {
    Little32(uint32_t(v));
    Little32(uint32_t(v >> 32));
  }
  // A text and its ending zero.
  void Text(const char *text) {
    do
      Byte(uint8_t(*text));
    while (*text++);
  }
  // The minutes, seconds and frames of a block (with the 150 blocks before block 0). A field
  // has one byte for the minutes, so a block past 255:59:74 is given as that address.
  void Msf3(uint32_t lba) {
    const uint32_t frames = lba + kSectorsBeforeLba0; // lba < 2^30: no overflow
    const uint32_t minutes = frames / (60 * 75);
    Byte(minutes > 255 ? 255 : minutes);
    Byte(minutes > 255 ? 59 : frames / 75 % 60);
    Byte(minutes > 255 ? 74 : frames % 75);
  }
  // A track record's address: reserved byte and MSF, or the block big-endian.
  void Address(uint32_t lba, bool msf) {
    if (!msf)
      return Big32(lba);
    Byte(0);
    Msf3(lba);
  }
  // Writes again over a field already written (a length known only at the end).
  void Big32At(uint32_t offset, uint32_t v) {
    const uint32_t at = at_;
    at_ = offset;
    Big32(v);
    at_ = at;
  }

  uint32_t Total() const { return at_; }
  uint32_t Written() const { return at_ < length_ ? at_ : length_; }

private:
  uint8_t *p_;
  uint32_t length_;
  uint32_t at_ = 0;
};

uint32_t Little32At(const void *input, uint32_t offset) {
  const auto *p = static_cast<const uint8_t *>(input) + offset;
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t kMediaTypeRemovable = 11; // MEDIA_TYPE RemovableMedia
constexpr uint32_t kFileDeviceDvd = 0x33;
constexpr uint32_t kStorageMediaCdRom = 0x33; // STORAGE_MEDIA_TYPE CD_ROM
constexpr uint32_t kStorageMediaDvdRom = 0x36;
constexpr uint32_t kMediaReadOnly = 0x00000004;
constexpr uint32_t kMediaCurrentlyMounted = 0x80000000;
constexpr uint32_t kNoPartition = 0xFFFFFFFF; // a CD-ROM drive is not partitioned

// The drive looks like an ATAPI drive (STORAGE_BUS_TYPE BusTypeAtapi, MMC physical interface 2),
// which every tool of every system version knows.
constexpr uint32_t kBusTypeAtapi = 2;
constexpr uint32_t kPhysicalInterfaceAtapi = 2;
constexpr uint32_t kMaximumTransfer = 64 * 1024;
constexpr uint32_t kAlignmentMask = 1; // the drives' word alignment

constexpr uint32_t kProfileCdRom = 0x0008;
constexpr uint32_t kProfileDvdRom = 0x0010;

uint64_t DiscBytes(const DiscView &view) { return uint64_t(view.blocks) * kBytesPerSector; }

void Geometry(Writer &w, const DiscView &view) {
  w.Little64(view.cylinders);
  w.Little32(kMediaTypeRemovable);
  w.Little32(kTracksPerCylinder);
  w.Little32(kSectorsPerTrack);
  w.Little32(kBytesPerSector);
}

// One track record: reserved, control and ADR, number, reserved.
void TrackHead(Writer &w, uint8_t controlAdr, uint8_t number) {
  w.Byte(0);
  w.Byte(controlAdr);
  w.Byte(number);
  w.Byte(0);
}

const LayoutTrack &LastTrack(const DiscView &view) { return view.tracks[view.trackCount - 1]; }

// One session, whose first track is the disc's.
void Session(Writer &w, const DiscView &view, bool msf) {
  w.Big16(kSessionAnswerSize - 2);
  w.Byte(1); // first and last complete session
  w.Byte(1);
  TrackHead(w, view.tracks[0].controlAdr, view.tracks[0].number);
  w.Address(view.tracks[0].firstLba, msf);
}

// ---- Property query ----------------------------------------------------------------------------
constexpr uint32_t kStorageDeviceProperty = 0;
constexpr uint32_t kStorageAdapterProperty = 1;
constexpr uint32_t kPropertyStandardQuery = 0;
constexpr uint32_t kPropertyExistsQuery = 1;
constexpr uint32_t kDeviceDescriptorFields = 40; // STORAGE_DEVICE_DESCRIPTOR: fields and padding
constexpr uint32_t kAdapterDescriptorSize = 32;
constexpr uint32_t kReadOnlyDirectAccess = 5; // the SCSI peripheral type of CD and DVD drives
constexpr char kVendor[] = "Velmor";
constexpr char kProductCd[] = "Virtual CD-ROM";
constexpr char kProductDvd[] = "Virtual DVD-ROM";
constexpr char kRevision[] = "1.0";

void DeviceDescriptor(Writer &w, const DiscView &view) {
  const char *product = VelmorIsDvd(view) ? kProductDvd : kProductCd;
  uint32_t productLength = 0;
  while (product[productLength])
    ++productLength;
  const uint32_t vendorAt = kDeviceDescriptorFields;
  const uint32_t productAt = vendorAt + sizeof(kVendor);
  const uint32_t revisionAt = productAt + productLength + 1;
  const uint32_t size = revisionAt + sizeof(kRevision);
  w.Little32(kDeviceDescriptorFields); // version: the structure's size
  w.Little32(size);
  w.Byte(kReadOnlyDirectAccess);
  w.Byte(0);
  w.Byte(1); // removable medium
  w.Byte(0); // no command queueing
  w.Little32(vendorAt);
  w.Little32(productAt);
  w.Little32(revisionAt);
  w.Little32(0); // no serial number
  w.Little32(kBusTypeAtapi);
  w.Little32(0); // no raw properties
  w.Zeros(kDeviceDescriptorFields - w.Total());
  w.Text(kVendor);
  w.Text(product);
  w.Text(kRevision);
}

void AdapterDescriptor(Writer &w) {
  w.Little32(kAdapterDescriptorSize);
  w.Little32(kAdapterDescriptorSize);
  w.Little32(kMaximumTransfer);
  w.Little32(kMaximumTransfer / 4096 + 1); // physical pages
  w.Little32(kAlignmentMask);
  w.Zeros(4); // no PIO, no scanning down, no command queueing, no accelerated transfer
  w.Byte(kBusTypeAtapi);
  w.Byte(0);
  w.Little16(1); // bus major and minor version
  w.Little16(0);
  w.Zeros(2); // SRB type and address type: the system's defaults
}

// ---- Configuration
// -------------------------------------------------------------------------------
constexpr uint32_t kRequestTypeAll = 0;
constexpr uint32_t kRequestTypeCurrent = 1;
constexpr uint32_t kRequestTypeOne = 2;

enum Feature : uint16_t {
  kProfileList = 0x0000,
  kCore = 0x0001,
  kMorphing = 0x0002,
  kRemovableMedium = 0x0003,
  kRandomReadable = 0x0010,
  kCdRead = 0x001E,
  kDvdRead = 0x001F,
};
constexpr Feature kFeatures[] = {kProfileList,    kCore,   kMorphing, kRemovableMedium,
                                 kRandomReadable, kCdRead, kDvdRead};

// What a read-only drive of the disc's kind lists: a DVD-ROM drive reads CDs too, a CD-ROM
// drive has no DVD feature. Every feature is current but the one the medium's kind lacks.
bool Listed(Feature f, bool dvd) { return f != kDvdRead || dvd; }
bool Current(Feature f, bool dvd) {
  if (f == kCdRead)
    return !dvd;
  if (f == kDvdRead)
    return dvd;
  return true;
}

void FeatureHead(Writer &w, Feature f, uint32_t version, bool persistent, bool current,
                 uint32_t length) {
  w.Big16(f);
  w.Byte(version << 2 | (persistent ? 2 : 0) | (current ? 1 : 0));
  w.Byte(length);
}

void WriteFeature(Writer &w, Feature f, bool dvd) {
  const bool current = Current(f, dvd);
  switch (f) {
  case kProfileList:
    FeatureHead(w, f, 0, true, true, dvd ? 8 : 4);
    if (dvd) {
      w.Big16(kProfileDvdRom);
      w.Byte(1); // current
      w.Byte(0);
    }
    w.Big16(kProfileCdRom);
    w.Byte(dvd ? 0 : 1);
    w.Byte(0);
    return;
  case kCore:
    FeatureHead(w, f, 0, true, true, 4);
    w.Big32(kPhysicalInterfaceAtapi);
    return;
  case kMorphing: // no asynchronous events, no operational change events
    FeatureHead(w, f, 1, true, true, 4);
    w.Zeros(4);
    return;
  case kRemovableMedium:
    FeatureHead(w, f, 0, true, true, 4);
    w.Byte(0x20 | 0x08 | 0x01); // a tray, which ejects and locks
    w.Zeros(3);
    return;
  case kRandomReadable:
    FeatureHead(w, f, 0, false, current, 8);
    w.Big32(kBytesPerSector);
    w.Big16(dvd ? 16 : 1); // blocking: an ECC block of a DVD, one sector of a CD
    w.Zeros(2);
    return;
  case kCdRead:
    FeatureHead(w, f, 0, false, current, 4);
    w.Zeros(4); // no C2 error pointers, no CD-Text
    return;
  case kDvdRead:
    FeatureHead(w, f, 0, false, current, 0);
    return;
  }
}

// ---- Extended table of contents
// ------------------------------------------------------------------
constexpr uint32_t kTocExFormatToc = 0;
constexpr uint32_t kTocExFormatSession = 1;
constexpr uint32_t kTocExFormatFullToc = 2;
constexpr uint32_t kTocExFormatPma = 3;
constexpr uint32_t kTocExFormatAtip = 4;
constexpr uint32_t kTocExFormatCdText = 5;
constexpr uint8_t kLeadOutTrack = 0xAA;
constexpr uint8_t kDiscTypeCdRom = 0x00;
constexpr uint8_t kDiscTypeXa = 0x20;

// A data track of Mode 2 sectors (2,336 bytes stored, or user data after a subheader) makes the
// disc a CD-ROM XA one.
uint8_t DiscType(const DiscView &view) {
  for (uint32_t i = 0; i < view.trackCount; ++i) {
    const LayoutTrack &t = view.tracks[i];
    if (IsDataTrack(t.controlAdr) && (t.stride == kStrideMode2 || t.userOffset == 24))
      return kDiscTypeXa;
  }
  return kDiscTypeCdRom;
}

DiscAnswer TocFromTrack(const DiscView &view, uint8_t first, bool msf, Writer &w) {
  uint32_t from = 0;
  if (first == kLeadOutTrack)
    from = view.trackCount;
  else if (first > LastTrack(view).number)
    return DiscAnswer{status::kInvalidDeviceRequest, 0}; // as a drive refuses the field
  else
    while (view.tracks[from].number < first)
      ++from;
  w.Big16(2 + 8 * (view.trackCount - from + 1));
  w.Byte(view.tracks[0].number);
  w.Byte(LastTrack(view).number);
  for (uint32_t i = from; i < view.trackCount; ++i) {
    TrackHead(w, view.tracks[i].controlAdr, view.tracks[i].number);
    w.Address(view.tracks[i].firstLba, msf);
  }
  TrackHead(w, LastTrack(view).controlAdr, kLeadOutTrack);
  w.Address(view.leadOut, msf);
  return DiscAnswer{status::kSuccess, w.Written()};
}

// The head of a descriptor of the full table of contents: session 1, the point, no absolute
// time; the point's three bytes follow.
void FullTocHead(Writer &w, uint8_t controlAdr, uint8_t point) {
  w.Byte(1);
  w.Byte(controlAdr);
  w.Byte(0);
  w.Byte(point);
  w.Zeros(4);
}

// The lead-in's descriptors of the one session: first track (A0), last track (A1), lead-out
// (A2), then every track. Addresses are always MSF in this format.
DiscAnswer FullToc(const DiscView &view, uint8_t session, Writer &w) {
  if (session > 1)
    return DiscAnswer{status::kInvalidDeviceRequest, 0};
  const LayoutTrack &first = view.tracks[0];
  const LayoutTrack &last = LastTrack(view);
  w.Big16(2 + 11 * (3 + view.trackCount));
  w.Byte(1); // first and last complete session
  w.Byte(1);
  FullTocHead(w, first.controlAdr, 0xA0);
  w.Byte(first.number);
  w.Byte(DiscType(view));
  w.Byte(0);
  FullTocHead(w, last.controlAdr, 0xA1);
  w.Byte(last.number);
  w.Zeros(2);
  FullTocHead(w, last.controlAdr, 0xA2);
  w.Msf3(view.leadOut);
  for (uint32_t i = 0; i < view.trackCount; ++i) {
    FullTocHead(w, view.tracks[i].controlAdr, view.tracks[i].number);
    w.Msf3(view.tracks[i].firstLba);
  }
  return DiscAnswer{status::kSuccess, w.Written()};
}

} // namespace

DiscView VelmorIsoView(uint64_t imageBytes, LayoutTrack *track) {
  *track = LayoutTrack{};
  track->number = 1;
  track->controlAdr = kControlAdrData;
  track->stride = kStrideCooked;
  static_assert(kBytesPerSector == 1u << 11, "a shift, not a 64-bit division");
  const uint64_t largest = uint64_t(kLayoutMaxSectors) * kBytesPerSector;
  const uint32_t blocks = imageBytes >= largest
                              ? kLayoutMaxSectors
                              : uint32_t((imageBytes + kBytesPerSector - 1) >> 11);
  if (blocks <= kIsoFixedSectors)
    return DiscView{track, 1, kIsoFixedLeadOut, blocks, kIsoFixedCylinders};
  return DiscView{track, 1, blocks, blocks,
                  (blocks + kSectorsPerCylinder - 1) / kSectorsPerCylinder};
}

bool VelmorParseToc(const uint8_t *toc, uint32_t length, LayoutTrack *tracks, DiscView *view) {
  if (length < 4)
    return false;
  const uint32_t follows = uint32_t(toc[0]) << 8 | toc[1];
  const uint32_t first = toc[2], last = toc[3];
  if (first < 1 || last > 99 || first > last)
    return false;
  const uint32_t count = last - first + 1;
  if (follows != 2 + 8 * (count + 1) || 2 + follows > length)
    return false;
  uint32_t leadOut = 0;
  for (uint32_t i = 0; i <= count; ++i) {
    const uint8_t *entry = toc + 4 + 8 * i;
    const uint32_t number = i < count ? first + i : kLeadOutTrack;
    if (entry[2] != number || entry[4] != 0 || entry[6] >= 60 || entry[7] >= 75)
      return false;
    const uint32_t frames = (entry[5] * 60u + entry[6]) * 75 + entry[7];
    if (frames < kSectorsBeforeLba0)
      return false;
    const uint32_t lba = frames - kSectorsBeforeLba0;
    if (i > 0 && lba <= tracks[i - 1].firstLba)
      return false;
    if (i == count) {
      leadOut = lba;
      break;
    }
    tracks[i] = LayoutTrack{};
    tracks[i].number = uint8_t(number);
    tracks[i].controlAdr = entry[1];
    tracks[i].firstLba = lba;
  }
  *view = DiscView{tracks, count, leadOut, leadOut,
                   (leadOut + kSectorsPerCylinder - 1) / kSectorsPerCylinder};
  return true;
}

uint32_t VelmorFillToc(const DiscView &view, void *out, uint32_t length) {
  Writer w(out, length);
  TocFromTrack(view, 0, true, w);
  w.Zeros(kTocSize - w.Total());
  return kTocSize;
}

uint32_t VelmorFillGeometry(const DiscView &view, void *out, uint32_t length) {
  Writer w(out, length);
  Geometry(w, view);
  return w.Total();
}

uint32_t VelmorFillGeometryEx(const DiscView &view, void *out, uint32_t length) {
  Writer w(out, length);
  Geometry(w, view);
  w.Little64(DiscBytes(view));
  return w.Total();
}

uint32_t VelmorFillLengthInfo(const DiscView &view, void *out, uint32_t length) {
  Writer w(out, length);
  w.Little64(DiscBytes(view));
  return w.Total();
}

uint32_t VelmorFillReadCapacity(const DiscView &view, void *out, uint32_t length) {
  Writer w(out, length);
  w.Little32(kReadCapacitySize); // version
  w.Little32(kReadCapacitySize); // size
  w.Little32(kBytesPerSector);
  w.Zeros(4); // the 64-bit fields' alignment
  w.Little64(view.blocks);
  w.Little64(DiscBytes(view));
  return w.Total();
}

uint32_t VelmorFillDeviceNumber(uint32_t number, void *out, uint32_t length) {
  Writer w(out, length);
  w.Little32(kFileDeviceCdRom);
  w.Little32(number);
  w.Little32(kNoPartition);
  return w.Total();
}

uint32_t VelmorFillHotplugInfo(void *out, uint32_t length) {
  Writer w(out, length);
  w.Little32(kHotplugInfoSize);
  w.Byte(1); // the medium is removable
  w.Byte(0); // it cannot be pulled without warning
  w.Byte(1); // the drive comes and goes while the system runs
  w.Byte(0); // no write cache
  return w.Total();
}

uint32_t VelmorFillMediaTypes(const DiscView &view, void *out, uint32_t length) {
  const bool dvd = VelmorIsDvd(view);
  Writer w(out, length);
  w.Little32(dvd ? kFileDeviceDvd : kFileDeviceCdRom);
  w.Little32(1); // one medium type
  w.Little64(view.cylinders);
  w.Little32(dvd ? kStorageMediaDvdRom : kStorageMediaCdRom);
  w.Little32(kTracksPerCylinder);
  w.Little32(kSectorsPerTrack);
  w.Little32(kBytesPerSector);
  w.Little32(1); // sides
  w.Little32(kMediaReadOnly | kMediaCurrentlyMounted);
  return w.Total();
}

uint32_t VelmorFillSession(const DiscView &view, bool msf, void *out, uint32_t length) {
  Writer w(out, length);
  Session(w, view, msf);
  return w.Total();
}

DiscAnswer VelmorAnswerPropertyQuery(const DiscView &view, const void *input, uint32_t inputLength,
                                     void *out, uint32_t length) {
  if (inputLength < kPropertyQuerySize)
    return DiscAnswer{status::kInfoLengthMismatch, 0};
  const uint32_t property = Little32At(input, 0);
  const uint32_t query = Little32At(input, 4);
  if (property != kStorageDeviceProperty && property != kStorageAdapterProperty)
    return DiscAnswer{status::kNotSupported, 0};
  if (query == kPropertyExistsQuery)
    return DiscAnswer{status::kSuccess, 0};
  if (query != kPropertyStandardQuery)
    return DiscAnswer{status::kInvalidParameter, 0};
  if (length < kDescriptorHeaderSize)
    return DiscAnswer{status::kBufferTooSmall, 0};
  Writer w(out, length);
  if (property == kStorageDeviceProperty)
    DeviceDescriptor(w, view);
  else
    AdapterDescriptor(w);
  return DiscAnswer{status::kSuccess, w.Written()};
}

DiscAnswer VelmorAnswerConfiguration(const DiscView &view, const void *input, uint32_t inputLength,
                                     void *out, uint32_t length) {
  if (inputLength < kConfigurationInputSize)
    return DiscAnswer{status::kInfoLengthMismatch, 0};
  const uint32_t start = Little32At(input, 0);
  const uint32_t type = Little32At(input, 4);
  // The reserved pointers: two of 4 bytes from a 32-bit caller, two of 8 from a 64-bit one.
  const uint32_t reservedEnd = inputLength < 24 ? inputLength : 24;
  for (uint32_t i = 8; i < reservedEnd; ++i)
    if (static_cast<const uint8_t *>(input)[i] != 0)
      return DiscAnswer{status::kInvalidParameter, 0};
  if (start > 0xFFFF ||
      (type != kRequestTypeAll && type != kRequestTypeCurrent && type != kRequestTypeOne))
    return DiscAnswer{status::kInvalidParameter, 0};
  const bool dvd = VelmorIsDvd(view);
  Writer w(out, length);
  w.Big32(0); // the length that follows, written at the end
  w.Zeros(2);
  w.Big16(dvd ? kProfileDvdRom : kProfileCdRom);
  for (Feature f : kFeatures) {
    if (!Listed(f, dvd) || (type == kRequestTypeOne ? f != start : f < start))
      continue;
    if (type == kRequestTypeCurrent && !Current(f, dvd))
      continue;
    WriteFeature(w, f, dvd);
  }
  w.Big32At(0, w.Total() - 4);
  return DiscAnswer{status::kSuccess, w.Written()};
}

DiscAnswer VelmorAnswerTocEx(const DiscView &view, const void *input, uint32_t inputLength,
                             void *out, uint32_t length) {
  if (inputLength < kTocExInputSize)
    return DiscAnswer{status::kInfoLengthMismatch, 0};
  const auto *in = static_cast<const uint8_t *>(input);
  const uint32_t format = in[0] & 0x0F;
  const bool msf = (in[0] & 0x80) != 0;
  const uint8_t sessionTrack = in[1];
  if ((in[0] & 0x70) != 0 || in[2] != 0 || in[3] != 0)
    return DiscAnswer{status::kInvalidParameter, 0};
  const bool sessionTrackUsed =
      format == kTocExFormatToc || format == kTocExFormatFullToc || format == kTocExFormatCdText;
  const bool sessionTrackReserved =
      format == kTocExFormatSession || format == kTocExFormatPma || format == kTocExFormatAtip;
  if (!sessionTrackUsed && !(sessionTrackReserved && sessionTrack == 0))
    return DiscAnswer{status::kInvalidParameter, 0};
  Writer w(out, length);
  switch (format) {
  case kTocExFormatToc:
    return TocFromTrack(view, sessionTrack, msf, w);
  case kTocExFormatSession:
    Session(w, view, msf);
    return DiscAnswer{status::kSuccess, w.Written()};
  case kTocExFormatFullToc:
    return FullToc(view, sessionTrack, w);
  default: // a pressed disc has no memory area, no pregroove and no CD-Text
    return DiscAnswer{status::kInvalidDeviceRequest, 0};
  }
}

NtStatus VelmorCheckBufferRule(const BufferRule &rule, uint32_t inputLength,
                               uint32_t outputLength) {
  const bool inputShort = inputLength < rule.minInput;
  if (inputShort && !(rule.flags & kRuleOutputFirst))
    return rule.shortInput;
  const bool noOutput = outputLength == 0 && (rule.flags & kRuleNoOutputAllowed);
  if (outputLength < rule.minOutput && !noOutput)
    return rule.shortOutput;
  if (rule.maxOutput && outputLength > rule.maxOutput)
    return rule.longOutput;
  if ((rule.flags & kRuleEvenOutput) && (outputLength & kAlignmentMask))
    return status::kInvalidParameter;
  return inputShort ? rule.shortInput : status::kSuccess;
}

} // namespace velmor
