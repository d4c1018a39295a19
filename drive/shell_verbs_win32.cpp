#include "shell_verbs_win32.h"

#include <windows.h>

#include <vector>

namespace velmor {
namespace {

constexpr wchar_t kAssociations[] = L"Software\\Classes\\SystemFileAssociations\\";
constexpr wchar_t kVerbKey[] = L"\\shell\\Velmor.Mount";
constexpr wchar_t kVerbText[] = L"用Velmor虚拟光驱装载";
// The shared view: a 32-bit program on 64-bit Windows writes where Explorer reads.
constexpr REGSAM kView = KEY_WOW64_64KEY;

HKEY Root(VerbScope scope) {
  return scope == VerbScope::kAllUsers ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring KindKey(const wchar_t *extension) { return kAssociations + std::wstring(extension); }

long SetDefault(HKEY root, const std::wstring &key, const std::wstring &text) {
  HKEY handle = nullptr;
  long error = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                               &handle, nullptr);
  if (error)
    return error;
  error = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                         DWORD((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return error;
}

// Removes `key` when it holds nothing (no subkey, no value): a key that only our verb needed.
void RemoveIfEmpty(HKEY root, const std::wstring &key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | kView, &handle))
    return;
  DWORD subkeys = 1, values = 1;
  RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  if (!subkeys && !values)
    RegDeleteKeyExW(root, key.c_str(), kView, 0);
}

long DeleteKey(HKEY root, const std::wstring &key) {
  const long error = RegDeleteKeyExW(root, key.c_str(), kView, 0);
  return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

} // namespace

long RegisterShellVerbs(VerbScope scope, const std::wstring &program) {
  const std::wstring command = L"\"" + program + L"\" \"%1\"";
  for (const wchar_t *extension : kVerbExtensions) {
    const std::wstring verb = KindKey(extension) + kVerbKey;
    if (const long error = SetDefault(Root(scope), verb, kVerbText))
      return error;
    if (const long error = SetDefault(Root(scope), verb + L"\\command", command))
      return error;
  }
  return 0;
}

long UnregisterShellVerbs(VerbScope scope) {
  long first = 0;
  for (const wchar_t *extension : kVerbExtensions) {
    const std::wstring kind = KindKey(extension);
    const std::wstring verb = kind + kVerbKey;
    long error = DeleteKey(Root(scope), verb + L"\\command");
    if (!error)
      error = DeleteKey(Root(scope), verb);
    if (error && !first)
      first = error;
    RemoveIfEmpty(Root(scope), kind + L"\\shell");
    RemoveIfEmpty(Root(scope), kind);
  }
  return first;
}

bool ShellVerbsRegistered(VerbScope scope) {
  for (const wchar_t *extension : kVerbExtensions) {
    HKEY handle = nullptr;
    const std::wstring command = KindKey(extension) + kVerbKey + L"\\command";
    if (RegOpenKeyExW(Root(scope), command.c_str(), 0, KEY_QUERY_VALUE | kView, &handle))
      return false;
    RegCloseKey(handle);
  }
  return true;
}

std::wstring ProgramBesideThis() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      std::wstring self(path.data(), n);
      return self.substr(0, self.find_last_of(L'\\') + 1) + L"velmor.exe";
    }
    path.resize(path.size() * 2);
  }
}

} // namespace velmor
