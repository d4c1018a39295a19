#pragma once
// A name set whose tree is made of ISO 9660 directory records (ISO 9660 itself, Joliet): what its
// identifiers and text fields are made of, and the lengths of its records. The layout sizes the
// set's path tables and directory extents from this description, and the header writes their
// bytes from the same one, so a record's length is known in one place.
#include <cstdint>
#include <string>

#include "compilation.h"
#include "layout.h"
#include "names.h"

namespace velmor {

// Bytes of a directory record: 33 before the identifier, a pad byte after an identifier of even
// length (so the system use area starts on an even byte), then the system use bytes.
constexpr std::uint32_t DirectoryRecordLength(std::uint32_t identifierBytes,
                                              std::uint32_t systemUseBytes = 0) {
  return 33 + identifierBytes + (identifierBytes % 2 == 0 ? 1 : 0) + systemUseBytes;
}

// Bytes of a path-table record: 8 before the identifier, padded to an even length.
constexpr std::uint32_t PathTableRecordLength(std::uint32_t identifierBytes) {
  return 8 + identifierBytes + identifierBytes % 2;
}

// "." and ".." open every directory extent; their identifiers are the bytes 0 and 1.
constexpr std::uint32_t kDotRecordBytes = DirectoryRecordLength(1);

constexpr std::uint8_t kRecordHidden = 0x01;
constexpr std::uint8_t kRecordDirectory = 0x02;
constexpr std::uint8_t kRecordMultiExtent = 0x80;

// A directory record's fields other than its identifier and system use bytes.
struct RecordFields {
  std::uint32_t Extent = 0;
  std::uint32_t Length = 0;
  std::uint8_t Date[7] = {}; // years since 1900 ... seconds, then quarter hours east of UTC
  std::uint8_t Flags = 0;
};

void SetRecordDate(RecordFields &f, TDateTime value, std::int16_t tzOffset);

// Writes the fields of a record of `length` bytes whose identifier has `identifierBytes`; the
// identifier (at p + 33) and the system use bytes are the caller's.
void PutRecordFields(std::uint8_t *p, std::uint32_t length, const RecordFields &f,
                     std::uint32_t identifierBytes);
// A record whose identifier is the one byte `id` ("." 0, ".." 1, the descriptor's root 0).
std::uint32_t PutDotRecord(std::uint8_t *p, const RecordFields &f, std::uint8_t id);

class NameSet {
public:
  NameSet(std::uint8_t descriptorType, DirExtent TDirNode::*extent,
          NameSetLayout ImageLayout::*layout)
      : descriptorType_(descriptorType), extent_(extent), layout_(layout) {}
  virtual ~NameSet() = default;

  // The volume descriptor's type: 1 primary, 2 supplementary.
  std::uint8_t DescriptorType() const { return descriptorType_; }
  // Extra marks of the descriptor (Joliet's escape sequence).
  virtual void MarkDescriptor(std::uint8_t *descriptor) const { (void)descriptor; }
  // A text field of the descriptor, `bytes` long, padded with spaces.
  virtual void PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const = 0;

  // The bytes of an entry's identifier; a file's carries ";1" in a directory record
  // (`inRecord`), not in a path table.
  virtual std::uint32_t IdentifierBytes(const TEntryNode &e, bool inRecord) const = 0;
  virtual void PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const = 0;
  // The system use bytes of an entry's directory record (an even number), written after the
  // identifier and its pad byte. Neither set has any; an extension such as Rock Ridge would.
  virtual std::uint32_t SystemUseBytes(const TEntryNode &e) const {
    (void)e;
    return 0;
  }
  virtual void PutSystemUse(std::uint8_t *p, const TEntryNode &e) const {
    (void)p;
    (void)e;
  }

  // The parts of an entry's directory record: what the layout sizes and the writer writes.
  struct RecordShape {
    std::uint32_t IdentifierBytes, SystemUseBytes, Length;
  };
  RecordShape ShapeOf(const TEntryNode &e) const {
    const std::uint32_t n = IdentifierBytes(e, true), systemUse = SystemUseBytes(e);
    return {n, systemUse, DirectoryRecordLength(n, systemUse)};
  }
  std::uint32_t PathRecordLength(const TEntryNode &e) const {
    return PathTableRecordLength(IdentifierBytes(e, false));
  }
  // Writes an entry's directory record of that shape at p.
  void PutRecord(std::uint8_t *p, const RecordFields &f, const TEntryNode &e,
                 const RecordShape &shape) const;

  // Where a directory keeps its extent in this set, and where the layout keeps the set's sectors.
  DirExtent &ExtentOf(TDirNode &d) const { return d.*extent_; }
  const DirExtent &ExtentOf(const TDirNode &d) const { return d.*extent_; }
  NameSetLayout &LayoutIn(ImageLayout &layout) const { return layout.*layout_; }
  const NameSetLayout &LayoutIn(const ImageLayout &layout) const { return layout.*layout_; }

private:
  std::uint8_t descriptorType_;
  DirExtent TDirNode::*extent_;
  NameSetLayout ImageLayout::*layout_;
};

// ISO 9660: the entries' 8-bit identifiers, text upper-cased in the code page.
class IsoNameSet final : public NameSet {
public:
  explicit IsoNameSet(const CharTable &chars);
  void PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const override;
  std::uint32_t IdentifierBytes(const TEntryNode &e, bool inRecord) const override;
  void PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const override;

private:
  const CharTable &chars_;
};

// Joliet: UCS-2 big-endian identifiers and text.
class JolietNameSet final : public NameSet {
public:
  explicit JolietNameSet(Platform &platform);
  void MarkDescriptor(std::uint8_t *descriptor) const override;
  void PutText(std::uint8_t *p, std::size_t bytes, const std::string &text) const override;
  std::uint32_t IdentifierBytes(const TEntryNode &e, bool inRecord) const override;
  void PutIdentifier(std::uint8_t *p, const TEntryNode &e, bool inRecord) const override;

private:
  Platform &platform_;
};

// 8-bit text field: upper-cased, space-padded, cut at the field's byte length.
void PutUpperText(std::uint8_t *p, std::size_t length, const std::string &text,
                  const CharTable &chars);

} // namespace velmor
