#include "server_records_win32.h"

#include <cstring>

namespace velmor::server {
namespace {

class Key {
public:
  Key(const std::string &path, REGSAM access, bool create) {
    const LONG error = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                access, nullptr, &key_, nullptr)
                              : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_);
    error_ = error;
    if (error != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~Key() {
    if (key_)
      RegCloseKey(key_);
  }
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  HKEY get() const { return key_; }
  LONG error() const { return error_; }

private:
  HKEY key_ = nullptr;
  LONG error_ = 0;
};

std::string Sub(const char *subkey) { return std::string(kDrivesKey) + "\\" + subkey; }
std::wstring Name(char16_t letter) { return std::wstring(1, wchar_t(letter)); }

LONG SetBinary(const std::string &key, char16_t letter, const void *data, DWORD size) {
  Key k(key, KEY_SET_VALUE, true);
  if (!k.get())
    return k.error();
  return RegSetValueExW(k.get(), Name(letter).c_str(), 0, REG_BINARY,
                        static_cast<const BYTE *>(data), size);
}

void DeleteValue(const std::string &key, char16_t letter) {
  Key k(key, KEY_SET_VALUE, false);
  if (k.get())
    RegDeleteValueW(k.get(), Name(letter).c_str());
}

// The value's bytes, exactly `size` of them; false otherwise.
bool ReadBinary(const std::string &key, char16_t letter, void *out, DWORD size) {
  Key k(key, KEY_QUERY_VALUE, false);
  DWORD type = 0, got = size;
  return k.get() &&
         RegQueryValueExW(k.get(), Name(letter).c_str(), nullptr, &type, static_cast<BYTE *>(out),
                          &got) == ERROR_SUCCESS &&
         type == REG_BINARY && got == size;
}

} // namespace

LONG WriteServedRecord(char16_t letter, const std::u16string &path, const LayoutRecord &record,
                       const FileIdentity &identity) {
  DeleteValue(Sub(kLayoutsSubkey), letter);
  LONG error = SetBinary(Sub(kServedSubkey), letter, &record, sizeof record);
  if (!error)
    error = SetBinary(kIdentitiesKey, letter, &identity, sizeof identity);
  if (!error) {
    Key drives(kDrivesKey, KEY_SET_VALUE, true);
    error = drives.get() ? RegSetValueExW(drives.get(), Name(letter).c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE *>(path.c_str()),
                                          DWORD((path.size() + 1) * sizeof(char16_t)))
                         : drives.error();
  }
  if (error) {
    DeleteValue(Sub(kServedSubkey), letter);
    DeleteValue(kIdentitiesKey, letter);
  }
  return error;
}

void DeleteServedRecord(char16_t letter) {
  DeleteValue(kDrivesKey, letter);
  DeleteValue(Sub(kServedSubkey), letter);
  DeleteValue(Sub(kLayoutsSubkey), letter);
  DeleteValue(kIdentitiesKey, letter);
}

std::vector<char16_t> ServedLetters() {
  std::vector<char16_t> letters;
  Key k(Sub(kServedSubkey), KEY_QUERY_VALUE, false);
  if (!k.get())
    return letters;
  for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
    if (RegQueryValueExW(k.get(), Name(letter).c_str(), nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS)
      letters.push_back(letter);
  return letters;
}

bool ReadServedRecord(char16_t letter, std::u16string *path, FileIdentity *identity) {
  if (!ReadBinary(kIdentitiesKey, letter, identity, sizeof *identity))
    return false;
  Key drives(kDrivesKey, KEY_QUERY_VALUE, false);
  wchar_t text[kMaxDriveImagePathUnits + 2] = {};
  DWORD type = 0, size = sizeof text - sizeof(wchar_t);
  if (!drives.get() ||
      RegQueryValueExW(drives.get(), Name(letter).c_str(), nullptr, &type,
                       reinterpret_cast<BYTE *>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  path->assign(reinterpret_cast<const char16_t *>(text), wcsnlen(text, size / sizeof(wchar_t)));
  return !path->empty();
}

bool LetterRecorded(char16_t letter) {
  Key drives(kDrivesKey, KEY_QUERY_VALUE, false);
  return drives.get() && RegQueryValueExW(drives.get(), Name(letter).c_str(), nullptr, nullptr,
                                          nullptr, nullptr) == ERROR_SUCCESS;
}

} // namespace velmor::server
