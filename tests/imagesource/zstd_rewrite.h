// Debian's chdman (0.251) writes no zstd hunks: the tests make them by rewriting a chdman CHD,
// every hunk decoded by the reader and compressed again with libzstd ("zstd", or "cdzs" for a
// CD), under a map coded as MAME codes it (a tree of sixteen 4-bit codes).
#pragma once

#include <string>

namespace velmor::imagesource {

// The CHD in `chd` with its hunks in zstd; "" when it cannot be read.
std::string RewriteWithZstd(const std::string &chd);

} // namespace velmor::imagesource
