#pragma once
// Image header bytes: system area, volume descriptors, path tables and directory extents, up to
// the first file's sector.
#include <cstdint>
#include <string>
#include <vector>

#include "layout.h"

namespace velmor {

struct VolumeIdentifiers {
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  std::string ApplicationUse;
  TDateTime DateCreation = 0, DateModification = 0;
};

// Appends the header to `out`; afterwards `out` has grown by exactly
// (FirstFileSector - StartSector) sectors. `trailer` is given the layout's trailer sectors.
// `boot` is the one the layout was computed with.
void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      std::vector<std::uint8_t> &out, std::vector<std::uint8_t> &trailer,
                      const BootSpec *boot = nullptr);

} // namespace velmor
