// LMX::Common::Archive::Tar: a sequential reader of tar.gz (and plain tar)
// archives for the module loader. It walks the members in order and streams
// the data of one member at a time through the gzip layer, seeking only to
// rewind.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "runtime/archive/gz_stream.h"
#include "runtime/archive/member_seek.h"
#include "runtime/archive/pax_header.h"
#include "runtime/archive/tar_header.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

using namespace lmx::tar;

constexpr unsigned kStreamBuffer = 128 * 1024;
constexpr std::int64_t kChunk = 64 * 1024;
const char kArchiveClass[] = "LMX::Common::Archive::Tar";
const char kMemberClass[] = "LMX::Common::Archive::Tar::File";
const char kArchiveKey[] = "arch";
const char kMemberKey[] = "file";
const char kOwnerKey[] = "archive";  // keeps a member's archive object alive

struct TarArchive {
    lmx::GzStream stream;                     // null once closed after a bad header
    unsigned char header[kKeptHeaderSize]{};  // the current header; all zero when clear
    std::string name;                         // the current entry's name, pax records applied
    std::int64_t remaining = 0;               // data bytes of the current member not consumed
    std::int64_t position = 0;                // uncompressed bytes consumed since the start
    std::optional<std::string> error;         // why the walk ended early
};

// A member stream reads through its archive, which it finds through the
// archive object that its hash keeps alive (under kOwnerKey).
struct TarMember {
    std::uint32_t delivered = 0;  // bytes delivered by sysread
};

bool header_is_clear(const TarArchive* a) { return a->header[0] == '\0'; }

void clear_header(TarArchive* a) {
    std::memset(a->header, 0, sizeof a->header);
    a->name.clear();
}

// Keeps the first fault of a walk.
void record_fault(TarArchive* a, std::string text) {
    if (!a->error) a->error = std::move(text);
}

// The stream's own text for a read error (a CRC mismatch, for example).
std::string stream_error_text(TarArchive* a) {
    int code = Z_OK;
    const char* text =
        a->stream ? lmx::gz_error_text(a->stream.get(), code) : "the archive is closed";
    return code == Z_ERRNO ? crt::strerror(errno) : text;
}

std::string cut_short_text(const TarArchive* a) {
    return a->name.empty() ? "unexpected end of archive"
                           : "unexpected end of archive in the data of " + a->name;
}

enum class ReadEnd { kDone, kShort, kError };

// Reads `length` bytes of the stream and hands them to `sink` in pieces,
// counting them into the position; a short read or a read error is
// recorded. Memory grows only by what arrives, whatever the length claims.
template <class Sink>
ReadEnd read_bytes(TarArchive* a, std::int64_t length, Sink&& sink) {
    char buffer[kChunk];
    while (length > 0) {
        const auto want = static_cast<size_t>(std::min(length, kChunk));
        const lmx::GzRead r =
            a->stream ? lmx::gz_read(a->stream.get(), buffer, want) : lmx::GzRead{0, true};
        a->position += static_cast<std::int64_t>(r.got);
        length -= static_cast<std::int64_t>(r.got);
        if (r.got > 0) sink(static_cast<const char*>(buffer), r.got);
        if (r.error) {
            record_fault(a, stream_error_text(a));
            return ReadEnd::kError;
        }
        if (r.got < want) {
            record_fault(a, cut_short_text(a));
            return ReadEnd::kShort;
        }
    }
    return ReadEnd::kDone;
}

// Up to `length` bytes of the current member's data to `sink`.
template <class Sink>
ReadEnd read_member_data(TarArchive* a, std::int64_t length, Sink&& sink) {
    return read_bytes(a, std::min(length, a->remaining), [&](const char* data, size_t n) {
        a->remaining -= static_cast<std::int64_t>(n);
        sink(data, n);
    });
}

// Skips what is left of the current member and its padding.
bool skip_rest(TarArchive* a) {
    auto discard = [](const char*, size_t) {};
    if (a->remaining > 0 && read_member_data(a, a->remaining, discard) != ReadEnd::kDone)
        return false;
    const std::int64_t padding = (kBlockSize - a->position % kBlockSize) % kBlockSize;
    return read_bytes(a, padding, discard) == ReadEnd::kDone;
}

// The archive is unusable from here on.
bool close_for_good(TarArchive* a, std::string fault) {
    record_fault(a, std::move(fault));
    clear_header(a);
    a->stream.reset();
    return false;
}

// The end block was read: the rest of the gzip stream is read so that a cut
// trailer or a CRC mismatch is found.
bool end_of_archive(TarArchive* a) {
    clear_header(a);
    switch (lmx::gz_read_to_end(a->stream.get())) {
        case lmx::GzEnd::kComplete: break;
        case lmx::GzEnd::kCutShort: record_fault(a, "unexpected end of archive"); break;
        case lmx::GzEnd::kReadError: record_fault(a, stream_error_text(a)); break;
    }
    return true;
}

