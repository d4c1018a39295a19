#pragma once
// The builder's only view of the system: folder listings, source files, the image file, the
// clock, the time-zone bias and the 8-bit code page. The native implementation is Win32 on
// Windows and POSIX elsewhere; tests supply their own.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "build_problem.h"
#include "code_page.h"
#include "date_time.h"

namespace velmor {

// Windows file attributes as a listing reports them.
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t kAttrHidden = 0x02;
constexpr std::uint32_t kAttrSystem = 0x04;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;
constexpr std::uint32_t kAttrReparsePoint = 0x400;

// Why a folder that a Windows listing gives is left out, by its attributes and reparse tag. A
// symbolic link or junction (a name surrogate) could loop, or lead anywhere (a junction to C:\);
// cloud-file and deduplicated folders are reparse points too, but hold their own contents and
// are read as folders. Where the tag cannot be read (0: Wine gives none) the attribute alone
// decides.
constexpr LeftOutReason ListedFolderRefusal(std::uint32_t Attr, std::uint32_t ReparseTag) {
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  const bool link = (Attr & kAttrDirectory) && (Attr & kAttrReparsePoint) &&
                    (ReparseTag == 0 || (ReparseTag & kNameSurrogate));
  return link ? LeftOutReason::kLinkToFolder : LeftOutReason::kNone;
}

// One name of a folder listing.
struct ListingRecord {
  std::string Name;          // long name
  std::string AlternateName; // 8.3 name; empty when the file system gives none
  std::uint32_t Attr = 0;
  std::uint64_t Size = 0;
  TDateTime LastWrite = 0; // local time
  // Set for a name that no image can hold (a device, a pipe, a link to a folder): why not. Such a
  // record is neither a file nor a folder; listings give it so that it can be reported.
  LeftOutReason Refusal = LeftOutReason::kNone;
  bool Refused() const { return Refusal != LeftOutReason::kNone; }
  bool IsFolder() const { return (Attr & kAttrDirectory) != 0; }
};

class SourceFile {
public:
  virtual ~SourceFile() = default;
  // Bytes read into Buffer; 0 at the end of the file, -1 on a read error.
  virtual std::int64_t Read(void *Buffer, std::size_t Count) = 0;
  // Moves the read position Count bytes on without delivering them; false when it cannot. Files
  // of the system seek; other sources read and drop the bytes.
  virtual bool Skip(std::uint64_t Count);
};

class ImageFile {
public:
  virtual ~ImageFile() = default;
  virtual bool Write(const void *Data, std::size_t Count) = 0;
  // Appends Count zero bytes; a file system that keeps holes need not store them.
  virtual bool WriteZeros(std::uint64_t Count);
  // Flushes and closes; false when anything could not be written.
  virtual bool Close() = 0;
};

// The 8-bit code page (AnsiToUtf16, CharLength) is the system's unless a test gives its own.
class Platform : public CodePage {
public:
  virtual ~Platform() = default;
  // Separator of source paths ('\\' on Windows, '/' elsewhere).
  virtual char Separator() const = 0;
  // Lists Folder (which ends with the separator) for names matching Mask ("*.*" = all), without
  // "." and "..". False when the folder cannot be listed.
  virtual bool ListFolder(const std::string &Folder, const std::string &Mask,
                          std::vector<ListingRecord> &Out) = 0;
  // The listing record of one path; false when nothing is there.
  virtual bool Stat(const std::string &Path, ListingRecord &Out) = 0;
  virtual std::unique_ptr<SourceFile> OpenRead(const std::string &Path) = 0;
  // Creates (or replaces) an image file for writing.
  virtual std::unique_ptr<ImageFile> CreateImage(const std::string &Path) = 0;
  // The process's standard output as an image file; none where there is no such thing.
  virtual std::unique_ptr<ImageFile> StandardOutput() { return nullptr; }
  // Whether two names that differ only in letter case name two files.
  virtual bool CaseSensitiveNames() const { return false; }
  virtual TDateTime Now() = 0;
  // Standard time-zone bias in minutes: UTC = local time + bias.
  virtual int TimeZoneBiasMinutes() = 0;
  // The system's code for the calling thread's last failed call of this interface (a listing,
  // an open, a read, a write, a close): GetLastError on Windows, errno elsewhere. Read it at
  // once, before anything else can change it; 0 where there is no system to ask.
  virtual std::uint32_t LastSystemCode() const { return 0; }
};

Platform &NativePlatform();

} // namespace velmor
