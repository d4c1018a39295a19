#include "header_writer.h"

namespace velmor {

void BuildImageHeader(const CompilationStore &store, const ImageLayout &layout,
                      const VolumeIdentifiers &ids, Platform &platform, const CharTable &chars,
                      THeaderStream &out, const BootSpec *boot) {
  out.Bytes().assign(std::size_t{layout.MadeHeaderSector - layout.StartSector} * kSectorSize, 0);
  out.Trailer().assign(std::size_t{layout.TrailerSectors} * kSectorSize, 0);
  const HeaderOutput header(layout, ids, platform.Now(), out);
  const ImageStructures structures(platform, chars, layout.WithJoliet, boot, layout.WithUdf);
  for (const auto &structure : structures.InOrder())
    structure->Write(store, layout, header);
}

} // namespace velmor
