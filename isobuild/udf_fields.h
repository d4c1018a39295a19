#pragma once
// The field encodings of UDF (ECMA-167 as OSTA UDF 1.02 restricts it): descriptor tags with their
// checksum and CRC, OSTA CS0 strings, timestamps, entity identifiers. No layout here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "date_time.h"

namespace velmor::udf {

constexpr std::uint16_t kTagPrimary = 1;
constexpr std::uint16_t kTagAnchor = 2;
constexpr std::uint16_t kTagImplementationUse = 4;
constexpr std::uint16_t kTagPartition = 5;
constexpr std::uint16_t kTagLogicalVolume = 6;
constexpr std::uint16_t kTagUnallocatedSpace = 7;
constexpr std::uint16_t kTagTerminator = 8;
constexpr std::uint16_t kTagIntegrity = 9;
constexpr std::uint16_t kTagFileSet = 256;
constexpr std::uint16_t kTagFileIdentifier = 257;
constexpr std::uint16_t kTagAllocationExtent = 258;
constexpr std::uint16_t kTagFileEntry = 261;

constexpr std::size_t kTagBytes = 16;
// UDF 1.02 is the revision every reader knows; it is written as 0x0102 wherever asked.
constexpr std::uint16_t kRevision = 0x0102;

// The CRC of descriptors (CRC-ITU-T: x^16 + x^12 + x^5 + 1, starting at 0).
std::uint16_t Crc(const std::uint8_t *p, std::size_t n);

// Fills the tag at the start of a descriptor of `length` bytes whose body is already written:
// the CRC covers the body, the checksum the tag itself. `location` is the descriptor's own
// sector (or logical block, inside the partition).
void PutTag(std::uint8_t *p, std::uint16_t id, std::uint32_t location, std::size_t length);

// OSTA CS0 ("compressed Unicode"): one byte 8 and the characters as bytes when all of them fit
// a byte, else 16 and UCS-2 big-endian. Cs0Length is the byte count PutCs0 writes.
std::size_t Cs0Length(const std::u16string &text);
std::size_t PutCs0(std::uint8_t *p, const std::u16string &text);
// A dstring field of `bytes` bytes: CS0 text cut to fit, its length in the last byte.
void PutDstring(std::uint8_t *p, std::size_t bytes, const std::u16string &text);

// The charspec naming OSTA CS0 (64 bytes).
void PutCharspec(std::uint8_t *p);
// A 12-byte timestamp of local time with its offset from UTC in minutes.
void PutTimestamp(std::uint8_t *p, TDateTime value, int minutesEastOfUtc);
// A 32-byte entity identifier; the suffix carries the UDF revision where UDF asks for it.
void PutEntityId(std::uint8_t *p, const char *identifier, bool revisionSuffix);

} // namespace velmor::udf
