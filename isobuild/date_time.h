#pragma once
// Local date-times as the component keeps them: days since 30 December 1899, the fraction of a
// day being the time of day.
#include <cstdint>

namespace velmor {

using TDateTime = double;

struct DateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TDateTime EncodeDateTime(const DateParts &Parts);
DateParts DecodeDateTime(TDateTime Value);

// Days between 30 December 1899 and 1 January 1970.
constexpr int kUnixEpochDays = 25569;

} // namespace velmor
