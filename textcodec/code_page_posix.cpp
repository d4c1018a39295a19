// Hosts other than Windows name their files in UTF-8.
#include "code_page.h"
#include "utf8.h"

namespace velmor::text {

std::u16string AnsiToUtf16(std::string_view text) { return Utf8ToUtf16(text); }

std::string Utf16ToAnsi(std::u16string_view text) { return Utf16ToUtf8(text, U'?'); }

unsigned AnsiCharLength(unsigned char lead) { return Utf8SequenceLength(lead); }

} // namespace velmor::text
