#include "image_structure.h"

#include "boot_catalog.h"
#include "directory_extents.h"
#include "path_tables.h"
#include "system_area.h"
#include "udf_structures.h"
#include "volume_descriptors.h"

namespace velmor {

// The UDF volume's descriptors follow the ISO terminator and its folders the ISO directories; the
// boot catalog comes next, then the files' UDF entries, which end where the first file begins. A
// hybrid's system area comes before all (in sectors no structure takes), its end after all, as
// it sizes the image once UDF has placed its last anchor.
ImageStructures::ImageStructures(Platform &platform, const CharTable &chars, bool joliet,
                                 const BootSpec *boot, bool udf)
    : iso_(chars), joliet_(platform) {
  sets_.push_back(&iso_);
  if (joliet)
    sets_.push_back(&joliet_);
  const bool hybrid = boot && boot->Hybrid();
  if (hybrid)
    structures_.push_back(std::make_unique<SystemArea>(*boot));
  structures_.push_back(std::make_unique<VolumeDescriptors>(sets_, boot, chars));
  if (udf)
    structures_.push_back(std::make_unique<UdfVolume>(platform));
  structures_.push_back(std::make_unique<PathTables>(sets_));
  structures_.push_back(std::make_unique<DirectoryExtents>(sets_));
  if (udf)
    structures_.push_back(std::make_unique<UdfFolders>(platform));
  if (boot)
    structures_.push_back(std::make_unique<BootCatalog>(*boot));
  if (udf)
    structures_.push_back(std::make_unique<UdfFileEntries>());
  if (hybrid)
    structures_.push_back(std::make_unique<HybridEnd>(*boot));
}

ImageStructures::~ImageStructures() = default;

} // namespace velmor
