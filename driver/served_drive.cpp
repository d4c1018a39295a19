// Served drives: a drive's thread asking its server, the server's answers, and the end of a
// server. The kernel's rules shape this file:
//   - no wait on user mode without a bound (AwaitAnswer);
//   - no request completed while a spin lock is held: a SERVE is taken out of the queue, or a
//     question out of a record, under ServedLock, and completed only after its release;
//   - a cancel may run between any two steps: a SERVE is either in the cancel-safe queue, where
//     only a dequeue or its cancel takes it, or owned by whoever took it out;
//   - a caller's buffer is checked before it is used: an answer is checked against the question
//     it names, then copied into the drive's own nonpaged buffer, and only that copy is read.
#include "served_drive.h"

#include "trace.h"

namespace velmor {

using namespace kernel;

namespace {

enum class ServedState : uint32_t {
  kIdle,      // no question outstanding
  kPosted,    // asked, and no SERVE of the server was pending: the next one takes it
  kHanded,    // in a SERVE the server holds; its answer is awaited
  kFilling,   // an accepted answer is being copied into the buffer
  kAnswered,  // `result` holds the outcome; the buffer holds the bytes when it is a success
  kAbandoned, // the time ran out while an answer was copied: the copy ends unused
};

} // namespace

struct VelmorServed {
  VelmorServed *next; // in the control device's list
  const void *server; // the file object; null once its handle has been closed
  char16_t letter;
  uint32_t users;  // the drive, and each SERVE copying an answer into `buffer`
  uint32_t listed; // cleared when the drive goes: a wait on an answer ends
  ServedState state;
  NtStatus result;
  uint32_t lastId;
  ServedRequest asked;
  WorkEvent *answered;
  uint8_t *buffer; // kServedMaxRead bytes, nonpaged: the paging path allocates nothing
};

namespace {

constexpr uint32_t kPoolTag = kPoolTagDdk;

// Why a question cannot be asked now or found no answer, in the order that matters to the
// caller: a server gone is a drive with no media; a drive being removed is not ready.
NtStatus EndedStatus(const VelmorServed *served) {
  if (!served->server)
    return status::kNoMediaInDevice;
  if (!served->listed)
    return status::kDeviceNotReady;
  return status::kIoDeviceError;
}

// Puts the question in a SERVE taken out of the queue and completes it. The SERVE's system
// buffer is the I/O manager's (nonpaged, max(input, output) bytes); the control table's rule
// made sure its output holds a ServedRequest.
void Hand(Request *serve, const ServedRequest &asked) {
  __builtin_memcpy(SystemBuffer(serve), &asked, sizeof(asked));
  CompleteRequest(serve, status::kSuccess, sizeof(asked));
}

// Waits for the answer to the question just asked. Never without a bound: at most
// kServedAnswerMilliseconds, whether or not a SERVE took the question. A second round only when
// the first ended with an answer being copied (the copy itself waits on nothing) or woke with
// nothing to see: so at most twice the bound.
NtStatus AwaitAnswer(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served) {
  for (int round = 0;; ++round) {
    const bool signalled = WaitForWorkFor(served->answered, kServedAnswerMilliseconds);
    const Irql previous = AcquireSpinLock(control->ServedLock);
    const ServedState state = served->state;
    const bool ended = !served->server || !served->listed;
    NtStatus result;
    if (state == ServedState::kAnswered) {
      result = served->result;
      served->state = ServedState::kIdle;
    } else if (round == 0 && (state == ServedState::kFilling || (signalled && !ended))) {
      ReleaseSpinLock(control->ServedLock, previous);
      continue;
    } else if (state == ServedState::kFilling) {
      served->state = ServedState::kAbandoned; // the copy finishes, and frees the buffer
      result = status::kIoDeviceError;
    } else {
      // Posted or handed: an answer that comes later finds no question and is dropped.
      served->state = ServedState::kIdle;
      result = ended ? EndedStatus(served) : status::kIoDeviceError;
    }
    ReleaseSpinLock(control->ServedLock, previous);
    if (!IsSuccess(result))
      VelmorTraceNumber("A served read failed: 0x", uint32_t(result));
    return result;
  }
}

// One question of at most kServedMaxRead bytes; on success the buffer holds the answer.
NtStatus Ask(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served, uint32_t file, uint64_t offset,
             uint32_t length) {
  ServedRequest asked{};
  Request *serve = nullptr;
  const Irql previous = AcquireSpinLock(control->ServedLock);
  if (!served->server || !served->listed || served->state != ServedState::kIdle) {
    // An abandoned answer still being copied holds the buffer: this read fails too.
    const NtStatus why = EndedStatus(served);
    ReleaseSpinLock(control->ServedLock, previous);
    return why;
  }
  if (++served->lastId == 0)
    served->lastId = 1; // 0 is never an id
  asked.id = served->lastId;
  asked.letter = served->letter;
  asked.file = uint8_t(file);
  asked.offsetLow = uint32_t(offset);
  asked.offsetHigh = uint32_t(offset >> 32);
  asked.length = length;
  served->asked = asked;
  served->state = ServedState::kPosted;
  // A SERVE of this drive's own server already waiting takes the question now; otherwise the
  // next one to arrive does (VelmorServe looks for posted questions under this lock).
  serve = DequeueRequest(&control->ServeQueue, served->server);
  if (serve)
    served->state = ServedState::kHanded;
  ReleaseSpinLock(control->ServedLock, previous);
  // Completed only now, with no spin lock held: the sender's completion routine runs inside.
  if (serve)
    Hand(serve, asked);
  return AwaitAnswer(control, served);
}

// An answer carried by a SERVE's input, checked before anything of it is used.
NtStatus TakeAnswer(VELMOR_DRIVE_EXTENSION *control, const void *server, const void *input,
                    uint32_t inputLength) {
  if (!input || inputLength < sizeof(ServedAnswer))
    return status::kInvalidParameter;
  ServedAnswer answer;
  __builtin_memcpy(&answer, input, sizeof(answer));
  const bool ok = answer.result == kServedAnswerOk;
  if ((!ok && answer.result != kServedAnswerFailed) || answer.length > kServedMaxRead ||
      (!ok && answer.length != 0) || inputLength - sizeof(ServedAnswer) != answer.length)
    return status::kInvalidParameter;

  VelmorServed *served = nullptr;
  Irql previous = AcquireSpinLock(control->ServedLock);
  for (VelmorServed *s = control->ServedDrives; s; s = s->next)
    if (s->server == server && s->letter == answer.letter && s->state == ServedState::kHanded &&
        s->asked.id == answer.id) {
      served = s;
      break;
    }
  if (!served) {
    // Late (the read's time ran out, the drive went), or another handle's: dropped.
    ReleaseSpinLock(control->ServedLock, previous);
    return status::kSuccess;
  }
  if (!ok || answer.length != served->asked.length) {
    // A refused image fails the read as a medium error; a wrong length is refused unused and
    // fails it as a device error, and the server is told.
    served->result = ok ? status::kIoDeviceError : status::kDeviceDataError;
    served->state = ServedState::kAnswered;
    SignalWork(served->answered);
    ReleaseSpinLock(control->ServedLock, previous);
    return ok ? status::kInvalidParameter : status::kSuccess;
  }
  served->state = ServedState::kFilling;
  __atomic_add_fetch(&served->users, 1, __ATOMIC_ACQ_REL);
  ReleaseSpinLock(control->ServedLock, previous);
  // Up to 256 KiB, copied with no lock held: the state keeps the drive's thread off the buffer
  // and the user keeps the record, whatever happens to the drive meanwhile.
  __builtin_memcpy(served->buffer, static_cast<const uint8_t *>(input) + sizeof(ServedAnswer),
                   answer.length);
  previous = AcquireSpinLock(control->ServedLock);
  if (served->state == ServedState::kFilling) {
    served->result = status::kSuccess;
    served->state = ServedState::kAnswered;
    SignalWork(served->answered);
  } else {
    served->state = ServedState::kIdle; // abandoned: the read's time ran out meanwhile
  }
  ReleaseSpinLock(control->ServedLock, previous);
  VelmorReleaseServed(served);
  return status::kSuccess;
}

} // namespace

VelmorServed *VelmorNewServed(const void *server, char16_t letter) {
  auto *served = static_cast<VelmorServed *>(AllocateNonPaged(sizeof(VelmorServed), kPoolTag));
  if (!served)
    return nullptr;
  *served = VelmorServed{};
  served->server = server;
  served->letter = letter;
  served->users = 1;
  served->state = ServedState::kIdle;
  served->answered = NewWorkEvent();
  served->buffer = static_cast<uint8_t *>(AllocateNonPaged(kServedMaxRead, kPoolTag));
  if (!served->answered || !served->buffer) {
    VelmorReleaseServed(served);
    return nullptr;
  }
  return served;
}

void VelmorReleaseServed(VelmorServed *served) {
  if (__atomic_sub_fetch(&served->users, 1, __ATOMIC_ACQ_REL) != 0)
    return;
  if (served->answered)
    FreeWorkEvent(served->answered);
  if (served->buffer)
    FreePool(served->buffer);
  FreePool(served);
}

void VelmorListServed(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served) {
  const Irql previous = AcquireSpinLock(control->ServedLock);
  served->next = control->ServedDrives;
  served->listed = 1;
  control->ServedDrives = served;
  ReleaseSpinLock(control->ServedLock, previous);
}

void VelmorUnlistServed(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served) {
  const Irql previous = AcquireSpinLock(control->ServedLock);
  for (VelmorServed **link = &control->ServedDrives; *link; link = &(*link)->next)
    if (*link == served) {
      *link = served->next;
      break;
    }
  served->next = nullptr;
  served->listed = 0;
  // The drive's thread stops waiting: the remove that follows waits for it.
  SignalWork(served->answered);
  ReleaseSpinLock(control->ServedLock, previous);
}

void VelmorServerGone(VELMOR_DRIVE_EXTENSION *control, const void *server) {
  if (!server)
    return;
  const Irql previous = AcquireSpinLock(control->ServedLock);
  for (VelmorServed *s = control->ServedDrives; s; s = s->next)
    if (s->server == server) {
      s->server = nullptr; // never set again: a later file object may lie at this address
      if (s->state != ServedState::kIdle)
        SignalWork(s->answered);
    }
  ReleaseSpinLock(control->ServedLock, previous);
  // The handle's pending SERVEs, each taken out (one being cancelled is left to its cancel) and
  // completed with no lock held.
  while (Request *serve = DequeueRequest(&control->ServeQueue, server))
    CompleteRequest(serve, status::kCancelled, 0);
}

bool VelmorServedMediaGone(const VELMOR_DRIVE_EXTENSION *extension) {
  VelmorServed *served = extension->Served;
  if (!served)
    return false;
  VELMOR_DRIVE_EXTENSION *control = extension->Control;
  const Irql previous = AcquireSpinLock(control->ServedLock);
  const bool gone = served->server == nullptr;
  ReleaseSpinLock(control->ServedLock, previous);
  return gone;
}

NtStatus VelmorServedRead(VELMOR_DRIVE_EXTENSION *extension, uint32_t file, uint64_t offset,
                          uint8_t *out, uint32_t length) {
  VelmorServed *served = extension->Served;
  for (uint32_t done = 0; done < length;) {
    const uint32_t piece = length - done < kServedMaxRead ? length - done : kServedMaxRead;
    const NtStatus result = Ask(extension->Control, served, file, offset + done, piece);
    if (!IsSuccess(result))
      return result;
    // The drive's own copy, checked against the question; nothing writes it until the next
    // question of this thread.
    __builtin_memcpy(out + done, served->buffer, piece);
    done += piece;
  }
  return status::kSuccess;
}

NtStatus VelmorServe(Device *device, Request *request, uint32_t *information) {
  *information = 0;
  auto *control = VelmorExtensionOf(device);
  // Only the handle that made a drive serves it: the file object is the server's name.
  const void *server = RequestFile(request);
  if (!server || !SystemBuffer(request))
    return status::kInvalidParameter;
  if (InputLength(request) != 0) {
    const NtStatus taken = TakeAnswer(control, server, SystemBuffer(request), InputLength(request));
    if (!IsSuccess(taken))
      return taken;
  }
  ServedRequest asked{};
  bool found = false;
  NtStatus queued = status::kPending;
  const Irql previous = AcquireSpinLock(control->ServedLock);
  for (VelmorServed *s = control->ServedDrives; s && !found; s = s->next)
    if (s->server == server && s->state == ServedState::kPosted) {
      s->state = ServedState::kHanded;
      asked = s->asked;
      found = true;
    }
  // Queued under the same lock as the search: a question posted after it finds this SERVE.
  if (!found)
    queued = QueueRequest(&control->ServeQueue, request);
  ReleaseSpinLock(control->ServedLock, previous);
  if (found) {
    // The answer was taken out of the buffer above; the question goes over it.
    __builtin_memcpy(SystemBuffer(request), &asked, sizeof(asked));
    *information = sizeof(asked);
    return status::kSuccess;
  }
  if (queued == status::kCancelled)
    CompleteRequest(request, status::kCancelled, 0); // marked pending; no lock held now
  return status::kPending;
}

} // namespace velmor
