// TKavoBurner: layout, header, size and the in-place image write.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "kavo_burner.h"

namespace velmor {

namespace {
constexpr std::size_t kReadPiece = 131072;
constexpr std::uint8_t kReadTrackInformation = 0x52;
} // namespace

bool TKavoBurner::PrepareImage(bool ToFile, TDirNode *SessionDir) {
  return ComputeLayout(ToFile, SessionDir) && BuildHeader();
}

bool TKavoBurner::ComputeLayout(bool ToFile, TDirNode *SessionDir) {
  (void)SessionDir; // importing an earlier session needs a drive
  SetDoDebug(false);
  std::uint32_t start = 0;
  if (!ToFile) {
    // A disc write starts at the drive's next writable address, which only a drive can tell.
    std::uint8_t cdb[10] = {kReadTrackInformation, 1, 0, 0, 0, 0xFF, 0, 0, 28, 0};
    if (ExecuteCommand(cdb, sizeof cdb, 10000) != 0) {
      DebugMsg("CAN'T READ NEXT WRITABLE ADDRESS", 4);
      return false;
    }
  }
  FLayout =
      ComputeImageLayout(TheCompilation(), FJolietFileSystem, start, FPlatform, FChars, Boot());
  FBootPatch = DataPatch{};
  if (FBoot && FBoot->InfoTable) {
    const TEntryNode &image = *FBoot->Image;
    const auto table =
        BootInfoTable(FLayout.PrimaryDescriptorSector, FileSector(FLayout, image),
                      static_cast<std::uint32_t>(image.FileSize), FBoot->ImageChecksum);
    FBootPatch = DataPatch{&image, kBootInfoTableOffset, {table.begin(), table.end()}};
  }
  return true;
}

bool TKavoBurner::BuildHeader() {
  // A header built again replaces the previous one instead of following it.
  FHeaderStream.Clear();
  FHeaderStream.Bytes().reserve((FLayout.FirstFileSector - FLayout.StartSector) * kSectorSize);
  BuildImageHeader(TheCompilation(), FLayout, FIds, FPlatform, FChars, FHeaderStream.Bytes(),
                   Boot());
  SetDoDebug(true);
  return true;
}

std::int64_t TKavoBurner::ImageSectors() const {
  const std::int64_t count = static_cast<std::int64_t>(FLayout.ImageSectorCount);
  if (FWritePostGap && count < static_cast<std::int64_t>(kPostGapSectors))
    return kPostGapSectors;
  return count;
}

bool TKavoBurner::WriteImage(const std::string &FileName, bool InPlace) {
  if (!InPlace)
    return WriteImage(FileName);
  FISOFileName = FileName;
  std::string error;
  if (std::unique_ptr<ImageFile> image = FPlatform.CreateImage(FileName); !image) {
    error = "CAN'T CREATE FILE \"" + FileName + "\"";
  } else {
    const std::string writeError = "CAN'T WRITE FILE \"" + FileName + "\"";
    if (!image->Write(FHeaderStream.Data(), FHeaderStream.Size()))
      error = writeError;
    std::uint64_t position = FLayout.StartSector + FHeaderStream.Size() / kSectorSize;
    std::vector<std::uint8_t> buffer(kReadPiece);
    const CompilationStore &c = TheCompilation();
    for (std::int32_t i = 0; i < c.EntryCount && error.empty(); ++i) {
      const TEntryNode &e = *c.Entries[i];
      if (e.Dir || e.FixedSector || e.FileSize <= 0)
        continue;
      const std::uint64_t expected =
          FLayout.FirstFileSector + static_cast<std::uint32_t>(e.IsoSector);
      if (position != expected) {
        char text[64];
        std::snprintf(text, sizeof text, " AT SECTOR %llu, EXPECTED %llu",
                      static_cast<unsigned long long>(position),
                      static_cast<unsigned long long>(expected));
        DebugMsg("FILE \"" + e.SourcePath + "\"" + text, 4);
      }
      std::unique_ptr<SourceFile> source = FPlatform.OpenRead(e.SourcePath);
      if (!source) {
        error = "CAN'T OPEN FILE \"" + e.SourcePath + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
        break;
      }
      std::uint64_t left = static_cast<std::uint64_t>(e.FileSize);
      while (left > 0) {
        const std::size_t want = left < kReadPiece ? static_cast<std::size_t>(left) : kReadPiece;
        const std::int64_t got = source->Read(buffer.data(), want);
        if (got != static_cast<std::int64_t>(want)) {
          // The file shrank or could not be read: the image would not hold it.
          error = "CAN'T READ FILE \"" + e.SourcePath + "\"";
          break;
        }
        FBootPatch.ApplyTo(e, static_cast<std::uint64_t>(e.FileSize) - left, buffer.data(), want);
        std::size_t count = want;
        left -= want;
        if (left == 0 && count % kSectorSize != 0) {
          const std::size_t padded = (count + kSectorSize - 1) / kSectorSize * kSectorSize;
          std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(count),
                    buffer.begin() + static_cast<std::ptrdiff_t>(padded), 0);
          count = padded;
        }
        const bool zeros =
            std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count),
                        [](std::uint8_t b) { return b == 0; });
        if (!(zeros ? image->WriteZeros(count) : image->Write(buffer.data(), count))) {
          error = writeError;
          break;
        }
      }
      position += SectorsFor(static_cast<std::uint64_t>(e.FileSize));
    }
    if (!image->Close() && error.empty())
      error = writeError;
  }
  if (OnWriteDone)
    OnWriteDone(this, error);
  return error.empty();
}

} // namespace velmor
