// Reads of a layout drive, on the driver's thread at PASSIVE_LEVEL (the file routines'
// level): 2,048-byte blocks for the file system, and raw 2,352-byte sectors for
// IOCTL_CDROM_RAW_READ. A run of blocks that lie one after another in a file is read with one
// file read; sectors stored with more than their user data go through a bounce buffer. A
// drive reads its files through the handles it opened when it was made.
#include "layout_drive.h"
#include "served_drive.h"

namespace velmor {

using namespace kernel;

namespace {

void Zero(uint8_t *p, uint32_t n) { __builtin_memset(p, 0, n); }

// The compiler's fill and copy: inline or the kernel's own memset and memcpy, not byte loops.
void Copy(uint8_t *to, const uint8_t *from, uint32_t n) { __builtin_memcpy(to, from, n); }

// What one request reads with: the drive's files, opened once when the drive was made (or, for
// a served drive, its server's streams), and its bounce buffer, taken with the layout.
class RequestFiles {
public:
  explicit RequestFiles(VELMOR_DRIVE_EXTENSION *extension)
      : extension_(extension), layout_(extension->Layout) {}
  uint8_t *Bounce() { return layout_->bounce; }
  // Bytes of a track's file, the last sector they touch starting `lastSectorStart` bytes in.
  // A file that has shrunk since the drive was made fails the read when a sector starts past
  // its end, as a classic drive's image does (only the rest of a sector cut short reads as
  // zeros); a file that cannot be read makes the drive not ready.
  NtStatus Read(const LayoutTrack &track, uint64_t offset, uint8_t *to, uint32_t length,
                uint32_t lastSectorStart) {
    // A server answers every byte asked, or the read fails.
    if (extension_->Served)
      return VelmorServedRead(extension_, track.file, offset, to, length);
    uint32_t inFile = 0;
    if (!IsSuccess(
            VELMORReadOffset(int64_t(offset), to, length, layout_->handles[track.file], &inFile)))
      return status::kDeviceNotReady;
    return VelmorSectorsInFile(inFile, length, lastSectorStart) ? status::kSuccess
                                                                : status::kDeviceDataError;
  }

private:
  VELMOR_DRIVE_EXTENSION *extension_;
  const VelmorLayout *layout_;
};

// Reads `count` whole sectors of a strided track into the bounce buffer, a chunk at a time,
// and hands each sector's bytes to `take(sector, index)`.
template <typename Take>
NtStatus EachRawSector(RequestFiles &files, const LayoutTrack &track, uint64_t offset,
                       uint32_t count, Take take) {
  uint8_t *store = files.Bounce();
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = count - done < kBounceSectors ? count - done : kBounceSectors;
    const NtStatus result = files.Read(track, offset + uint64_t(done) * track.stride, store,
                                       n * track.stride, (n - 1) * track.stride);
    if (!IsSuccess(result))
      return result;
    for (uint32_t i = 0; i < n; ++i)
      take(store + i * track.stride, done + i);
    done += n;
  }
  return status::kSuccess;
}

// `length` user bytes from `within` bytes into the stored block at `place`, onwards.
NtStatus ReadUserBytes(RequestFiles &files, const LayoutPlace &place, uint32_t within, uint8_t *out,
                       uint32_t length) {
  const LayoutTrack &track = *place.track;
  if (track.stride == kStrideCooked)
    return files.Read(track, place.fileOffset + within, out, length,
                      VelmorLastSectorStart(within, length));
  const uint32_t sectors = (within + length + kBytesPerSector - 1) / kBytesPerSector;
  uint32_t written = 0;
  return EachRawSector(files, track, place.fileOffset, sectors,
                       [&](const uint8_t *sector, uint32_t index) {
                         const uint32_t skip = index == 0 ? within : 0;
                         uint32_t n = kBytesPerSector - skip;
                         if (n > length - written)
                           n = length - written;
                         Copy(out + written, sector + track.userOffset + skip, n);
                         written += n;
                       });
}

NtStatus ReadBlocks(VELMOR_DRIVE_EXTENSION *extension, int64_t offset, uint8_t *out,
                    uint32_t length) {
  const VelmorLayout *layout = extension->Layout;
  if (length == 0)
    return status::kSuccess;
  // A read that starts at or past the lead-out is the caller's fault, as a classic drive's
  // read that starts past its image's end; one that runs past it gets zeros for the rest.
  if (offset < 0 || (uint64_t(offset) >> 11) >= layout->leadOut)
    return status::kInvalidParameter;
  RequestFiles files(extension);
  uint64_t position = uint64_t(offset); // below 2^41 + 2^32: blocks fit in 32 bits
  for (uint32_t done = 0; done < length;) {
    const uint32_t within = uint32_t(position & (kBytesPerSector - 1));
    const LayoutPlace place = VelmorLocateBlock(layout, uint32_t(position >> 11));
    const uint64_t placeBytes = uint64_t(place.run) * kBytesPerSector - within;
    uint32_t piece = length - done;
    if (place.kind != LayoutPlace::kPastEnd && placeBytes < piece)
      piece = uint32_t(placeBytes);
    // A drive refuses a cooked read of an audio sector, its pregap's included.
    if (place.track && !IsDataTrack(place.track->controlAdr))
      return status::kInvalidDeviceRequest;
    if (place.kind == LayoutPlace::kStored) {
      const NtStatus result = ReadUserBytes(files, place, within, out + done, piece);
      if (!IsSuccess(result))
        return result;
    } else {
      Zero(out + done, piece); // a gap, a pregap not stored, or past the lead-out
    }
    done += piece;
    position += piece;
  }
  return status::kSuccess;
}

uint8_t Bcd(uint32_t value) { return uint8_t((value / 10 % 10) << 4 | value % 10); }

// The 16 bytes a sector stored without them begins with: sync pattern, MSF address, mode 2.
void PutSyncAndHeader(uint8_t *sector, uint32_t lba) {
  sector[0] = 0;
  for (uint32_t i = 1; i < 11; ++i)
    sector[i] = 0xFF;
  sector[11] = 0;
  const uint32_t frames = lba + kSectorsBeforeLba0;
  sector[12] = Bcd(frames / (60 * 75) % 100);
  sector[13] = Bcd(frames / 75 % 60);
  sector[14] = Bcd(frames % 75);
  sector[15] = 2;
}

// `count` raw sectors from `lba` on, each kRawSectorBytes. The mode must match the track kind
// as a drive's READ CD with an expected sector type does: CD-DA for audio, a mode 2 read for
// data sectors. Data tracks stored as 2,048-byte sectors have no raw form to give.
NtStatus ReadRawSectors(VELMOR_DRIVE_EXTENSION *extension, uint32_t lba, uint32_t count,
                        uint32_t mode, uint8_t *out) {
  const VelmorLayout *layout = extension->Layout;
  RequestFiles files(extension);
  for (uint32_t done = 0; done < count;) {
    const LayoutPlace place = VelmorLocateBlock(layout, lba);
    if (place.kind == LayoutPlace::kPastEnd) // the control request checked the range
      return status::kInvalidParameter;
    uint32_t n = count - done < place.run ? count - done : place.run;
    uint8_t *to = out + done * kRawSectorBytes;
    if (place.track) {
      const LayoutTrack &track = *place.track;
      const bool audio = !IsDataTrack(track.controlAdr);
      if (audio != (mode == kTrackModeCdda) || track.stride == kStrideCooked)
        return status::kInvalidDeviceRequest;
    }
    NtStatus result = status::kSuccess;
    if (place.kind != LayoutPlace::kStored) {
      Zero(to, n * kRawSectorBytes);
    } else if (place.track->stride == kStrideRaw) {
      result = files.Read(*place.track, place.fileOffset, to, n * kRawSectorBytes,
                          (n - 1) * kRawSectorBytes);
    } else {
      const bool headerless = place.track->stride == kStrideMode2;
      result = EachRawSector(files, *place.track, place.fileOffset, n,
                             [&](const uint8_t *sector, uint32_t index) {
                               uint8_t *raw = to + index * kRawSectorBytes;
                               if (headerless) {
                                 PutSyncAndHeader(raw, lba + index);
                                 Copy(raw + 16, sector, kStrideMode2);
                               } else {
                                 Copy(raw, sector, kRawSectorBytes); // subchannel left out
                               }
                             });
    }
    if (!IsSuccess(result))
      return result;
    done += n;
    lba += n;
  }
  return status::kSuccess;
}

} // namespace

