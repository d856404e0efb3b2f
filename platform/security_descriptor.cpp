#include "platform/security_descriptor.h"

#include <cstring>

namespace platform::sd {
namespace {

constexpr BYTE kDescriptorRevision = 1;
constexpr size_t kSidHeaderSize = 8;

void put16(std::string& out, WORD value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void set32(std::string& out, size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

WORD get16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

bool basic_type(BYTE type) { return type <= SYSTEM_ALARM_ACE_TYPE; }

// The SID that `offset` names in the block, when it lies within it.
bool part_sid(const BYTE* bytes, size_t size, DWORD offset, std::optional<SID>& sid) {
    if (offset == 0) return true;
    SID read;
    size_t length;
    if (offset >= size || !decode_sid(bytes + offset, size - offset, read, length)) return false;
    sid = read;
    return true;
}

// The ACL that `offset` names, when the control word says it is present.
bool part_acl(const BYTE* bytes, size_t size, bool present, DWORD offset,
              std::optional<std::vector<Ace>>& acl) {
    if (!present) return true;
    // Present with offset 0 is the NULL ACL, which this system never writes
    // and does not accept: it would stand for "everyone, everything".
    if (offset == 0 || offset >= size) return false;
    std::vector<Ace> aces;
    if (!decode_acl(bytes + offset, size - offset, aces)) return false;
    acl = std::move(aces);
    return true;
}

}  // namespace

std::string encode_sid(const SID& sid) {
    std::string out;
    out += static_cast<char>(sid.Revision);
    out += static_cast<char>(sid.SubAuthorityCount);
    for (BYTE b : sid.IdentifierAuthority.Value) out += static_cast<char>(b);
    for (BYTE i = 0; i < sid.SubAuthorityCount && i < SID_MAX_SUB_AUTHORITIES; ++i)
        put32(out, sid.SubAuthority[i]);
    return out;
}

bool decode_sid(const BYTE* bytes, size_t size, SID& sid, size_t& length) {
    if (size < kSidHeaderSize || bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES)
        return false;
    length = kSidHeaderSize + 4u * bytes[1];
    if (length > size) return false;
    sid = SID{};
    sid.Revision = bytes[0];
    sid.SubAuthorityCount = bytes[1];
    std::memcpy(sid.IdentifierAuthority.Value, bytes + 2, 6);
    for (BYTE i = 0; i < sid.SubAuthorityCount; ++i)
        sid.SubAuthority[i] = get32(bytes + kSidHeaderSize + 4u * i);
    return true;
}

bool encode_acl(const std::vector<Ace>& aces, std::string& block) {
    std::string body;
    for (const Ace& ace : aces) {
        const std::string sid = encode_sid(ace.sid);
        if (body.size() + kAclHeaderSize + kAceHeaderSize + sid.size() > kMaxAclSize) return false;
        body += static_cast<char>(ace.type);
        body += static_cast<char>(ace.flags);
        put16(body, static_cast<WORD>(kAceHeaderSize + sid.size()));
        put32(body, ace.mask);
        body += sid;
    }
    block.clear();
    block += static_cast<char>(ACL_REVISION);
    block += '\0';
    put16(block, static_cast<WORD>(kAclHeaderSize + body.size()));
    put16(block, static_cast<WORD>(aces.size()));
    put16(block, 0);
    block += body;
    return true;
}

bool decode_acl(const BYTE* bytes, size_t size, std::vector<Ace>& aces) {
    if (size < kAclHeaderSize) return false;
    const BYTE revision = bytes[0];
    const size_t acl_size = get16(bytes + 2);
    const size_t count = get16(bytes + 4);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS || acl_size < kAclHeaderSize ||
        acl_size > size)
        return false;
    std::vector<Ace> read;
    size_t at = kAclHeaderSize;
    for (size_t i = 0; i < count; ++i) {
        if (acl_size - at < kAceHeaderSize) return false;
        const BYTE* p = bytes + at;
        const size_t ace_size = get16(p + 2);
        if (ace_size < kAceHeaderSize + kSidHeaderSize || ace_size > acl_size - at ||
            !basic_type(p[0]))
            return false;
        Ace ace;
        size_t sid_length;
        ace.type = p[0];
        ace.flags = p[1];
        ace.mask = get32(p + 4);
        if (!decode_sid(p + kAceHeaderSize, ace_size - kAceHeaderSize, ace.sid, sid_length))
            return false;
        read.push_back(ace);
        at += ace_size;
    }
    aces = std::move(read);
    return true;
}

bool encode(const Descriptor& descriptor, std::string& block) {
    WORD control = static_cast<WORD>(descriptor.control | SE_SELF_RELATIVE);
    control = static_cast<WORD>((control & ~(SE_DACL_PRESENT | SE_SACL_PRESENT)) |
                                (descriptor.dacl ? SE_DACL_PRESENT : 0) |
                                (descriptor.sacl ? SE_SACL_PRESENT : 0));
    std::string out;
    out += static_cast<char>(kDescriptorRevision);
    out += '\0';
    put16(out, control);
    out.append(16, '\0');  // the four offsets, filled in below
    auto append_acl = [&out](const std::optional<std::vector<Ace>>& acl, size_t field) {
        if (!acl) return true;
        std::string bytes;
        if (!encode_acl(*acl, bytes)) return false;
        set32(out, field, static_cast<DWORD>(out.size()));
        out += bytes;
        return true;
    };
    auto append_sid = [&out](const std::optional<SID>& sid, size_t field) {
        if (!sid) return;
        set32(out, field, static_cast<DWORD>(out.size()));
        out += encode_sid(*sid);
    };
    if (!append_acl(descriptor.sacl, 12) || !append_acl(descriptor.dacl, 16)) return false;
    append_sid(descriptor.owner, 4);
    append_sid(descriptor.group, 8);
    block = std::move(out);
    return true;
}

bool decode(const BYTE* bytes, size_t size, Descriptor& descriptor) {
    if (bytes == nullptr || size < kDescriptorHeaderSize || bytes[0] != kDescriptorRevision)
        return false;
    Descriptor read;
    read.control = get16(bytes + 2);
    if (!(read.control & SE_SELF_RELATIVE)) return false;
    if (!part_sid(bytes, size, get32(bytes + 4), read.owner) ||
        !part_sid(bytes, size, get32(bytes + 8), read.group) ||
        !part_acl(bytes, size, read.control & SE_SACL_PRESENT, get32(bytes + 12), read.sacl) ||
        !part_acl(bytes, size, read.control & SE_DACL_PRESENT, get32(bytes + 16), read.dacl))
        return false;
    descriptor = std::move(read);
    return true;
}

bool decode(const std::string& block, Descriptor& descriptor) {
    return decode(reinterpret_cast<const BYTE*>(block.data()), block.size(), descriptor);
}

}  // namespace platform::sd
