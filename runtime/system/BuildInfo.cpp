// KALDOR::Install::BuildInfo: what kind of program a file is (its magic
// text), and the release and build it belongs to, from its version
// resource or, for Java archives, from the Jar module. Its Perl half
// FileMagic.pl (package KALDOR::Install::FileMagic) compares magic texts.
//
// GetMagicString reads a file the way the Windows C runtime reads one in
// text mode (CR LF delivered as LF, Ctrl-Z ends the data): the host's C
// library has no text mode, so the translation is ours (magic::text_mode),
// and the detectors see exactly the bytes they would see there.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "embedded_texts.h"
#include "platform/files.h"
#include "platform/unique_handle.h"
#include "platform/version.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/build_version.h"
#include "runtime/system/magic_text.h"
#include "runtime/system/module_call.h"
#include "runtime/win32/version_query.h"
#include "runtime/win32/version_records.h"
#include "runtime/win32/version_source.h"

namespace {

using lmx::version::LiveRecord;
using lmx::version::QueryRecord;
using lmx::version::ReadRecord;

const char kFileVersion[] = "\\StringFileInfo\\040904E4\\FileVersion";
const char kBuild[] = "\\StringFileInfo\\040904E4\\Build";
const char kGetVersionInfo[] = "KALDOR::Install::System::Win32::VersionInfo::GetVersionInfo";
const char kQueryVersionValue[] = "KALDOR::Install::System::Win32::VersionInfo::QueryVersionValue";
const char kJarBuildString[] = "KALDOR::Install::Jar::JarBuildString";
const char kJarBuildInfo[] = "KALDOR::Install::Jar::JarBuildInfo";

SV* new_text(pTHX_ const std::string& text) { return newSVpvn(text.data(), text.size()); }

// --- GetMagicString ---

// The first kReadSize bytes of the file as text mode delivers them, or
// absent when it cannot be opened.
std::optional<std::vector<std::uint8_t>> text_mode_head(const std::string& path) {
    platform::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!file) return std::nullopt;
    // One byte more than is looked at: it decides a CR in the last place.
    std::vector<std::uint8_t> bytes(lmx::magic::kReadSize + 1);
    std::size_t count = 0;
    DWORD n = 0;
    while (count < bytes.size() &&
           ReadFile(file.get(), bytes.data() + count, static_cast<DWORD>(bytes.size() - count), &n,
                    nullptr) &&
           n > 0)
        count += n;
    const int following = count > lmx::magic::kReadSize ? bytes[lmx::magic::kReadSize] : -1;
    count = std::min(count, lmx::magic::kReadSize);
    bytes.resize(lmx::magic::text_mode(bytes.data(), count, following));
    return bytes;
}

XS_INTERNAL(xs_GetMagicString) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::version::backslashed_path(aTHX_ ST(0), true);
    const std::optional<std::vector<std::uint8_t>> head =
        path ? text_mode_head(*path) : std::nullopt;
    if (!head) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(new_text(aTHX_ lmx::magic::classify(head->data(), head->size())));
    XSRETURN(1);
}

// --- GetBuildString ---

// A text value of a buffer filled by GetFileVersionInfoA.
std::optional<std::string> system_text(std::vector<std::uint8_t>& info, const char* query) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query, &value, &length)) return std::nullopt;
    return std::string(static_cast<const char*>(value));
}

// The build line of the file's version resource, read with the system's
// version API.
std::optional<std::string> version_build_line(const std::string& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return std::nullopt;
    std::vector<std::uint8_t> info(size);
    if (!GetFileVersionInfoA(path.c_str(), handle, size, info.data())) return std::nullopt;
    const std::optional<std::string> version = system_text(info, kFileVersion);
    if (!version) return std::nullopt;
    return lmx::build::build_line(*version, system_text(info, kBuild));
}

std::optional<std::string> jar_build_line(pTHX_ const std::string& path) {
    std::optional<std::string> line;
    lmx::call_module(aTHX_ kJarBuildString, {sv_2mortal(new_text(aTHX_ path))}, G_SCALAR,
                     [&](SV** results, int count) {
                         if (count != 1 || !SvOK(results[0])) return;
                         STRLEN length;
                         const char* text = SvPV(results[0], length);
                         if (length > 0) line = std::string(text, length);
                     });
    return line;
}

