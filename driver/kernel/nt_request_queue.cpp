// The seam's request queue: a cancel-safe queue of requests linked through
// Tail.Overlay.ListEntry under a spin lock, with a cancel routine of its own. The I/O manager's
// IoCsq routines would do the same, but Wine has them as stubs that queue nothing, so the
// queue keeps the classic protocol itself: a request is in the list only while its cancel
// routine is set, and whoever clears the routine first (the queue taking it out, or the cancel)
// owns it. The queue's pointer rides in DriverContext[3], which leaves the other three to the
// driver. Everything is nonpaged: it is used at DISPATCH_LEVEL.
#include "kernel_seam.h"
#include "nt_headers.h"

namespace velmor::kernel {

struct RequestQueue {
  KSPIN_LOCK lock;
  LIST_ENTRY requests;
};

namespace {

constexpr int kQueueSlot = 3;

// The cancel routine runs with the cancel spin lock held, which it gives up first; by then the
// request's routine is cleared, so no dequeue will take it: it is taken out here and completed.
VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto *queue = static_cast<RequestQueue *>(irp->Tail.Overlay.DriverContext[kQueueSlot]);
  KIRQL irql;
  KeAcquireSpinLock(&queue->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&queue->lock, irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace

RequestQueue *NewRequestQueue() {
  auto *queue = static_cast<RequestQueue *>(
      ExAllocatePoolWithTag(g_nonPagedPool, sizeof(RequestQueue), kPoolTagDdk));
  if (!queue)
    return nullptr;
  KeInitializeSpinLock(&queue->lock);
  InitializeListHead(&queue->requests);
  return queue;
}

void FreeRequestQueue(RequestQueue *queue) { ExFreePool(queue); }

void QueueRequest(RequestQueue *queue, Request *request) {
  PIRP irp = reinterpret_cast<PIRP>(request);
  irp->Tail.Overlay.DriverContext[kQueueSlot] = queue;
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(&queue->lock, &irql);
  IoSetCancelRoutine(irp, CancelQueued);
  // Cancelled before the routine was set: the cancel will not call it, so it is completed here.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&queue->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return;
  }
  InsertTailList(&queue->requests, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&queue->lock, irql);
}

Request *DequeueRequest(RequestQueue *queue, const void *file) {
  KIRQL irql;
  KeAcquireSpinLock(&queue->lock, &irql);
  for (LIST_ENTRY *entry = queue->requests.Flink; entry != &queue->requests; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file)
      continue;
    // A request whose routine is gone is being cancelled: its cancel routine takes it out.
    if (!IoSetCancelRoutine(irp, nullptr))
      continue;
    RemoveEntryList(entry);
    KeReleaseSpinLock(&queue->lock, irql);
    return reinterpret_cast<Request *>(irp);
  }
  KeReleaseSpinLock(&queue->lock, irql);
  return nullptr;
}

} // namespace velmor::kernel
