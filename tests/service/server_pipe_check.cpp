// What a program finds at the image server's pipe under Wine: who may open it (its security
// as the server set it), and the answers to a request that is no message of the channel and
// to one that is.
//   server_pipe_check          prints "dacl <SDDL>", "malformed <status>", "hello <status>"
//   server_pipe_check --kill   ends the server's process as a crash would (by the service's
//                              own process id), and waits for it to be gone
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server_channel.h"

using namespace velmor;

namespace {

HANDLE OpenPipe(DWORD access) {
  WaitNamedPipeA(channel::kPipeName, 10000);
  return CreateFileA(channel::kPipeName, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One message out, the reply's status back (-1: no reply).
int Exchange(const std::vector<uint8_t> &message, channel::Kind kind) {
  const HANDLE pipe = OpenPipe(GENERIC_READ | GENERIC_WRITE);
  if (pipe == INVALID_HANDLE_VALUE)
    return -2;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  std::vector<uint8_t> reply(channel::kMaxMessageBytes);
  DWORD got = 0;
  const bool ok =
      TransactNamedPipe(pipe, const_cast<uint8_t *>(message.data()), DWORD(message.size()),
                        reply.data(), DWORD(reply.size()), &got, nullptr);
  CloseHandle(pipe);
  channel::Reply r;
  if (!ok || !channel::DecodeReply(reply.data(), got, kind, &r))
    return -1;
  return int(r.status);
}

} // namespace

// The process the service manager runs the server in, ended without a word to it.
int KillServer() {
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service =
      manager ? OpenServiceA(manager, channel::kServerServiceName, SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!service ||
      !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                            sizeof status, &needed) ||
      status.dwProcessId == 0) {
    std::printf("no server process\n");
    return 1;
  }
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
  if (!process || !TerminateProcess(process, 9) || WaitForSingleObject(process, 10000) != 0) {
    std::printf("cannot end the server (error %lu)\n", GetLastError());
    return 1;
  }
  std::printf("killed %lu\n", status.dwProcessId);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 2 && std::string(argv[1]) == "--kill")
    return KillServer();
  const HANDLE pipe = OpenPipe(GENERIC_READ | READ_CONTROL);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::printf("dacl none %lu\n", GetLastError());
  } else {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    char *text = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &sd) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
      std::printf("dacl %s\n", text);
    CloseHandle(pipe);
    Sleep(200); // the server answers the open above before it takes the next one
  }
  std::vector<uint8_t> junk = {'V', 'S', 'V', 'R', 9, 9, 9, 9};
  std::printf("malformed %d\n", Exchange(junk, channel::Kind::kHello));
  channel::Request hello;
  std::printf("hello %d\n", Exchange(channel::EncodeRequest(hello), channel::Kind::kHello));
  return 0;
}
