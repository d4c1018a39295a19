#pragma once
// The volume descriptor set from sector 16: every name set's descriptor (the primary first), the
// El Torito boot record right after the primary one when the image boots (firmware looks for it
// there), and the terminator.
#include <vector>

#include "image_structure.h"

namespace velmor {

class VolumeDescriptors final : public ImageStructure {
public:
  VolumeDescriptors(std::vector<const NameSet *> sets, const BootSpec *boot, const CharTable &chars)
      : sets_(std::move(sets)), boot_(boot), chars_(chars) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  void Descriptor(const NameSet &set, const CompilationStore &store, const ImageLayout &layout,
                  const HeaderOutput &out) const;

  std::vector<const NameSet *> sets_;
  const BootSpec *boot_;
  const CharTable &chars_;
};

} // namespace velmor
