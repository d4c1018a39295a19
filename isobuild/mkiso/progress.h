#pragma once
// The progress line of velmor-mkiso: "written/total MB", rewritten in place on a terminal and
// silent otherwise, so that logs and pipes get only the result.
#include <cstdint>
#include <cstdio>
#include <string>

namespace velmor::mkiso {

class ProgressLine {
public:
  // Shows progress only when Out is a terminal.
  explicit ProgressLine(std::FILE *Out);
  void Show(std::int64_t Written, std::int64_t Total);
  // Ends the line, if one was shown.
  void Finish();

private:
  std::FILE *FOut;
  bool FEnabled;
  std::size_t FShownLength = 0;
};

} // namespace velmor::mkiso
