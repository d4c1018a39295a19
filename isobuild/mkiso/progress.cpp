#include "progress.h"

#ifdef _WIN32
#include <io.h>
#define velmor_isatty _isatty
#define velmor_fileno _fileno
#else
#include <unistd.h>
#define velmor_isatty isatty
#define velmor_fileno fileno
#endif

#include "size_text.h"

namespace velmor::mkiso {

ProgressLine::ProgressLine(std::FILE *Out)
    : FOut(Out), FEnabled(velmor_isatty(velmor_fileno(Out)) != 0) {}

void ProgressLine::Show(std::int64_t Written, std::int64_t Total) {
  if (!FEnabled)
    return;
  std::string text = ProgressText(Written, Total);
  const std::size_t length = text.size();
  // Blanks over the rest of a longer earlier line.
  if (length < FShownLength)
    text.append(FShownLength - length, ' ');
  FShownLength = length;
  std::fprintf(FOut, "\r%s", text.c_str());
  std::fflush(FOut);
}

void ProgressLine::Finish() {
  if (FEnabled && FShownLength > 0) {
    std::fputc('\n', FOut);
    std::fflush(FOut);
    FShownLength = 0;
  }
}

} // namespace velmor::mkiso
