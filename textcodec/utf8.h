#pragma once
// UTF-8 and UTF-16 without the system: names in descriptors marked as UTF-8, list files saved
// as UTF-8, and the 8-bit code page of hosts other than Windows.
#include <string>
#include <string_view>

namespace velmor::text {

// Length of the sequence that `lead` starts: 2 to 4, or 1 for ASCII and for bytes that start
// no valid sequence (continuation bytes, C0, C1, F5 to FF).
unsigned Utf8SequenceLength(unsigned char lead);

// A byte that starts no valid sequence (truncated, overlong, a surrogate, beyond U+10FFFF)
// becomes U+FFFD and decoding goes on at the next byte.
std::u16string Utf8ToUtf16(std::string_view text);

// Half of a surrogate pair becomes `loneSurrogate`.
std::string Utf16ToUtf8(std::u16string_view text, char32_t loneSurrogate = U'\uFFFD');

} // namespace velmor::text
