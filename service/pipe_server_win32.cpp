#include "pipe_server_win32.h"

#include <sddl.h>

#include <vector>

#include "server_channel.h"
#include "velmor_server_identity.h"

namespace velmor::server {
namespace {

// Protected: nothing inherited. Network logons refused; full access for SYSTEM and the
// Administrators group (an elevated administrator's token), nobody else.
constexpr wchar_t kPipeSecurity[] = L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)";
// A client that connects and then says nothing holds no one up for longer than this.
constexpr DWORD kClientMs = 5000;

class Handle {
public:
  explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (h_)
      CloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  HANDLE get() const { return h_; }

private:
  HANDLE h_;
};

// Waits for an overlapped operation on the pipe, or the stop, or the time; false unless it
// finished well.
bool Finish(HANDLE pipe, OVERLAPPED &o, HANDLE stop, DWORD ms, DWORD *bytes) {
  const HANDLE waits[2] = {o.hEvent, stop};
  if (WaitForMultipleObjects(2, waits, FALSE, ms) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &o);
    GetOverlappedResult(pipe, &o, bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &o, bytes, FALSE) != FALSE;
}

bool IsAdministrator(HANDLE token) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(token, sid, &member) && member;
}

// The caller's token, for the access checks; null when it cannot be had.
HANDLE CallerToken(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe))
    return nullptr;
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, TRUE,
                       &token))
    token = nullptr;
  RevertToSelf();
  return token;
}

channel::Reply Dispatch(ServedDrives &drives, const channel::Request &request, HANDLE token) {
  channel::Reply reply;
  reply.kind = request.kind;
  if (!token || !IsAdministrator(token)) {
    reply.status = channel::Status::kNotAdministrator;
    return reply;
  }
  switch (request.kind) {
  case channel::Kind::kHello:
    std::copy(std::begin(kServerBuildIdentity), std::end(kServerBuildIdentity), reply.identity);
    return reply;
  case channel::Kind::kMount:
    return drives.Mount(token, request.letter, request.path);
  case channel::Kind::kEject:
    return drives.Eject(request.letter);
  case channel::Kind::kList:
    return drives.List();
  case channel::Kind::kRelease:
    return drives.Release();
  case channel::Kind::kRestore:
    return drives.Restore();
  }
  reply.status = channel::Status::kBadRequest;
  return reply;
}

// One connection: the request read whole, answered, and the answer left until the client has
// read it (it closes its end).
void Serve(ServedDrives &drives, HANDLE pipe, HANDLE stop, HANDLE event) {
  std::vector<uint8_t> message(channel::kMaxMessageBytes);
  OVERLAPPED o{};
  o.hEvent = event;
  DWORD got = 0;
  ResetEvent(event);
  const bool read = (ReadFile(pipe, message.data(), DWORD(message.size()), nullptr, &o) ||
                     GetLastError() == ERROR_IO_PENDING) &&
                    Finish(pipe, o, stop, kClientMs, &got);
  channel::Request request;
  channel::Reply reply;
  if (!read || !channel::DecodeRequest(message.data(), got, &request)) {
    // Longer than any message (ERROR_MORE_DATA) or not one of ours: answered as such.
    reply.kind = read ? request.kind : channel::Kind::kHello;
    reply.status = channel::Status::kBadRequest;
  } else {
    const Handle token(CallerToken(pipe));
    reply = Dispatch(drives, request, token.get());
  }
  const std::vector<uint8_t> bytes = channel::EncodeReply(reply);
  o = OVERLAPPED{};
  o.hEvent = event;
  ResetEvent(event);
  DWORD written = 0;
  if ((WriteFile(pipe, bytes.data(), DWORD(bytes.size()), nullptr, &o) ||
       GetLastError() == ERROR_IO_PENDING) &&
      Finish(pipe, o, stop, kClientMs, &written)) {
    // The client's close ends this read; a disconnect before it would discard the answer.
    uint8_t byte = 0;
    o = OVERLAPPED{};
    o.hEvent = event;
    ResetEvent(event);
    if (ReadFile(pipe, &byte, 1, nullptr, &o) || GetLastError() == ERROR_IO_PENDING)
      Finish(pipe, o, stop, kClientMs, &got);
  }
  DisconnectNamedPipe(pipe);
}

} // namespace

bool RunPipeServer(ServedDrives &drives, HANDLE stop) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  // The first instance claims the name: a process that made the pipe before the service could
  // otherwise pose as the server.
  const Handle pipe(CreateNamedPipeA(
      channel::kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      channel::kMaxMessageBytes, channel::kMaxMessageBytes, 0, &security));
  LocalFree(descriptor);
  if (!pipe.get())
    return false;
  const Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
    OVERLAPPED o{};
    o.hEvent = event.get();
    ResetEvent(event.get());
    DWORD none = 0;
    const bool connected =
        ConnectNamedPipe(pipe.get(), &o) ? true
        : GetLastError() == ERROR_PIPE_CONNECTED
            ? true
            : GetLastError() == ERROR_IO_PENDING && Finish(pipe.get(), o, stop, INFINITE, &none);
    if (connected)
      Serve(drives, pipe.get(), stop, event.get());
    else if (DisconnectNamedPipe(pipe.get()), WaitForSingleObject(stop, 10) == WAIT_OBJECT_0)
      break; // a client gone before its connection was seen: the next one is waited for
  }
  return true;
}

} // namespace velmor::server
