// One small reader per image format, each filling the track model of disc_image.h. DetectImage
// asks them in turn; each recognises its format by the file's own structure, not by its name.
#pragma once

#include <string>

#include "disc_image.h"
#include "utf8.h"

namespace velmor::formats {

// Whether `path` holds the format; a file that cannot be read is none of them.
bool IsCueSheet(ImageFiles &files, const std::u16string &path);
bool IsCloneCdControl(ImageFiles &files, const std::u16string &path);
bool IsMediaDescriptor(ImageFiles &files, const std::u16string &path);
bool IsNeroImage(ImageFiles &files, const std::u16string &path);
// Text that begins with a cue command although it is no cue sheet (no FILE or no TRACK): a
// descriptor the user meant as one, refused as not understood rather than taken as data.
bool StartsLikeCueSheet(ImageFiles &files, const std::u16string &path);

// The layout the descriptor at `path` gives, with every file it names as a full path; an
// error names the descriptor (or the missing file) and the line or field.
FormatError ReadCueSheet(ImageFiles &files, const std::u16string &path, DiscLayout *layout);
FormatError ReadCloneCdControl(ImageFiles &files, const std::u16string &path, DiscLayout *layout);
FormatError ReadMediaDescriptor(ImageFiles &files, const std::u16string &path, DiscLayout *layout);
FormatError ReadNeroImage(ImageFiles &files, const std::u16string &path, DiscLayout *layout);

// ---- Names in descriptors -------------------------------------------------------------------
// The folder of a full path, with its final '\' (or '/'); "" when it has none.
std::u16string FolderOf(const std::u16string &path);
// `path` with its extension (from the last '.' of its last component) replaced by `extension`
// (".img"), or `extension` appended when it has none.
std::u16string WithExtension(const std::u16string &path, const std::u16string &extension);
// A name written in a descriptor as a full path: UTF-8 when the descriptor starts with a
// UTF-8 byte-order mark, else the ANSI code page; a relative name is taken against the
// descriptor's folder. Forward slashes become backslashes.
std::u16string ResolveName(ImageFiles &files, const std::u16string &descriptor,
                           const std::string &name, bool utf8);
// UTF-8 to UTF-16; malformed bytes become U+FFFD.
using text::Utf8ToUtf16;

} // namespace velmor::formats