void VelmorServeLayoutRead(VELMOR_DRIVE_EXTENSION *extension, Request *request) {
  const uint32_t length = ReadLength(request);
  uint32_t mapped = 0;
  void *buffer = length ? MapReadBuffer(request, &mapped) : nullptr;
  if (length && !buffer) {
    CompleteRequest(request, status::kInsufficientResources, 0);
    return;
  }
  // The locked buffer must hold the whole transfer: the read writes that many bytes into it.
  if (mapped < length) {
    CompleteRequest(request, status::kInvalidParameter, 0);
    return;
  }
  if (!VelmorHoldDrive(extension)) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  // A served drive whose server has gone has no media: its reads fail at once, gaps too.
  const NtStatus result =
      VelmorServedMediaGone(extension)
          ? status::kNoMediaInDevice
          : ReadBlocks(extension, ReadByteOffset(request), static_cast<uint8_t *>(buffer), length);
  VelmorReleaseDrive(extension);
  CompleteRequest(request, result, IsSuccess(result) ? length : 0);
}

void VelmorServeRawRead(VELMOR_DRIVE_EXTENSION *extension, Request *request) {
  // What the control request checked, carried with the request: the caller's input is not
  // read again.
  const uint32_t first = uint32_t(VelmorQueuedArgument(request, 0));
  const uintptr_t packed = VelmorQueuedArgument(request, 1);
  const uint32_t sectors = uint32_t(packed >> 2), mode = uint32_t(packed & 3);
  uint32_t mapped = 0;
  void *buffer = MapReadBuffer(request, &mapped);
  if (!buffer) {
    CompleteRequest(request, status::kInsufficientResources, 0);
    return;
  }
  if (mapped < sectors * kRawSectorBytes) {
    CompleteRequest(request, status::kInvalidParameter, 0);
    return;
  }
  if (!VelmorHoldDrive(extension)) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  const NtStatus result =
      VelmorServedMediaGone(extension)
          ? status::kNoMediaInDevice
          : ReadRawSectors(extension, first, sectors, mode, static_cast<uint8_t *>(buffer));
  VelmorReleaseDrive(extension);
  CompleteRequest(request, result, IsSuccess(result) ? sectors * kRawSectorBytes : 0);
}

} // namespace velmor
