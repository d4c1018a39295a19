#pragma once
// Name rules of the compilation: upper-casing that leaves double-byte characters alone, the short
// names of virtual directories, and identifiers that fit their records.
#include <cstddef>
#include <string>

#include "compilation.h"
#include "platform.h"

namespace velmor {

// Byte length of a character by its first byte, taken once from the platform.
class CharTable {
public:
  explicit CharTable(Platform &platform);
  unsigned Length(unsigned char lead) const { return lengths_[lead]; }

private:
  unsigned char lengths_[256];
};

// Upper-cases ASCII letters only; the bytes of multi-byte characters stay as they are.
std::string UpperAscii(const std::string &text, const CharTable &chars);

// Short name of a directory made without a listing: the first 13 bytes, upper-cased, with every
// byte below 33 or above 122 replaced by "_".
std::string VirtualShortName(const std::string &name);

// Longest identifiers, version suffix included. An ISO identifier must fit a directory record,
// whose length byte caps it at 255 bytes. A Joliet record could hold 110 UCS-2 units, but readers
// keep at most 103 (the long-name convention of other ISO tools; libarchive cuts the rest), so
// Joliet identifiers stay within that.
constexpr std::size_t kMaxIsoIdentifier = 221;
constexpr std::size_t kMaxJolietUnits = 103;
// A UDF file identifier holds 127 UCS-2 characters after its compression byte.
constexpr std::size_t kMaxUdfNameUnits = 127;
constexpr std::size_t kVersionSuffixLength = 2; // ";1"

// Sets IsoIdentifier and JolietIdentifier of every child of dir: the entry's names, except that
// a name too long for its record is shortened (keeping a file's extension) and a name that
// another child already uses gets a "~n" mark, so every identifier is unique in the directory.
void FitIdentifiers(TDirNode &dir, Platform &platform, const CharTable &chars);

} // namespace velmor
