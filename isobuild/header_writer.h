#pragma once
// Image header bytes: system area, volume descriptors, path tables and directory extents, up to
// the first file's sector.
#include <cstdint>
#include <string>
#include <vector>

#include "header_stream.h"
#include "layout.h"

namespace velmor {

struct VolumeIdentifiers {
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  std::string ApplicationUse;
  TDateTime DateCreation = 0, DateModification = 0;
};

// Puts the header into `out`, which is empty: (MadeHeaderSector - StartSector) sectors kept, and
// the rest up to FirstFileSector made as it is read (which reads the compilation then). Its
// trailer is given the layout's trailer sectors. `boot` is the one the layout was computed with.
void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      THeaderStream &out, const BootSpec *boot = nullptr);

} // namespace velmor
