// The driver's worker thread and its queue of pending requests.
//
// A queued request is linked through the pointers the I/O manager leaves to the driver that
// holds it (kept in the request itself, in nonpaged memory), so queueing allocates nothing and
// cannot fail. The queue is touched only under its spin lock, at DISPATCH_LEVEL, where nothing
// paged may be touched: the links, the queue record and the lock are all nonpaged.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

struct VelmorWorkQueue {
  SpinLock *lock;
  WorkEvent *work;
  Request *head;
  Request *tail;
};

namespace {

// The request's context pointers while it waits in the queue.
enum Slot { kNext = 0, kDevice = 1, kWork = 2 };

Request *&Next(Request *request) {
  return *reinterpret_cast<Request **>(&RequestContext(request)[kNext]);
}
Device *QueuedDevice(Request *request) {
  return static_cast<Device *>(RequestContext(request)[kDevice]);
}
QueuedWork WorkOf(Request *request) {
  return static_cast<QueuedWork>(reinterpret_cast<uintptr_t>(RequestContext(request)[kWork]));
}

Request *PopFront(VelmorWorkQueue *queue) {
  const Irql previous = AcquireSpinLock(queue->lock);
  Request *request = queue->head;
  if (request) {
    queue->head = Next(request);
    if (!queue->head)
      queue->tail = nullptr;
  }
  ReleaseSpinLock(queue->lock, previous);
  return request;
}

void Serve(Request *request) {
  Device *device = QueuedDevice(request);
  const QueuedWork work = WorkOf(request);
  if (work == QueuedWork::kRead)
    VelmorServeRead(device, request);
  else if (work == QueuedWork::kRawRead)
    VelmorServeRawRead(VelmorExtensionOf(device), request);
  else
    VelmorServeImageAnswer(device, request, work);
  // The request is complete; only now may the device go.
  DereferenceDevice(device);
}

// Runs at PASSIVE_LEVEL for as long as the system runs: the driver has no unload routine.
void WorkerThread(void *context) {
  auto *queue = static_cast<VelmorWorkQueue *>(context);
  while (WaitForWork(queue->work))
    while (Request *request = PopFront(queue))
      Serve(request);
}

} // namespace

VelmorWorkQueue *VelmorNewWorkQueue() {
  auto *queue =
      static_cast<VelmorWorkQueue *>(AllocateNonPaged(sizeof(VelmorWorkQueue), kPoolTagDdk));
  if (!queue)
    return nullptr;
  *queue = VelmorWorkQueue{NewSpinLock(), NewWorkEvent(), nullptr, nullptr};
  if (!queue->lock || !queue->work) {
    VelmorFreeWorkQueue(queue);
    return nullptr;
  }
  return queue;
}

void VelmorFreeWorkQueue(VelmorWorkQueue *queue) {
  if (queue->lock)
    FreeSpinLock(queue->lock);
  if (queue->work)
    FreeWorkEvent(queue->work);
  FreePool(queue);
}

NtStatus VelmorStartWorker(VelmorWorkQueue *queue) {
  return StartSystemThread(WorkerThread, queue);
}

NtStatus VelmorQueueRequest(Device *device, Request *request, QueuedWork work) {
  VelmorWorkQueue *queue = VelmorExtensionOf(device)->Queue;
  // Marked before the thread can see it: the thread may complete it at once.
  MarkPending(request);
  ReferenceDevice(device);
  void **context = RequestContext(request);
  context[kNext] = nullptr;
  context[kDevice] = device;
  context[kWork] = reinterpret_cast<void *>(static_cast<uintptr_t>(work));
  const Irql previous = AcquireSpinLock(queue->lock);
  if (queue->tail)
    Next(queue->tail) = request;
  else
    queue->head = request;
  queue->tail = request;
  ReleaseSpinLock(queue->lock, previous);
  SignalWork(queue->work);
  return status::kPending;
}

void VelmorFailQueued(VelmorWorkQueue *queue, Device *device) {
  // Unlinked under the lock, completed outside it.
  Request *failed = nullptr;
  const Irql previous = AcquireSpinLock(queue->lock);
  Request *kept = nullptr, *keptTail = nullptr;
  for (Request *request = queue->head, *next; request; request = next) {
    next = Next(request);
    Next(request) = nullptr;
    if (QueuedDevice(request) == device) {
      Next(request) = failed;
      failed = request;
    } else {
      if (keptTail)
        Next(keptTail) = request;
      else
        kept = request;
      keptTail = request;
    }
  }
  queue->head = kept;
  queue->tail = keptTail;
  ReleaseSpinLock(queue->lock, previous);

  while (failed) {
    Request *request = failed;
    failed = Next(request);
    VelmorTrace("Failing a request queued for a removed drive");
    CompleteRequest(request, status::kDeviceNotReady, 0);
    DereferenceDevice(device);
  }
}

} // namespace velmor
