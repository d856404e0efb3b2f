#include "platform/shell_link.h"

#include <cstring>

#include "platform/utf16.h"

namespace platform {
namespace {

constexpr DWORD kHeaderSize = 0x4C;
constexpr BYTE kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Flags that say which parts follow the header; the encoder sets them from
// the parts it writes (it writes no environment, Darwin or icon blocks).
constexpr DWORD kPartFlags = SLDF_HAS_ID_LIST | SLDF_HAS_LINK_INFO | SLDF_HAS_NAME |
                             SLDF_HAS_RELPATH | SLDF_HAS_WORKINGDIR | SLDF_HAS_ARGS |
                             SLDF_HAS_ICONLOCATION | SLDF_UNICODE | 0x100 /* no link info */ |
                             0x200 /* environment block */ | 0x1000 /* Darwin id */ |
                             0x4000 /* icon environment block */;
constexpr DWORD kVolumeIdAndLocalBasePath = 0x1;
constexpr DWORD kCommonNetworkRelativeLink = 0x2;
constexpr DWORD kLinkInfoHeaderSize = 0x24;
constexpr DWORD kNetworkLinkHeaderSize = 0x1C;
constexpr size_t kMaxStringUnits = 0xFFFF;

class Writer {
   public:
    void u16(WORD v) { put(v, 2); }
    void u32(DWORD v) { put(v, 4); }
    void u64(ULONGLONG v) { put(v, 8); }
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const BYTE*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void ansi(const std::string& text) { bytes(text.c_str(), text.size() + 1); }
    void unicode(const std::u16string& text) {
        for (char16_t c : text) u16(c);
        u16(0);
    }
    size_t size() const { return out_.size(); }
    void patch32(size_t at, DWORD v) {
        for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<BYTE>(v >> (8 * i));
    }
    std::vector<BYTE>& data() { return out_; }

   private:
    void put(ULONGLONG v, int n) {
        for (int i = 0; i < n; ++i) out_.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    std::vector<BYTE> out_;
};

class Reader {
   public:
    Reader(const BYTE* data, size_t size) : data_(data), size_(size) {}
    bool has(size_t at, size_t n) const { return at <= size_ && n <= size_ - at; }
    DWORD u16(size_t at) const { return data_[at] | (data_[at + 1] << 8); }
    DWORD u32(size_t at) const {
        return static_cast<DWORD>(data_[at]) | (static_cast<DWORD>(data_[at + 1]) << 8) |
               (static_cast<DWORD>(data_[at + 2]) << 16) |
               (static_cast<DWORD>(data_[at + 3]) << 24);
    }
    ULONGLONG u64(size_t at) const {
        return static_cast<ULONGLONG>(u32(at)) | (static_cast<ULONGLONG>(u32(at + 4)) << 32);
    }
    // A NUL-terminated byte string that ends before `end`.
    bool ansi(size_t at, size_t end, std::string& text) const {
        if (at >= end || end > size_) return false;
        const void* nul = std::memchr(data_ + at, 0, end - at);
        if (nul == nullptr) return false;
        text.assign(reinterpret_cast<const char*>(data_ + at), static_cast<const BYTE*>(nul) - (data_ + at));
        return true;
    }
    // A NUL-terminated UTF-16 string that ends before `end`.
    bool unicode(size_t at, size_t end, std::string& text) const {
        std::u16string units;
        for (size_t p = at; p + 1 < end && p + 1 < size_; p += 2) {
            const char16_t c = static_cast<char16_t>(u16(p));
            if (c == 0) {
                text = narrow(units.data(), units.size());
                return true;
            }
            units.push_back(c);
        }
        return false;
    }
    // `count` characters at `at`, UTF-16 or bytes.
    bool counted(size_t at, size_t count, bool wide, std::string& text) const {
        const size_t n = count * (wide ? 2 : 1);
        if (!has(at, n)) return false;
        if (!wide) {
            text.assign(reinterpret_cast<const char*>(data_ + at), n);
            return true;
        }
        std::u16string units;
        for (size_t i = 0; i < count; ++i) units.push_back(static_cast<char16_t>(u16(at + 2 * i)));
        text = narrow(units.data(), units.size());
        return true;
    }

