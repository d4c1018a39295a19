// A drive's worker: its system thread and its cancel-safe queue of pending requests.
//
// A stopped worker takes no more requests: the gate below is closed under its spin lock, so a
// request is either queued before the drain that follows or refused at once, never left in a
// queue no thread serves. The gate, the queue and the event are nonpaged: they are used at
// DISPATCH_LEVEL.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

struct VelmorWorker {
  Device *device;
  RequestQueue *queue; // the device extension's
  WorkEvent *work;
  SpinLock *gate;
  uint32_t stopping; // set under the gate
  SystemThread *thread;
};

namespace {

// The request's context pointers while it waits in the queue and is served.
enum Slot { kWork = 0, kFirst = 1, kSecond = 2 };

QueuedWork WorkOf(Request *request) {
  return static_cast<QueuedWork>(reinterpret_cast<uintptr_t>(RequestContext(request)[kWork]));
}

void Serve(Device *device, Request *request) {
  const QueuedWork work = WorkOf(request);
  if (work == QueuedWork::kRead)
    VelmorServeRead(device, request);
  else if (work == QueuedWork::kRawRead)
    VelmorServeRawRead(VelmorExtensionOf(device), request);
  else
    VelmorServeImageAnswer(device, request, work);
}

bool Stopping(VelmorWorker *worker) {
  const Irql previous = AcquireSpinLock(worker->gate);
  const bool stopping = worker->stopping != 0;
  ReleaseSpinLock(worker->gate, previous);
  return stopping;
}

// Runs at PASSIVE_LEVEL in the system process until the drive is removed. The device stays
// referenced by the remove that waits for this thread, so it outlives every request served.
void WorkerThread(void *context) {
  auto *worker = static_cast<VelmorWorker *>(context);
  for (;;) {
    WaitForWork(worker->work);
    while (Request *request = DequeueRequest(worker->queue, nullptr)) {
      Serve(worker->device, request);
      if (Stopping(worker))
        return; // what is left is failed by the stop
    }
    if (Stopping(worker))
      return;
  }
}

} // namespace

void VelmorFreeWorker(VelmorWorker *worker) {
  if (worker->work)
    FreeWorkEvent(worker->work);
  if (worker->gate)
    FreeSpinLock(worker->gate);
  FreePool(worker);
}

VelmorWorker *VelmorStartWorker(Device *device) {
  auto *worker = static_cast<VelmorWorker *>(AllocateNonPaged(sizeof(VelmorWorker), kPoolTagDdk));
  if (!worker)
    return nullptr;
  RequestQueue *queue = &VelmorExtensionOf(device)->Queue;
  InitRequestQueue(queue);
  *worker = VelmorWorker{device, queue, NewWorkEvent(), NewSpinLock(), 0, nullptr};
  if (!worker->work || !worker->gate ||
      !IsSuccess(StartSystemThread(WorkerThread, worker, &worker->thread))) {
    VelmorFreeWorker(worker);
    return nullptr;
  }
  return worker;
}

void VelmorStopWorker(VelmorWorker *worker, NtStatus status) {
  const Irql previous = AcquireSpinLock(worker->gate);
  worker->stopping = 1;
  ReleaseSpinLock(worker->gate, previous);
  SignalWork(worker->work);
  // The thread may be inside a read of a slow image: the remove waits for that one request,
  // never for another drive's.
  JoinSystemThread(worker->thread);
  while (Request *request = DequeueRequest(worker->queue, nullptr)) {
    VelmorTrace("Failing a request queued for a removed drive");
    CompleteRequest(request, status, 0);
  }
}

NtStatus VelmorQueueRequest(Device *device, Request *request, QueuedWork work, uintptr_t first,
                            uintptr_t second) {
  // The hold keeps the worker's memory while a remove through another handle stops it.
  auto *extension = VelmorExtensionOf(device);
  if (!VelmorHoldDrive(extension))
    return status::kDeviceNotReady;
  VelmorWorker *worker = extension->Worker;
  void **context = RequestContext(request);
  context[kWork] = reinterpret_cast<void *>(static_cast<uintptr_t>(work));
  context[kFirst] = reinterpret_cast<void *>(first);
  context[kSecond] = reinterpret_cast<void *>(second);
  const Irql previous = AcquireSpinLock(worker->gate);
  const bool stopping = worker->stopping != 0;
  // Marked pending by the queue before the thread can see it: the thread may complete it at
  // once.
  const NtStatus queued = stopping ? status::kDeviceNotReady : QueueRequest(worker->queue, request);
  ReleaseSpinLock(worker->gate, previous);
  if (queued == status::kPending)
    SignalWork(worker->work);
  VelmorReleaseDrive(extension);
  if (queued != status::kCancelled)
    return queued;
  // Cancelled before it was queued, and marked pending. Completed only now that no spin lock is
  // held: a completion routine of the sender may send it straight back to this drive.
  CompleteRequest(request, status::kCancelled, 0);
  return status::kPending;
}

uintptr_t VelmorQueuedArgument(Request *request, int which) {
  return reinterpret_cast<uintptr_t>(RequestContext(request)[which == 0 ? kFirst : kSecond]);
}

void VelmorCancelFileRequests(VELMOR_DRIVE_EXTENSION *extension, const void *file) {
  if (!VelmorHoldDrive(extension))
    return; // removed: the removal failed what was queued
  while (Request *request = DequeueRequest(extension->Worker->queue, file))
    CompleteRequest(request, status::kCancelled, 0);
  VelmorReleaseDrive(extension);
}

} // namespace velmor
