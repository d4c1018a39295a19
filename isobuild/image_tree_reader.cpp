#include "image_tree_reader.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "byte_order.h"
#include "code_page.h"
#include "el_torito.h"

namespace velmor {

namespace {

constexpr std::uint64_t kSector = 2048;
constexpr std::uint32_t kFirstDescriptor = 16;
constexpr std::uint32_t kMostDescriptors = 64;
constexpr std::uint32_t kUdfAnchor = 256;
constexpr std::uint32_t kMostUdfSequenceSectors = 64;
// Continuation blocks of one file's allocation descriptors: far more than a 4 GiB file needs.
constexpr std::uint32_t kMostAllocationBlocks = 65536;

// A date that no calendar holds is taken as the start of 1980, as FAT's earliest.
TDateTime UtcOf(int year, int month, int day, int hour, int minute, int second, int minutesEast,
                int millisecond = 0) {
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0) {
    year = 1980, month = 1, day = 1, hour = minute = second = minutesEast = millisecond = 0;
  }
  DateParts parts;
  parts.Year = year, parts.Month = month, parts.Day = day;
  parts.Hour = hour, parts.Minute = minute, parts.Second = second;
  parts.Millisecond = millisecond;
  return EncodeDateTime(parts) - minutesEast / 1440.0;
}

// ISO 9660's seven bytes: years since 1900, month, day, hour, minute, second, and the offset
// from UTC in quarter hours.
TDateTime RecordDate(const std::uint8_t *p) {
  return UtcOf(1900 + p[0], p[1], p[2], p[3], p[4], p[5], static_cast<std::int8_t>(p[6]) * 15);
}

// UDF's timestamp: type and zone, year, month, day, hour, minute, second and fractions.
TDateTime UdfDate(const std::uint8_t *p) {
  const std::uint16_t typeZone = ReadLe16(p);
  int zone = typeZone & 0xFFF;
  if (zone & 0x800)
    zone -= 0x1000;
  if ((typeZone >> 12) != 1 || zone == -2047)
    zone = 0;
  const int millisecond = p[9] <= 99 && p[10] <= 99 ? p[9] * 10 + p[10] / 10 : 0;
  return UtcOf(static_cast<std::int16_t>(ReadLe16(p + 2)), p[4], p[5], p[6], p[7], p[8], zone,
               millisecond);
}

// A checked descriptor tag: its identifier, its checksum and where it says it is.
bool Tagged(const std::uint8_t *p, std::uint16_t id, std::uint32_t location) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4)
      sum = static_cast<std::uint8_t>(sum + p[i]);
  return ReadLe16(p) == id && sum == p[4] && ReadLe32(p + 12) == location;
}

// Where a run of a file's data lies, gathered from its records or descriptors.
struct Run {
  std::uint64_t Offset = 0, Size = 0;
  bool Recorded = true;
};

class TreeReader {
public:
  TreeReader(ImageBytes &image, ImportedImage &out) : image_(image), out_(out) {}
  std::string Read();

private:
  struct Pending {
    std::int32_t Node;
    std::uint64_t Offset, Size; // the folder's records (ISO 9660) or its file entry's block (UDF)
  };

  bool Bytes(std::uint64_t offset, void *buffer, std::size_t count) {
    const std::uint64_t size = image_.Size();
    return offset <= size && count <= size - offset && image_.ReadAt(offset, buffer, count);
  }
  bool Sector(std::uint64_t n, std::uint8_t *buffer) { return Bytes(n * kSector, buffer, kSector); }
  std::string PathOf(std::int32_t node) const;
  std::string Fault(std::int32_t node, const std::string &what) const {
    return PathOf(node) + ": " + what;
  }
  std::int32_t AddNode(ImportedNode node, std::string &fault);
  bool InImage(std::uint64_t offset, std::uint64_t size) const {
    return offset <= image_.Size() && size <= image_.Size() - offset;
  }

