// LMX::Common::Archive::Tar: a sequential reader of tar.gz (and plain tar)
// archives for the module loader. It walks the members in order and streams
// the data of one member at a time through the gzip layer, seeking only to
// rewind.
#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "runtime/archive/gz_stream.h"
#include "runtime/archive/tar_header.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

using namespace lmx::tar;

constexpr unsigned kStreamBuffer = 128 * 1024;
const char kArchiveClass[] = "LMX::Common::Archive::Tar";
const char kMemberClass[] = "LMX::Common::Archive::Tar::File";
const char kArchiveKey[] = "arch";
const char kMemberKey[] = "file";
const char kOwnerKey[] = "archive";  // keeps a member's archive object alive

struct TarArchive {
    lmx::GzStream stream;                     // null once closed after a bad header
    unsigned char header[kKeptHeaderSize]{};  // the current header; all zero when clear
    std::int64_t remaining = 0;               // data bytes of the current member not consumed
    std::int64_t position = 0;                // uncompressed bytes consumed since the start
};

// A member stream reads through its archive, which it finds through the
// archive object that its hash keeps alive (under kOwnerKey).
struct TarMember {
    std::uint32_t delivered = 0;  // bytes delivered by sysread
};

bool header_is_clear(const TarArchive* a) { return a->header[0] == '\0'; }

void clear_header(TarArchive* a) { std::memset(a->header, 0, sizeof a->header); }

// Reads up to `length` bytes of the stream, counting them into the
// position. Returns the bytes read, or -1 on a read error.
std::int64_t read_stream(TarArchive* a, void* buffer, std::int64_t length) {
    if (a->stream == nullptr) return -1;
    std::int64_t done = 0;
    while (done < length) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::int64_t>(length - done, 1 << 30));
        const int n = gzread(a->stream.get(), static_cast<char*>(buffer) + done, chunk);
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    a->position += done;
    return done;
}

// Skips `length` bytes of the stream; false on a read error or early end.
bool skip_stream(TarArchive* a, std::int64_t length) {
    unsigned char block[kBlockSize];
    while (length > 0) {
        const std::int64_t n = read_stream(a, block, std::min<std::int64_t>(length, kBlockSize));
        if (n <= 0) return false;
        length -= n;
    }
    return true;
}

// Moves past the rest of the current member and reads the next header.
// At the end of the archive the header is left clear.
bool advance(TarArchive* a) {
    if (a->stream == nullptr) return false;
    if (a->remaining > 0 && !skip_stream(a, a->remaining)) return false;
    a->remaining = 0;
    const std::int64_t padding = (kBlockSize - a->position % kBlockSize) % kBlockSize;
    if (padding > 0 && !skip_stream(a, padding)) return false;

    unsigned char block[kBlockSize];
    if (read_stream(a, block, kBlockSize) != static_cast<std::int64_t>(kBlockSize)) return false;
    if (block[0] == '\0') {
        clear_header(a);
        return true;
    }
    if (has_ustar_magic(block)) {
        std::memcpy(a->header, block, kKeptHeaderSize);
        a->remaining = std::max<std::int64_t>(member_size(block), 0);
        return true;
    }
    // Not a tar header: the archive is unusable from here on.
    clear_header(a);
    a->stream.reset();
    return false;
}

void rewind_archive(TarArchive* a) {
    if (a->stream != nullptr) gzrewind(a->stream.get());
    a->remaining = 0;
    a->position = 0;
    clear_header(a);
}

// Reads up to `length` bytes of the current member's data.
std::int64_t read_member_data(TarArchive* a, char* buffer, std::int64_t length) {
    const std::int64_t wanted = std::min(length, a->remaining);
    if (wanted <= 0) return a->stream ? 0 : -1;
    const std::int64_t n = read_stream(a, buffer, wanted);
    if (n > 0) a->remaining -= n;
    return n;
}

