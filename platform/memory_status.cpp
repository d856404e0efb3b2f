#include "platform/memory_status.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/internal.h"

namespace platform {
namespace {

std::optional<std::string> read_text(const std::string& path) {
    std::string text;
    if (!read_small_file(path, text)) return std::nullopt;
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> fields_of(const std::string& line, char separator = ' ') {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, separator);)
        if (separator != ' ' || !field.empty()) fields.push_back(field);
    return fields;
}

// The decimal number at the start of `text` (held to 2^64 - 1), if any.
std::optional<std::uint64_t> number_in(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    return std::strtoull(text.c_str(), nullptr, 10);
}

// A file holding one number ("max" and anything else: none).
std::optional<std::uint64_t> number_file(const std::string& path) {
    const std::optional<std::string> text = read_text(path);
    return text ? number_in(*text) : std::nullopt;
}

// The value of `key` in a memory.stat file.
std::optional<std::uint64_t> stat_value(const std::string& path, const std::string& key) {
    const std::optional<std::string> text = read_text(path);
    if (!text) return std::nullopt;
    for (const std::string& line : lines_of(*text)) {
        const std::vector<std::string> f = fields_of(line);
        if (f.size() == 2 && f[0] == key) return number_in(f[1]);
    }
    return std::nullopt;
}

// One hierarchy that may limit memory: its mount point in the tree and the
// files it keeps its figures in.
struct Hierarchy {
    std::string directory;  // of this process's group
    std::string mount_point;
    const char* limit_file;
    const char* usage_file;
    const char* inactive_key;
};

// The directory of the group `path` in the hierarchy mounted as the
// mountinfo line `fields` describes: the path relative to the mount's root.
std::string group_directory(const std::string& root, const std::vector<std::string>& fields,
                            const std::string& path) {
    const std::string& mount_root = fields[3];
    std::string below = path;
    if (mount_root != "/" && below.compare(0, mount_root.size(), mount_root) == 0)
        below = below.substr(mount_root.size());
    else if (mount_root != "/")
        below.clear();  // the group lies outside what this mount shows
    return root + fields[4] + below;
}

std::vector<Hierarchy> memory_hierarchies(const std::string& root) {
    std::string v1_path, v2_path;
    bool v1 = false, v2 = false;
    if (const std::optional<std::string> cgroup = read_text(root + "/proc/self/cgroup")) {
        for (const std::string& line : lines_of(*cgroup)) {
            const std::vector<std::string> f = fields_of(line, ':');
            if (f.size() < 3) continue;
            if (f[0] == "0" && f[1].empty()) {
                v2 = true;
                v2_path = f[2];
            }
            for (const std::string& controller : fields_of(f[1], ','))
                if (controller == "memory") {
                    v1 = true;
                    v1_path = f[2];
                }
        }
    }
    std::vector<Hierarchy> found;
    const std::optional<std::string> mounts = read_text(root + "/proc/self/mountinfo");
    if (!mounts) return found;
    for (const std::string& line : lines_of(*mounts)) {
        const std::vector<std::string> f = fields_of(line);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (dash == f.end() || f.end() - dash < 4 || f.size() < 5) continue;
        const std::string& type = dash[1];
        const std::vector<std::string> options = fields_of(dash[3], ',');
        const bool has_memory =
            std::find(options.begin(), options.end(), "memory") != options.end();
        if (type == "cgroup" && has_memory && v1)
            found.push_back({group_directory(root, f, v1_path), root + f[4],
                             "memory.limit_in_bytes", "memory.usage_in_bytes",
                             "total_inactive_file"});
        else if (type == "cgroup2" && v2)
            found.push_back({group_directory(root, f, v2_path), root + f[4], "memory.max",
                             "memory.current", "inactive_file"});
    }
    return found;
}

std::string parent_of(const std::string& directory) {
    const std::size_t slash = directory.find_last_of('/');
    return slash == std::string::npos ? std::string() : directory.substr(0, slash);
}

}  // namespace

std::optional<MemInfo> parse_meminfo(const std::string& text) {
    std::optional<std::uint64_t> total, available, free, buffers, cached;
    MemInfo info;
    for (const std::string& line : lines_of(text)) {
        const std::vector<std::string> f = fields_of(line);
        const std::optional<std::uint64_t> value = f.size() >= 2 ? number_in(f[1]) : std::nullopt;
        if (!value) continue;
        const std::uint64_t bytes = *value * (f.size() > 2 && f[2] == "kB" ? 1024 : 1);
        if (f[0] == "MemTotal:") total = bytes;
        if (f[0] == "MemAvailable:") available = bytes;
        if (f[0] == "MemFree:") free = bytes;
        if (f[0] == "Buffers:") buffers = bytes;
        if (f[0] == "Cached:") cached = bytes;
        if (f[0] == "SwapTotal:") info.swap_total = bytes;
        if (f[0] == "SwapFree:") info.swap_free = bytes;
    }
    if (!total) return std::nullopt;
    info.total = *total;
    info.available = available ? *available
                               : free.value_or(0) + buffers.value_or(0) + cached.value_or(0);
    return info;
}

std::optional<CgroupMemory> cgroup_memory(const std::string& root) {
    std::optional<CgroupMemory> lowest;
    for (const Hierarchy& h : memory_hierarchies(root)) {
        std::optional<std::uint64_t> limit;
        // The group and each ancestor up to the mount point.
        for (std::string dir = h.directory; dir.size() >= h.mount_point.size();
             dir = parent_of(dir)) {
            const std::optional<std::uint64_t> own = number_file(dir + "/" + h.limit_file);
            if (own && (!limit || *own < *limit)) limit = own;
            if (dir == h.mount_point) break;
        }
        if (!limit || (lowest && lowest->limit <= *limit)) continue;
        const std::uint64_t usage = number_file(h.directory + "/" + h.usage_file).value_or(0);
        const std::uint64_t inactive =
            stat_value(h.directory + "/memory.stat", h.inactive_key).value_or(0);
        lowest = CgroupMemory{*limit, usage > inactive ? usage - inactive : 0};
    }
    return lowest;
}

PhysicalMemory physical_memory(const MemInfo& info, const std::optional<CgroupMemory>& group) {
    PhysicalMemory memory{info.total, std::min(info.available, info.total)};
    if (group && group->limit < info.total) {
        memory.total = group->limit;
        const std::uint64_t room = group->limit > group->used ? group->limit - group->used : 0;
        memory.available = std::min(memory.available, room);
    }
    return memory;
}

}  // namespace platform