  std::string ReadIso(const std::uint8_t *rootRecord, bool joliet);
  std::string ReadIsoFolder(const Pending &folder, bool joliet, std::deque<Pending> &queue);
  std::string ReadUdf(bool &unsupported);
  std::string ReadUdfEntry(std::uint32_t block, std::int32_t node, std::vector<Run> &runs,
                           std::uint64_t &size, bool &folder, TDateTime &date,
                           std::uint64_t &embedded);
  std::string ReadUdfFolder(const Pending &folder, std::deque<Pending> &queue);
  std::string ReadCatalog(std::uint32_t sector);
  bool UdfBlock(std::uint32_t block, std::uint8_t *buffer) {
    return block < partitionLength_ && Sector(std::uint64_t{partitionStart_} + block, buffer);
  }

  ImageBytes &image_;
  ImportedImage &out_;
  // Whether the tree's records may take `bytes` more: an image's folders and file entries never
  // hold more than the image does, unless they overlap, as a hostile image's may, to be read
  // again and again.
  bool Spend(std::uint64_t bytes) {
    if (bytes > budget_)
      return false;
    budget_ -= bytes;
    return true;
  }

  std::unordered_set<std::uint64_t> foldersSeen_;
  std::uint32_t partitionStart_ = 0, partitionLength_ = 0;
  std::uint64_t budget_ = 2 * image_.Size(); // an embedded folder is counted with its entry
};

std::string TreeReader::PathOf(std::int32_t node) const {
  std::u16string path;
  for (std::int32_t n = node; n > 0 && static_cast<std::size_t>(n) < out_.Nodes.size();
       n = out_.Nodes[static_cast<std::size_t>(n)].Parent)
    path = u"/" + out_.Nodes[static_cast<std::size_t>(n)].Name + path;
  return path.empty() ? "/" : text::Utf16ToAnsi(path);
}

std::int32_t TreeReader::AddNode(ImportedNode node, std::string &fault) {
  if (out_.Nodes.size() >= kMaxImportedNodes) {
    fault = "more than " + std::to_string(kMaxImportedNodes) + " files and folders";
    return -1;
  }
  out_.Nodes.push_back(std::move(node));
  return static_cast<std::int32_t>(out_.Nodes.size() - 1);
}

// Whether runs of data follow one another in the image, each but the last of whole sectors.
bool Contiguous(const std::vector<Run> &runs, std::uint64_t size, std::uint64_t &offset) {
  std::uint64_t at = 0, covered = 0;
  for (std::size_t i = 0; i < runs.size() && covered < size; ++i) {
    if (!runs[i].Recorded || (i > 0 && runs[i].Offset != at))
      return false;
    if (i == 0)
      offset = runs[i].Offset;
    at = runs[i].Offset + runs[i].Size;
    covered += runs[i].Size;
    if (covered < size && runs[i].Size % kSector != 0)
      return false;
  }
  return covered >= size;
}

