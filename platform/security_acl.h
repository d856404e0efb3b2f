// Security descriptors and ACLs of files, directories and shares (advapi32
// GetSecurityInfo for file objects, GetNamedSecurityInfoA,
// GetSecurityDescriptorDacl, GetExplicitEntriesFromAclA, SetEntriesInAclA,
// SetSecurityInfo, SetNamedSecurityInfoA). Files and directories keep
// their descriptors as platform/file_security.h describes; a share's
// descriptor lives in the system store beside the share.
//
// Descriptors, ACLs and entry lists handed out are single blocks to
// release with LocalFree; the SIDs and ACLs that the out-parameters point
// to lie inside them.
#pragma once

#include "platform/security.h"
#include "platform/security_descriptor.h"
#include "platform/types.h"

#define SE_LMSHARE static_cast<SE_OBJECT_TYPE>(5)

#define GROUP_SECURITY_INFORMATION 0x2u
#define DACL_SECURITY_INFORMATION 0x4u
#define SACL_SECURITY_INFORMATION 0x8u
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000u
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000u

#define NO_INHERITANCE 0x0u
#define SUB_OBJECTS_ONLY_INHERIT 0x1u
#define SUB_CONTAINERS_ONLY_INHERIT 0x2u
#define SUB_CONTAINERS_AND_OBJECTS_INHERIT 0x3u
#define INHERIT_NO_PROPAGATE 0x4u
#define INHERIT_ONLY 0x8u

enum ACCESS_MODE {
    NOT_USED_ACCESS = 0,
    GRANT_ACCESS,
    SET_ACCESS,
    DENY_ACCESS,
    REVOKE_ACCESS,
    SET_AUDIT_SUCCESS,
    SET_AUDIT_FAILURE,
};

enum MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_IMPERSONATE };

enum TRUSTEE_FORM {
    TRUSTEE_IS_SID,
    TRUSTEE_IS_NAME,
    TRUSTEE_BAD_FORM,
    TRUSTEE_IS_OBJECTS_AND_SID,
    TRUSTEE_IS_OBJECTS_AND_NAME,
};

enum TRUSTEE_TYPE { TRUSTEE_IS_UNKNOWN, TRUSTEE_IS_USER, TRUSTEE_IS_GROUP };

struct TRUSTEE_A {
    TRUSTEE_A* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPSTR ptstrName;  // a name, or a PSID, OBJECTS_AND_SID* or OBJECTS_AND_NAME_A* by form
};

struct EXPLICIT_ACCESS_A {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_A Trustee;
};
using PEXPLICIT_ACCESS_A = EXPLICIT_ACCESS_A*;

struct OBJECTS_AND_SID {
    DWORD ObjectsPresent;
    GUID ObjectTypeGuid;
    GUID InheritedObjectTypeGuid;
    SID* pSid;
};

struct OBJECTS_AND_NAME_A {
    DWORD ObjectsPresent;
    SE_OBJECT_TYPE ObjectType;
    LPSTR ObjectTypeName;
    LPSTR InheritedObjectTypeName;
    LPSTR ptstrName;
};

// The descriptor of an open file or directory (SE_FILE_OBJECT; the handle
// of CreateFileA). Reached through GetSecurityInfo of platform/security.h,
// which hands file objects to it.
DWORD get_file_security_info(HANDLE handle, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                             PACL* dacl, PSECURITY_DESCRIPTOR* descriptor);

// A file or directory by path (SE_FILE_OBJECT) or a share of the store by
// name (SE_LMSHARE; NERR_NetNameNotFound for an unknown one). A share
// without a stored descriptor has the default one: owner
// BUILTIN\Administrators, group NT AUTHORITY\SYSTEM, Everyone allowed to
// read and execute.
DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                            PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

// The DACL of a self-relative descriptor (the only kind the layer makes);
// ERROR_INVALID_SECURITY_DESCR for a block that does not decode.
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL* lpbDaclPresent,
                               PACL* pDacl, BOOL* lpbDaclDefaulted);

// The explicit entries of an ACL (inherited entries are left out), in its
// order: allow entries as SET_ACCESS, deny entries as DENY_ACCESS, audit
// entries as SET_AUDIT_SUCCESS or SET_AUDIT_FAILURE; trustees by SID.
// ERROR_INVALID_ACL for a block that does not decode.
DWORD GetExplicitEntriesFromAclA(PACL pacl, ULONG* pcCountOfExplicitEntries,
                                 PEXPLICIT_ACCESS_A* pListOfExplicitEntries);

// A new ACL from the old one (or none) and the entries, applied in order:
// GRANT_ACCESS adds rights to the trustee's allow entry of the same
// inheritance, SET_ACCESS replaces the trustee's entries by one allow
// entry, DENY_ACCESS adds a deny entry, REVOKE_ACCESS removes the
// trustee's entries; deny entries come first. Trustees by SID or by name
// (ERROR_NONE_MAPPED for an unknown name); a trustee without a name or
// SID, multiple trustees, audit modes and inheritance flags beyond 0xF
// give ERROR_INVALID_PARAMETER; an ACL over 65,535 bytes
// ERROR_ALLOTTED_SPACE_EXCEEDED. Nothing at all (no entries, no old ACL)
// gives *NewAcl NULL.
DWORD SetEntriesInAclA(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_A pListOfExplicitEntries,
                       PACL OldAcl, PACL* NewAcl);

// Sets the owner (OWNER_SECURITY_INFORMATION) and/or the DACL
// (DACL_SECURITY_INFORMATION, with PROTECTED_DACL_SECURITY_INFORMATION to
// stop inheritance) of an open file or directory. A NULL DACL (full access
// for everyone) is refused with ERROR_INVALID_PARAMETER; group and SACL
// information give ERROR_NOT_SUPPORTED.
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl);

// The same by path (SE_FILE_OBJECT) or for a share (SE_LMSHARE: the
// descriptor is stored in the system store; the share's path is untouched).
DWORD SetNamedSecurityInfoA(LPSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                            PACL pDacl, PACL pSacl);
