// Disk shares (netapi32 NetShareAdd, NetShareDel, NetShareGetInfo) and the
// resolution of share paths: the shares live in the system store
// (platform/admin_store.h), and "\\COMPUTER\share\rest" (or
// "\\localhost\share\rest") names the file "rest" below the share's
// directory for every call of the layer.
//
// The server name follows the rules of platform/accounts_net.h: this
// machine, or ERROR_BAD_NETPATH. There are no administrative shares (C$,
// ADMIN$, IPC$).
#pragma once

#include <string>

#include "platform/accounts_net.h"
#include "platform/types.h"

#define STYPE_DISKTREE 0u
#define ACCESS_ALL 0x7Fu
#define SHI_USES_UNLIMITED (static_cast<DWORD>(-1))

#define SHARE_NETNAME_PARMNUM 1u
#define SHARE_TYPE_PARMNUM 3u
#define SHARE_REMARK_PARMNUM 4u
#define SHARE_PATH_PARMNUM 7u

struct SHARE_INFO_2 {
    LPWSTR shi2_netname;
    DWORD shi2_type;
    LPWSTR shi2_remark;
    DWORD shi2_permissions;
    DWORD shi2_max_uses;
    DWORD shi2_current_uses;
    LPWSTR shi2_path;
    LPWSTR shi2_passwd;
};

// Level 2, disk shares only (else ERROR_INVALID_PARAMETER with
// SHARE_TYPE_PARMNUM). The name has 1 to 80 characters and none of
// "/\[]:|<>+=;?,*" or control characters (else ERROR_INVALID_NAME); the
// remark at most 256 (else ERROR_INVALID_PARAMETER). The path must name an
// existing directory of this machine, not a share (NERR_UnknownDevDir); it
// is kept as given and translated whenever the share is used. An existing
// name gives NERR_DuplicateShare.
NET_API_STATUS NetShareAdd(LPWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err);

// NERR_NetNameNotFound for an unknown share.
NET_API_STATUS NetShareDel(LPWSTR servername, LPWSTR netname, DWORD reserved);

// Level 2, with no current uses. NERR_NetNameNotFound for an unknown share.
NET_API_STATUS NetShareGetInfo(LPWSTR servername, LPWSTR netname, DWORD level, LPBYTE* bufptr);

namespace platform {

// The host path of "server\share[\rest]" (a UNC path without its two
// leading separators). False with ERROR_BAD_NETPATH for another server or
// a name without a share, ERROR_BAD_NET_NAME for an unknown share, or the
// translation's error of the share's directory.
bool share_host_path(const char* unc, std::string& host);

}  // namespace platform
