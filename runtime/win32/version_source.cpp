#include "runtime/win32/version_source.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"
#include "runtime/host/arguments.h"
#include "runtime/system/module_call.h"

namespace lmx::version {
namespace {

bool is_blessed_hash(pTHX_ SV* value) {
    return sv_isobject(value) && SvTYPE(SvRV(value)) == SVt_PVHV;
}

}  // namespace

std::optional<std::string> backslashed_path(pTHX_ SV* argument, bool strings_only) {
    std::optional<std::string> path = strings_only ? string_arg(aTHX_ argument)
                                                   : text_arg(aTHX_ argument);
    if (!path) return std::nullopt;
    if (path->find('/') == std::string::npos) return path;
    std::replace(path->begin(), path->end(), '/', '\\');
    set_output(aTHX_ argument, *path);
    return path;
}

VersionSource::VersionSource(pTHX_ SV* argument) {
    if (is_blessed_hash(aTHX_ argument)) {
        object_ = argument;
        data_.reset(aTHX_ newSVpvs(""));
        read_ = [this, interpreter = aTHX](std::uint8_t* buffer, std::size_t size) -> long {
            dTHXa(interpreter);
            SV* data = data_.get();
            long count = 0;
            const bool called = call_module(
                aTHX_ "KALDOR::Install::Untgz::ExtractRead", {object_, data}, G_SCALAR,
                [&](SV** results, int n) {
                    count = n == 1 && SvOK(results[0]) ? static_cast<long>(SvIV(results[0])) : 0;
                });
            if (!called || count <= 0) return 0;
            STRLEN length;
            const char* bytes = SvPV(data, length);
            const std::size_t copied =
                std::min<std::size_t>({length, size, static_cast<std::size_t>(count)});
            std::memcpy(buffer, bytes, copied);
            return static_cast<long>(copied);
        };
        return;
    }
    path_ = backslashed_path(aTHX_ argument).value_or("");
    if (!path_.empty())
        file_.reset(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    read_ = [this](std::uint8_t* buffer, std::size_t size) -> long {
        DWORD count = 0;
        if (!file_ || !ReadFile(file_.get(), buffer, static_cast<DWORD>(size), &count, nullptr))
            return 0;
        return static_cast<long>(count);
    };
}

}  // namespace lmx::version
