#pragma once
// velmor-mkiso's flags: one table (the flag, its argument, what it sets, its usage line), read
// into a Request; the checks that need nothing but the command line.
#include <string>
#include <vector>

#include "image_import.h"
#include "kavo_burner.h"

namespace velmor::mkiso {

// One El Torito entry as the command line asks for it: the flags between two
// -eltorito-alt-boot.
struct BootRequest {
  BootOptions Options;
  int Images = 0; // -b and -e given for this entry
  bool LoadSizeGiven = false;
  bool EntryFlags = false; // -no-emul-boot, -boot-load-size or -boot-info-table
  std::string BadLoadSize;
};

struct Request {
  std::string Image, Label;
  bool LabelGiven = false; // else an imported image's label is kept
  bool Joliet = true, Udf = false, Recurse = true, Help = false;
  std::vector<std::string> Paths;
  std::string Catalog;
  std::vector<BootRequest> Boot; // in order; empty without boot flags
  std::string HybridMbr;
  bool GptBasdat = false;
  ImportRequest Import; // no ImagePath: nothing imported
};

struct Flag {
  const char *Name;
  const char *Argument; // nullptr: the flag takes none
  void (*Set)(Request &request, const std::string &argument);
  const char *Usage; // nullptr: not listed (another name of a listed flag)
};

extern const std::vector<Flag> kFlags;

// Reads the arguments into `request`; false on an unknown flag or a missing argument.
bool ParseArguments(int argc, char **argv, Request &request);
// The usage text: a synopsis and one line per flag.
void PrintUsage(std::FILE *out);
// What is wrong with the boot and import flags as given, or an empty text.
std::string FlagsProblem(const Request &request);

} // namespace velmor::mkiso
