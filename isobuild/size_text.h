#pragma once
// Amounts as the program shows them: mebibytes with "#,##0.00", counts with "#,##0".
#include <cstdint>
#include <string>

namespace velmor {

// Bytes / 1,048,576 with thousands separators and two decimals, rounded half up: 1,572,864
// gives "1.50", 1,073,741,824,000 gives "1,024,000.00".
std::string FormatMegabytes(std::int64_t Bytes);

// Progress as the work windows and velmor-mkiso show it: "1.50/300.00 MB".
std::string ProgressText(std::int64_t DoneBytes, std::int64_t TotalBytes);

// A count with thousands separators: 600000 gives "600,000".
std::string FormatCount(std::uint64_t Count);

} // namespace velmor
