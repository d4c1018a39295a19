#pragma once
// What a build could not do, as data: a kind, the path concerned and the system's own code for
// it (GetLastError on Windows, errno elsewhere; 0 where the system gave none). The builder never
// words these: each program that shows them does, in its own language.
#include <cstdint>
#include <string>
#include <utility>

namespace velmor {

// Why a write ended without a whole image.
enum class WriteFailureKind {
  kNone,
  kAborted,          // the user gave the write up
  kSourceUnopenable, // a source file cannot be opened
  kSourceChanged,    // a source turned out shorter, longer or unreadable; its share holds zeros
  kImageUncreatable, // the image file cannot be created
  kImageUnwritable,  // the image file cannot be written, or closed
  kInternal,         // the compilation changed after the layout, or memory ran out
};

struct WriteFailure {
  WriteFailure() = default;
  WriteFailure(WriteFailureKind kind, std::string path = {}, std::uint32_t systemCode = 0)
      : Kind(kind), Path(std::move(path)), SystemCode(systemCode) {}
  WriteFailureKind Kind = WriteFailureKind::kNone;
  std::string Path; // the source or the image file; empty for kAborted and kInternal
  std::uint32_t SystemCode = 0;
  explicit operator bool() const { return Kind != WriteFailureKind::kNone; }
};

// The component's completion text for a failure, as its completion event passes it: empty for
// none, otherwise the English text callers have always received.
std::string CompletionText(const WriteFailure &Failure);

// Why something found on the way in is not in the image.
enum class LeftOutReason {
  kNone,
  kNameTooLong,      // a file's name of more than 127 characters
  kNameTaken,        // the directory has an item of that name already
  kFolderUnreadable, // the folder cannot be listed
  kNotFound,         // nothing at the path
  kNoPlace,          // the tree could not make its folder
  kTooManyFolders,   // the compilation's most folders are reached (Limit)
  kTooManyFiles,     // the compilation's most entries are reached (Limit)
  // Names a listing gives that no image can hold.
  kBrokenLink,
  kLinkToFolder,
  kNotFileOrFolder,     // a device, a pipe, a socket
  kNameOutsideCodePage, // characters the 8-bit code page cannot carry
  kDataScattered,       // a file of an imported image whose data is not one run of it
};

struct LeftOutItem {
  LeftOutItem() = default;
  LeftOutItem(std::string path, LeftOutReason reason, std::uint32_t systemCode = 0,
              std::int32_t limit = 0)
      : Path(std::move(path)), Reason(reason), SystemCode(systemCode), Limit(limit) {}
  std::string Path;
  LeftOutReason Reason = LeftOutReason::kNone;
  std::uint32_t SystemCode = 0;
  std::int32_t Limit = 0; // the number reached, for the two limits
};

inline bool IsLimit(LeftOutReason Reason) {
  return Reason == LeftOutReason::kTooManyFolders || Reason == LeftOutReason::kTooManyFiles;
}

} // namespace velmor
