#pragma once
// TKavoBurner: the image-building component. It gathers files and folders into the process-wide
// compilation, lays the image out, builds its header and writes the image.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "boot_catalog.h"
#include "compilation.h"
#include "el_torito.h"
#include "header_stream.h"
#include "header_writer.h"
#include "layout.h"
#include "names.h"
#include "platform.h"
#include "scsi_device.h"
#include "write_thread.h"

namespace velmor {

class TKavoBurner;

using TAddFileEvent =
    std::function<void(TKavoBurner *Sender, const std::string &FullPath, std::string &LongFileName,
                       std::string &ShortFileName, TDateTime &DateTime, std::uint32_t Attr,
                       std::int64_t FileSize, bool &Skip)>;
using TAddDirEvent = std::function<void(TKavoBurner *Sender, std::string &LongName,
                                        std::string &ShortName, bool &Skip)>;
using TWriteDoneEvent = std::function<void(TKavoBurner *Sender, const std::string &Error)>;
// A source that the tree leaves out although it was found: its full path and why.
using TLeftOutEvent = std::function<void(TKavoBurner *Sender, const LeftOutItem &Item)>;

constexpr std::uint32_t kAllAttributes = 63;

// An image holds at most this many directories, root included: a path-table record gives its
// parent's number in 16 bits. The command line and the folder disc size their compilations to
// the tree, up to these.
constexpr std::int32_t kMaxDirectories = 65535;
constexpr std::int32_t kMaxEntries = 0x7FFFFFFF;
// The volume label's room: bytes of the ISO 9660 one, UCS-2 units of the Joliet one.
constexpr std::size_t kMaxIsoLabelBytes = 32;
constexpr std::size_t kMaxJolietLabelUnits = 16;

// How an image boots (El Torito): one entry. Paths are in the tree, with "/" (or the platform's
// separator) between names.
struct BootOptions {
  std::string ImagePath;
  std::string CatalogPath; // empty: "boot.cat" beside the first boot image
  BootPlatform Platform = BootPlatform::X86;
  // UEFI images are loaded without emulation whatever this says.
  bool NoEmulation = false;
  // 512-byte sectors, no emulation only; 0: 4 for a BIOS image, the whole image (as
  // WholeImageLoadSectors) for a UEFI one.
  std::uint16_t LoadSectors = 0;
  bool InfoTable = false;
};

constexpr std::uint16_t kDefaultBiosLoadSectors = 4;

class TKavoBurner : public TSCSIDevice {
public:
  explicit TKavoBurner(Platform &platform = NativePlatform());
  ~TKavoBurner() override;

  // Properties.
  bool JolietFileSystem() const { return FJolietFileSystem; }
  void SetJolietFileSystem(bool v) { FJolietFileSystem = v; }
  // A UDF bridge beside ISO 9660 (and Joliet): same file data, full names, any file size.
  bool UdfFileSystem() const { return FUdfFileSystem; }
  // Whether the compilation gathered so far needs UDF (CompilationWantsUdf).
  bool CompilationWantsUdf() const;
  void SetUdfFileSystem(bool v) { FUdfFileSystem = v; }
  bool ReplaceFile() const { return FReplaceFile; }
  void SetReplaceFile(bool v) { FReplaceFile = v; }
  bool WritePostGap() const { return FWritePostGap; }
  void SetWritePostGap(bool v) { FWritePostGap = v; }
  bool FinalizeTrack() const { return FFinalizeTrack; }
  void SetFinalizeTrack(bool v) { FFinalizeTrack = v; }
  bool UnderrunProtection() const { return FUnderrunProtection; }
  void SetUnderrunProtection(bool v) { FUnderrunProtection = v; }
  std::int32_t CacheSize() const { return FCacheSize; }
  void SetCacheSize(std::int32_t v);
  const std::string &Version() const { return FVersion; }
  void SetVersion(const std::string &) {} // fixed by the component
  const std::string &ISOFileName() const { return FISOFileName; }

