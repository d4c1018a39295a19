// The served drives as the registry keeps them, beside every other drive: the letter's path in
// the drives key, its layout record under the Served subkey (which tells the driver's start-up
// to leave it to this server), and the image's identity under Identities.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "velmor_identity.h"
#include "velmor_served.h"

namespace velmor::server {

// Writes the layout record, then the identity, then the path, so that the path never stands in
// the table without what the next start needs; a classic drive's layout record at the letter is
// dropped. 0, or the system's error code (what was written is taken away again).
LONG WriteServedRecord(char16_t letter, const std::u16string &path, const LayoutRecord &record,
                       const FileIdentity &identity);
// Forgets the letter: its path first, then its served and layout records and its identity.
void DeleteServedRecord(char16_t letter);

// The letters that have a Served record, A to Z.
std::vector<char16_t> ServedLetters();
// A served letter's path and identity; false when either is missing or malformed.
bool ReadServedRecord(char16_t letter, std::u16string *path, FileIdentity *identity);
// True when the drives key has any value at the letter (a drive of ours is recorded there).
bool LetterRecorded(char16_t letter);

} // namespace velmor::server
