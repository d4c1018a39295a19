#pragma once
// Texts a window shows about a failure: its own sentence first, then, as a detail line, what
// the system or a component said.
#include <windows.h>

#include <string>

namespace winkit {

// The system's text for an error code, in the system's language (FormatMessage), without its
// line end; the bare code when the system has no text for it.
std::string SystemErrorText(DWORD code);

// `sentence`, then "详细信息: " and `detail` on a line of its own.
std::string WithDetail(const std::string &sentence, const std::string &detail);

// A blank line, then "详细信息: ", the system's text for `code` and the code itself: the end of
// a message about one failed call.
std::string CodeDetail(DWORD code);

// `sentence` with the system's text for `code` as its detail line; without one for code 0.
std::string WithSystemReason(const std::string &sentence, DWORD code);

} // namespace winkit
