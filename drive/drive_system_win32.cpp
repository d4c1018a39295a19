#include "drive_system_win32.h"
#include "code_page.h"
#include "image_files_win32.h"
#include "server_channel.h"
#include "shell_verbs_win32.h"
#include "velmor_served.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstring>

namespace velmor {

static_assert(fsctl::kLockVolume == FSCTL_LOCK_VOLUME, "lock volume");
static_assert(fsctl::kUnlockVolume == FSCTL_UNLOCK_VOLUME, "unlock volume");
static_assert(fsctl::kDismountVolume == FSCTL_DISMOUNT_VOLUME, "dismount volume");
static_assert(kDriveRemote == DRIVE_REMOTE, "network drive type");
static_assert(syserr::kFileNotFound == ERROR_FILE_NOT_FOUND &&
                  syserr::kAccessDenied == ERROR_ACCESS_DENIED &&
                  syserr::kHandleDiskFull == ERROR_HANDLE_DISK_FULL &&
                  syserr::kDiskFull == ERROR_DISK_FULL &&
                  syserr::kBadExeFormat == ERROR_BAD_EXE_FORMAT &&
                  syserr::kServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING &&
                  syserr::kSharingViolation == ERROR_SHARING_VIOLATION &&
                  syserr::kServiceExists == ERROR_SERVICE_EXISTS &&
                  syserr::kServiceMarkedForDelete == ERROR_SERVICE_MARKED_FOR_DELETE &&
                  syserr::kServiceNotActive == ERROR_SERVICE_NOT_ACTIVE &&
                  syserr::kWriteFault == ERROR_WRITE_FAULT,
              "system error codes");

namespace {

HANDLE ToHandle(DriveSystem::Handle h) { return reinterpret_cast<HANDLE>(h); }
DriveSystem::Handle FromHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? DriveSystem::kInvalidHandle
                                   : reinterpret_cast<DriveSystem::Handle>(h);
}
SC_HANDLE ToService(DriveSystem::Handle h) { return reinterpret_cast<SC_HANDLE>(h); }
DriveSystem::Handle FromService(SC_HANDLE h) { return reinterpret_cast<DriveSystem::Handle>(h); }

// The system's "no disk" and "drive not ready" dialogs stay off while the drives are asked
// about: a question about an empty or vanished drive is answered with an error instead.
class CriticalErrorsFail {
public:
  CriticalErrorsFail() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS)) {
    SetErrorMode(previous_ | SEM_FAILCRITICALERRORS);
  }
  ~CriticalErrorsFail() { SetErrorMode(previous_); }
  CriticalErrorsFail(const CriticalErrorsFail &) = delete;
  CriticalErrorsFail &operator=(const CriticalErrorsFail &) = delete;

private:
  UINT previous_;
};

// Routines that systems before 64-bit Windows lack: looked up, not imported, so that the
// program still starts there.
template <class Function> Function Kernel32Routine(const char *name) {
  const FARPROC routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(routine));
}
using IsWow64ProcessRoutine = BOOL(WINAPI *)(HANDLE, PBOOL);
using DisableRedirectionRoutine = BOOL(WINAPI *)(PVOID *);
using RevertRedirectionRoutine = BOOL(WINAPI *)(PVOID);

// The code page's text for the W functions, and back (wchar_t is UTF-16 here).
std::wstring Widen(const std::string &text) {
  const std::u16string wide = text::AnsiToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring &text) {
  return text::Utf16ToAnsi(std::u16string(text.begin(), text.end()));
}

