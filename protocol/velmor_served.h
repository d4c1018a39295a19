// Served drives: a layout drive whose "files" are byte streams a user-mode server answers for,
// by inverted call. The server opens the control device, makes the drive with
// IOCTL_VELMOR_ADD_SERVED on that handle, then keeps IOCTL_VELMOR_SERVE requests pending on the
// same handle: the driver completes one with the next read to do, and the server's following
// SERVE carries the answer. Only the handle that made a drive serves it; when that handle is
// closed (the server exits) the drive has no media until it is ejected.
// Freestanding, like velmor_protocol.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "velmor_layout.h"
#include "velmor_protocol.h"

namespace velmor {

// Makes a served drive. Input: a LayoutRecord; the names are what the drive shows as its image
// (the first is the image the user chose) and each track's `file` names the stream the server
// reads it from. The driver opens no file on this road. Output: none.
inline constexpr uint32_t IOCTL_VELMOR_ADD_SERVED =
    ControlCode(kFileDeviceCdRom, 0x809, kMethodBuffered, kFileAnyAccess);

// Answers the previous read (if the input holds one) and waits for the next. Input: a
// ServedAnswer, then `length` data bytes; or nothing, on the first call. Output: a
// ServedRequest. Completed with STATUS_CANCELLED when the server cancels it or closes its handle.
// How the driver takes an answer:
// - an output shorter than a ServedRequest: STATUS_BUFFER_TOO_SMALL, the answer not looked at;
// - an input that is not a ServedAnswer followed by exactly its `length` bytes (at most
//   kServedMaxRead; 0 for kServedAnswerFailed), or a result other than the two below:
//   STATUS_INVALID_PARAMETER at once, nothing answered;
// - an answer to the read a drive of this handle waits for whose length is not the one asked:
//   refused, that read fails with a device error, and the SERVE with STATUS_INVALID_PARAMETER;
// - an answer no read waits for any more (it came after the read's time ran out, the drive was
//   ejected, or it names another handle's drive): dropped, and the SERVE waits on as if the
//   input had been empty. A server should not treat a failed SERVE as the end: it sends the
//   next one empty.
// Several SERVEs of one handle may be pending at once; each carries one read, of any of the
// handle's drives. A handle that made no drive may keep a SERVE pending; it waits until cancelled.
// Each piece of a drive's read waits for its answer at most kServedAnswerMilliseconds from when
// it was asked (also when no SERVE of the handle was pending then), and fails with
// STATUS_IO_DEVICE_ERROR after that. A refused image (kServedAnswerFailed) fails the read with
// STATUS_DEVICE_DATA_ERROR. Once the handle is closed, the drive's reads and its answers about
// the disc fail with STATUS_NO_MEDIA_IN_DEVICE until it is ejected.
inline constexpr uint32_t IOCTL_VELMOR_SERVE =
    ControlCode(kFileDeviceCdRom, 0x80A, kMethodBuffered, kFileAnyAccess);

// The most a request asks for at once: a drive's read of more is asked in pieces.
inline constexpr uint32_t kServedMaxRead = 256 * 1024;
// How long a drive's read waits for its answer before it fails with a device error.
inline constexpr uint32_t kServedAnswerMilliseconds = 5000;

// Only fields of four bytes or less: the 32-bit server's record reaches the x86-64 driver byte
// for byte.
struct ServedRequest {
  uint32_t id;     // never 0; the answer names it
  char16_t letter; // the drive
  uint8_t file;    // the stream
  uint8_t reserved0;
  uint32_t offsetLow; // where in the stream
  uint32_t offsetHigh;
  uint32_t length; // 1 to kServedMaxRead bytes
  uint32_t reserved1;
};
static_assert(sizeof(ServedRequest) == 24, "a served request is 24 bytes");

inline constexpr uint32_t kServedAnswerOk = 0;
inline constexpr uint32_t kServedAnswerFailed = 1; // the image could not give these bytes

struct ServedAnswer {
  uint32_t id; // the request answered
  char16_t letter;
  uint16_t reserved0;
  uint32_t result; // kServedAnswerOk or kServedAnswerFailed
  uint32_t length; // data bytes that follow: the request's length when ok, 0 otherwise
};
static_assert(sizeof(ServedAnswer) == 16, "a served answer is 16 bytes");

inline constexpr uint64_t ServedOffset(const ServedRequest &r) {
  return uint64_t(r.offsetHigh) << 32 | r.offsetLow;
}

// The registry: a served drive is kept, like every drive, as its letter's REG_SZ path in the
// drives key, and its layout record as a REG_BINARY named by the letter under this subkey. The
// driver's start-up makes none of these: the server makes them again.
inline constexpr char kServedSubkey[] = "Served";
inline constexpr char16_t kServedKeySuffix[] = u"\\Parameters\\Served";

} // namespace velmor
