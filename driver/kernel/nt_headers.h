// The kernel headers as the glue includes them, and the few routines they leave undeclared.
#pragma once

// wdm.h brings its own InterlockedBitTestAndSet/Reset, which C++ refuses beside the
// compiler-intrinsic declarations; mark those as already present.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/ntddk.h>

extern "C" {
// Declared only in ntifs.h, which does not build beside ntddk.h, or not at all.
NTSYSAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                              PACCESS_STATE PassedAccessState,
                                              ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PHANDLE Handle);
extern NTSYSAPI POBJECT_TYPE *IoDeviceObjectType;
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                               PSID Sid);
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
}

// Not in the toolchain's ntddk.h (it lives in ntifs.h).
typedef struct _FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
} FILE_INTERNAL_INFORMATION;

namespace velmor::kernel {
// The pool for nonpaged memory: never executable where the system has such a pool (Windows 8
// and later), and whether mappings may ask for no-execute. Set once by DriverEntry.
extern POOL_TYPE g_nonPagedPool;
extern ULONG g_noExecuteMapping;
// Whether the kernel is Wine's, which runs drivers in a process of its own: its devices and
// host files are no object manager objects, so it keeps no descriptor on a device and has no
// file object for a file. Set once by DriverEntry from an export only Wine's ntoskrnl has.
extern bool g_hostedByWine;
} // namespace velmor::kernel
