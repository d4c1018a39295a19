#pragma once
// The El Torito boot catalog: one sector after the directories, a file of the tree whose sector
// the layout gives it (so no writer copies data for it), its bytes written with the header.
#include "image_structure.h"

namespace velmor {

class BootCatalog final : public ImageStructure {
public:
  explicit BootCatalog(const BootSpec &boot) : boot_(boot) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  const BootSpec &boot_;
};

} // namespace velmor
