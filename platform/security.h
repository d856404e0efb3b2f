// Identities, process owners and privileges (advapi32
// ConvertSidToStringSidA, GetSecurityInfo, OpenProcessToken,
// LookupPrivilegeValueA, AdjustTokenPrivileges), with the one identity
// mapping of host users to accounts that every module shares.
//
// The machine SID is S-1-5-21-x-y-z, with x, y and z the first three
// 32-bit groups of /etc/machine-id (read as hexadecimal), or
// S-1-5-21-0-0-0 where that file is missing or malformed. The host user
// with uid u is the account MACHINE\name with SID machine-SID-(1000+u),
// MACHINE being the host name up to its first dot in upper case and name
// the user's name in the passwd database; uid 0 is also the local system
// account S-1-5-18.
#pragma once

#include <string>

#include "platform/types.h"

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};

struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[SID_MAX_SUB_AUTHORITIES];
};
using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
struct ACL;
using PACL = ACL*;

enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1, SE_KERNEL_OBJECT = 6 };
using SECURITY_INFORMATION = DWORD;
#define OWNER_SECURITY_INFORMATION 0x1u

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_QUERY 0x0008u
#define SE_PRIVILEGE_ENABLED 0x2u
#define SE_DEBUG_NAME "SeDebugPrivilege"

// The SID in its standard string form ("S-1-5-21-...") in a buffer to
// release with LocalFree. ERROR_INVALID_SID for a malformed SID.
BOOL ConvertSidToStringSidA(PSID Sid, LPSTR* StringSid);

// The owner of a process (SE_KERNEL_OBJECT with a process handle, the
// pseudo handle included): the account of the process's real user id.
// Only OWNER_SECURITY_INFORMATION is supported (else ERROR_NOT_SUPPORTED);
// ppSecurityDescriptor receives the block that holds the owner, to release
// with LocalFree. Returns the error code (ERROR_SUCCESS, or
// ERROR_INVALID_HANDLE for other handles and ended processes).
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                      SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                      PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

// The access token of a process; close it with CloseHandle.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle);

// The LUID of a privilege of the local system (lpSystemName NULL or
// empty); the layer knows SeDebugPrivilege. ERROR_NO_SUCH_PRIVILEGE for
// other names.
BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, LUID* lpLuid);

// A privilege is held when the token's process has the host capability
// that stands for it (SeDebugPrivilege: CAP_SYS_PTRACE, which lets it read
// every process); held privileges are in effect already, so enabling
// changes nothing on the host. Succeeds with the last error ERROR_SUCCESS
// when every privilege of NewState is held, else with
// ERROR_NOT_ALL_ASSIGNED, as Windows does. PreviousState must be NULL.
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, LPDWORD ReturnLength);

namespace platform {

// The three sub-authorities x, y, z of the machine SID.
void machine_sid_parts(DWORD parts[3]);

// S-1-5-21-x-y-z-(1000+uid).
SID account_sid(DWORD uid);

// S-1-5-18, the local system account, which uid 0 also is.
SID local_system_sid();

// The host uid of an account SID of the mapping (S-1-5-18 gives 0);
// false for any other SID.
bool uid_of_sid(const SID& sid, DWORD& uid);

// The host name up to its first dot, in upper case.
std::string machine_name();

// MACHINE\name for a host user; false when the passwd database has no
// user with that uid.
bool account_name(DWORD uid, std::string& name);

}  // namespace platform
