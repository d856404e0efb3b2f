#include "platform/shares.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/accounts.h"
#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/net_buffer.h"
#include "platform/paths.h"
#include "platform/utf16.h"

using namespace platform;

namespace {

constexpr size_t kMaxShareName = 80;
constexpr size_t kMaxRemark = 256;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool valid_share_name(const std::string& name) {
    const size_t length = widen(name).size();
    if (length == 0 || length > kMaxShareName) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || std::strchr("\"/\\[]:|<>+=;?,*", c) != nullptr) return false;
    return true;
}

// A directory of this machine: not a share, translated, existing.
bool local_directory(const std::string& path) {
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return false;
    std::string host;
    struct stat st;
    return host_path(path.c_str(), host) && ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when the ".." components of a path below a share lead above the
// share's directory, as a server refuses them.
bool climbs_out(const char* rest) {
    int depth = 0;
    while (*rest) {
        while (is_separator(*rest)) ++rest;
        const char* end = rest;
        while (*end && !is_separator(*end)) ++end;
        const std::string part(rest, end);
        if (part == "..") {
            if (--depth < 0) return true;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        rest = end;
    }
    return false;
}

}  // namespace

NET_API_STATUS NetShareAdd(LPWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 2) return ERROR_INVALID_LEVEL;
    if (buf == nullptr) return ERROR_INVALID_PARAMETER;
    const auto* info = reinterpret_cast<const SHARE_INFO_2*>(buf);
    store::Share share;
    share.name = narrow(info->shi2_netname);
    share.path = narrow(info->shi2_path);
    share.remark = narrow(info->shi2_remark);
    share.password = narrow(info->shi2_passwd);
    share.permissions = info->shi2_permissions;
    share.max_uses = info->shi2_max_uses;
    auto field = [parm_err](DWORD number, NET_API_STATUS status) {
        if (parm_err) *parm_err = number;
        return status;
    };
    if (info->shi2_type != STYPE_DISKTREE)
        return field(SHARE_TYPE_PARMNUM, ERROR_INVALID_PARAMETER);
    if (!valid_share_name(share.name)) return field(SHARE_NETNAME_PARMNUM, ERROR_INVALID_NAME);
    if (widen(share.remark).size() > kMaxRemark)
        return field(SHARE_REMARK_PARMNUM, ERROR_INVALID_PARAMETER);
    if (!local_directory(share.path)) return field(SHARE_PATH_PARMNUM, NERR_UnknownDevDir);
    store::Share existing;
    if (store::find_share(share.name, existing)) return NERR_DuplicateShare;
    return store::add_share(share);
}

NET_API_STATUS NetShareDel(LPWSTR servername, LPWSTR netname, DWORD /*reserved*/) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    store::Share share;
    if (!store::find_share(narrow(netname), share)) return NERR_NetNameNotFound;
    return store::delete_share(share.name);
}

NET_API_STATUS NetShareGetInfo(LPWSTR servername, LPWSTR netname, DWORD level, LPBYTE* bufptr) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 2) return ERROR_INVALID_LEVEL;
    if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
    store::Share share;
    if (!store::find_share(narrow(netname), share)) return NERR_NetNameNotFound;
    NetBuffer<SHARE_INFO_2> block;
    SHARE_INFO_2& info = block.add();
    info.shi2_type = STYPE_DISKTREE;
    info.shi2_permissions = share.permissions;
    info.shi2_max_uses = share.max_uses;
    block.text(&SHARE_INFO_2::shi2_netname, share.name);
    block.text(&SHARE_INFO_2::shi2_remark, share.remark);
    block.text(&SHARE_INFO_2::shi2_path, share.path);
    block.text(&SHARE_INFO_2::shi2_passwd, share.password);
    return block.finish(bufptr);
}

namespace platform {

bool share_host_path(const char* unc, std::string& host) {
    const char* server_end = unc;
    while (*server_end && !is_separator(*server_end)) ++server_end;
    const char* share_begin = *server_end ? server_end + 1 : server_end;
    const char* share_end = share_begin;
    while (*share_end && !is_separator(*share_end)) ++share_end;
    store::Share share;
    if (server_end == unc || share_end == share_begin ||
        !is_this_machine(std::string(unc, server_end))) {
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    if (!store::find_share(std::string(share_begin, share_end), share)) {
        SetLastError(ERROR_BAD_NET_NAME);
        return false;
    }
    if (!local_directory(share.path) || !host_path(share.path.c_str(), host)) {
        SetLastError(ERROR_BAD_NET_NAME);
        return false;
    }
    if (climbs_out(share_end)) {
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    std::string rest;
    for (const char* p = share_end; *p; ++p) rest += *p == '\\' ? '/' : *p;
    if (!rest.empty() && !host.empty() && host.back() == '/') rest.erase(0, 1);
    host += rest;
    return true;
}

}  // namespace platform
