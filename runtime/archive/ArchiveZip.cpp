// LMX::Common::Archive::Zip: the zip counterpart of the tar.gz reader, with
// the same object shapes. It opens entries by name or takes the current
// entry; every member object of an archive reads from, and closes, the one
// entry that the archive's unzip handle has open.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "runtime/archive/member_seek.h"
#include "runtime/archive/zip_entry.h"
#include "runtime/archive/zip_index.h"
#include "runtime/archive/zip_io.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

const char kArchiveClass[] = "LMX::Common::Archive::Zip";
const char kMemberClass[] = "LMX::Common::Archive::Zip::File";
const char kArchiveKey[] = "arch";
const char kMemberKey[] = "file";
const char kOwnerKey[] = "archive";  // keeps a member's archive object alive

struct ZipArchive {
    lmx::zip::UnzipHandle handle;
    std::uint32_t entry_count = 0;  // from the global information
    bool use_cache = false;         // recorded by usecache; reading does not depend on it
    lmx::zip::OpenEntry entry;      // the entry open for reading, shared by all members
    lmx::zip::EntryIndex index;     // names and positions, read on the first search
};

// A member reads through its archive, which it finds through the archive
// object that its hash keeps alive (under kOwnerKey).
struct ZipMember {
    std::uint32_t delivered = 0;  // bytes delivered by sysread
};

ZipArchive* archive_arg(pTHX_ SV* object) {
    return lmx::record_of<ZipArchive>(aTHX_ object, kArchiveKey);
}

struct MemberAndArchive {
    ZipMember* member = nullptr;
    ZipArchive* archive = nullptr;
};

// A member and its archive; both null unless the member and the archive
// object it keeps still hold their records.
MemberAndArchive member_arg(pTHX_ SV* object) {
    ZipMember* m = lmx::record_of<ZipMember>(aTHX_ object, kMemberKey);
    ZipArchive* a = m ? archive_arg(aTHX_ lmx::hash_fetch(aTHX_ lmx::hash_of(object), kOwnerKey))
                      : nullptr;
    if (a == nullptr) return {};
    return {m, a};
}

std::unique_ptr<ZipArchive> open_archive(const std::string& path) {
    struct ::stat status;
    if (path.empty() || crt::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    lmx::zip::UnzipHandle handle = lmx::zip::open_for_reading(path.c_str());
    if (handle == nullptr) return nullptr;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(handle.get(), &global) != UNZ_OK) return nullptr;
    auto a = std::make_unique<ZipArchive>();
    a->handle = std::move(handle);
    a->entry_count = static_cast<std::uint32_t>(global.number_entry);
    return a;
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 1 && items != 2) XSRETURN_UNDEF;
    const std::string class_name = items == 2 ? lmx::class_arg(aTHX_ ST(0), kArchiveClass)
                                              : std::string(kArchiveClass);
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(items - 1));
    if (!path) XSRETURN_UNDEF;
    std::unique_ptr<ZipArchive> a = open_archive(*path);
    if (a == nullptr) XSRETURN_UNDEF;
    ST(0) = lmx::new_object(aTHX_ class_name.c_str(), kArchiveKey, std::move(a));
    XSRETURN(1);
}

XS_INTERNAL(xs_open) {
    dXSARGS;
    ZipArchive* a = items == 1 || items == 2 ? archive_arg(aTHX_ ST(0)) : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    if (items == 2) {
        const std::optional<std::string> name = lmx::text_arg(aTHX_ ST(1));
        if (!name || name->empty() || !a->index.find(a->handle.get(), a->entry_count, *name))
            XSRETURN_UNDEF;
    }
    if (!a->entry.open(a->handle.get())) XSRETURN_UNDEF;
    SV* member = lmx::new_object(aTHX_ kMemberClass, kMemberKey, std::make_unique<ZipMember>());
    lmx::hash_store(aTHX_ lmx::hash_of(member), kOwnerKey, newRV_inc(SvRV(ST(0))));
    ST(0) = member;
    XSRETURN(1);
}