// Opens the archive at `path`; null unless it is a plain file whose first
// block carries the ustar magic.
std::unique_ptr<TarArchive> open_archive(const char* path) {
    struct ::stat status;
    if (*path == '\0' || crt::stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    const int fd = crt::open(path, O_RDONLY);
    if (fd < 0) return nullptr;
    lmx::GzStream stream(gzdopen(fd, "rb"));
    if (stream == nullptr) {
        crt::close(fd);
        return nullptr;
    }
    gzbuffer(stream.get(), kStreamBuffer);
    unsigned char block[kBlockSize];
    if (gzread(stream.get(), block, kBlockSize) != static_cast<int>(kBlockSize) ||
        !has_ustar_magic(block))
        return nullptr;
    gzrewind(stream.get());
    auto a = std::make_unique<TarArchive>();
    a->stream = std::move(stream);
    return a;
}

TarArchive* archive_arg(pTHX_ SV* object) {
    return lmx::record_of<TarArchive>(aTHX_ object, kArchiveKey);
}

// A member and its archive; both null unless the member and the archive
// object it keeps still hold their records.
struct MemberAndArchive {
    TarMember* member;
    TarArchive* archive;
};

MemberAndArchive member_arg(pTHX_ SV* object) {
    TarMember* m = lmx::record_of<TarMember>(aTHX_ object, kMemberKey);
    TarArchive* a = m ? archive_arg(aTHX_ lmx::hash_fetch(aTHX_ lmx::hash_of(object), kOwnerKey))
                      : nullptr;
    if (a == nullptr) return {nullptr, nullptr};
    return {m, a};
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 1 && items != 2) XSRETURN_UNDEF;
    const std::string class_name = items == 2 ? lmx::class_arg(aTHX_ ST(0), kArchiveClass)
                                              : std::string(kArchiveClass);
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(items - 1));
    if (!path) XSRETURN_UNDEF;
    std::unique_ptr<TarArchive> a = open_archive(path->c_str());
    if (a == nullptr) XSRETURN_UNDEF;
    ST(0) = lmx::new_object(aTHX_ class_name.c_str(), kArchiveKey, std::move(a));
    XSRETURN(1);
}

XS_INTERNAL(xs_read) {
    dXSARGS;
    TarArchive* a = items == 1 ? archive_arg(aTHX_ ST(0)) : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    for (;;) {
        if (!advance(a) || header_is_clear(a)) XSRETURN_UNDEF;
        if (is_regular_file(a->header)) break;
    }
    const std::string name = member_name(a->header);
    ST(0) = sv_2mortal(newSVpvn(name.data(), name.size()));
    XSRETURN(1);
}

XS_INTERNAL(xs_rewind) {
    dXSARGS;
    TarArchive* a = items == 1 ? archive_arg(aTHX_ ST(0)) : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    rewind_archive(a);
    XSRETURN_IV(0);
}

// Makes the entry named `name` the current member: the current one when it
// has that name, else the first entry of that name from the start.
bool find_entry(TarArchive* a, const std::string& name) {
    if (!header_is_clear(a) && member_name(a->header) == name) return true;
    rewind_archive(a);
    for (;;) {
        if (!advance(a) || header_is_clear(a)) return false;
        if (member_name(a->header) == name) return true;
    }
}

XS_INTERNAL(xs_open) {
    dXSARGS;
    TarArchive* a = items == 2 ? archive_arg(aTHX_ ST(0)) : nullptr;
    const std::optional<std::string> name = a ? lmx::text_arg(aTHX_ ST(1)) : std::nullopt;
    if (!name || name->empty() || !find_entry(a, *name)) XSRETURN_UNDEF;
    SV* member = lmx::new_object(aTHX_ kMemberClass, kMemberKey, std::make_unique<TarMember>());
    lmx::hash_store(aTHX_ lmx::hash_of(member), kOwnerKey, newRV_inc(SvRV(ST(0))));
    ST(0) = member;
    XSRETURN(1);
}

