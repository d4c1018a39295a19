// SHA-1 on Windows: the system's CryptoAPI (there since Windows 2000).
#include "Checksums.h"

#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <stdexcept>

namespace velmor {

struct Sha1::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  ~State() {
    if (hash)
      CryptDestroyHash(hash);
    if (provider)
      CryptReleaseContext(provider, 0);
  }
};

Sha1::Sha1() : state_(new State) {
  // A hash needs no key container: the verify-only context never touches the user's keys.
  if (!CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
      !CryptCreateHash(state_->provider, CALG_SHA1, 0, 0, &state_->hash))
    throw std::runtime_error("SHA-1 is not available: system error " +
                             std::to_string(GetLastError()));
}

Sha1::~Sha1() = default;

void Sha1::Add(const void *data, std::size_t size) {
  const auto *p = static_cast<const BYTE *>(data);
  while (size > 0) {
    const auto n = static_cast<DWORD>(std::min<std::size_t>(size, 0x40000000));
    CryptHashData(state_->hash, p, n, 0);
    p += n;
    size -= n;
  }
}

std::string Sha1::Hex() {
  BYTE digest[20] = {};
  DWORD size = sizeof digest;
  CryptGetHashParam(state_->hash, HP_HASHVAL, digest, &size, 0);
  return HexDigits(digest, size);
}

} // namespace velmor
