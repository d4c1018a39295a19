// Answers of a plain ISO drive to the table-of-contents and geometry requests: for an image of
// up to the fixed table's 299,008 sectors, one data track from the start of the disc, lead-out
// at 46:59:58, and a geometry of 146 cylinders of 64 tracks of 32 sectors of 2,048 bytes; a
// larger image gets a lead-out and cylinders that cover it.
#include "disc_answers.h"
#include "velmor_driver.h"

namespace velmor {

void VelmorFillIsoToc(void *buffer, uint32_t blocks) {
  LayoutTrack track;
  VelmorFillToc(VelmorIsoView(uint64_t(blocks) * kBytesPerSector, &track), buffer, kTocSize);
}

void VelmorFillIsoGeometry(void *buffer, uint32_t blocks) {
  LayoutTrack track;
  VelmorFillGeometry(VelmorIsoView(uint64_t(blocks) * kBytesPerSector, &track), buffer,
                     kGeometrySize);
}

} // namespace velmor