XS_INTERNAL(xs_destroy) {
    dXSARGS;
    if (items == 1) lmx::free_record<TarArchive>(aTHX_ ST(0), kArchiveKey);
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_member_read) {
    dXSARGS;
    TarArchive* a = items == 1 ? member_arg(aTHX_ ST(0)).archive : nullptr;
    if (a == nullptr || a->stream == nullptr) XSRETURN_UNDEF;
    SV* data = sv_2mortal(newSVpvn("", 0));
    if (a->remaining > 0) {
        char* buffer = SvGROW(data, static_cast<STRLEN>(a->remaining) + 1);
        const std::int64_t n = read_member_data(a, buffer, a->remaining);
        if (n < 0) XSRETURN_UNDEF;
        SvCUR_set(data, static_cast<STRLEN>(n));
        *SvEND(data) = '\0';
    }
    ST(0) = data;
    XSRETURN(1);
}

XS_INTERNAL(xs_member_sysread) {
    dXSARGS;
    const MemberAndArchive ma = items == 3 ? member_arg(aTHX_ ST(0)) : MemberAndArchive{};
    TarMember* m = ma.member;
    if (m == nullptr) XSRETURN_UNDEF;
    SV* buffer = ST(1);
    const IV wanted = lmx::iv_arg(aTHX_ ST(2));
    if (SvREADONLY(buffer) || wanted < 0) XSRETURN_UNDEF;
    TarArchive* a = ma.archive;
    const std::int64_t length = std::min<std::int64_t>(wanted, std::max<std::int64_t>(a->remaining, 0));
    sv_setpvn(buffer, "", 0);
    char* bytes = SvGROW(buffer, static_cast<STRLEN>(length) + 1);
    const std::int64_t n = read_member_data(a, bytes, length);
    if (n < 0) XSRETURN_UNDEF;
    SvCUR_set(buffer, static_cast<STRLEN>(n));
    *SvEND(buffer) = '\0';
    SvSETMAGIC(buffer);
    m->delivered += static_cast<std::uint32_t>(n);
    XSRETURN_IV(n);
}

XS_INTERNAL(xs_member_sysseek) {
    dXSARGS;
    TarMember* m = items == 3 ? member_arg(aTHX_ ST(0)).member : nullptr;
    if (m == nullptr) XSRETURN_UNDEF;
    const IV offset = lmx::iv_arg(aTHX_ ST(1));
    const IV whence = lmx::iv_arg(aTHX_ ST(2));
    const bool stays = (whence == 0 && offset == static_cast<IV>(m->delivered)) ||
                       (whence == 1 && offset == 0);
    XSRETURN_IV(stays ? static_cast<IV>(m->delivered) : -1);
}

XS_INTERNAL(xs_member_close) {
    dXSARGS;
    TarArchive* a = items == 1 ? member_arg(aTHX_ ST(0)).archive : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    if (a->stream != nullptr) lmx::free_record<TarMember>(aTHX_ ST(0), kMemberKey);
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_member_destroy) {
    dXSARGS;
    if (items == 1) lmx::free_record<TarMember>(aTHX_ ST(0), kMemberKey);
    XSRETURN_EMPTY;
}

const lmx::NativeFunction kFunctions[] = {
    {"LMX::Common::Archive::Tar::new", xs_new},
    {"LMX::Common::Archive::Tar::read", xs_read},
    {"LMX::Common::Archive::Tar::rewind", xs_rewind},
    {"LMX::Common::Archive::Tar::open", xs_open},
    {"LMX::Common::Archive::Tar::DESTROY", xs_destroy},
    {"LMX::Common::Archive::Tar::File::read", xs_member_read},
    {"LMX::Common::Archive::Tar::File::sysread", xs_member_sysread},
    {"LMX::Common::Archive::Tar::File::sysseek", xs_member_sysseek},
    {"LMX::Common::Archive::Tar::File::close", xs_member_close},
    {"LMX::Common::Archive::Tar::File::DESTROY", xs_member_destroy},
};

}  // namespace

XS_EXTERNAL(boot_LMX__Common__Archive__Tar) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "ArchiveTar", kFunctions);
}
