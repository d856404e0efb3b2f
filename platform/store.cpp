#include "platform/store.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/security.h"
#include "platform/store_internal.h"

namespace platform {
namespace store {
namespace {

constexpr const char* kDefaultMachinePart = "/var/lib/lmxrun/machine.db";

std::mutex& cache_lock() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::shared_ptr<Part>>& cache() {
    static auto* parts = new std::map<std::string, std::shared_ptr<Part>>;
    return *parts;
}

// The working directory when the layer was loaded: the caller's, before the
// runtime changes into its own directory.
const std::string& start_dir() {
    static const std::string dir = [] {
        std::string dir;
        return crt::getcwd(dir) ? dir : std::string("/");
    }();
    return dir;
}
[[maybe_unused]] const std::string& start_dir_taken = start_dir();

// LMX_STORE_DIR, a relative one taken from the start directory, so that the
// runtime (which changes directory) and the tools find the same store.
std::string store_dir() {
    const char* dir = std::getenv("LMX_STORE_DIR");
    if (dir == nullptr || *dir == '\0') return std::string();
    return dir[0] == '/' ? std::string(dir) : start_dir() + "/" + dir;
}

// The part at `path` when this process has it open already.
std::shared_ptr<Part> cached_part(const std::string& path) {
    std::lock_guard<std::mutex> guard(cache_lock());
    auto found = cache().find(path);
    return found == cache().end() ? nullptr : found->second;
}

// The part at `path`, from the cache or newly opened.
std::shared_ptr<Part> shared_part(const std::string& path, PartKind kind, const std::string& sid,
                                  uid_t owner, mode_t file_mode, mode_t dir_mode) {
    failure.clear();
    std::lock_guard<std::mutex> guard(cache_lock());
    auto found = cache().find(path);
    if (found != cache().end()) return found->second;
    auto state = std::make_unique<Part::State>();
    state->kind = kind;
    state->sid = sid;
    state->path = path;
    state->components = components();
    state->owner = owner;
    state->file_mode = file_mode;
    state->dir_mode = dir_mode;
    auto part = std::make_shared<Part>(std::move(state));
    const DWORD rc = ensure_connected(*part);
    if (rc) {
        SetLastError(rc);
        return nullptr;
    }
    cache()[path] = part;
    return part;
}

// The users directory of LMX_STORE_DIR exists before any user part: every
// user may add a part there, and only remove their own (1777, as /tmp).
void make_users_dir(const std::string& dir) {
    if (make_dirs(dir, 0755, static_cast<uid_t>(-1)) == ERROR_SUCCESS &&
        ::mkdir((dir + "/users").c_str(), 01777) == 0)
        ::chmod((dir + "/users").c_str(), 01777);
}

// Parses a SID in its text form into `sid`.
bool parse_sid(const std::string& text, SID& sid) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.compare(1, 3, "-1-") != 0)
        return false;
    sid = SID{};
    sid.Revision = SID_REVISION;
    const char* p = text.c_str() + 4;
    bool authority = true;
    while (true) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(p, &end, 10);
        if (errno || v > 0xFFFFFFFFull) return false;
        if (authority) {
            for (int i = 0; i < 4; ++i) sid.IdentifierAuthority.Value[5 - i] = (v >> (8 * i)) & 0xFF;
            authority = false;
        } else {
            if (sid.SubAuthorityCount == SID_MAX_SUB_AUTHORITIES) return false;
            sid.SubAuthority[sid.SubAuthorityCount++] = static_cast<DWORD>(v);
        }
        if (*end == '\0') return true;
        if (*end != '-') return false;
        p = end + 1;
    }
}

std::string sid_text(const SID& sid) {
    char* text = nullptr;
    SID copy = sid;
    if (!ConvertSidToStringSidA(&copy, &text)) return std::string();
    std::string result = text;
    LocalFree(text);
    return result;
}

// The host uid and the canonical text of a user's SID, remembered for each
// text (the machine SID they depend on does not change).
bool user_of_sid(const std::string& text, DWORD& uid, std::string& canonical) {
    struct User {
        bool known;
        DWORD uid;
        std::string canonical;
    };
    static std::mutex lock;
    static auto* users = new std::map<std::string, User>;
    std::lock_guard<std::mutex> guard(lock);
    auto found = users->find(text);
    if (found == users->end()) {
        User user{false, 0, std::string()};
        SID sid;
        if (parse_sid(text, sid) && uid_of_sid(sid, user.uid)) {
            user.canonical = sid_text(account_sid(user.uid));
            user.known = !user.canonical.empty();
        }
        found = users->emplace(text, user).first;
    }
    uid = found->second.uid;
    canonical = found->second.canonical;
    return found->second.known;
}

// The user's data directory ($XDG_DATA_HOME for this process's user).
bool data_home(uid_t uid, std::string& dir) {
    if (uid == ::geteuid()) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (xdg && xdg[0] == '/') {
            dir = xdg;
            return true;
        }
        const char* home = std::getenv("HOME");
        if (home && home[0] == '/') {
            dir = std::string(home) + "/.local/share";
            return true;
        }
    }
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    dir = std::string(found->pw_dir) + "/.local/share";
    return true;
}

}  // namespace