XS_INTERNAL(xs_usecache) {
    dXSARGS;
    ZipArchive* a = items == 2 ? archive_arg(aTHX_ ST(0)) : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    SvGETMAGIC(ST(1));
    a->use_cache = SvTRUE_nomg(ST(1));
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_destroy) {
    dXSARGS;
    if (items == 1) lmx::free_record<ZipArchive>(aTHX_ ST(0), kArchiveKey);
    XSRETURN_EMPTY;
}

XS_INTERNAL(xs_member_read) {
    dXSARGS;
    ZipArchive* a = items == 1 ? member_arg(aTHX_ ST(0)).archive : nullptr;
    if (a == nullptr) XSRETURN_UNDEF;
    SV* data = sv_2mortal(newSVpvn("", 0));
    if (!lmx::zip::read_rest(aTHX_ a->entry, a->handle.get(), data)) XSRETURN_UNDEF;
    ST(0) = data;
    XSRETURN(1);
}

XS_INTERNAL(xs_member_sysread) {
    dXSARGS;
    const MemberAndArchive ma = items == 3 ? member_arg(aTHX_ ST(0)) : MemberAndArchive{};
    if (ma.member == nullptr) XSRETURN_UNDEF;
    SV* buffer = ST(1);
    const IV wanted = lmx::iv_arg(aTHX_ ST(2));
    if (SvREADONLY(buffer) || wanted < 0) XSRETURN_UNDEF;
    const std::uint64_t length = std::min<std::uint64_t>(wanted, lmx::zip::kMaxHeldBytes);
    const std::int64_t n = lmx::zip::read_into(aTHX_ ma.archive->entry, ma.archive->handle.get(),
                                               buffer, length);
    SvSETMAGIC(buffer);
    if (n < 0) XSRETURN_UNDEF;
    ma.member->delivered += static_cast<std::uint32_t>(n);
    XSRETURN_IV(n);
}

XS_INTERNAL(xs_member_sysseek) {
    dXSARGS;
    ZipMember* m = items == 3 ? member_arg(aTHX_ ST(0)).member : nullptr;
    if (m == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(lmx::member_seek(m->delivered, lmx::iv_arg(aTHX_ ST(1)), lmx::iv_arg(aTHX_ ST(2))));
}

XS_INTERNAL(xs_member_close) {
    dXSARGS;
    ZipArchive* a = items == 1 ? member_arg(aTHX_ ST(0)).archive : nullptr;
    if (a == nullptr || a->entry.close(a->handle.get()) != UNZ_OK) XSRETURN_UNDEF;
    lmx::free_record<ZipMember>(aTHX_ ST(0), kMemberKey);
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_member_destroy) {
    dXSARGS;
    if (items == 1) {
        const MemberAndArchive ma = member_arg(aTHX_ ST(0));
        if (ma.archive != nullptr) ma.archive->entry.close(ma.archive->handle.get());
        lmx::free_record<ZipMember>(aTHX_ ST(0), kMemberKey);
    }
    XSRETURN_EMPTY;
}

const lmx::NativeFunction kFunctions[] = {
    {"LMX::Common::Archive::Zip::new", xs_new},
    {"LMX::Common::Archive::Zip::open", xs_open},
    {"LMX::Common::Archive::Zip::usecache", xs_usecache},
    {"LMX::Common::Archive::Zip::DESTROY", xs_destroy},
    {"LMX::Common::Archive::Zip::File::read", xs_member_read},
    {"LMX::Common::Archive::Zip::File::sysread", xs_member_sysread},
    {"LMX::Common::Archive::Zip::File::sysseek", xs_member_sysseek},
    {"LMX::Common::Archive::Zip::File::close", xs_member_close},
    {"LMX::Common::Archive::Zip::File::DESTROY", xs_member_destroy},
};

}  // namespace

XS_EXTERNAL(boot_LMX__Common__Archive__Zip) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "ArchiveZip", kFunctions);
}