   private:
    const BYTE* data_;
    size_t size_;
};

// At most the format's 65535 units, not ending inside a surrogate pair.
std::u16string counted_units(const std::string& text) {
    std::u16string units = widen(text);
    if (units.size() > kMaxStringUnits) {
        units.resize(kMaxStringUnits);
        if (units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
    }
    return units;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// "\\server\share" and the rest of a UNC target; false for other targets.
bool split_network_target(const std::string& target, std::string& net_name, std::string& rest) {
    if (target.size() < 5 || !is_separator(target[0]) || !is_separator(target[1])) return false;
    const size_t server_end = target.find_first_of("\\/", 2);
    if (server_end == std::string::npos || server_end == 2) return false;
    size_t share_end = target.find_first_of("\\/", server_end + 1);
    if (share_end == server_end + 1) return false;
    if (share_end == std::string::npos) share_end = target.size();
    net_name = target.substr(0, share_end);
    rest = share_end < target.size() ? target.substr(share_end + 1) : "";
    return true;
}

void write_link_info(Writer& w, const ShellLink& link) {
    const size_t start = w.size();
    std::string net_name, suffix;
    const bool network = split_network_target(link.target, net_name, suffix);
    w.u32(0);  // size, patched below
    w.u32(kLinkInfoHeaderSize);
    w.u32(network ? kCommonNetworkRelativeLink : kVolumeIdAndLocalBasePath);
    const size_t offsets = w.size();
    for (int i = 0; i < 6; ++i) w.u32(0);  // volume, base, network, suffix, base/suffix UTF-16
    auto offset_here = [&](int field) {
        w.patch32(offsets + 4 * field, static_cast<DWORD>(w.size() - start));
    };
    if (network) {
        offset_here(2);
        const size_t link_start = w.size();
        const std::string ansi_name = net_name;
        w.u32(0);
        w.u32(0);  // no valid device or provider type
        w.u32(kNetworkLinkHeaderSize);
        w.u32(0);
        w.u32(0);
        w.u32(static_cast<DWORD>(kNetworkLinkHeaderSize + ansi_name.size() + 1));
        w.u32(0);
        w.ansi(ansi_name);
        w.unicode(widen(net_name));
        w.patch32(link_start, static_cast<DWORD>(w.size() - link_start));
    } else {
        offset_here(0);
        w.u32(0x11);  // the volume id with an empty label
        w.u32(link.drive_type);
        w.u32(link.drive_serial);
        w.u32(0x10);
        w.ansi("");
        offset_here(1);
        w.ansi(link.target);
    }
    offset_here(3);
    w.ansi(suffix);
    if (w.size() % 2) w.bytes("", 1);
    if (!network) {
        offset_here(4);
        w.unicode(widen(link.target));
    }
    offset_here(5);
    w.unicode(widen(suffix));
    w.patch32(start, static_cast<DWORD>(w.size() - start));
}

// The path of the link information that starts at `at`; false when it is
// malformed.
bool read_link_info(const Reader& r, size_t at, size_t size, ShellLink& link) {
    const size_t end = at + size;
    if (size < 0x1C) return false;
    const DWORD header = r.u32(at + 4);
    const DWORD flags = r.u32(at + 8);
    if (header < 0x1C || header > size) return false;
    const DWORD volume = r.u32(at + 12), base = r.u32(at + 16), network = r.u32(at + 20),
                suffix = r.u32(at + 24);
    const bool wide = header >= 0x24;
    // A string field: the UTF-16 form when the header has it, else the bytes.
    auto field = [&](DWORD ansi_offset, DWORD wide_offset, std::string& text) {
        if (wide && wide_offset != 0) return r.unicode(at + wide_offset, end, text);
        return ansi_offset != 0 && r.ansi(at + ansi_offset, end, text);
    };
    std::string tail;
    if (suffix != 0 || (wide && r.u32(at + 32) != 0))
        if (!field(suffix, wide ? r.u32(at + 32) : 0, tail)) return false;
    if (flags & kVolumeIdAndLocalBasePath) {
        std::string path;
        if (!field(base, wide ? r.u32(at + 28) : 0, path)) return false;
        if (volume != 0) {
            if (volume >= size || size - volume < 0x10 || r.u32(at + volume) < 0x10) return false;
            link.drive_type = r.u32(at + volume + 4);
            link.drive_serial = r.u32(at + volume + 8);
        }
        link.target = path + tail;
        return true;
    }
    if (flags & kCommonNetworkRelativeLink) {
        if (network == 0 || network >= size || size - network < 0x14) return false;
        const size_t link_at = at + network;
        const DWORD link_size = r.u32(link_at), name = r.u32(link_at + 8);
        if (link_size < 0x14 || link_size > size - network) return false;
        const size_t link_end = link_at + link_size;
        std::string net_name;
        const bool wide_name = name > 0x14 && link_size >= 0x1C && r.u32(link_at + 20) != 0;
        if (wide_name ? !r.unicode(link_at + r.u32(link_at + 20), link_end, net_name)
                      : (name == 0 || !r.ansi(link_at + name, link_end, net_name)))
            return false;
        link.target = tail.empty() ? net_name : net_name + "\\" + tail;
    }
    return true;
}

}  // namespace

std::vector<BYTE> encode_shell_link(const ShellLink& link) {
    const std::optional<std::string>* strings[] = {&link.description, &link.relative_path,
                                                   &link.working_directory, &link.arguments,
                                                   &link.icon_location};
    const DWORD string_flags[] = {SLDF_HAS_NAME, SLDF_HAS_RELPATH, SLDF_HAS_WORKINGDIR,
                                  SLDF_HAS_ARGS, SLDF_HAS_ICONLOCATION};
    DWORD flags = (link.flags & ~kPartFlags) | SLDF_UNICODE;
    if (!link.target.empty()) flags |= SLDF_HAS_LINK_INFO;
    for (size_t i = 0; i < 5; ++i)
        if (strings[i]->has_value()) flags |= string_flags[i];
    Writer w;
    w.u32(kHeaderSize);
    w.bytes(kLinkClsid, sizeof kLinkClsid);
    w.u32(flags);
    w.u32(link.file_attributes);
    w.u64(link.creation_time);
    w.u64(link.access_time);
    w.u64(link.write_time);
    w.u32(link.file_size);
    w.u32(static_cast<DWORD>(link.icon_index));
    w.u32(link.show_command);
    w.u16(link.hot_key);
    w.u16(0);
    w.u32(0);
    w.u32(0);
    if (flags & SLDF_HAS_LINK_INFO) write_link_info(w, link);
    for (const auto* text : strings) {
        if (!text->has_value()) continue;
        const std::u16string units = counted_units(**text);
        w.u16(static_cast<WORD>(units.size()));
        for (char16_t c : units) w.u16(c);
    }
    w.u32(0);  // the terminal extra-data block
    return std::move(w.data());
}

bool decode_shell_link(const BYTE* data, size_t size, ShellLink& link) {
    const Reader r(data, size);
    if (data == nullptr || !r.has(0, kHeaderSize) || r.u32(0) != kHeaderSize ||
        std::memcmp(data + 4, kLinkClsid, sizeof kLinkClsid) != 0)
        return false;
    ShellLink read;
    read.flags = r.u32(20);
    read.file_attributes = r.u32(24);
    read.creation_time = r.u64(28);
    read.access_time = r.u64(36);
    read.write_time = r.u64(44);
    read.file_size = r.u32(52);
    read.icon_index = static_cast<std::int32_t>(r.u32(56));
    read.show_command = r.u32(60);
    read.hot_key = static_cast<WORD>(r.u16(64));
    size_t at = kHeaderSize;
    if (read.flags & SLDF_HAS_ID_LIST) {
        if (!r.has(at, 2) || !r.has(at + 2, r.u16(at))) return false;
        at += 2 + r.u16(at);
    }
    if (read.flags & SLDF_HAS_LINK_INFO) {
        if (!r.has(at, 4)) return false;
        const DWORD info_size = r.u32(at);
        if (!r.has(at, info_size)) return false;
        // With ForceNoLinkInfo (0x100) the link information is to be ignored.
        if (!(read.flags & 0x100) && !read_link_info(r, at, info_size, read)) return false;
        at += info_size;
    }
    std::optional<std::string>* strings[] = {&read.description, &read.relative_path,
                                             &read.working_directory, &read.arguments,
                                             &read.icon_location};
    const DWORD string_flags[] = {SLDF_HAS_NAME, SLDF_HAS_RELPATH, SLDF_HAS_WORKINGDIR,
                                  SLDF_HAS_ARGS, SLDF_HAS_ICONLOCATION};
    const bool wide = read.flags & SLDF_UNICODE;
    for (size_t i = 0; i < 5; ++i) {
        if (!(read.flags & string_flags[i])) continue;
        if (!r.has(at, 2)) return false;
        const size_t count = r.u16(at);
        std::string text;
        if (!r.counted(at + 2, count, wide, text)) return false;
        *strings[i] = text;
        at += 2 + count * (wide ? 2 : 1);
    }
    link = std::move(read);
    return true;
}

}  // namespace platform
