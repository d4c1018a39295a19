// A CHD as an image served from user mode: a CD (its tracks from the CHT2 or CHTR metadata) or
// a run of 2,048-byte units (a DVD, or `chdman createraw -us 2048`), as one stream laid out as
// the BIN that `chdman extractcd` writes would be: each track's sectors at its own stride, the
// subchannel left out and audio in the BIN's little-endian byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image_source.h"

namespace velmor::imagesource::chd {

// Whether the first bytes of a file are a CHD's signature.
bool StartsLikeChd(const uint8_t *first, size_t length);

// The disc in a CHD, or null with `problem` naming what is wrong.
std::unique_ptr<ImageSource> OpenChdImage(std::unique_ptr<RandomAccessFile> file,
                                          OpenProblem *problem);

} // namespace velmor::imagesource::chd
