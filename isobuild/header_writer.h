#pragma once
// Image header bytes: system area, volume descriptors, path tables, directory extents, the boot
// catalog and UDF's structures, up to the first file's sector.
#include "header_stream.h"
#include "image_structure.h"

namespace velmor {

// Puts the header into `out`, which is empty: (MadeHeaderSector - StartSector) sectors kept, and
// the rest up to FirstFileSector made as it is read (which reads the compilation then). Its
// trailer is given the layout's trailer sectors. `boot` is the one the layout was computed with.
void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      THeaderStream &out, const BootSpec *boot = nullptr);

} // namespace velmor
