#pragma once
// Every name set's directory extents, one area per set with the directories in creation order:
// "." and "..", then a record per child (a file of 4 GiB or more takes one per extent). A record
// never crosses a sector boundary.
#include <vector>

#include "image_structure.h"

namespace velmor {

class DirectoryExtents final : public ImageStructure {
public:
  explicit DirectoryExtents(std::vector<const NameSet *> sets) : sets_(std::move(sets)) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  void Extent(const NameSet &set, const TDirNode &d, const CompilationStore &store,
              const ImageLayout &layout, const HeaderOutput &out) const;

  std::vector<const NameSet *> sets_;
};

} // namespace velmor
