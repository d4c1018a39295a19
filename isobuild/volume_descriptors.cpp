#include "volume_descriptors.h"

#include <cstdio>
#include <cstring>

#include "byte_order.h"

namespace velmor {

namespace {

constexpr std::uint8_t kTerminatorType = 255;

void PutDescriptorDate(std::uint8_t *p, TDateTime value) {
  const DateParts d = DecodeDateTime(value);
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d%02d", d.Year % 10000, d.Month,
                d.Day, d.Hour, d.Minute, d.Second, d.Millisecond / 10);
  std::memcpy(p, digits, 16);
  p[16] = 0;
}

void PutZeroDate(std::uint8_t *p) {
  std::memset(p, '0', 16);
  p[16] = 0;
}

void PutTerminator(std::uint8_t *t) {
  t[0] = kTerminatorType;
  std::memcpy(t + 1, "CD001", 5);
  t[6] = 1;
}

} // namespace

void VolumeDescriptors::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store;
  for (std::size_t i = 0; i < sets_.size(); ++i) {
    sets_[i]->LayoutIn(layout).DescriptorSector = static_cast<std::uint32_t>(next++);
    if (i == 0 && boot_)
      layout.BootRecordSector = static_cast<std::uint32_t>(next++);
  }
  layout.TerminatorSector = static_cast<std::uint32_t>(next++);
}

void VolumeDescriptors::Write(const CompilationStore &store, const ImageLayout &layout,
                              const HeaderOutput &out) const {
  for (const NameSet *set : sets_)
    Descriptor(*set, store, layout, out);
  if (boot_)
    PutBootRecord(out.At(layout.BootRecordSector), layout.BootCatalogSector);
  PutTerminator(out.At(layout.TerminatorSector));
}

void VolumeDescriptors::Descriptor(const NameSet &set, const CompilationStore &store,
                                   const ImageLayout &layout, const HeaderOutput &out) const {
  const NameSetLayout &sectors = set.LayoutIn(layout);
  const VolumeIdentifiers &ids = out.Ids;
  std::uint8_t *p = out.At(sectors.DescriptorSector);
  p[0] = set.DescriptorType();
  std::memcpy(p + 1, "CD001", 5);
  p[6] = 1;
  set.PutText(p + 8, 32, ids.IdSystem);
  set.PutText(p + 40, 32, ids.IdVolume);
  Both32(p + 80, static_cast<std::uint32_t>(layout.ImageSectorCount));
  set.MarkDescriptor(p);
  Both16(p + 120, 1);
  Both16(p + 124, 1);
  Both16(p + 128, kSectorSize);
  Both32(p + 132, sectors.PathTableSize);
  Le32(p + 140, sectors.LTable);
  Be32(p + 148, sectors.MTable);
  const DirExtent &root = set.ExtentOf(*store.Dirs[0]);
  RecordFields rootRecord; // no date
  rootRecord.Extent = sectors.DirArea + static_cast<std::uint32_t>(root.Sector);
  rootRecord.Length = static_cast<std::uint32_t>(root.Size);
  rootRecord.Flags = kRecordDirectory;
  PutDotRecord(p + 156, rootRecord, 0);
  const std::string *longIds[4] = {&ids.IdVolumeSet, &ids.IdPublisher, &ids.IdPreparer,
                                   &ids.IdApplication};
  const std::string *fileIds[3] = {&ids.FileCopyright, &ids.FileAbstract, &ids.FileBibliographic};
  for (int i = 0; i < 4; ++i)
    set.PutText(p + 190 + 128 * i, 128, *longIds[i]);
  for (int i = 0; i < 3; ++i)
    set.PutText(p + 702 + 37 * i, 37, *fileIds[i]);
  PutDescriptorDate(p + 813, ids.DateCreation);
  PutDescriptorDate(p + 830, ids.DateModification);
  PutZeroDate(p + 847);
  PutZeroDate(p + 864);
  p[881] = 1;
  // Every set carries the application's 8-bit mark.
  PutUpperText(p + 1024, 8, ids.ApplicationUse, chars_);
}

} // namespace velmor
