#include "interrupts.h"

#include <windows.h>

#include <csignal>

namespace velmor::mkiso {

namespace {

volatile LONG caught = 0;

BOOL WINAPI OnControl(DWORD event) {
  const LONG signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
  InterlockedCompareExchange(&caught, signal, 0);
  // Closing the console or ending the session ends the process once this handler returns:
  // it waits here while the build cleans up and ends the process itself.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(INFINITE);
  return TRUE;
}

} // namespace

void CatchInterrupts() { SetConsoleCtrlHandler(OnControl, TRUE); }

int Interruption() { return static_cast<int>(caught); }

void EndAsInterrupted() { ExitProcess(128 + static_cast<UINT>(caught != 0 ? caught : SIGTERM)); }

} // namespace velmor::mkiso
