#pragma once
// The UDF bridge's bytes: recognition sequence, volume descriptors, integrity, anchors, file set,
// folders' file entries and identifiers, at the places the layout gave them.
#include <cstdint>

#include "header_writer.h"

namespace velmor {

// `header` holds the sectors from the layout's start up to its MadeHeaderSector (the files'
// entries after it are udf::MakeFileEntryRun's), `trailer` the layout's trailer sectors after the
// last file.
void WriteUdf(const CompilationStore &store, const ImageLayout &layout,
              const VolumeIdentifiers &ids, Platform &platform, std::uint8_t *header,
              std::uint8_t *trailer);

} // namespace velmor