// Moves past the rest of the current member and reads the next header,
// taking the records of a pax header for the header after it. At the end
// of the archive the header is left clear.
bool advance(TarArchive* a) {
    if (a->stream == nullptr) return false;
    PaxRecords pax;
    for (;;) {
        if (!skip_rest(a)) return false;
        a->remaining = 0;
        unsigned char block[kBlockSize];
        const std::string previous = a->name;
        a->name.clear();  // a cut header is no member's data
        const lmx::GzRead r = lmx::gz_read(a->stream.get(), block, kBlockSize);
        a->position += static_cast<std::int64_t>(r.got);
        if (r.error) return close_for_good(a, stream_error_text(a));
        // A stream that ends at a header is an archive without end blocks,
        // unless the gzip stream itself was cut.
        if (r.got == 0 && !lmx::gz_cut_short(a->stream.get())) {
            clear_header(a);
            return false;
        }
        if (r.got < kBlockSize) {
            record_fault(a, "unexpected end of archive");
            clear_header(a);
            return false;
        }
        if (block[0] == '\0') return end_of_archive(a);
        HeaderNumbers numbers;
        const HeaderFault fault = check_header(block, numbers);
        if (fault != HeaderFault::kNone)
            return close_for_good(a, std::string(fault_text(fault)) +
                                         (previous.empty() ? "" : " after " + previous));
        std::memcpy(a->header, block, kKeptHeaderSize);
        if (block[kTypeOffset] == kPaxEntryType) {
            if (static_cast<std::uint64_t>(numbers.size) > kPaxHeaderLimit)
                return close_for_good(a, "extended header too large after " + previous);
            std::string records;
            a->remaining = numbers.size;
            auto keep = [&records](const char* data, size_t n) { records.append(data, n); };
            if (read_member_data(a, numbers.size, keep) != ReadEnd::kDone) return false;
            parse_pax_records(records, pax);
            continue;
        }
        a->name = pax.path ? *pax.path : full_name(block);
        a->remaining = pax.size ? *pax.size : numbers.size;
        return true;
    }
}

void rewind_archive(TarArchive* a) {
    if (a->stream != nullptr) {
        gzrewind(a->stream.get());
        a->error.reset();
    }
    a->remaining = 0;
    a->position = 0;
    clear_header(a);
}

// Opens the archive at `path`; null unless it is a plain file whose first
// block carries the ustar magic. A gzip stream that fails its check before
// the first block could be delivered (zlib checks a small archive whole)
// gives an archive that holds nothing but that fault.
std::unique_ptr<TarArchive> open_archive(const char* path) {
    struct ::stat status;
    if (*path == '\0' || crt::stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    lmx::GzStream stream = lmx::open_gzip_file(path, kStreamBuffer);
    if (stream == nullptr) return nullptr;
    auto a = std::make_unique<TarArchive>();
    a->stream = std::move(stream);
    unsigned char block[kBlockSize];
    const lmx::GzRead first = lmx::gz_read(a->stream.get(), block, kBlockSize);
    if (first.error && !gzdirect(a->stream.get())) {
        close_for_good(a.get(), stream_error_text(a.get()));
        return a;
    }
    if (first.got != kBlockSize || !has_ustar_magic(block)) return nullptr;
    gzrewind(a->stream.get());
    return a;
}

// Appends up to `length` bytes of the current member's data to `target`;
// false on a read error.
bool append_member_data(pTHX_ TarArchive* a, SV* target, std::int64_t length) {
    auto append = [&](const char* data, size_t n) { sv_catpvn_nomg(target, data, n); };
    return read_member_data(a, length, append) != ReadEnd::kError;
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
    ST(0) = sv_2mortal(newSVpvn(a->name.data(), a->name.size()));
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
    if (!header_is_clear(a) && a->name == name) return true;
    rewind_archive(a);
    for (;;) {
        if (!advance(a) || header_is_clear(a)) return false;
        if (a->name == name) return true;
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

// Why the walk ended early (a cut archive, a bad header, a gzip check that
// failed), or undef when it did not.
XS_INTERNAL(xs_error) {
    dXSARGS;
    TarArchive* a = items == 1 ? archive_arg(aTHX_ ST(0)) : nullptr;
    if (a == nullptr || !a->error) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(a->error->data(), a->error->size()));
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
    if (!append_member_data(aTHX_ a, data, a->remaining)) XSRETURN_UNDEF;
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
    if (a->stream == nullptr) XSRETURN_UNDEF;
    sv_setpvn(buffer, "", 0);
    SvUTF8_off(buffer);  // member data are bytes
    const bool read = append_member_data(aTHX_ a, buffer, wanted);
    SvSETMAGIC(buffer);
    if (!read) XSRETURN_UNDEF;
    const auto n = static_cast<IV>(SvCUR(buffer));
    m->delivered += static_cast<std::uint32_t>(n);
    XSRETURN_IV(n);
}

XS_INTERNAL(xs_member_sysseek) {
    dXSARGS;
    TarMember* m = items == 3 ? member_arg(aTHX_ ST(0)).member : nullptr;
    if (m == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(lmx::member_seek(m->delivered, lmx::iv_arg(aTHX_ ST(1)), lmx::iv_arg(aTHX_ ST(2))));
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
    {"LMX::Common::Archive::Tar::error", xs_error},
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