  const std::string &IdVolume() const { return FIds.IdVolume; }
  void SetIdVolume(const std::string &v) { FIds.IdVolume = v; }
  const std::string &IdSystem() const { return FIds.IdSystem; }
  void SetIdSystem(const std::string &v) { FIds.IdSystem = v; }
  const std::string &IdVolumeSet() const { return FIds.IdVolumeSet; }
  void SetIdVolumeSet(const std::string &v) { FIds.IdVolumeSet = v; }
  const std::string &IdPublisher() const { return FIds.IdPublisher; }
  void SetIdPublisher(const std::string &v) { FIds.IdPublisher = v; }
  const std::string &IdPreparer() const { return FIds.IdPreparer; }
  void SetIdPreparer(const std::string &v) { FIds.IdPreparer = v; }
  const std::string &IdApplication() const { return FIds.IdApplication; }
  void SetIdApplication(const std::string &v) { FIds.IdApplication = v; }
  const std::string &FileCopyright() const { return FIds.FileCopyright; }
  void SetFileCopyright(const std::string &v) { FIds.FileCopyright = v; }
  const std::string &FileAbstract() const { return FIds.FileAbstract; }
  void SetFileAbstract(const std::string &v) { FIds.FileAbstract = v; }
  const std::string &FileBibliographic() const { return FIds.FileBibliographic; }
  void SetFileBibliographic(const std::string &v) { FIds.FileBibliographic = v; }
  TDateTime DateCreation() const { return FIds.DateCreation; }
  void SetDateCreation(TDateTime v) { FIds.DateCreation = v; }
  TDateTime DateModification() const { return FIds.DateModification; }
  void SetDateModification(TDateTime v) { FIds.DateModification = v; }
  TDateTime DateEffective() const { return FDateEffective; }
  void SetDateEffective(TDateTime v) { FDateEffective = v; }
  TDateTime DateExpiration() const { return FDateExpiration; }
  void SetDateExpiration(TDateTime v) { FDateExpiration = v; }

  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  TWriteDoneEvent OnWriteDone;
  TLeftOutEvent OnLeftOut;

  // The compilation.
  bool NewCompilation(std::int32_t MaxEntries, std::int32_t MaxDirs);
  std::int32_t InsertFile(const std::string &Destination, const std::string &Source, bool KeepPath);
  std::int32_t InsertFolder(const std::string &Destination, const std::string &Source,
                            bool ArchiveOnly, bool KeepPath, bool Recursive,
                            std::uint32_t AttributeMask, const std::string &Mask);
  std::int32_t AddFolderContents(TDirNode *Dir, const std::string &Source, bool ArchiveOnly,
                                 bool KeepPath, bool Recursive, std::uint32_t AttributeMask,
                                 const std::string &Mask);
  TDirNode *FindDir(const std::string &Path) const;
  TDirNode *ForceDirPath(const std::string &Path);
  TDirNode *MakeVirtualDir(TDirNode *Parent, const std::string &Name, std::uint32_t Attributes);
  TDirNode *AddDir(TDirNode *Parent, const ListingRecord &Record);
  // Where names are case-sensitive (see Platform), by the name as listed.
  TEntryNode *FindEntry(const TDirNode *Dir, const std::string &LongName) const;
  std::int32_t AddFileEntry(TDirNode *Dir, const ListingRecord &Record, bool ArchiveOnly,
                            std::int32_t FixedSector, const std::string &FullPath);
  static CompilationStore &Compilation() { return TheCompilation(); }
  // Whether the last InsertFile or InsertFolder was cut short by a limit of the compilation
  // (MaxEntries or MaxDirs), and which: kTooManyFolders or kTooManyFiles, with the number
  // reached in Limit (the debug channel says "MAXIMUM FILES CAN BE %d" and the like).
  bool LimitReached() const { return IsLimit(FLimitItem.Reason); }
  const LeftOutItem &LimitItem() const { return FLimitItem; }

  // Makes the image boot from a file already in the tree, with the catalog added to the tree at
  // its path. Everything is checked here, before anything is written: returns why the image
  // cannot boot that way, or an empty text. A file already at the catalog's path gives its
  // place to the catalog; its source path is then put in Replaced. Lasts until NewCompilation.
  std::string SetBootImage(const BootOptions &Options, std::string *Replaced = nullptr);
  // One more entry after SetBootImage's (its CatalogPath is not looked at); the same checks.
  std::string AddBootImage(const BootOptions &Options);
  // Makes the bootable image hybrid: the MBR boot code in the first 432 bytes of the file at
  // MbrCodePath (432 to 512 bytes long), a partition over the image, the first BIOS boot
  // image's address for the code; with Gpt, a GPT and an MBR partition for the first UEFI boot
  // image. Returns why not, or an empty text.
  std::string SetHybrid(const std::string &MbrCodePath, bool Gpt);
  const BootSpec *Boot() const { return FBoot ? &*FBoot : nullptr; }
  // Whether the tree holds a file (not a folder) at Path, as SetBootImage finds it.
  bool HasFile(const std::string &Path) const;

