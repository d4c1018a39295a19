// Explorer's menu for disc images: a verb of ours on each image kind that opens the image with
// velmor.exe. It sits under SystemFileAssociations, beside whatever program the user chose for
// the kind, which it never replaces.
#pragma once

#include <string>

namespace velmor {

enum class VerbScope { kCurrentUser, kAllUsers };

// The kinds the verb is offered for (each with its dot).
inline constexpr const wchar_t *kVerbExtensions[] = {L".iso", L".cue", L".nrg", L".mds",
                                                     L".ccd", L".img", L".bin"};

// Adds the verb to every kind with the command "`program`" "%1"; 0, or the system's error code
// of the first write that failed (what was written stays: unregister removes it).
long RegisterShellVerbs(VerbScope scope, const std::wstring &program);
// Removes the verb from every kind, and the keys the verb alone needed; 0, or the system's
// error code of the first key that could not be removed.
long UnregisterShellVerbs(VerbScope scope);
// True when every kind has the verb in `scope`.
bool ShellVerbsRegistered(VerbScope scope);
// velmor.exe in the folder of the running program.
std::wstring ProgramBesideThis();

} // namespace velmor