std::string TreeReader::ReadIsoFolder(const Pending &folder, bool joliet,
                                      std::deque<Pending> &queue) {
  if (folder.Size > kMaxImportedFolderBytes)
    return Fault(folder.Node, "folder of " + std::to_string(folder.Size) + " bytes of records");
  if (!Spend(folder.Size))
    return Fault(folder.Node, "folders overlap: more records than the image holds");
  std::vector<std::uint8_t> records(static_cast<std::size_t>(folder.Size));
  if (!Bytes(folder.Offset, records.data(), records.size()))
    return Fault(folder.Node, "folder records past the end of the image");
  std::vector<Run> runs; // of a file recorded as several extents, until its last one
  std::u16string runsName;
  for (std::size_t at = 0; at < records.size();) {
    const std::uint8_t *r = records.data() + at;
    const std::size_t length = r[0];
    if (length == 0) { // the rest of the sector is padding
      at = (at / kSector + 1) * kSector;
      continue;
    }
    if (length < 34 || length > records.size() - at || 33u + r[32] > length)
      return Fault(folder.Node, "damaged record at byte " + std::to_string(at) + " of the folder");
    at += length;
    const std::size_t nameBytes = r[32];
    const std::uint8_t *name = r + 33;
    if (nameBytes == 1 && name[0] <= 1)
      continue; // the folder itself and its parent
    std::u16string text;
    if (joliet)
      for (std::size_t i = 0; i + 1 < nameBytes; i += 2)
        text.push_back(static_cast<char16_t>(name[i] << 8 | name[i + 1]));
    else
      text.assign(name, name + nameBytes);
    const std::uint8_t flags = r[25];
    const bool isFolder = (flags & 0x02) != 0;
    if (!isFolder) { // ";1", and the "." ISO 9660 gives a name without extension
      const std::size_t version = text.rfind(u';');
      if (version != std::u16string::npos)
        text.erase(version);
      if (!joliet && text.size() > 1 && text.back() == u'.')
        text.pop_back();
    }
    if (text.empty() || text.find(u'/') != std::u16string::npos || text == u"." || text == u"..")
      return Fault(folder.Node, "a name no folder can hold");
    const std::uint64_t offset = (std::uint64_t{ReadLe32(r + 2)} + r[1]) * kSector;
    const std::uint64_t size = ReadLe32(r + 10);
    const bool interleaved = r[26] != 0 || r[27] != 0;
    if (!isFolder && (flags & 0x80)) { // not the last extent of its file
      if (!runs.empty() && text != runsName)
        return Fault(folder.Node, "a file's extents broken off by another name");
      runsName = text;
      runs.push_back({offset, size, !interleaved});
      continue;
    }
    if (!runs.empty() && (isFolder || text != runsName))
      return Fault(folder.Node, "a file's extents broken off by another name");
    runs.push_back({offset, size, !interleaved});
    ImportedNode node;
    node.Name = text;
    node.Parent = folder.Node;
    node.Folder = isFolder;
    node.Hidden = (flags & 0x01) != 0;
    node.Utc = RecordDate(r + 18);
    for (const Run &run : runs)
      node.Size += run.Size;
    node.Scattered = !Contiguous(runs, node.Size, node.Offset);
    if (node.Scattered)
      node.Offset = runs.front().Offset;
    runs.clear();
    if (!node.Scattered && node.Size > 0 && !InImage(node.Offset, node.Size))
      return Fault(folder.Node, text::Utf16ToAnsi(text) + ": data past the end of the image");
    std::string fault;
    const std::int32_t index = AddNode(std::move(node), fault);
    if (index < 0)
      return fault;
    if (isFolder) {
      out_.Nodes[static_cast<std::size_t>(index)].Size = 0;
      if (!foldersSeen_.insert(offset).second)
        return Fault(index, "folder met twice (a loop in the tree)");
      queue.push_back({index, offset, size});
    }
  }
  if (!runs.empty())
    return Fault(folder.Node, "a file's last extent is missing");
  return {};
}

std::string TreeReader::ReadIso(const std::uint8_t *root, bool joliet) {
  out_.Names = joliet ? "Joliet" : "ISO 9660";
  ImportedNode node;
  node.Folder = true;
  node.Utc = RecordDate(root + 18);
  out_.Nodes.push_back(node);
  const std::uint64_t offset = (std::uint64_t{ReadLe32(root + 2)} + root[1]) * kSector;
  foldersSeen_.insert(offset);
  std::deque<Pending> queue{{0, offset, ReadLe32(root + 10)}};
  while (!queue.empty()) {
    const Pending folder = queue.front();
    queue.pop_front();
    const std::string fault = ReadIsoFolder(folder, joliet, queue);
    if (!fault.empty())
      return fault;
  }
  return {};
}

