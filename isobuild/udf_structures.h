#pragma once
// The UDF bridge beside ISO 9660, as three structures at their places in the image: the volume
// (recognition sequence after the ISO terminator, both descriptor sequences and the integrity
// descriptor before the anchor at sector 256; the partition from the sector after it to the last
// one, which holds the second anchor), the folders (the file set, then per folder its file entry
// and identifiers, after the ISO directories), and the files' entries (one run after the boot
// catalog, ending where the first file begins, made as the header is streamed).
#include "image_structure.h"

namespace velmor {

class UdfVolume final : public ImageStructure {
public:
  explicit UdfVolume(Platform &platform) : platform_(platform) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void PlaceAfterFiles(ImageLayout &layout) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  Platform &platform_;
};

class UdfFolders final : public ImageStructure {
public:
  explicit UdfFolders(Platform &platform) : platform_(platform) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  Platform &platform_;
};

class UdfFileEntries final : public ImageStructure {
public:
  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;
};

} // namespace velmor
