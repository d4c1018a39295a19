#include "image_server_win32.h"

#include <cstdio>
#include <cstring>

#include "pipe_server_win32.h"
#include "server_channel.h"

namespace velmor::server {
namespace {

// How long the start waits for the driver's control device: the service depends on the
// driver's, but a system that starts services side by side may still be loading it.
constexpr DWORD kDriverWaitMs = 30000;

OpenSource g_open = nullptr;
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : kDriverWaitMs;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void *, void *) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

// The system account holds the right to add and remove drives; it is enabled for this process.
void EnableManageVolumePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeManageVolumePrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
}

void WaitForDriver() {
  for (DWORD waited = 0; waited < kDriverWaitMs; waited += 250) {
    const HANDLE control =
        CreateFileW(L"\\\\.\\VELMOR", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (control != INVALID_HANDLE_VALUE) {
      CloseHandle(control);
      return;
    }
    if (WaitForSingleObject(g_stop, 250) == WAIT_OBJECT_0)
      return;
  }
}

void WINAPI ServiceMain(DWORD, char **) {
  g_status = RegisterServiceCtrlHandlerExA(channel::kServerServiceName, OnControl, nullptr);
  if (!g_status)
    return;
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_START_PENDING);
  EnableManageVolumePrivilege();
  DWORD exitCode = NO_ERROR;
  {
    ServedDrives drives(g_open);
    // Running before the restore: the programs wait on the pipe, not on the service manager.
    Report(SERVICE_RUNNING);
    WaitForDriver();
    drives.Restore();
    if (!RunPipeServer(drives, g_stop))
      exitCode = ERROR_PIPE_BUSY;
    // The drives are taken down with their handles (records kept): the next start makes them
    // again.
  }
  Report(SERVICE_STOPPED, exitCode);
}

} // namespace

int ImageServerMain(int argc, char **argv, OpenSource open) {
  g_open = open;
  if (argc == 2 && std::strcmp(argv[1], "service") == 0) {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char *>(channel::kServerServiceName), ServiceMain},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
  }
  std::fprintf(stderr,
               "velmor-served: the Velmor image server runs as the service %s, which "
               "velmor.exe and velmor-drive.exe install when an image needs it\n",
               channel::kServerServiceName);
  return 2;
}

} // namespace velmor::server
