// SHA-1 on hosts other than Windows: nettle's, which picks the processor's SHA instructions
// where it has them.
#include "Checksums.h"

#include <nettle/sha1.h>

namespace velmor {

struct Sha1::State {
  sha1_ctx context;
};

Sha1::Sha1() : state_(new State) { sha1_init(&state_->context); }

Sha1::~Sha1() = default;

void Sha1::Add(const void *data, std::size_t size) {
  sha1_update(&state_->context, size, static_cast<const std::uint8_t *>(data));
}

std::string Sha1::Hex() {
  std::uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_digest(&state_->context, sizeof digest, digest);
  return HexDigits(digest, sizeof digest);
}

} // namespace velmor