// The registry table's key, its subkey `subkey`, or another key given by its whole path under
// HKEY_LOCAL_MACHINE. Whether it opened is not tested by most callers: a key that cannot be
// opened has no values and takes none.
class DrivesKey {
public:
  // Opened with `access`; created when missing only if `create`.
  DrivesKey(REGSAM access, bool create, const char *subkey = nullptr)
      : DrivesKey(subkey ? std::string(kDrivesKey) + "\\" + subkey : std::string(kDrivesKey),
                  access, create) {}
  DrivesKey(const std::string &path, REGSAM access, bool create) {
    if (create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, access, nullptr,
                                 &key_, nullptr) != ERROR_SUCCESS
               : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~DrivesKey() {
    if (key_)
      RegCloseKey(key_);
  }
  DrivesKey(const DrivesKey &) = delete;
  DrivesKey &operator=(const DrivesKey &) = delete;
  HKEY get() const { return key_; }

private:
  HKEY key_ = nullptr;
};

// Enables SeManageVolumePrivilege in the process token; false when the token does not hold it
// (a standard user), and the driver then refuses the add.
bool EnableManageVolumePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled =
      LookupPrivilegeValueA(nullptr, "SeManageVolumePrivilege", &privileges.Privileges[0].Luid) &&
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
      GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// How long a request waits for the server's pipe while the server answers another program, and
// for the answer (a mount opens and reads the image first).
constexpr DWORD kPipeWaitMs = 30000;
constexpr DWORD kAnswerMs = 120000;

// Whether the process at the pipe's other end is the server's service: anybody may make a pipe
// of that name when the service is not running, and an image path is not handed to them.
bool ServedBySystemService(HANDLE pipe) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server))
    return false;
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager)
    return false;
  const SC_HANDLE service =
      OpenServiceA(manager, channel::kServerServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  const bool same =
      service &&
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                           sizeof status, &needed) &&
      status.dwProcessId == server;
  if (service)
    CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return same;
}

// One request and its reply over the server's pipe, in message mode. The server is asked to be
// the system's own service: a pipe of the same name made by another process is not talked to.
bool CallImageServer(const std::vector<uint8_t> &request, std::vector<uint8_t> &reply) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (DWORD waited = 0;; waited += 100) {
    pipe =
        CreateFileA(channel::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IMPERSONATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || waited >= kPipeWaitMs)
      break;
    WaitNamedPipeA(channel::kPipeName, 100);
  }
  if (pipe == INVALID_HANDLE_VALUE)
    return false;
  if (!ServedBySystemService(pipe)) {
    CloseHandle(pipe);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  reply.assign(channel::kMaxMessageBytes, 0);
  OVERLAPPED o{};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD got = 0;
  bool ok = o.hEvent && SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  if (ok && !TransactNamedPipe(pipe, const_cast<uint8_t *>(request.data()), DWORD(request.size()),
                               reply.data(), DWORD(reply.size()), nullptr, &o)) {
    ok = GetLastError() == ERROR_IO_PENDING;
    if (ok && WaitForSingleObject(o.hEvent, kAnswerMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &o);
      SetLastError(ERROR_TIMEOUT);
      ok = false;
    }
  }
  if (ok)
    ok = GetOverlappedResult(pipe, &o, &got, TRUE) != FALSE;
  else
    GetOverlappedResult(pipe, &o, &got, TRUE);
  const DWORD error = GetLastError();
  if (o.hEvent)
    CloseHandle(o.hEvent);
  CloseHandle(pipe);
  reply.resize(ok ? got : 0);
  SetLastError(error);
  return ok;
}

class Win32System final : public DriveSystem {
public:
  std::string SystemDirectory() override {
    char dir[261] = {};
    const UINT n = GetSystemDirectoryA(dir, sizeof dir);
    return std::string(dir, n < sizeof dir ? n : 0);
  }

