// A layout drive's table of contents, geometry and last session, from its copy of the tracks.
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

// One session; its first track's start as a logical block: the class driver asks the drive for
// this answer without MSF addressing.
void VelmorFillLayoutSession(const VelmorLayout *layout, void *buffer) {
  VelmorFillSession(VelmorLayoutView(layout), false, buffer, kSessionAnswerSize);
}

} // namespace velmor
