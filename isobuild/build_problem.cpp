#include "build_problem.h"

namespace velmor {

std::string CompletionText(const WriteFailure &Failure) {
  const std::string quoted = "\"" + Failure.Path + "\"";
  switch (Failure.Kind) {
  case WriteFailureKind::kNone:
    return {};
  case WriteFailureKind::kAborted:
    return "OPERATION ABORTED BY USER";
  case WriteFailureKind::kSourceUnopenable:
    return "CAN'T OPEN FILE " + quoted + " OR FILE IS IN USES BY OTHER SOFTWARE";
  case WriteFailureKind::kSourceChanged:
    return "FILE " + quoted + " CHANGED WHILE THE IMAGE WAS WRITTEN";
  case WriteFailureKind::kImageUncreatable:
    return "CAN'T CREATE FILE " + quoted;
  case WriteFailureKind::kImageUnwritable:
    return "CAN'T WRITE FILE " + quoted;
  case WriteFailureKind::kInternal:
    break;
  }
  return "INTERNAL ERROR 0005";
}

} // namespace velmor