// The file entry (or extended file entry) at a block of the partition: what it is, its size and
// date, and where its data lies; `embedded` is the data's offset in the image when the entry
// holds it itself.
std::string TreeReader::ReadUdfEntry(std::uint32_t block, std::int32_t node, std::vector<Run> &runs,
                                     std::uint64_t &size, bool &folder, TDateTime &date,
                                     std::uint64_t &embedded) {
  std::uint8_t fe[kSector];
  if (!Spend(kSector))
    return Fault(node, "file entries overlap: more than the image holds");
  if (!UdfBlock(block, fe))
    return Fault(node, "file entry past the end of the partition");
  const bool extended = ReadLe16(fe) == 266;
  if (!Tagged(fe, extended ? 266 : 261, block))
    return Fault(node, "damaged file entry at block " + std::to_string(block));
  const std::uint8_t type = fe[27];
  folder = type == 4;
  size = ReadLe64(fe + 56);
  date = UdfDate(fe + (extended ? 92 : 84));
  const std::uint32_t attributesLength = ReadLe32(fe + (extended ? 208 : 168));
  const std::uint32_t descriptorsLength = ReadLe32(fe + (extended ? 212 : 172));
  const std::uint32_t first = extended ? 216 : 176;
  if (attributesLength > kSector || descriptorsLength > kSector ||
      first + attributesLength + descriptorsLength > kSector)
    return Fault(node, "damaged file entry at block " + std::to_string(block));
  const unsigned form = ReadLe16(fe + 34) & 7;
  const std::uint64_t at = (std::uint64_t{partitionStart_} + block) * kSector;
  runs.clear();
  embedded = 0;
  if (form == 3) {
    if (size > descriptorsLength)
      return Fault(node, "file entry holds less data than its size");
    embedded = at + first + attributesLength;
    runs.push_back({embedded, size, true});
    return {};
  }
  if (form != 0 && form != 1)
    return Fault(node, "extended allocation descriptors are not read");
  const std::size_t step = form == 0 ? 8 : 16;
  std::vector<std::uint8_t> area(fe + first + attributesLength,
                                 fe + first + attributesLength + descriptorsLength);
  std::uint64_t covered = 0;
  for (std::uint32_t hops = 0;; ++hops) {
    bool next = false;
    std::uint32_t nextBlock = 0;
    for (std::size_t i = 0; i + step <= area.size() && covered < size; i += step) {
      const std::uint32_t word = ReadLe32(area.data() + i);
      const std::uint32_t length = word & 0x3FFFFFFF, kind = word >> 30;
      const std::uint32_t position = ReadLe32(area.data() + i + 4);
      if (length == 0)
        break;
      if (step == 16 && ReadLe16(area.data() + i + 8) != 0)
        return Fault(node, "data in another partition");
      if (kind == 3) {
        next = true;
        nextBlock = position;
        break;
      }
      if (kind == 0 &&
          (position >= partitionLength_ || (length - 1) / kSector >= partitionLength_ - position))
        return Fault(node, "data past the end of the partition");
      runs.push_back({(std::uint64_t{partitionStart_} + position) * kSector, length, kind == 0});
      covered += length;
    }
    if (!next || covered >= size)
      break;
    if (hops >= kMostAllocationBlocks)
      return Fault(node, "too many allocation extents");
    std::uint8_t aed[kSector];
    if (!UdfBlock(nextBlock, aed) || !Tagged(aed, 258, nextBlock) ||
        ReadLe32(aed + 20) > kSector - 24)
      return Fault(node, "damaged allocation extent at block " + std::to_string(nextBlock));
    area.assign(aed + 24, aed + 24 + ReadLe32(aed + 20));
  }
  if (covered < size)
    return Fault(node, "allocation descriptors cover less than the file's size");
  return {};
}

