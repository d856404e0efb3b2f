// The arguments of the build- and version-information functions: paths,
// whose slashes become backslashes in the caller's own string before use,
// and the data source of GetBuildInfo and SysVersionInfo: an extraction
// object of KALDOR::Install::Untgz (a blessed hash), read through its
// ExtractRead in 512-byte blocks, or a file opened in binary mode.
#pragma once

#include <optional>
#include <string>

#include "platform/unique_handle.h"
#include "runtime/host/owned_sv.h"
#include "runtime/host/perl_api.h"
#include "runtime/win32/version_stream.h"

namespace lmx::version {

// The path with every "/" turned into "\", written back into the caller's
// variable unless it is read-only; absent for undef (and, with
// `strings_only`, for a value that holds no string).
std::optional<std::string> backslashed_path(pTHX_ SV* argument, bool strings_only = false);

class VersionSource {
   public:
    // An extraction object, or else a path that is opened for reading.
    VersionSource(pTHX_ SV* argument);
    VersionSource(const VersionSource&) = delete;
    VersionSource& operator=(const VersionSource&) = delete;

    bool is_object() const { return object_ != nullptr; }
    const std::string& path() const { return path_; }
    const void* key() const { return this; }
    const BlockReader& reader() const { return read_; }

   private:
    SV* object_ = nullptr;
    OwnedSV data_;  // the buffer that ExtractRead fills
    std::string path_;
    platform::UniqueHandle file_;
    BlockReader read_;
};

}  // namespace lmx::version
