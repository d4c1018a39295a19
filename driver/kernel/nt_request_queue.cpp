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

// What the seam's storage holds.
struct QueueStore {
  KSPIN_LOCK lock;
  LIST_ENTRY requests;
};
static_assert(sizeof(QueueStore) <= sizeof(RequestQueue), "the queue fits its storage");

namespace {

constexpr int kQueueSlot = 3;

QueueStore *Store(RequestQueue *queue) { return reinterpret_cast<QueueStore *>(queue->storage); }

void CompleteCancelled(PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// The cancel routine runs with the cancel spin lock held, which it gives up first; by then the
// request's routine is cleared, so no dequeue will take it: it is taken out here and completed.
// A remove may have run since the routine was cleared, but the queue lies in the device's
// extension, which the request's reference on the device keeps until it is completed.
VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  QueueStore *queue =
      Store(static_cast<RequestQueue *>(irp->Tail.Overlay.DriverContext[kQueueSlot]));
  KIRQL irql;
  KeAcquireSpinLock(&store->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&store->lock, irql);
  CompleteCancelled(irp);
}

} // namespace

void InitRequestQueue(RequestQueue *queue) {
  QueueStore *store = Store(queue);
  KeInitializeSpinLock(&store->lock);
  InitializeListHead(&store->requests);
}

NtStatus QueueRequest(RequestQueue *queue, Request *request) {
  PIRP irp = reinterpret_cast<PIRP>(request);
  QueueStore *store = Store(queue);
  irp->Tail.Overlay.DriverContext[kQueueSlot] = queue;
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(&store->lock, &irql);
  IoSetCancelRoutine(irp, CancelQueued);
  // Cancelled before the routine was set: the cancel will not call it, so the caller completes
  // it, once it holds no spin lock.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&store->lock, irql);
    return STATUS_CANCELLED;
  }
  InsertTailList(&store->requests, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&store->lock, irql);
  return STATUS_PENDING;
}

Request *DequeueRequest(RequestQueue *queue, const void *file) {
  QueueStore *store = Store(queue);
  KIRQL irql;
  KeAcquireSpinLock(&store->lock, &irql);
  for (LIST_ENTRY *entry = store->requests.Flink; entry != &store->requests; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file)
      continue;
    // A request whose routine is gone is being cancelled: its cancel routine takes it out.
    if (!IoSetCancelRoutine(irp, nullptr))
      continue;
    RemoveEntryList(entry);
    KeReleaseSpinLock(&store->lock, irql);
    return reinterpret_cast<Request *>(irp);
  }
  KeReleaseSpinLock(&store->lock, irql);
  return nullptr;
}

} // namespace velmor::kernel