std::string TreeReader::ReadUdfFolder(const Pending &folder, std::deque<Pending> &queue) {
  std::vector<Run> runs;
  std::uint64_t size = 0, embedded = 0;
  bool isFolder = false;
  TDateTime date = 0;
  std::string fault = ReadUdfEntry(static_cast<std::uint32_t>(folder.Offset), folder.Node, runs,
                                   size, isFolder, date, embedded);
  if (!fault.empty())
    return fault;
  if (size > kMaxImportedFolderBytes)
    return Fault(folder.Node, "folder of " + std::to_string(size) + " bytes of identifiers");
  if (!Spend(size))
    return Fault(folder.Node, "folders overlap: more identifiers than the image holds");
  std::vector<std::uint8_t> ids(static_cast<std::size_t>(size));
  std::size_t got = 0;
  for (const Run &run : runs) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(run.Size, size - got));
    if (!run.Recorded)
      std::memset(ids.data() + got, 0, n);
    else if (!Bytes(run.Offset, ids.data() + got, n))
      return Fault(folder.Node, "folder identifiers past the end of the image");
    got += n;
    if (got == ids.size())
      break;
  }
  for (std::size_t at = 0; at < ids.size();) {
    const std::uint8_t *f = ids.data() + at;
    if (ids.size() - at < 38)
      return Fault(folder.Node, "damaged file identifier at byte " + std::to_string(at));
    const std::uint8_t characteristics = f[18], nameBytes = f[19];
    const std::size_t total = (38u + ReadLe16(f + 36) + nameBytes + 3) & ~std::size_t{3};
    std::uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4)
        sum = static_cast<std::uint8_t>(sum + f[i]);
    if (ReadLe16(f) != 257 || sum != f[4] || total > ids.size() - at)
      return Fault(folder.Node, "damaged file identifier at byte " + std::to_string(at));
    at += total;
    if (characteristics & 0x0C)
      continue; // the parent, or a deleted name
    const std::uint8_t *name = f + 38 + ReadLe16(f + 36);
    std::u16string text;
    if (nameBytes > 0 && (name[0] == 8 || name[0] == 254))
      text.assign(name + 1, name + nameBytes);
    else if (nameBytes > 0 && (name[0] == 16 || name[0] == 255))
      for (std::size_t i = 1; i + 1 < nameBytes; i += 2)
        text.push_back(static_cast<char16_t>(name[i] << 8 | name[i + 1]));
    if (text.empty() || text.find(u'/') != std::u16string::npos || text == u"." || text == u"..")
      return Fault(folder.Node, "a name no folder can hold");
    if (ReadLe16(f + 28) != 0)
      return Fault(folder.Node, text::Utf16ToAnsi(text) + ": file entry in another partition");
    const std::uint32_t block = ReadLe32(f + 24);
    ImportedNode node;
    node.Name = text;
    node.Parent = folder.Node;
    node.Hidden = (characteristics & 0x01) != 0;
    const std::int32_t index = AddNode(node, fault);
    if (index < 0)
      return fault;
    std::uint64_t childSize = 0;
    fault = ReadUdfEntry(block, index, runs, childSize, isFolder, date, embedded);
    if (!fault.empty())
      return fault;
    ImportedNode &child = out_.Nodes[static_cast<std::size_t>(index)];
    child.Folder = isFolder;
    child.Utc = date;
    if (isFolder) {
      if (!foldersSeen_.insert(block).second)
        return Fault(index, "folder met twice (a loop in the tree)");
      queue.push_back({index, block, 0});
      continue;
    }
    child.Size = childSize;
    child.Scattered = !Contiguous(runs, childSize, child.Offset);
  }
  return {};
}

