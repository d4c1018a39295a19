#include "size_text.h"

namespace velmor {

std::string FormatCount(std::uint64_t Count) {
  const std::string digits = std::to_string(Count);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      text += ',';
    text += digits[i];
  }
  return text;
}

std::string ProgressText(std::int64_t DoneBytes, std::int64_t TotalBytes) {
  return FormatMegabytes(DoneBytes) + "/" + FormatMegabytes(TotalBytes) + " MB";
}

std::string FormatMegabytes(std::int64_t Bytes) {
  constexpr std::int64_t kMebibyte = 1048576;
  const bool negative = Bytes < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(Bytes) : static_cast<std::uint64_t>(Bytes);
  std::uint64_t whole = magnitude / kMebibyte;
  std::uint64_t hundredths = (magnitude % kMebibyte * 100 + kMebibyte / 2) / kMebibyte;
  if (hundredths == 100) {
    ++whole;
    hundredths = 0;
  }
  std::string text = FormatCount(whole) + '.';
  text += static_cast<char>('0' + hundredths / 10);
  text += static_cast<char>('0' + hundredths % 10);
  return negative ? "-" + text : text;
}

} // namespace velmor