XS_INTERNAL(xs_GetBuildString) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::version::backslashed_path(aTHX_ ST(0));
    if (!path) XSRETURN_UNDEF;
    std::optional<std::string> line = version_build_line(*path);
    if (!line) line = jar_build_line(aTHX_ *path);
    if (!line) XSRETURN_UNDEF;
    line->resize(std::min(line->size(), lmx::magic::kMaxLength));
    ST(0) = sv_2mortal(new_text(aTHX_ *line));
    XSRETURN(1);
}

// --- GetBuildInfo ---

SV* new_address(pTHX_ const void* record) {
    return sv_2mortal(newSVuv(reinterpret_cast<std::uintptr_t>(record)));
}

// One call of the version module's two-call protocol, by its Perl name.
bool call_get_version_info(pTHX_ ReadRecord& record) {
    const LiveRecord<ReadRecord> live(record);
    return lmx::call_module(aTHX_ kGetVersionInfo, {new_address(aTHX_ &record)}, G_SCALAR,
                            [](SV**, int) {});
}

// A text value of the version block through the version module's
// QueryVersionValue, narrowed to bytes.
std::optional<std::string> module_text(pTHX_ const std::vector<std::uint8_t>& block,
                                       const char* query) {
    const std::uint8_t* value = nullptr;
    std::size_t length = 0;
    QueryRecord record{block.data(), block.size(), query, &value, &length};
    const LiveRecord<QueryRecord> live(record);
    if (!lmx::call_module(aTHX_ kQueryVersionValue, {new_address(aTHX_ &record)}, G_SCALAR,
                          [](SV**, int) {}) ||
        value == nullptr)
        return std::nullopt;
    return lmx::version::narrow_text(value, length);
}

// JarBuildInfo(path): ("Build", [major, minor, patch, build, ...]).
std::optional<lmx::build::Numbers> jar_build_numbers(pTHX_ const std::string& path) {
    std::optional<lmx::build::Numbers> numbers;
    lmx::call_module(aTHX_ kJarBuildInfo, {sv_2mortal(new_text(aTHX_ path))}, G_LIST,
                     [&](SV** results, int count) {
                         if (count != 2 || !SvOK(results[0]) ||
                             std::strcmp(SvPV_nolen(results[0]), "Build") != 0 ||
                             !SvROK(results[1]) || SvTYPE(SvRV(results[1])) != SVt_PVAV)
                             return;
                         AV* list = reinterpret_cast<AV*>(SvRV(results[1]));
                         if (av_len(list) < 3) return;
                         std::int32_t part[4];
                         for (SSize_t i = 0; i < 4; ++i) {
                             SV** element = av_fetch(list, i, 0);
                             part[i] =
                                 element != nullptr ? static_cast<std::int32_t>(SvIV(*element)) : 0;
                         }
                         numbers = lmx::build::Numbers{part[0], part[1], part[2], part[3]};
                     });
    return numbers;
}

SV* new_build_array(pTHX_ const lmx::build::Numbers& n) {
    AV* list = newAV();
    for (const std::int32_t value : {n.major, n.minor, n.patch, n.build})
        av_push(list, newSViv(value));
    return newRV_noinc(reinterpret_cast<SV*>(list));
}

XS_INTERNAL(xs_GetBuildInfo) {
    dXSARGS;
    if (items != 1) XSRETURN_EMPTY;
    const lmx::version::VersionSource source(aTHX_ ST(0));
    const lmx::version::VersionData data = lmx::version::read_version(
        source.key(), source.reader(),
        [&](ReadRecord& record) { return call_get_version_info(aTHX_ record); });
    const bool jar = data.magic && data.magic->compare(0, 3, "JAR") == 0;

    std::optional<lmx::build::Numbers> numbers;
    if (data.block && !jar) {
        if (const std::optional<std::string> version = module_text(aTHX_ *data.block, kFileVersion))
            numbers = lmx::build::build_numbers(*version, module_text(aTHX_ *data.block, kBuild));
    }
    if (!numbers && jar)
        numbers = source.is_object() ? lmx::build::Numbers{0, 0, 0, 0}
                                     : jar_build_numbers(aTHX_ source.path());

    HV* result = newHV();
    if (numbers) lmx::hash_store(aTHX_ result, "Build", new_build_array(aTHX_ *numbers));
    if (data.magic) lmx::hash_store(aTHX_ result, "magic", *data.magic);
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(result)));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::BuildInfo::GetMagicString", xs_GetMagicString},
    {"KALDOR::Install::BuildInfo::GetBuildString", xs_GetBuildString},
    {"KALDOR::Install::BuildInfo::GetBuildInfo", xs_GetBuildInfo},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__BuildInfo) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "BuildInfo", kFunctions, &lmx::kFileMagicText);
}
