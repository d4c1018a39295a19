// The security descriptor each device gets at creation. IoCreateDeviceSecure would take one in
// SDDL, but it lives in a static library the toolchain lacks, so the descriptor is built with
// the Rtl security routines and set through a kernel handle with ZwSetSecurityObject (Wine has
// no ObSetSecurityObjectByPointer).
#include "kernel_seam.h"
#include "nt_headers.h"

namespace velmor::kernel {
namespace {

// A SID of up to two subauthorities, laid out as the system's SID structure.
struct WellKnownSid {
  UCHAR revision;
  UCHAR subAuthorityCount;
  UCHAR authority[6];
  ULONG subAuthority[2];
};

constexpr WellKnownSid kLocalSystem{1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};      // S-1-5-18
constexpr WellKnownSid kAdministrators{1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}}; // S-1-5-32-544
constexpr WellKnownSid kEveryone{1, 1, {0, 0, 0, 0, 0, 1}, {0, 0}};          // S-1-1-0
constexpr WellKnownSid kRestricted{1, 1, {0, 0, 0, 0, 0, 5}, {12, 0}};       // S-1-5-12

PSID Sid(const WellKnownSid &sid) { return const_cast<WellKnownSid *>(&sid); }

// The absolute security descriptor, laid out as the system's (ntifs.h, not included here).
struct AbsoluteDescriptor {
  UCHAR revision;
  UCHAR sbz1;
  USHORT control;
  PVOID owner, group, sacl, dacl;
};
// An access-allowed entry without its SID: header, mask.
constexpr ULONG kAllowedAceHead = 8;

} // namespace

NtStatus SetDeviceSecurity(Device *device, uint32_t everyoneAccess) {
  // Wine's devices are objects of the driver's own process, not of the object manager: it has
  // no descriptor of theirs to set (and what its server keeps for them it applies to the
  // requests between the two processes, not to the opens).
  if (g_hostedByWine)
    return STATUS_SUCCESS;
  struct Grant {
    const WellKnownSid *sid;
    ACCESS_MASK access;
  };
  // A restricted token (a sandboxed process) passes a second check against the restricted
  // SIDs, so it needs an entry of its own to get what Everyone gets.
  const Grant grants[] = {{&kLocalSystem, FILE_ALL_ACCESS},
                          {&kAdministrators, FILE_ALL_ACCESS},
                          {&kEveryone, everyoneAccess},
                          {&kRestricted, everyoneAccess}};
  const ULONG count = everyoneAccess ? 4 : 2;
  ULONG aclBytes = sizeof(ACL);
  for (ULONG i = 0; i < count; ++i)
    aclBytes += kAllowedAceHead + RtlLengthSid(Sid(*grants[i].sid));
  auto *acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, aclBytes, kPoolTagDdk));
  if (!acl)
    return STATUS_INSUFFICIENT_RESOURCES;
  AbsoluteDescriptor descriptor;
  NTSTATUS s = RtlCreateAcl(acl, aclBytes, ACL_REVISION);
  for (ULONG i = 0; NT_SUCCESS(s) && i < count; ++i)
    s = RtlAddAccessAllowedAce(acl, ACL_REVISION, grants[i].access, Sid(*grants[i].sid));
  if (NT_SUCCESS(s))
    s = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(s))
    s = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
  HANDLE handle = nullptr;
  if (NT_SUCCESS(s))
    s = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, *IoDeviceObjectType,
                              KernelMode, &handle);
  // The object manager copies what it keeps, so the descriptor and its list may go after.
  if (NT_SUCCESS(s)) {
    s = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
  }
  ExFreePool(acl);
  return s;
}

} // namespace velmor::kernel
