#pragma once
// The structures of an image before its files (volume descriptors, path tables, directories, the
// boot catalog, UDF's), each one object that first takes its sectors in the layout and later
// writes its bytes there: the layout places every structure, then the header writes every one.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "header_stream.h"
#include "layout.h"
#include "name_set.h"

namespace velmor {

struct VolumeIdentifiers {
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  std::string ApplicationUse;
  TDateTime DateCreation = 0, DateModification = 0;
};

// What the structures write with and into: the header's kept sectors, its trailer and its run
// of sectors made while it is streamed.
class HeaderOutput {
public:
  HeaderOutput(const ImageLayout &layout, const VolumeIdentifiers &ids, TDateTime now,
               THeaderStream &stream)
      : Ids(ids), Now(now), layout_(layout), stream_(stream) {}

  const VolumeIdentifiers &Ids;
  // One reading of the clock for every date the header makes.
  const TDateTime Now;

  // A sector before the layout's MadeHeaderSector.
  std::uint8_t *At(std::uint64_t sector) const {
    return stream_.Bytes().data() + (sector - layout_.StartSector) * kSectorSize;
  }
  // A sector of the trailer, after the last file.
  std::uint8_t *TrailerAt(std::uint64_t sector) const {
    return stream_.Trailer().data() +
           (sector - layout_.FirstFileSector - layout_.FileSectors) * kSectorSize;
  }
  void SetMadeSectors(std::unique_ptr<THeaderSectors> made) const {
    stream_.SetMadeSectors(std::move(made));
  }

private:
  const ImageLayout &layout_;
  THeaderStream &stream_;
};

class ImageStructure {
public:
  virtual ~ImageStructure() = default;
  // Takes the structure's sectors from `next` on and records them in the layout (and the
  // compilation's records).
  virtual void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) = 0;
  // Once the files have their sectors: takes sectors after them and any taken before (the
  // layout's trailer), up to its ImageEnd.
  virtual void PlaceAfterFiles(ImageLayout &layout) { (void)layout; }
  // Writes the structure's bytes where the layout put it.
  virtual void Write(const CompilationStore &store, const ImageLayout &layout,
                     const HeaderOutput &out) const = 0;
};

// The name sets and structures of one image, in the order of their sectors. The layout and the
// header each make it from the same choices, so both see the same structures.
class ImageStructures {
public:
  ImageStructures(Platform &platform, const CharTable &chars, bool joliet, const BootSpec *boot,
                  bool udf);
  ~ImageStructures();
  const std::vector<std::unique_ptr<ImageStructure>> &InOrder() const { return structures_; }

private:
  IsoNameSet iso_;
  JolietNameSet joliet_;
  std::vector<const NameSet *> sets_;
  std::vector<std::unique_ptr<ImageStructure>> structures_;
};

} // namespace velmor
