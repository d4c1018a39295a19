#pragma once
// The UDF bridge's bytes at the places the layout gave them.
#include "image_structure.h"

namespace velmor {

// The recognition sequence, both volume descriptor sequences, the integrity descriptor and the
// anchors (the last one in the header's trailer, after the last file).
void WriteUdfVolume(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                    const HeaderOutput &out);
// The file set and every folder's file entry and identifiers (the files' entries after them are
// udf::MakeFileEntryRun's, made as the header is streamed).
void WriteUdfFolders(const CompilationStore &store, const ImageLayout &layout, Platform &platform,
                     const HeaderOutput &out);

} // namespace velmor