std::string TreeReader::ReadUdf(bool &unsupported) {
  unsupported = false;
  std::uint8_t s[kSector];
  if (!Sector(kUdfAnchor, s) || !Tagged(s, 2, kUdfAnchor))
    return "UDF anchor at sector 256 is damaged";
  const std::uint32_t sequenceBytes = ReadLe32(s + 16), sequence = ReadLe32(s + 20);
  std::uint32_t mapPartition = 0xFFFFFFFF, fileSetBlock = 0;
  bool haveVolume = false, havePartition = false;
  std::vector<std::pair<std::uint16_t, std::pair<std::uint32_t, std::uint32_t>>> partitions;
  for (std::uint32_t i = 0; i < sequenceBytes / kSector && i < kMostUdfSequenceSectors; ++i) {
    if (!Sector(std::uint64_t{sequence} + i, s))
      return "UDF volume descriptors past the end of the image";
    const std::uint16_t id = ReadLe16(s);
    if (id == 8 || id == 0)
      break;
    if (!Tagged(s, id, sequence + i))
      return "damaged UDF volume descriptor at sector " + std::to_string(sequence + i);
    if (id == 5) {
      partitions.push_back({ReadLe16(s + 22), {ReadLe32(s + 188), ReadLe32(s + 192)}});
    } else if (id == 6 && !haveVolume) {
      haveVolume = true;
      if (ReadLe32(s + 212) != kSector) {
        unsupported = true;
        return "UDF blocks of other than 2048 bytes are not read";
      }
      fileSetBlock = ReadLe32(s + 252);
      const std::uint32_t maps = ReadLe32(s + 268), mapBytes = ReadLe32(s + 264);
      if (maps < 1 || mapBytes < 6 || mapBytes > kSector - 440 || s[440] != 1 || s[441] != 6) {
        unsupported = true;
        return "UDF partition maps other than one plain partition are not read";
      }
      if (ReadLe16(s + 256) != 0)
        return "UDF file set in an unknown partition";
      mapPartition = ReadLe16(s + 444);
    }
  }
  for (const auto &[number, place] : partitions)
    if (number == mapPartition) {
      partitionStart_ = place.first;
      partitionLength_ = place.second;
      havePartition = true;
    }
  if (!haveVolume || !havePartition)
    return "UDF logical volume or partition descriptor missing";
  if (!InImage(std::uint64_t{partitionStart_} * kSector, 0))
    return "UDF partition starts past the end of the image";
  // A partition that claims more blocks than the image holds is read only where it exists.
  const std::uint64_t blocksThere = image_.Size() / kSector - partitionStart_;
  if (partitionLength_ > blocksThere)
    partitionLength_ = static_cast<std::uint32_t>(blocksThere);
  if (!UdfBlock(fileSetBlock, s) || !Tagged(s, 256, fileSetBlock))
    return "UDF file set descriptor is damaged";
  if (ReadLe16(s + 408) != 0)
    return "UDF root folder in an unknown partition";
  const std::uint32_t rootBlock = ReadLe32(s + 404);
  out_.Names = "UDF";
  ImportedNode root;
  root.Folder = true;
  out_.Nodes.push_back(root);
  {
    std::vector<Run> runs;
    std::uint64_t size = 0, embedded = 0;
    bool folder = false;
    const std::string fault =
        ReadUdfEntry(rootBlock, 0, runs, size, folder, out_.Nodes[0].Utc, embedded);
    if (!fault.empty())
      return fault;
    if (!folder)
      return "UDF root is not a folder";
  }
  foldersSeen_.insert(rootBlock);
  std::deque<Pending> queue{{0, rootBlock, 0}};
  while (!queue.empty()) {
    const Pending folder = queue.front();
    queue.pop_front();
    const std::string fault = ReadUdfFolder(folder, queue);
    if (!fault.empty())
      return fault;
  }
  return {};
}

std::uint64_t FloppyBytes(std::uint8_t media) {
  switch (media) {
  case 1:
    return 1228800;
  case 2:
    return 1474560;
  case 3:
    return 2949120;
  }
  return 0;
}

std::string TreeReader::ReadCatalog(std::uint32_t sector) {
  std::uint8_t c[kSector];
  if (!Sector(sector, c))
    return "boot catalog at sector " + std::to_string(sector) + " is past the end of the image";
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 32; i += 2)
    sum += ReadLe16(c + i);
  if (c[0] != kCatalogValidation || c[30] != 0x55 || c[31] != 0xAA || (sum & 0xFFFF) != 0)
    return "boot catalog at sector " + std::to_string(sector) + " is damaged";
  std::unordered_map<std::uint64_t, std::int32_t> byOffset;
  for (std::size_t i = 0; i < out_.Nodes.size(); ++i) {
    const ImportedNode &n = out_.Nodes[i];
    if (!n.Folder && !n.Scattered && n.Size > 0)
      byOffset.emplace(n.Offset, static_cast<std::int32_t>(i));
  }
  const auto found = byOffset.find(std::uint64_t{sector} * kSector);
  out_.CatalogNode = found == byOffset.end() ? -1 : found->second;
  const auto take = [&](const std::uint8_t *e, std::uint8_t platform) -> std::string {
    if (e[0] != kCatalogBootable)
      return {};
    ImportedBootEntry entry;
    entry.Platform = platform;
    entry.Media = e[1] & 0x0F;
    entry.LoadSegment = ReadLe16(e + 2);
    entry.SystemType = e[4];
    entry.LoadSectors = ReadLe16(e + 6);
    entry.ImageSector = ReadLe32(e + 8);
    const std::uint64_t offset = std::uint64_t{entry.ImageSector} * kSector;
    const auto file = byOffset.find(offset);
    entry.Node = file == byOffset.end() ? -1 : file->second;
    entry.Bytes = entry.Node >= 0 ? out_.Nodes[static_cast<std::size_t>(entry.Node)].Size
                  : FloppyBytes(entry.Media)
                      ? FloppyBytes(entry.Media)
                      : std::uint64_t{entry.LoadSectors ? entry.LoadSectors : 1u} * 512;
    if (!InImage(offset, entry.Bytes))
      return "boot image at sector " + std::to_string(entry.ImageSector) +
             " is past the end of the image";
    std::uint8_t table[8];
    entry.InfoTable = entry.Bytes >= 64 && Bytes(offset + 8, table, sizeof table) &&
                      ReadLe32(table) == kFirstDescriptor &&
                      ReadLe32(table + 4) == entry.ImageSector;
    out_.Boot.push_back(entry);
    return {};
  };
  std::string fault = take(c + 32, c[1]);
  for (std::size_t at = 64; fault.empty() && at + 32 <= kSector;) {
    const std::uint8_t header = c[at];
    if (header != kCatalogSection && header != kCatalogLastSection)
      break;
    const std::uint8_t platform = c[at + 1];
    std::uint32_t count = ReadLe16(c + at + 2);
    at += 32;
    for (; count > 0 && at + 32 <= kSector && fault.empty(); --count) {
      fault = take(c + at, platform);
      at += 32;
      while (at + 32 <= kSector && c[at] == 0x44) // extensions of the entry
        at += 32;
    }
    if (header == kCatalogLastSection)
      break;
  }
  return fault;
}