  // Layout, header and size.
  bool PrepareImage(bool ToFile, TDirNode *SessionDir);
  bool ComputeLayout(bool ToFile, TDirNode *SessionDir);
  bool BuildHeader();
  std::int64_t ImageSectors() const;
  const ImageLayout &Layout() const { return FLayout; }
  THeaderStream &HeaderStream() { return FHeaderStream; }

  // Writes the prepared image. In place: on the calling thread, header then every file padded
  // to a sector, no post-gap; ends with OnWriteDone. Returns true on success.
  // With InPlace false, the threaded write below.
  bool WriteImage(const std::string &FileName, bool InPlace);

  // Threaded write: the read-ahead cache thread produces the image (header, file data,
  // post-gap) and the writer thread writes it to FileName. The end is reported through
  // OnWriteDone on the writer thread. Returns true when the writer was started; false when the
  // write failed before that, in which case OnWriteDone has been called on this thread. Must be
  // preceded by PrepareImage; the compilation must not change until OnWriteDone.
  bool WriteImage(const std::string &FileName);
  void StartWriter(std::unique_ptr<TCacheThread> Cache);
  // Asks a running write to stop; returns at once. The block being written is completed.
  void AbortWrite();
  std::int64_t BytesWritten() const { return FWriter.State.BytesWritten; }
  // What ended the last write, as data (none on success); OnWriteDone's text says the same.
  // Valid from OnWriteDone on, on the thread that raised it.
  const WriteFailure &LastWriteFailure() const { return FWriteFailure; }

private:
  enum class WalkResult { Complete, Incomplete, LimitReached };

  TDirNode *AllocDir();
  TEntryNode *AllocEntry();
  // The directory and the name of a path in the tree; no directory when its folders are not all
  // in the tree.
  TDirNode *SplitTreePath(const std::string &Path, std::string &Name) const;
  TEntryNode *FindFile(const TDirNode *Dir, const std::string &Name) const;
  void MoveAmongFilesByName(TDirNode *Dir, TEntryNode *Entry);
  std::string PlaceBootCatalog(const BootOptions &Options, TDirNode *ImageDir,
                               std::string *Replaced);
  // The entry Options ask for, checked; Dir is the boot image's folder.
  std::string MakeBootEntry(const BootOptions &Options, BootEntry &Entry, TDirNode *&Dir);
  void AppendChild(TDirNode *Dir, TEntryNode *Entry);
  std::string Upper(const std::string &Text) const { return UpperAscii(Text, FChars); }
  // The key under which a path or name is found: upper-cased, unless the platform's names are
  // case-sensitive. A folder's name key differs from a file's of the same name there.
  std::string NameKey(const std::string &Text) const { return FCaseSensitive ? Text : Upper(Text); }
  std::string EntryKeyName(const std::string &Name, bool Folder) const {
    return FCaseSensitive ? (Folder ? Name + '/' : Name) : Upper(Name);
  }
  void LeftOut(const std::string &Path, LeftOutReason Reason, std::uint32_t SystemCode = 0);
  std::string TreePathOf(const std::string &SourceFolder) const;
  WalkResult Walk(TDirNode *Dir, const std::string &Source, bool ArchiveOnly, bool KeepPath,
                  bool Recursive, std::uint32_t AttributeMask, const std::string &Mask);

  Platform &FPlatform;
  CharTable FChars;
  bool FCaseSensitive;
  bool FJolietFileSystem = true;
  bool FUdfFileSystem = false;
  bool FReplaceFile = false;
  bool FWritePostGap = true;
  bool FFinalizeTrack = true;
  bool FUnderrunProtection = true;
  std::int32_t FCacheSize = 4194304;
  std::string FVersion = "1.1.7";
  std::string FISOFileName;
  VolumeIdentifiers FIds;
  TDateTime FDateEffective = 0;
  TDateTime FDateExpiration = 0;
  THeaderStream FHeaderStream;
  ImageLayout FLayout;
  std::optional<BootSpec> FBoot;
  DataPatch FBootPatch; // the boot info table, over the boot image's copy
  LeftOutItem FLimitItem;
  WriteFailure FWriteFailure;
  // Frees the compilation when the last component goes; after FWriter has ended a running write.
  struct CompilationHold {
    CompilationHold();
    ~CompilationHold();
    CompilationHold(const CompilationHold &) = delete;
    CompilationHold &operator=(const CompilationHold &) = delete;
  } FCompilationHold;
  // Last, so that it goes first: it waits for the write's threads while everything they use is
  // still there.
  WriterSlot FWriter;

  void RaiseWriteDone(const WriteFailure &Failure);
};

} // namespace velmor
