// Served drives: layout drives whose bytes come from a user-mode server by inverted call
// (velmor_served.h). The server's pending IOCTL_VELMOR_SERVE requests wait in the control
// device's cancel-safe queue, each known by the file object (the handle) it came through; a
// drive's thread asks its question by completing one of its own server's, and waits, bounded,
// for the answer that the server's next SERVE carries.
//
// Where each thing waits:
//   - a SERVE waits in the control device's queue, cancel-safe, until a drive of its handle has
//     a question, the server cancels it, or the handle's cleanup completes it;
//   - a drive's thread waits for an answer at most kServedAnswerMilliseconds (twice that when
//     the answer was being copied as the time ran out): never without a bound on user mode;
//   - nothing else waits on the server. A drive's own thread does the waiting, so one stuck
//     server holds up only its own drives, each of them only its own reads.
#pragma once

#include "velmor_driver.h"
#include "velmor_served.h"

namespace velmor {

// One served drive's side of the conversation with its server: nonpaged, its state changed
// only under the control device's ServedLock, shared between the drive's thread and the
// server's SERVE requests, and freed by the last of its users.
struct VelmorServed;

// A record for a drive of `letter` served through the file object `server`; null when pool
// runs out. Up to DISPATCH_LEVEL (nonpaged pool).
VelmorServed *VelmorNewServed(const void *server, char16_t letter);
// Lets go of a user of the record; the last frees it (up to DISPATCH_LEVEL).
void VelmorReleaseServed(VelmorServed *served);

// The control device's list of served drives: a drive is listed before its link exists and
// taken off by its removal, or by a failed creation. PASSIVE_LEVEL.
void VelmorListServed(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served);
// Takes the record off the list and wakes the drive's thread from any wait on an answer: the
// drive is going (PASSIVE_LEVEL, before its thread is waited for).
void VelmorUnlistServed(VELMOR_DRIVE_EXTENSION *control, VelmorServed *served);

// The server's handle was closed (its cleanup, or its close): its drives have no media from
// now on, a read waiting on an answer fails at once, and its pending SERVEs are completed as
// cancelled. PASSIVE_LEVEL (the cleanup's and the close's dispatch).
void VelmorServerGone(VELMOR_DRIVE_EXTENSION *control, const void *server);

// Whether a served drive's server has gone: it has no media. False for other drives. Called
// under a hold on the drive.
bool VelmorServedMediaGone(const VELMOR_DRIVE_EXTENSION *extension);

// The drive's thread: `length` bytes of the server's stream `file` at `offset` into `out`,
// asked in pieces of at most kServedMaxRead. Success only when every byte came from an
// accepted answer; then `out` holds them all. PASSIVE_LEVEL, in the drive's own thread.
NtStatus VelmorServedRead(VELMOR_DRIVE_EXTENSION *extension, uint32_t file, uint64_t offset,
                          uint8_t *out, uint32_t length);

// IOCTL_VELMOR_SERVE on the control device, its buffers checked by the control table: takes
// the answer its input carries, then hands it a question or queues it. Returns kPending when the
// request waits (it is completed later), else the status to complete it with at once (with
// `*information` bytes of answer).
NtStatus VelmorServe(kernel::Device *control, kernel::Request *request, uint32_t *information);

} // namespace velmor
