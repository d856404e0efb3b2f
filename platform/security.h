// Identities, process owners, tokens and privileges (advapi32 SID
// conversions, GetSecurityInfo, OpenProcessToken, GetTokenInformation,
// LookupPrivilegeValueA, AdjustTokenPrivileges, LookupAccountNameA,
// LookupAccountSidA, LogonUserW and the LSA rights calls), with the SIDs of
// the one identity mapping that every module shares (the accounts behind
// them are in platform/accounts.h).
//
// The machine SID is S-1-5-21-x-y-z, with x, y and z the first three
// 32-bit groups of /etc/machine-id (read as hexadecimal), or
// S-1-5-21-0-0-0 where that file is missing or malformed. The host user
// with uid u is the account MACHINE\name with SID machine-SID-(1000+u),
// MACHINE being the computer name (platform::machine_name) and name the
// user's name in the passwd database; uid 0 is also the local system
// account S-1-5-18. Host groups map the same way by their gid.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/process_table.h"
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
// SE_FILE_OBJECT with a file's handle: see platform/security_acl.h.
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

// --- SIDs ---

enum SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeDeletedAccount,
    SidTypeInvalid,
    SidTypeUnknown,
    SidTypeComputer,
    SidTypeLabel,
};
using PSID_NAME_USE = SID_NAME_USE*;
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY*;

#define SECURITY_NULL_SID_AUTHORITY {{0, 0, 0, 0, 0, 0}}
#define SECURITY_WORLD_SID_AUTHORITY {{0, 0, 0, 0, 0, 1}}
#define SECURITY_NT_AUTHORITY {{0, 0, 0, 0, 0, 5}}

// Converts the standard string form ("S-1-5-32-544"; the authority in
// decimal, or in hexadecimal after "0x"; 1 to 15 sub-authorities, each a
// decimal 32-bit number) or one of the aliases "WD" (Everyone), "SY"
// (local system), "BA" (administrators) and "BU" (users) into a SID to
// release with LocalFree. ERROR_INVALID_SID for anything else (also for
// blanks, signs, empty parts or values out of range).
BOOL ConvertStringSidToSidA(LPCSTR StringSid, PSID* Sid);

// A SID of 1 to 8 sub-authorities, to release with FreeSid.
// ERROR_INVALID_PARAMETER for a count outside 1 to 8.
BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                              BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                              DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6,
                              DWORD nSubAuthority7, PSID* pSid);
void* FreeSid(PSID pSid);

// Revision 1 and at most 15 sub-authorities.
BOOL IsValidSid(PSID pSid);
// 8 + 4 bytes per sub-authority.
DWORD GetLengthSid(PSID pSid);
// Equal revision, authority and sub-authorities; FALSE for invalid SIDs.
BOOL EqualSid(PSID pSid1, PSID pSid2);

// --- Tokens ---

enum TOKEN_INFORMATION_CLASS { TokenGroups = 2 };

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_GROUPS {
    DWORD GroupCount;
    SID_AND_ATTRIBUTES Groups[1];
};

#define SE_GROUP_MANDATORY 0x1u
#define SE_GROUP_ENABLED_BY_DEFAULT 0x2u
#define SE_GROUP_ENABLED 0x4u
#define SE_GROUP_OWNER 0x8u
#define SE_GROUP_USE_FOR_DENY_ONLY 0x10u

// TokenGroups of a process token: one block with the TOKEN_GROUPS header,
// its entries and their SIDs. The groups follow the process's effective
// credentials (/proc/<pid>/status): Everyone, BUILTIN\Users (for a host
// user), the host groups of its effective and supplementary group ids, the
// local groups of the system store that hold the user, each mandatory and
// enabled (7); and BUILTIN\Administrators enabled as owner (15) with an
// effective uid of 0, or present but not enabled, for deny only (16), for a
// process of another member of the administrators (a member of the host's
// sudo group, or a member through the store): the filtered token of an
// administrator who has not been elevated. Other classes give
// ERROR_NOT_SUPPORTED. A buffer that is too small fails with
// ERROR_INSUFFICIENT_BUFFER and the needed size in *ReturnLength.
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         LPDWORD ReturnLength);

// --- Account names ---

// The SID, domain and kind of an account name ("name" or "DOMAIN\name")
// of the identity mapping (platform/accounts.h) on the local machine
// (lpSystemName NULL, empty or this machine's name; another machine fails
// with RPC_S_SERVER_UNAVAILABLE). When a buffer is too small (or NULL),
// fails with ERROR_INSUFFICIENT_BUFFER and sets *cbSid and
// *cchReferencedDomainName to the sizes needed (the domain's with its
// terminator); on success *cchReferencedDomainName is the domain's length.
// An unknown name fails with ERROR_NONE_MAPPED and both sizes 0.
BOOL LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse);

// The name, domain and kind of a SID, with the same buffer protocol
// (*cchName and *cchReferencedDomainName). ERROR_NONE_MAPPED for a SID
// that names no account here, ERROR_INVALID_SID for an invalid one.
BOOL LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName,
                       LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                       PSID_NAME_USE peUse);