Part::Part(std::unique_ptr<State> state) : state_(std::move(state)) {}

Part::~Part() {
    if (state_->generation == fork_generation())
        close_connection(state_->conn);
    else
        abandon_connection(state_->conn);
}

PartKind Part::kind() const { return state_->kind; }
const std::string& Part::sid() const { return state_->sid; }
const std::string& Part::path() const { return state_->path; }
bool Part::writable() const { return state_->writable; }

std::shared_ptr<Part> machine_part() {
    const std::string dir = store_dir();
    const std::string path = dir.empty() ? std::string(kDefaultMachinePart) : dir + "/machine.db";
    if (std::shared_ptr<Part> part = cached_part(path)) return part;
    if (!dir.empty()) make_users_dir(dir);
    return shared_part(path, PartKind::Machine, std::string(), static_cast<uid_t>(-1), 0644, 0755);
}

std::shared_ptr<Part> user_part(const std::string& sid) {
    DWORD uid = 0;
    std::string canonical;
    if (!user_of_sid(sid, uid, canonical)) {
        failure = sid + ": not a user of this machine";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const uid_t owner = ::geteuid() == 0 && uid != 0 ? static_cast<uid_t>(uid)
                                                     : static_cast<uid_t>(-1);
    const std::string dir = store_dir();
    if (!dir.empty()) {
        const std::string path = dir + "/users/" + canonical + ".db";
        if (std::shared_ptr<Part> part = cached_part(path)) return part;
        make_users_dir(dir);
        return shared_part(path, PartKind::User, canonical, owner, 0600, 0755);
    }
    std::string home;
    if (!data_home(static_cast<uid_t>(uid), home)) {
        failure = sid + ": the user has no home directory";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return shared_part(home + "/lmxrun/user.db", PartKind::User, canonical, owner, 0600, 0700);
}

std::string current_user_sid() {
    static std::mutex lock;
    static uid_t cached_uid = static_cast<uid_t>(-1);
    static std::string cached;
    const uid_t uid = ::geteuid();
    std::lock_guard<std::mutex> guard(lock);
    if (cached.empty() || cached_uid != uid) {
        cached = sid_text(account_sid(static_cast<DWORD>(uid)));
        cached_uid = uid;
    }
    return cached;
}

std::shared_ptr<Part> current_user_part() {
    // The same user in the same environment has the same part: remembered,
    // so that HKCU costs no SID or path work per call.
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    const std::string where = std::string(variable("LMX_STORE_DIR")) + '\n' +
                              variable("XDG_DATA_HOME") + '\n' + variable("HOME");
    const uid_t uid = ::geteuid();
    static std::mutex lock;
    static uid_t last_uid = static_cast<uid_t>(-1);
    static auto* last_where = new std::string;
    static auto* last_part = new std::shared_ptr<Part>;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (*last_part && last_uid == uid && *last_where == where) return *last_part;
    }
    std::shared_ptr<Part> part = user_part(current_user_sid());
    if (part) {
        std::lock_guard<std::mutex> guard(lock);
        last_uid = uid;
        *last_where = where;
        *last_part = part;
    }
    return part;
}

std::vector<std::string> user_part_sids() {
    std::vector<std::string> sids{current_user_sid()};
    const std::string dir = store_dir();
    if (dir.empty()) return sids;
    DIR* users = ::opendir((dir + "/users").c_str());
    if (users == nullptr) return sids;
    while (const struct dirent* entry = ::readdir(users)) {
        const std::string name = entry->d_name;
        if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".db") != 0) continue;
        DWORD uid = 0;
        std::string canonical;
        if (user_of_sid(name.substr(0, name.size() - 3), uid, canonical) &&
            canonical == name.substr(0, name.size() - 3) && canonical != sids[0])
            sids.push_back(canonical);
    }
    ::closedir(users);
    return sids;
}

std::shared_ptr<Part> open_part_file(const std::string& path, PartKind kind,
                                     const std::string& sid,
                                     const std::vector<const Component*>& with) {
    failure.clear();
    auto state = std::make_unique<Part::State>();
    state->kind = kind;
    state->sid = sid;
    state->path = path;
    state->components = with;
    state->file_mode = kind == PartKind::Machine ? 0644 : 0600;
    auto part = std::make_shared<Part>(std::move(state));
    const DWORD rc = ensure_connected(*part);
    if (rc) {
        SetLastError(rc);
        return nullptr;
    }
    return part;
}

const std::string& failure_text() { return failure; }

const std::string& boot_id() {
    static const std::string id = [] {
        std::string text;
        read_small_file("/proc/sys/kernel/random/boot_id", text);
        text.erase(std::min(text.find('\n'), text.size()));
        return text.empty() ? std::string("unknown") : text;
    }();
    return id;
}

}  // namespace store
}  // namespace platform
