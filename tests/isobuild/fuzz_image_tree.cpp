// Fuzz entry: reads the tree of an image given as patches on a zero image. The input is the
// image's length in sectors (4 bytes, little-endian, at most 2^21: 4 GiB), then any number of
// patches, each a sector number (4 bytes, taken modulo the length) and the sector's 2,048 bytes
// (a short last patch fills the start of its sector). Unpatched sectors read as zeros, so a few
// patches make an image of any size: the UDF anchor at sector 256, files far past the tree.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "image_tree_reader.h"

namespace {

using namespace velmor;

constexpr std::uint32_t kMostSectors = 1u << 21;

class PatchedImage : public ImageBytes {
public:
  PatchedImage(const std::uint8_t *data, std::size_t size) {
    if (size < 4)
      return;
    sectors_ =
        (data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t{data[3]} << 24) % kMostSectors;
    for (std::size_t at = 4; sectors_ > 0 && at + 4 < size;) {
      const std::uint32_t n =
          (data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24) %
          sectors_;
      at += 4;
      const std::size_t take = std::min<std::size_t>(2048, size - at);
      std::vector<std::uint8_t> &sector = patches_[n];
      sector.assign(2048, 0);
      std::memcpy(sector.data(), data + at, take);
      at += take;
    }
  }
  std::uint64_t Size() const override { return std::uint64_t{sectors_} * 2048; }
  bool ReadAt(std::uint64_t offset, void *buffer, std::size_t count) override {
    if (offset > Size() || count > Size() - offset)
      return false;
    auto *out = static_cast<std::uint8_t *>(buffer);
    while (count > 0) {
      const std::uint32_t n = static_cast<std::uint32_t>(offset / 2048);
      const std::size_t in = static_cast<std::size_t>(offset % 2048);
      const std::size_t take = std::min<std::size_t>(count, 2048 - in);
      const auto p = patches_.find(n);
      if (p == patches_.end())
        std::memset(out, 0, take);
      else
        std::memcpy(out, p->second.data() + in, take);
      out += take, offset += take, count -= take;
    }
    return true;
  }

private:
  std::uint32_t sectors_ = 0;
  std::map<std::uint32_t, std::vector<std::uint8_t>> patches_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  PatchedImage image(data, size);
  ImportedImage tree;
  const std::string fault = ReadImageTree(image, tree);
  // What a reader hands on must hold up: parents before children, data inside the image.
  for (std::size_t i = 1; fault.empty() && i < tree.Nodes.size(); ++i) {
    const ImportedNode &n = tree.Nodes[i];
    if (n.Parent < 0 || static_cast<std::size_t>(n.Parent) >= i ||
        !tree.Nodes[static_cast<std::size_t>(n.Parent)].Folder)
      __builtin_trap();
    if (!n.Folder && !n.Scattered && n.Size > 0 &&
        (n.Offset > image.Size() || n.Size > image.Size() - n.Offset))
      __builtin_trap();
  }
  return 0;
}
