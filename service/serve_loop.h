// A served drive's side of the inverted call: a few IOCTL_VELMOR_SERVE requests kept pending on
// the handle that made the drive, each completed by the driver with a read to do and sent again
// carrying its answer. Portable: the Win32 server gives it the handle's overlapped requests,
// the host tests a fake driver.
#pragma once

#include <cstdint>
#include <vector>

#include "image_source.h"
#include "velmor_served.h"

namespace velmor::serving {

// The bytes one slot sends with its next request: the answer's record and the data.
inline constexpr uint32_t kAnswerBufferBytes = sizeof(ServedAnswer) + kServedMaxRead;

// The answer to `request` for the drive at `letter`, written to `out` (kAnswerBufferBytes):
// the data when the request names a stream of the source and bytes inside it and the source
// reads them; a failure otherwise. The bytes to send.
uint32_t AnswerRequest(imagesource::ImageSource &source, char16_t letter,
                       const ServedRequest &request, uint8_t *out);

// The driver as the loop sees it.
class ServeChannel {
public:
  virtual ~ServeChannel() = default;
  // Sends slot `slot`'s request with `input` (none on the first), left pending; false when the
  // driver refuses it.
  virtual bool Submit(unsigned slot, const uint8_t *input, uint32_t size) = 0;
  // The next slot whose request the driver completed, with what it asks (`size`: the bytes it
  // filled); false when the drive's serving ends (the handle closed, the requests cancelled, a
  // stop asked).
  virtual bool Next(unsigned *slot, ServedRequest *request, uint32_t *size) = 0;
};

// How many requests a drive keeps pending: a read in pieces and the next read find one ready.
inline constexpr unsigned kServeSlots = 4;

// Keeps `slots` requests pending and answers each as it completes, until the channel ends.
// A completion that is no request (short, or without an id) is sent again without an answer.
// The number of requests answered.
uint64_t RunServeLoop(ServeChannel &channel, imagesource::ImageSource &source, char16_t letter,
                      unsigned slots = kServeSlots);

} // namespace velmor::serving
