#include "interrupts.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace velmor::mkiso {

namespace {

volatile std::sig_atomic_t caught = 0;

extern "C" void OnSignal(int signal) {
  if (caught == 0)
    caught = signal;
}

} // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &action, nullptr);
  // Past a file-size limit the write then fails with its reason ("File too large") and the
  // temporary file is removed, where the signal would end the process and leave it behind.
  std::signal(SIGXFSZ, SIG_IGN);
}

int Interruption() { return caught; }

void EndAsInterrupted() {
  const int signal = caught != 0 ? caught : SIGTERM;
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  _exit(128 + signal);
}

} // namespace velmor::mkiso
