#include "served_drives_win32.h"

#include <cstring>
#include <string>

#include "device_name.h"
#include "server_records_win32.h"

namespace velmor::server {
namespace {

using channel::NotMounted;
using channel::Reply;
using channel::Status;

Reply Answer(channel::Kind kind, Status status, uint32_t code = 0, char16_t letter = 0,
             std::string text = {}) {
  Reply r;
  r.kind = kind;
  r.status = status;
  r.code = code;
  r.letter = letter;
  r.text = std::move(text);
  return r;
}

// The image file, read at explicit offsets by the source (one caller at a time).
class HandleFile final : public imagesource::RandomAccessFile {
public:
  HandleFile(HANDLE file, uint64_t size) : file_(file), size_(size) {}
  ~HandleFile() override { CloseHandle(file_); }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void *out, size_t length) override {
    auto *bytes = static_cast<uint8_t *>(out);
    while (length > 0) {
      OVERLAPPED at{};
      at.Offset = DWORD(offset);
      at.OffsetHigh = DWORD(offset >> 32);
      const DWORD piece = length > (1u << 30) ? (1u << 30) : DWORD(length);
      DWORD got = 0;
      if (!ReadFile(file_, bytes, piece, &got, &at) || got == 0)
        return false;
      bytes += got;
      offset += got;
      length -= got;
    }
    return true;
  }

private:
  HANDLE file_;
  uint64_t size_;
};

std::string Ascii(const wchar_t *text) {
  std::string s;
  for (; *text; ++text)
    s += *text < 0x80 ? char(*text) : '?';
  return s;
}

// Whether a path's drive letter, followed through SUBST letters, is one of our drives.
bool LetterIsOurs(const std::u16string &path, int depth = 0) {
  if (path.size() < 2 || path[1] != u':' || depth > 4)
    return false;
  const wchar_t name[] = {wchar_t(path[0]), L':', 0};
  wchar_t target[1024] = {};
  if (!QueryDosDeviceW(name, target, 1024))
    return false;
  const std::string device = Ascii(target);
  if (IsVelmorDevice(device))
    return true;
  if (device.compare(0, 4, "\\??\\") == 0) // SUBST: the folder it stands for
    return LetterIsOurs(std::u16string(reinterpret_cast<const char16_t *>(target) + 4), depth + 1);
  return false;
}

// Paging reads of a served drive come to this server: an image on one of our own drives
// would have the server wait on itself.
bool OnOurDrive(const std::u16string &path, HANDLE file) {
  if (LetterIsOurs(path))
    return true;
  wchar_t final[1024] = {};
  const DWORD n = GetFinalPathNameByHandleW(file, final, 1023, VOLUME_NAME_NT);
  return n > 0 && n < 1023 && IsOnVelmorDevice(Ascii(final));
}

bool Identify(HANDLE file, FileIdentity *identity) {
  std::memset(identity, 0, sizeof *identity);
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
    identity->volumeSerialLow = DWORD(id.VolumeSerialNumber);
    identity->volumeSerialHigh = DWORD(id.VolumeSerialNumber >> 32);
    std::memcpy(identity->fileId, &id.FileId, sizeof identity->fileId);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info))
    return false;
  identity->volumeSerialLow = info.dwVolumeSerialNumber;
  const uint64_t index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  std::memcpy(identity->fileId, &index, sizeof index);
  return true;
}

HANDLE OpenImage(const std::u16string &path) {
  return CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A device or a drive letter at `letter` that is not ours to take.
bool LetterHeld(char16_t letter) {
  const wchar_t name[] = {wchar_t(letter), L':', 0};
  wchar_t target[1024] = {};
  return QueryDosDeviceW(name, target, 1024) != 0;
}

// The layout record of a served drive: the source's tracks, and the image's path once per
// stream.
bool MakeRecord(const imagesource::ImageSource &source, char16_t letter, const std::u16string &path,
                LayoutRecord *record) {
  std::memset(record, 0, sizeof *record);
  const auto &tracks = source.Tracks();
  const uint32_t streams = source.StreamCount();
  if (tracks.empty() || tracks.size() > kLayoutMaxTracks || streams == 0 ||
      streams > kLayoutMaxFiles || (path.size() + 1) * streams >= kLayoutNameUnits)
    return false;
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = letter;
  record->trackCount = uint8_t(tracks.size());
  record->fileCount = uint8_t(streams);
  std::memcpy(record->tracks, tracks.data(), tracks.size() * sizeof tracks[0]);
  for (uint32_t i = 0; i < streams; ++i)
    std::memcpy(record->names + i * (path.size() + 1), path.data(), path.size() * 2);
  return CheckLayoutRecord(*record) == LayoutFault::kValid;
}

} // namespace

Reply ServedDrives::MakeDrive(HANDLE file, char16_t letter, const std::u16string &path,
                              FileIdentity *identity, LayoutRecord *record) {
  const auto kind = channel::Kind::kMount;
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return Answer(kind, Status::kCannotOpen, ERROR_INVALID_FUNCTION, letter);
  }
  if (OnOurDrive(path, file)) {
    CloseHandle(file);
    return Answer(kind, Status::kOnOurDrive, 0, letter);
  }
  if (!Identify(file, identity)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return Answer(kind, Status::kCannotOpen, error, letter);
  }
  imagesource::OpenProblem problem;
  std::unique_ptr<imagesource::ImageSource> source =
      open_(std::make_unique<HandleFile>(file, uint64_t(size.QuadPart)), &problem);
  if (!source)
    return Answer(kind, Status::kNotServedImage, 0, letter, problem.text);
  if (!MakeRecord(*source, letter, path, record))
    return Answer(kind, Status::kNotServedImage, 0, letter,
                  "the image's tracks cannot be made into a drive");
  // A drive of ours left at the letter by a server that ended (no media now) is replaced.
  if (LetterHeld(letter)) {
    const wchar_t name[] = {wchar_t(letter), L':', 0};
    wchar_t target[1024] = {};
    QueryDosDeviceW(name, target, 1024);
    if (!IsVelmorDevice(Ascii(target)) || (drives_.count(letter) && drives_[letter].drive) ||
        !RemoveOurDrive(letter))
      return Answer(kind, Status::kLetterInUse, 0, letter);
  }
  DWORD error = 0;
  bool driverMissing = false;
  std::unique_ptr<ServedDrive> drive =
      ServedDrive::Make(std::move(source), *record, &error, &driverMissing);
  if (!drive)
    return Answer(kind, driverMissing ? Status::kDriverUnavailable : Status::kDriverRefused, error,
                  letter);
  drives_[letter] = Entry{std::move(drive), NotMounted::kMounted, 0};
  return Answer(kind, Status::kOk, 0, letter);
}

