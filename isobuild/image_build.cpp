// TKavoBurner: layout, header, size and the in-place image write.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "image_data.h"
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
  FLayout = ComputeImageLayout(TheCompilation(), FJolietFileSystem, start, FPlatform, FChars,
                               Boot(), FUdfFileSystem);
  FBootPatch = DataPatch{};
  for (const BootEntry &entry : FBoot ? FBoot->Entries : std::vector<BootEntry>{}) {
    if (!entry.InfoTable)
      continue;
    const TEntryNode &image = *entry.Image;
    const auto table =
        BootInfoTable(FLayout.Iso.DescriptorSector, FileSector(FLayout, image),
                      static_cast<std::uint32_t>(image.FileSize), entry.ImageChecksum);
    FBootPatch.Pieces.push_back({&image, kBootInfoTableOffset, {table.begin(), table.end()}});
  }
  return true;
}

bool TKavoBurner::CompilationWantsUdf() const {
  return velmor::CompilationWantsUdf(TheCompilation(), FPlatform);
}

bool TKavoBurner::BuildHeader() {
  // A header built again replaces the previous one instead of following it.
  FHeaderStream.Clear();
  BuildImageHeader(TheCompilation(), FLayout, FIds, FPlatform, FChars, FHeaderStream, Boot());
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
  WriteFailure failure;
  const auto imageFailed = [&](WriteFailureKind kind) {
    if (!failure)
      failure = {kind, FileName, FPlatform.LastSystemCode()};
  };
  if (std::unique_ptr<ImageFile> image = FPlatform.CreateImage(FileName); !image) {
    imageFailed(WriteFailureKind::kImageUncreatable);
  } else {
    std::vector<std::uint8_t> buffer(kReadPiece);
    if (!image->Write(FHeaderStream.Data(), FHeaderStream.StoredSize()))
      imageFailed(WriteFailureKind::kImageUnwritable);
    const std::uint64_t headerBytes = FHeaderStream.Size();
    for (std::uint64_t at = FHeaderStream.StoredSize(); at < headerBytes && !failure;) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(headerBytes - at, buffer.size()));
      FHeaderStream.Read(at, piece, buffer.data());
      if (!image->Write(buffer.data(), piece))
        imageFailed(WriteFailureKind::kImageUnwritable);
      at += piece;
    }
    std::uint64_t position = FLayout.StartSector + headerBytes / kSectorSize;
    WriteFailure changed; // the first source that changed; the image is finished all the same
    const CompilationStore &c = TheCompilation();
    for (std::int32_t i = 0; i < c.EntryCount && !failure; ++i) {
      const TEntryNode &e = *c.Entries[i];
      if (!CarriesData(e))
        continue;
      const std::uint64_t expected =
          FLayout.FirstFileSector + static_cast<std::uint32_t>(e.DataSector);
      if (position != expected) {
        char text[64];
        std::snprintf(text, sizeof text, " AT SECTOR %llu, EXPECTED %llu",
                      static_cast<unsigned long long>(position),
                      static_cast<unsigned long long>(expected));
        DebugMsg("FILE \"" + e.SourcePath + "\"" + text, 4);
      }
      EntryData data(FPlatform, e, &FBootPatch);
      if (!data.Open()) {
        failure = data.Failure();
        break;
      }
      while (data.Left() > 0 && !failure) {
        const std::size_t count = data.Fill(buffer.data(), buffer.size());
        const bool zeros =
            std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count),
                        [](std::uint8_t b) { return b == 0; });
        if (!(zeros ? image->WriteZeros(count) : image->Write(buffer.data(), count)))
          imageFailed(WriteFailureKind::kImageUnwritable);
      }
      if (data.Changed() && !changed)
        changed = data.Failure();
      position += SectorsFor(static_cast<std::uint64_t>(e.FileSize));
    }
    const std::vector<std::uint8_t> &trailer = FHeaderStream.Trailer();
    if (!failure && !trailer.empty() && !image->Write(trailer.data(), trailer.size()))
      imageFailed(WriteFailureKind::kImageUnwritable);
    if (!image->Close())
      imageFailed(WriteFailureKind::kImageUnwritable);
    if (!failure)
      failure = changed;
  }
  FWriteFailure = failure;
  if (OnWriteDone)
    OnWriteDone(this, CompletionText(failure));
  return !failure;
}

} // namespace velmor
