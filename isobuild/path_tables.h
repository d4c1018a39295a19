#pragma once
// Every name set's two path tables (little-endian L, big-endian M), each in whole sectors: the
// directories in the layout's path order, named as the set names them.
#include <vector>

#include "image_structure.h"

namespace velmor {

class PathTables final : public ImageStructure {
public:
  explicit PathTables(std::vector<const NameSet *> sets) : sets_(std::move(sets)) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  std::vector<const NameSet *> sets_;
};

} // namespace velmor