Reply ServedDrives::Mount(HANDLE caller, char16_t letter, const std::u16string &path) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto kind = channel::Kind::kMount;
  if (LetterIsOurs(path))
    return Answer(kind, Status::kOnOurDrive, 0, letter);
  // Only the open runs as the caller: the file's access check is the caller's, and the handle
  // then serves the drive for everyone, as the drive is read by everyone.
  if (!SetThreadToken(nullptr, caller))
    return Answer(kind, Status::kCannotOpen, GetLastError(), letter);
  const HANDLE file = OpenImage(path);
  const DWORD openError = GetLastError();
  RevertToSelf();
  if (file == INVALID_HANDLE_VALUE)
    return Answer(kind, Status::kCannotOpen, openError, letter);
  FileIdentity identity{};
  auto record = std::make_unique<LayoutRecord>();
  Reply made = MakeDrive(file, letter, path, &identity, record.get());
  if (made.status != Status::kOk)
    return made;
  if (const LONG error = WriteServedRecord(letter, path, *record, identity)) {
    drives_.erase(letter);
    RemoveOurDrive(letter);
    return Answer(kind, Status::kRecordFailed, uint32_t(error), letter);
  }
  return made;
}

Reply ServedDrives::Eject(char16_t letter) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto kind = channel::Kind::kEject;
  const auto it = drives_.find(letter);
  bool served = it != drives_.end();
  for (const char16_t l : ServedLetters())
    served = served || l == letter;
  if (!served)
    return Answer(kind, Status::kNoSuchDrive, 0, letter);
  DeleteServedRecord(letter); // first, whatever follows
  // Removed while still served, so that the file system's last reads are answered; a drive of
  // ours at the letter without its server goes the same way.
  const wchar_t name[] = {wchar_t(letter), L':', 0};
  wchar_t target[1024] = {};
  const bool ours = QueryDosDeviceW(name, target, 1024) && IsVelmorDevice(Ascii(target));
  const bool removed = !ours || RemoveOurDrive(letter);
  if (it != drives_.end())
    drives_.erase(it);
  return Answer(kind, removed ? Status::kOk : Status::kDriverRefused, 0, letter);
}

Reply ServedDrives::List() {
  std::lock_guard<std::mutex> hold(lock_);
  Reply r = Answer(channel::Kind::kList, Status::kOk);
  for (const char16_t letter : ServedLetters()) {
    channel::ListedDrive d;
    d.letter = letter;
    if (const auto it = drives_.find(letter); it != drives_.end()) {
      d.state = it->second.drive ? NotMounted::kMounted : it->second.state;
      d.code = it->second.code;
    } else {
      d.state = NotMounted::kNotMade;
    }
    r.drives.push_back(d);
  }
  return r;
}

Reply ServedDrives::Release() {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto &[letter, entry] : drives_)
    if (entry.drive) {
      RemoveOurDrive(letter);
      entry.drive.reset();
      entry.state = NotMounted::kReleased;
      entry.code = 0;
    }
  return Answer(channel::Kind::kRelease, Status::kOk);
}

void ServedDrives::RestoreOne(char16_t letter) {
  Entry &entry = drives_[letter];
  std::u16string path;
  FileIdentity recorded{};
  if (!ReadServedRecord(letter, &path, &recorded)) {
    entry = Entry{nullptr, NotMounted::kNotMade, ERROR_INVALID_DATA};
    return;
  }
  // As the system: a share the system cannot reach stays recorded, not mounted.
  const HANDLE file = OpenImage(path);
  if (file == INVALID_HANDLE_VALUE) {
    entry = Entry{nullptr, NotMounted::kUnreachable, GetLastError()};
    return;
  }
  FileIdentity identity{};
  if (Identify(file, &identity) && !SameIdentity(identity, recorded)) {
    CloseHandle(file);
    entry = Entry{nullptr, NotMounted::kIdentityChanged, 0};
    return;
  }
  auto record = std::make_unique<LayoutRecord>();
  const Reply made = MakeDrive(file, letter, path, &identity, record.get());
  if (made.status == Status::kOk)
    return;
  Entry &failed = drives_[letter];
  failed.drive.reset();
  failed.state = made.status == Status::kNotServedImage ? NotMounted::kImageBroken
                 : made.status == Status::kCannotOpen   ? NotMounted::kUnreachable
                                                        : NotMounted::kNotMade;
  failed.code = made.code;
}

Reply ServedDrives::Restore() {
  std::lock_guard<std::mutex> hold(lock_);
  for (const char16_t letter : ServedLetters())
    if (const auto it = drives_.find(letter); it == drives_.end() || !it->second.drive)
      RestoreOne(letter);
  return Answer(channel::Kind::kRestore, Status::kOk);
}

} // namespace velmor::server
