// The copy runs in assembly so that its stack is known exactly. On x86-64 nothing is registered
// at run time: exceptions are dispatched by the tables the linker puts into the image (.pdata
// and .xdata), which the .seh_* directives below describe. The copy's table entry names its
// prologue (two pushes) and a language handler; a fault inside the copy reaches the handler,
// which resumes the copy at its failure exit. The kernel also walks stacks by these tables, so
// the function must carry them even when nothing faults.
#include <windef.h>

#include <excpt.h>

#include "guarded_copy.h"

extern "C" {
// The failure exit, a label inside the copy's range (so the table entry still covers it).
void VelmorGuardedCopyFault();
EXCEPTION_DISPOSITION VelmorGuardedCopyHandler(EXCEPTION_RECORD *record, void *frame,
                                               CONTEXT *context, void *dispatcher);
}

// rsi and rdi are callee-saved in the Win64 calling convention, so the copy saves them; rcx,
// rdx and r8 bring the arguments.
asm(R"(
        .text
        .globl  VelmorGuardedCopy
        .def    VelmorGuardedCopy; .scl 2; .type 32; .endef
        .seh_proc VelmorGuardedCopy
VelmorGuardedCopy:
        pushq   %rsi
        .seh_pushreg %rsi
        pushq   %rdi
        .seh_pushreg %rdi
        .seh_endprologue
        .seh_handler VelmorGuardedCopyHandler, @except
        movq    %rcx, %rdi
        movq    %rdx, %rsi
        movq    %r8, %rcx
        cld
        rep movsb
        movl    $1, %eax
.Lguarded_copy_leave:
        popq    %rdi
        popq    %rsi
        ret
        .globl  VelmorGuardedCopyFault
VelmorGuardedCopyFault:
        xorl    %eax, %eax
        jmp     .Lguarded_copy_leave
        .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION VelmorGuardedCopyHandler(EXCEPTION_RECORD *record, void *,
                                                          CONTEXT *context, void *) {
  // An unwind passing through the copy's frame is not ours to stop.
  if (record->ExceptionFlags & EXCEPTION_UNWIND)
    return ExceptionContinueSearch;
  // While searching, `context` is the processor's state at the fault, which lies in the copy's
  // own body: rep movsb does not move rsp, so rsp already points at the saved rdi and rsi that
  // the failure exit pops. Only the instruction pointer changes.
  context->Rip = reinterpret_cast<DWORD64>(&VelmorGuardedCopyFault);
  return ExceptionContinueExecution;
}
