#include "compilation.h"

namespace velmor {

void CompilationStore::Clear() {
  DirsByPath = {};
  EntriesByName = {};
  Dirs.clear();
  PathOrder.clear();
  Entries.clear();
  DirPool.clear();
  EntryPool.clear();
  DirCount = 0;
  EntryCount = 0;
  ImportedImage.clear();
}

CompilationStore &TheCompilation() {
  static CompilationStore store;
  return store;
}

} // namespace velmor