  Handle CreateFileForWrite(const std::string &path) override {
    return FromHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, 0, nullptr));
  }

  bool WriteFile(Handle file, const void *data, uint32_t size) override {
    DWORD written = 0;
    return ::WriteFile(ToHandle(file), data, size, &written, nullptr) && written == size;
  }

  bool ReadFileStart(const std::string &path, uint32_t limit,
                     std::vector<uint8_t> &bytes) override {
    bytes.clear();
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return false;
    bytes.resize(limit);
    DWORD total = 0, got = 0;
    bool ok = true;
    while (total < limit) {
      ok = ::ReadFile(file, bytes.data() + total, limit - total, &got, nullptr) != FALSE;
      if (!ok || got == 0)
        break;
      total += got;
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    bytes.resize(total);
    return ok;
  }

  bool RemoveFile(const std::string &path) override {
    return ::DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
  }

  bool RenameFile(const std::string &from, const std::string &to) override {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }

  void RemoveFileAtRestart(const std::string &path) override {
    MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }

  std::string CacheFolder() override {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base)))
      return {};
    std::wstring folder = base;
    for (const wchar_t *part : {L"\\Velmor", L"\\FolderDiscs"}) {
      folder += part;
      CreateDirectoryW(folder.c_str(), nullptr);
    }
    const std::string narrow = Narrow(folder + L"\\");
    // A folder whose name the code page cannot hold could not be given to the builder.
    return Widen(narrow) == folder + L"\\" ? narrow : std::string();
  }

  std::vector<std::string> FilesIn(const std::string &folder) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    const HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
      return names;
    do
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        names.push_back(found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
  }

  bool RemoveFolder(const std::string &path) override {
    return RemoveDirectoryA(path.c_str()) != FALSE;
  }

  Handle LockFile(const std::string &path, bool createNew) override {
    // Shared for deletion: the holder deletes the file as it lets go even while a clean-up of
    // another run has it open only to find it held, which would otherwise leave it behind.
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    createNew ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return kInvalidHandle;
    // The first byte, which the file need not have.
    OVERLAPPED at{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      SetLastError(error);
      return kInvalidHandle;
    }
    return FromHandle(file);
  }

  uint32_t LastError() override { return GetLastError(); }

  void Pause(uint32_t ms) override { Sleep(ms); }

  bool Is64BitSystem() override {
    static const auto isWow64 = Kernel32Routine<IsWow64ProcessRoutine>("IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
  }

  void SetFileRedirection(bool on) override {
    // The switch belongs to the calling thread, and so does what it saved.
    thread_local PVOID saved = nullptr;
    static const auto disable =
        Kernel32Routine<DisableRedirectionRoutine>("Wow64DisableWow64FsRedirection");
    static const auto revert =
        Kernel32Routine<RevertRedirectionRoutine>("Wow64RevertWow64FsRedirection");
    if (!on && disable)
      disable(&saved);
    else if (on && revert)
      revert(saved);
  }

  std::string FullPath(const std::string &path) override {
    const std::wstring wide = Widen(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetFullPathNameW(wide.c_str(), DWORD(full.size()), &full[0], nullptr);
      if (n == 0)
        return {};
      if (n < full.size())
        return Narrow(full.substr(0, n));
      full.resize(n); // n counts the terminating zero when the buffer was too small
    }
  }

  PathKind KindOfPath(const std::string &fullPath) override {
    // The long form takes the path as it is, past MAX_PATH; it is used only for a full path
    // on a drive letter, which is what "\\?\" may precede.
    std::wstring wide = Widen(fullPath);
    if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\')
      wide.insert(0, L"\\\\?\\");
    CriticalErrorsFail quiet;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return PathKind::kMissing;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::kFolder : PathKind::kFile;
  }

  Handle OpenDevice(const std::string &path) override {
    CriticalErrorsFail quiet;
    return FromHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  }

  Handle OpenDeviceWithoutAccess(const std::string &path) override {
    CriticalErrorsFail quiet;
    return FromHandle(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  }

  bool DeviceControl(Handle device, uint32_t code, const void *input, uint32_t inputSize,
                     void *output, uint32_t outputSize, uint32_t *answered) override {
    // The driver adds and removes drives only for a caller whose token has the volume
    // privilege enabled; administrators hold it, disabled, and it is enabled once here.
    static const bool enabled = EnableManageVolumePrivilege();
    (void)enabled;
    DWORD returned = 0;
    const bool ok = DeviceIoControl(ToHandle(device), code, const_cast<void *>(input), inputSize,
                                    output, outputSize, &returned, nullptr) != FALSE;
    if (answered)
      *answered = ok ? returned : 0;
    return ok;
  }

  void Close(Handle handle) override { CloseHandle(ToHandle(handle)); }

  Handle OpenServiceManager() override {
    return FromService(OpenSCManagerA(nullptr, nullptr, GENERIC_READ | GENERIC_WRITE));
  }

  Handle OpenDriverService(Handle manager, const std::string &name) override {
    return FromService(OpenServiceA(ToService(manager), name.c_str(), SERVICE_ALL_ACCESS));
  }

  Handle CreateKernelService(Handle manager, const std::string &name,
                             const std::string &binaryPath) override {
    return FromService(CreateServiceA(ToService(manager), name.c_str(), name.c_str(),
                                      SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START,
                                      SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
  }

  Handle CreateServerService(Handle manager, const std::string &name,
                             const std::string &displayName, const std::string &binaryPath,
                             const std::string &dependency) override {
    // The command line the service manager runs: the quoted path and "service". The wide
    // call: Wine 8's CreateServiceA copies the dependency list past its end.
    const std::wstring command = L"\"" + Widen(binaryPath) + L"\" service";
    std::wstring dependencies = Widen(dependency);
    dependencies.append(2, L'\0'); // a list, ended by an empty name
    return FromService(CreateServiceW(
        ToService(manager), Widen(name).c_str(), Widen(displayName).c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, dependencies.c_str(), nullptr, nullptr));
  }

  bool StartDriverService(Handle service) override {
    return StartServiceA(ToService(service), 0, nullptr) != FALSE;
  }

  bool StopDriverService(Handle service) override {
    SERVICE_STATUS status{};
    return ControlService(ToService(service), SERVICE_CONTROL_STOP, &status) != FALSE;
  }

  ServiceState QueryServiceState(Handle service) override {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(ToService(service), &status))
      return ServiceState::kUnknown;
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return ServiceState::kStopped;
    case SERVICE_STOP_PENDING:
      return ServiceState::kStopping;
    case SERVICE_START_PENDING:
      return ServiceState::kStarting;
    case SERVICE_RUNNING:
      return ServiceState::kRunning;
    default:
      return ServiceState::kUnknown;
    }
  }

  bool DeleteDriverService(Handle service) override {
    return DeleteService(ToService(service)) != FALSE;
  }

  void CloseService(Handle service) override { CloseServiceHandle(ToService(service)); }

  long DeleteServiceKey(const std::string &name) override {
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    const long error = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
  }

  long RemoveShellVerbs() override {
    const long user = UnregisterShellVerbs(VerbScope::kCurrentUser);
    const long all = UnregisterShellVerbs(VerbScope::kAllUsers);
    return user ? user : all;
  }

  long SetDriveValue(const std::string &name, const std::string &path) override {
    DrivesKey key(KEY_SET_VALUE, true);
    if (!key.get())
      return ERROR_ACCESS_DENIED;
    return RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE *>(path.c_str()), DWORD(path.size() + 1));
  }

  void DeleteDriveValue(const std::string &name) override {
    DrivesKey key(KEY_QUERY_VALUE | KEY_SET_VALUE, false);
    if (key.get() && RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr,
                                      nullptr) == ERROR_SUCCESS)
      RegDeleteValueA(key.get(), name.c_str());
  }

  std::vector<std::pair<std::string, std::string>> DriveValues() override {
    std::vector<std::pair<std::string, std::string>> values;
    DrivesKey key(KEY_READ, false); // read access is all that listing needs
    if (!key.get())
      return values;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD nameLength = sizeof name, type = 0, dataSize = 0;
      if (RegEnumValueA(key.get(), i, name, &nameLength, nullptr, &type, nullptr, &dataSize) !=
          ERROR_SUCCESS)
        break;
      std::string data;
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        data.resize(dataSize + 1);
        DWORD size = dataSize;
        if (RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE *>(&data[0]),
                             &size) != ERROR_SUCCESS)
          size = 0;
        data.resize(std::min<size_t>(size, std::strlen(data.c_str())));
      }
      values.emplace_back(std::string(name, nameLength), data);
    }
    return values;
  }

  long SetLayoutValue(const std::string &name, const void *data, uint32_t size) override {
    DrivesKey key(KEY_SET_VALUE, true, kLayoutsSubkey);
    if (!key.get())
      return ERROR_ACCESS_DENIED;
    return RegSetValueExA(key.get(), name.c_str(), 0, REG_BINARY, static_cast<const BYTE *>(data),
                          size);
  }

  void DeleteLayoutValue(const std::string &name) override {
    DrivesKey key(KEY_SET_VALUE, false, kLayoutsSubkey);
    if (key.get())
      RegDeleteValueA(key.get(), name.c_str());
  }

  long SetIdentityValue(const std::string &name, const void *data, uint32_t size) override {
    DrivesKey key(kIdentitiesKey, KEY_SET_VALUE, true);
    if (!key.get())
      return ERROR_ACCESS_DENIED;
    return RegSetValueExA(key.get(), name.c_str(), 0, REG_BINARY, static_cast<const BYTE *>(data),
                          size);
  }

  void DeleteIdentityValue(const std::string &name) override {
    DrivesKey key(kIdentitiesKey, KEY_SET_VALUE, false);
    if (key.get())
      RegDeleteValueA(key.get(), name.c_str());
  }

  bool HasIdentityValue(const std::string &name) override {
    DrivesKey key(kIdentitiesKey, KEY_QUERY_VALUE, false);
    return key.get() && RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr,
                                         nullptr) == ERROR_SUCCESS;
  }

  bool HasServedValue(const std::string &name) override {
    DrivesKey key(KEY_QUERY_VALUE, false, kServedSubkey);
    return key.get() && RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr,
                                         nullptr) == ERROR_SUCCESS;
  }

  void DeleteServedValue(const std::string &name) override {
    DrivesKey key(KEY_SET_VALUE, false, kServedSubkey);
    if (key.get())
      RegDeleteValueA(key.get(), name.c_str());
  }

  bool CallServer(const std::vector<uint8_t> &request, std::vector<uint8_t> &reply) override {
    return CallImageServer(request, reply);
  }

  void BroadcastDeviceChange(uint32_t event, const VolumeNotice &notice) override {
    DWORD recipients = kBsmAllComponents;
    // Without BSF_NOHANG the broadcast waits for every top-level window, and one hung window
    // would hang this program too.
    BroadcastSystemMessageA(kBsfIgnoreCurrentTask | BSF_NOHANG, &recipients, kWmDeviceChange, event,
                            reinterpret_cast<LPARAM>(&notice));
  }

  unsigned DriveType(char letter) override {
    const char root[] = {letter, ':', '\\', '\0'};
    CriticalErrorsFail quiet;
    return GetDriveTypeA(root);
  }

  std::string DosDeviceTarget(char letter) override {
    const char name[] = {letter, ':', '\0'};
    char target[1024] = {};
    if (!QueryDosDeviceA(name, target, sizeof target))
      return {};
    return target;
  }

  std::string VolumeLabel(char letter) override {
    const char root[] = {letter, ':', '\\', '\0'};
    char label[64] = {};
    CriticalErrorsFail quiet;
    if (!GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
      return {};
    return std::string(label, strnlen(label, sizeof label));
  }

  formats::ImageFiles &ImageFiles() override { return Win32ImageFiles(); }
};

} // namespace

DriveSystem &Win32DriveSystem() {
  static Win32System system;
  return system;
}

} // namespace velmor
