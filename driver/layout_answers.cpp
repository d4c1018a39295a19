// A layout drive's table of contents and geometry, from its copy of the tracks.
#include "disc_answers.h"
#include "layout_drive.h"

namespace velmor {

DiscView VelmorLayoutView(const VelmorLayout *layout) {
  return DiscView{layout->tracks, layout->trackCount, layout->leadOut, layout->leadOut,
                  (layout->leadOut + kSectorsPerCylinder - 1) / kSectorsPerCylinder};
}

void VelmorFillLayoutToc(const VelmorLayout *layout, void *buffer) {
  VelmorFillToc(VelmorLayoutView(layout), buffer, kTocSize);
}

void VelmorFillLayoutGeometry(const VelmorLayout *layout, void *buffer) {
  VelmorFillGeometry(VelmorLayoutView(layout), buffer, kGeometrySize);
}

} // namespace velmor
