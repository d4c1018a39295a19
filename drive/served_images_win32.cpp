#include "served_images.h"

#include <windows.h>

#include <cstring>
#include <memory>

#include "code_page.h"
#include "device_name.h"
#include "velmor_layout.h"
#include "velmor_protocol.h"

namespace velmor {
namespace {

bool IdentifyHandle(HANDLE h, FileId &id) {
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
  if (h != INVALID_HANDLE_VALUE)
    CloseHandle(h);
  if (!known)
    return false;
  id = {info.dwVolumeSerialNumber, std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
  return true;
}

// No access asked for, every sharing allowed: the drive holds the file open.
bool IdentifyWide(const std::u16string &path, FileId &id) {
  return IdentifyHandle(CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                        id);
}

class RegistryKey {
public:
  explicit RegistryKey(const std::string &path) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_)
      RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;

  // The value's bytes and its type; false when it cannot be read or is longer than `limit`.
  bool Read(const std::string &name, std::vector<std::uint8_t> &bytes, std::size_t limit,
            DWORD &type) const {
    DWORD size = 0;
    if (!key_ ||
        RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return false;
    if (size > limit)
      return false; // no value of the table is that long
    bytes.assign(size, 0);
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS)
      return false;
    bytes.resize(size);
    return true;
  }

private:
  HKEY key_ = nullptr;
};

bool IsOurLetter(char letter) {
  const char name[] = {letter, ':', '\0'};
  char target[1024] = {};
  return QueryDosDeviceA(name, target, sizeof target) && IsVelmorDevice(target);
}

// The file names a layout record holds, as UTF-16; none when it is not one.
std::vector<std::u16string> LayoutFileNames(const std::vector<std::uint8_t> &bytes) {
  auto record = std::make_unique<LayoutRecord>();
  std::memset(record.get(), 0, sizeof *record);
  std::memcpy(record.get(), bytes.data(),
              bytes.size() < sizeof *record ? bytes.size() : sizeof *record);
  std::vector<std::u16string> names;
  if (record->signature != kLayoutSignature || record->version != kLayoutVersion)
    return names;
  std::size_t at = 0;
  for (unsigned i = 0; i < record->fileCount && at < kLayoutNameUnits; ++i) {
    std::size_t end = at;
    while (end < kLayoutNameUnits && record->names[end] != 0)
      ++end;
    if (end > at)
      names.emplace_back(record->names + at, record->names + end);
    at = end + 1;
  }
  return names;
}

class SystemImages final : public ServedImages {
public:
  std::vector<ServedImage> List() override {
    std::vector<ServedImage> served;
    const RegistryKey drives(kDrivesKey);
    const RegistryKey layouts(std::string(kDrivesKey) + "\\" + kLayoutsSubkey);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      const std::string name(1, letter);
      std::vector<std::uint8_t> bytes;
      DWORD type = 0;
      if (!drives.Read(name, bytes, 4096, type) || (type != REG_SZ && type != REG_EXPAND_SZ) ||
          !IsOurLetter(letter))
        continue;
      std::vector<std::u16string> files = {text::AnsiToUtf16(
          std::string(reinterpret_cast<const char *>(bytes.data()),
                      strnlen(reinterpret_cast<const char *>(bytes.data()), bytes.size())))};
      if (layouts.Read(name, bytes, sizeof(LayoutRecord), type) && type == REG_BINARY)
        for (std::u16string &file : LayoutFileNames(bytes))
          files.push_back(std::move(file));
      for (const std::u16string &file : files) {
        ServedImage image;
        image.letter = letter;
        image.path = text::Utf16ToAnsi(file);
        if (IdentifyWide(file, image.id))
          served.push_back(image);
      }
    }
    return served;
  }

  bool Identify(const std::string &path, FileId &id) override {
    return IdentifyWide(text::AnsiToUtf16(path), id);
  }
};

} // namespace

ServedImages &SystemServedImages() {
  static SystemImages images;
  return images;
}

ServedTarget FirstServed(ServedImages &images, const std::vector<std::string> &paths) {
  std::vector<ServedImage> served;
  bool listed = false;
  for (const std::string &path : paths) {
    FileId id;
    if (!images.Identify(path, id))
      continue; // a file not there yet is no drive's
    if (!listed) {
      served = images.List();
      listed = true;
    }
    for (const ServedImage &image : served)
      if (image.id == id)
        return {path, image};
  }
  return {};
}

} // namespace velmor
