// The administration part of the system store, while this build has no
// store: an empty store that takes no change.
// TODO(store): back these with the system store's tables (admin_store.h).
#include "platform/admin_store.h"

#include <unistd.h>

namespace platform::store {
namespace {

DWORD no_store() { return ::geteuid() == 0 ? ERROR_NOT_SUPPORTED : ERROR_ACCESS_DENIED; }

}  // namespace

bool find_user(const std::string&, User&) { return false; }
bool find_user(DWORD, User&) { return false; }
std::vector<User> users() { return {}; }
bool find_group(const std::string&, Group&) { return false; }
bool find_group(DWORD, Group&) { return false; }
DWORD add_user(User&) { return no_store(); }
DWORD delete_user(DWORD) { return no_store(); }
DWORD add_group(Group&) { return no_store(); }
DWORD delete_group(DWORD) { return no_store(); }

std::vector<std::string> members(const std::string&) { return {}; }
std::vector<std::string> groups_with_member(const std::string&) { return {}; }
DWORD add_member(const std::string&, const std::string&) { return no_store(); }

DWORD add_account_rights(const std::string&, const std::vector<std::string>&) {
    return no_store();
}

bool find_share(const std::string&, Share&) { return false; }
DWORD add_share(const Share&) { return no_store(); }
DWORD delete_share(const std::string&) { return no_store(); }
bool share_security(const std::string&, std::string&) { return false; }
DWORD set_share_security(const std::string&, const std::string&) { return NERR_NetNameNotFound; }

std::vector<std::pair<char, std::string>> drive_mappings() { return {}; }

DWORD append_pending_file_rename(const std::string&, const std::string&) { return no_store(); }

}  // namespace platform::store