// --- Logon ---

#define LOGON32_LOGON_INTERACTIVE 2u
#define LOGON32_LOGON_NETWORK 3u
#define LOGON32_PROVIDER_DEFAULT 0u

// Checks a password against the account's salted hash with crypt(3): a
// host user's from the shadow database, when this process may read it, a
// user of the system store from the store. The domain is NULL, empty, "."
// or this machine's name. On success *phToken is a token of that user, to
// close with CloseHandle (it carries no information to query). Every refusal (unknown user, wrong password, a
// locked or passwordless account, an unreadable shadow database) fails with
// ERROR_LOGON_FAILURE, as Windows gives no reason to a caller.
BOOL LogonUserW(LPCWSTR lpszUsername, LPCWSTR lpszDomain, LPCWSTR lpszPassword,
                DWORD dwLogonType, DWORD dwLogonProvider, PHANDLE phToken);

// --- Account rights (LSA) ---

using ACCESS_MASK = DWORD;
using LSA_HANDLE = void*;
using PLSA_HANDLE = LSA_HANDLE*;
using LSA_UNICODE_STRING = UNICODE_STRING;
using PLSA_UNICODE_STRING = LSA_UNICODE_STRING*;

struct LSA_OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PLSA_UNICODE_STRING ObjectName;
    ULONG Attributes;
    LPVOID SecurityDescriptor;
    LPVOID SecurityQualityOfService;
};
using PLSA_OBJECT_ATTRIBUTES = LSA_OBJECT_ATTRIBUTES*;

#define POLICY_VIEW_LOCAL_INFORMATION 0x1u
#define POLICY_LOOKUP_NAMES 0x800u
#define POLICY_ALL_ACCESS 0xF0FFFu

constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS STATUS_NO_SUCH_PRIVILEGE = static_cast<NTSTATUS>(0xC0000060u);
constexpr NTSTATUS STATUS_INVALID_SID = static_cast<NTSTATUS>(0xC0000078u);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BBu);
constexpr NTSTATUS RPC_NT_SERVER_UNAVAILABLE = static_cast<NTSTATUS>(0xC0020017u);

// The local policy (SystemName NULL, empty or this machine). Access beyond
// looking up and viewing needs an effective uid of 0 (else
// STATUS_ACCESS_DENIED); another machine gives RPC_NT_SERVER_UNAVAILABLE.
NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING SystemName, PLSA_OBJECT_ATTRIBUTES ObjectAttributes,
                       ACCESS_MASK DesiredAccess, PLSA_HANDLE PolicyHandle);

// Grants account rights and privileges (names such as SeServiceLogonRight
// or SeBackupPrivilege; an unknown name gives STATUS_NO_SUCH_PRIVILEGE
// and nothing is granted) to any valid SID, kept in the system store.
// STATUS_ACCESS_DENIED for a policy opened for looking up only.
NTSTATUS LsaAddAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid,
                             PLSA_UNICODE_STRING UserRights, ULONG CountOfRights);

NTSTATUS LsaClose(LSA_HANDLE ObjectHandle);

// The Windows error code of an LSA status (ERROR_MR_MID_NOT_FOUND for a
// status without one).
ULONG LsaNtStatusToWinError(NTSTATUS Status);

namespace platform {

// The first relative id of the accounts of the system store: host ids map
// below it (machine-SID-(1000+id)), so the two never collide. A host id of
// kFirstStoreRid - 1000 or more has no account.
constexpr DWORD kFirstStoreRid = 0x80000000u;

// The three sub-authorities x, y, z of the machine SID.
void machine_sid_parts(DWORD parts[3]);

// S-1-5-21-x-y-z, the machine's domain.
SID machine_sid();

// S-1-5-21-x-y-z-rid, an account of the machine's domain.
SID machine_account_sid(DWORD rid);

// The relative id of an account of the machine's domain; false for other
// SIDs.
bool machine_rid_of_sid(const SID& sid, DWORD& rid);

// A SID of the NT authority (S-1-5-...) or another authority.
SID make_sid(BYTE authority, std::initializer_list<DWORD> sub_authorities);

// The standard string form of a SID (ConvertSidToStringSidA's text);
// empty for an invalid SID.
std::string sid_string(const SID& sid);

// Parses the standard string form (see ConvertStringSidToSidA).
bool parse_sid_string(const std::string& text, SID& sid);

// A copy of the SID at `sid` reading no more than its length; false when
// it is not a valid SID.
bool copy_sid(PSID sid, SID& copy);

// S-1-5-21-x-y-z-(1000+uid).
SID account_sid(DWORD uid);

// S-1-5-18, the local system account, which uid 0 also is.
SID local_system_sid();

// The host uid of an account SID of the mapping (S-1-5-18 gives 0);
// false for any other SID.
bool uid_of_sid(const SID& sid, DWORD& uid);

// The computer name: the host name up to its first dot, in upper case, cut
// to 15 characters (the length of a NetBIOS name).
std::string machine_name();

// MACHINE\name for a host user; false when the passwd database has no
// user with that uid.
bool account_name(DWORD uid, std::string& name);

}  // namespace platform
