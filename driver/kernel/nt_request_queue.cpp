// The seam's request queue: the I/O manager's cancel-safe queue over a list of requests linked
// through Tail.Overlay.ListEntry, under a spin lock. The queue keeps its own pointer in
// DriverContext[3] (no per-request context is passed), which leaves the other three to the
// driver. Everything is nonpaged: it is used at DISPATCH_LEVEL.
#include "kernel_seam.h"
#include "nt_headers.h"

namespace velmor::kernel {

struct RequestQueue {
  IO_CSQ csq; // first: the callbacks get it and find the rest of the record behind it
  KSPIN_LOCK lock;
  LIST_ENTRY requests;
};

namespace {

RequestQueue *QueueOf(PIO_CSQ csq) { return CONTAINING_RECORD(csq, RequestQueue, csq); }

VOID NTAPI Insert(PIO_CSQ csq, PIRP irp) {
  InsertTailList(&QueueOf(csq)->requests, &irp->Tail.Overlay.ListEntry);
}

VOID NTAPI Remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }

// The first request after `irp` (or the first of all), of the file object `file` when one is
// asked for: a cleanup takes only its own file's requests.
PIRP NTAPI PeekNext(PIO_CSQ csq, PIRP irp, PVOID file) {
  LIST_ENTRY *head = &QueueOf(csq)->requests;
  for (LIST_ENTRY *entry = irp ? irp->Tail.Overlay.ListEntry.Flink : head->Flink; entry != head;
       entry = entry->Flink) {
    PIRP next = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (!file || IoGetCurrentIrpStackLocation(next)->FileObject == file)
      return next;
  }
  return nullptr;
}

VOID NTAPI AcquireLock(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&QueueOf(csq)->lock, irql); }

VOID NTAPI ReleaseLock(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&QueueOf(csq)->lock, irql); }

VOID NTAPI CompleteCancelled(PIO_CSQ, PIRP irp) {
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
  IoCsqInitialize(&queue->csq, Insert, Remove, PeekNext, AcquireLock, ReleaseLock,
                  CompleteCancelled);
  return queue;
}

void FreeRequestQueue(RequestQueue *queue) { ExFreePool(queue); }

// IoCsqInsertIrp marks the request pending, and completes it itself when a cancel has come
// already.
void QueueRequest(RequestQueue *queue, Request *request) {
  IoCsqInsertIrp(&queue->csq, reinterpret_cast<PIRP>(request), nullptr);
}

Request *DequeueRequest(RequestQueue *queue, const void *file) {
  return reinterpret_cast<Request *>(IoCsqRemoveNextIrp(&queue->csq, const_cast<void *>(file)));
}

} // namespace velmor::kernel
