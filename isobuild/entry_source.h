#pragma once
// Where an entry's data is read from: its own file, or its share of the image the compilation
// was imported from, read in place at its offset and never beyond its size.
#include <memory>

#include "compilation.h"
#include "platform.h"

namespace velmor {

// None when the file (or the imported image) cannot be opened, or the image cannot be read up to
// the entry's data; Files.LastSystemCode() then tells why.
std::unique_ptr<SourceFile> OpenEntrySource(Platform &Files, const TEntryNode &Entry);

} // namespace velmor
