#include "SystemError.h"

namespace winkit {

std::string SystemErrorText(DWORD code) {
  char *text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string result = length > 0 && text ? std::string(text, length) : std::string();
  if (text)
    LocalFree(text);
  while (!result.empty() &&
         (result.back() == '\r' || result.back() == '\n' || result.back() == ' '))
    result.pop_back();
  return result.empty() ? "错误代码 " + std::to_string(code) : result;
}

std::string WithDetail(const std::string &sentence, const std::string &detail) {
  return sentence + "\r\n详细信息: " + detail;
}

std::string CodeDetail(DWORD code) {
  return "\r\n\r\n详细信息: " + SystemErrorText(code) + " (错误 " + std::to_string(code) + ")";
}

std::string WithSystemReason(const std::string &sentence, DWORD code) {
  return code == 0 ? sentence : WithDetail(sentence, SystemErrorText(code));
}

} // namespace winkit