std::string TreeReader::Read() {
  if (image_.Size() < (kFirstDescriptor + 1) * kSector)
    return "too small for an ISO 9660 or UDF image (" + std::to_string(image_.Size()) + " bytes)";
  std::uint8_t s[kSector], primary[34] = {}, joliet[34] = {};
  bool havePrimary = false, haveJoliet = false;
  std::uint32_t catalog = 0;
  std::u16string primaryLabel, jolietLabel;
  for (std::uint32_t n = kFirstDescriptor; n < kFirstDescriptor + kMostDescriptors; ++n) {
    if (!Sector(n, s) || std::memcmp(s + 1, "CD001", 5) != 0 || s[0] == 255)
      break;
    if (s[0] == 0 && std::memcmp(s + 7, kBootSystemId, sizeof kBootSystemId) == 0)
      catalog = ReadLe32(s + 71);
    else if (s[0] == 1 && !havePrimary) {
      havePrimary = true;
      std::memcpy(primary, s + 156, sizeof primary);
      primaryLabel.assign(s + 40, s + 72);
    } else if (s[0] == 2 && !haveJoliet && s[88] == '%' && s[89] == '/' &&
               (s[90] == '@' || s[90] == 'C' || s[90] == 'E')) {
      haveJoliet = true;
      std::memcpy(joliet, s + 156, sizeof joliet);
      for (std::size_t i = 40; i < 72; i += 2)
        jolietLabel.push_back(static_cast<char16_t>(s[i] << 8 | s[i + 1]));
    }
  }
  out_.Label = haveJoliet ? jolietLabel : primaryLabel;
  while (!out_.Label.empty() && (out_.Label.back() == u' ' || out_.Label.back() == 0))
    out_.Label.pop_back();
  std::uint8_t anchor[kSector];
  const bool haveUdf = Sector(kUdfAnchor, anchor) && ReadLe16(anchor) == 2;
  std::string fault;
  bool unsupported = false;
  if (haveUdf)
    fault = ReadUdf(unsupported);
  if (!haveUdf || (unsupported && havePrimary)) {
    out_.Nodes.clear();
    foldersSeen_.clear();
    if (!havePrimary)
      return "no ISO 9660 or UDF volume (no primary volume descriptor at sector 16)";
    fault = ReadIso(haveJoliet ? joliet : primary, haveJoliet);
  }
  if (fault.empty() && catalog != 0)
    fault = ReadCatalog(catalog);
  if (!fault.empty())
    out_ = ImportedImage{};
  return fault;
}

} // namespace

std::string ReadImageTree(ImageBytes &Image, ImportedImage &Out) {
  Out = ImportedImage{};
  return TreeReader(Image, Out).Read();
}

} // namespace velmor
