// The copy runs in assembly so that its stack is known exactly: it pushes an exception
// registration record (previous record, handler) onto the stack and makes it the head of the
// thread's handler list at fs:[0], as the i386 NT kernel and user mode both expect. A fault
// inside the copy reaches the handler below, which resumes the copy at its failure exit with
// the stack as the copy laid it out; both exits take the record off the list again.
#include <windef.h>

#include <excpt.h>

#include "guarded_copy.h"

extern "C" {
// The failure exit, a label inside the copy.
void VelmorGuardedCopyFault();
EXCEPTION_DISPOSITION __cdecl VelmorGuardedCopyHandler(EXCEPTION_RECORD *record, void *frame,
                                                       CONTEXT *context, void *dispatcher);
}

// The copy's frame pointer addresses its saved ebp; below it lie the saved esi and edi, then
// the registration record.
constexpr ULONG kRecordBelowFramePointer = 16;

asm(R"(
        .text
        .globl  _VelmorGuardedCopy
        .def    _VelmorGuardedCopy; .scl 2; .type 32; .endef
_VelmorGuardedCopy:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %esi
        pushl   %edi
        pushl   $_VelmorGuardedCopyHandler
        pushl   %fs:0
        movl    %esp, %fs:0
        movl    8(%ebp), %edi
        movl    12(%ebp), %esi
        movl    16(%ebp), %ecx
        cld
        rep movsb
        movl    $1, %eax
.Lguarded_copy_leave:
        movl    (%esp), %edx
        movl    %edx, %fs:0
        addl    $8, %esp
        popl    %edi
        popl    %esi
        popl    %ebp
        ret
        .globl  _VelmorGuardedCopyFault
_VelmorGuardedCopyFault:
        xorl    %eax, %eax
        jmp     .Lguarded_copy_leave
)");

extern "C" EXCEPTION_DISPOSITION __cdecl VelmorGuardedCopyHandler(EXCEPTION_RECORD *record,
                                                                  void *frame, CONTEXT *context,
                                                                  void *) {
  // An unwind passing through the copy's frame is not ours to stop.
  if (record->ExceptionFlags & EXCEPTION_UNWIND)
    return ExceptionContinueSearch;
  // `frame` is the registration record: the top of the copy's stack at the fault.
  const auto top = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(frame));
  context->Esp = top;
  context->Ebp = top + kRecordBelowFramePointer;
  context->Eip = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(&VelmorGuardedCopyFault));
  return ExceptionContinueExecution;
}
