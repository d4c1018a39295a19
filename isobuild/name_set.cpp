#include "name_set.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"

namespace velmor {

namespace {

constexpr std::uint8_t kJolietEscape[3] = {0x25, 0x2F, 0x40}; // UCS-2 level 1
constexpr char kVersion[] = ";1";

std::uint8_t *PutUcs2(std::uint8_t *p, const char16_t *units, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    *p++ = static_cast<std::uint8_t>(units[i] >> 8);
    *p++ = static_cast<std::uint8_t>(units[i]);
  }
  return p;
}

// Whether an entry's identifier carries ";1" where it appears.
bool Versioned(const TEntryNode &e, bool inRecord) { return inRecord && !e.IsFolder(); }

} // namespace

void SetRecordDate(RecordFields &f, TDateTime value, std::int16_t tzOffset) {
  const DateParts d = DecodeDateTime(value);
  f.Date[0] = static_cast<std::uint8_t>(std::clamp(d.Year - 1900, 0, 255));
  f.Date[1] = static_cast<std::uint8_t>(d.Month);
  f.Date[2] = static_cast<std::uint8_t>(d.Day);
  f.Date[3] = static_cast<std::uint8_t>(d.Hour);
  f.Date[4] = static_cast<std::uint8_t>(d.Minute);
  f.Date[5] = static_cast<std::uint8_t>(d.Second);
  f.Date[6] = static_cast<std::uint8_t>(tzOffset & 0xFF);
}

void PutRecordFields(std::uint8_t *p, std::uint32_t length, const RecordFields &f,
                     std::uint32_t identifierBytes) {
  p[0] = static_cast<std::uint8_t>(length);
  p[1] = 0;
  Both32(p + 2, f.Extent);
  Both32(p + 10, f.Length);
  std::memcpy(p + 18, f.Date, 7);
  p[25] = f.Flags;
  p[26] = 0;
  p[27] = 0;
  Both16(p + 28, 1);
  p[32] = static_cast<std::uint8_t>(identifierBytes);
}

std::uint32_t PutDotRecord(std::uint8_t *p, const RecordFields &f, std::uint8_t id) {
  PutRecordFields(p, kDotRecordBytes, f, 1);
  p[33] = id;
  return kDotRecordBytes;
}

void NameSet::PutRecord(std::uint8_t *p, const RecordFields &f, const TEntryNode &e,
                        const RecordShape &shape) const {
  PutRecordFields(p, shape.Length, f, shape.IdentifierBytes);
  PutIdentifier(p + 33, e, true);
  if (shape.SystemUseBytes)
    PutSystemUse(p + shape.Length - shape.SystemUseBytes, e);
}

void PutUpperText(std::uint8_t *p, std::size_t length, const std::string &text,
                  const CharTable &chars) {
  const std::string upper = UpperAscii(text, chars);
  std::memset(p, ' ', length);
  std::memcpy(p, upper.data(), std::min(length, upper.size()));
}

IsoNameSet::IsoNameSet(const CharTable &chars)
    : NameSet(1, &TDirNode::Iso, &ImageLayout::Iso), chars_(chars) {}

void IsoNameSet::PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const {
  PutUpperText(p, bytes, text, chars_);
}

std::uint32_t IsoNameSet::IdentifierBytes(const TEntryNode &e, bool inRecord) const {
  return static_cast<std::uint32_t>(e.IsoIdentifier.size() +
                                    (Versioned(e, inRecord) ? kVersionSuffixLength : 0));
}

void IsoNameSet::PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const {
  std::memcpy(p, e.IsoIdentifier.data(), e.IsoIdentifier.size());
  if (Versioned(e, inRecord))
    std::memcpy(p + e.IsoIdentifier.size(), kVersion, kVersionSuffixLength);
}

JolietNameSet::JolietNameSet(Platform &platform)
    : NameSet(2, &TDirNode::Joliet, &ImageLayout::Joliet), platform_(platform) {}

// The escape sequence marks the Joliet descriptor only: readers that find it in the primary
// descriptor take that one for Joliet and decode ISO names as UCS-2.
void JolietNameSet::MarkDescriptor(std::uint8_t *descriptor) const {
  std::memcpy(descriptor + 88, kJolietEscape, sizeof kJolietEscape);
}

// A field of n bytes holds n / 2 UCS-2 characters.
void JolietNameSet::PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const {
  std::u16string wide = platform_.AnsiToUtf16(text);
  wide.resize(bytes / 2, u' ');
  PutUcs2(p, wide.data(), wide.size());
}

std::uint32_t JolietNameSet::IdentifierBytes(const TEntryNode &e, bool inRecord) const {
  return static_cast<std::uint32_t>(
      2 * (e.JolietIdentifier.size() + (Versioned(e, inRecord) ? kVersionSuffixLength : 0)));
}

void JolietNameSet::PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const {
  p = PutUcs2(p, e.JolietIdentifier.data(), e.JolietIdentifier.size());
  if (Versioned(e, inRecord))
    PutUcs2(p, u";1", kVersionSuffixLength);
}

} // namespace velmor
