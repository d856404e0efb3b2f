#include "runtime/archive/untgz_writer.h"

#include <cerrno>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/unique_handle.h"
#include "runtime/archive/extract_rules.h"
#include "runtime/host/arguments.h"

namespace lmx::untgz {
namespace {

const char kLeavesDestination[] = "the name leads out of the destination directory";

// Where the part of a path below the destination directory begins: levels
// of a longer prefix must not be links that lead out of it. Without a
// destination nothing is checked.
struct Confinement {
    const std::optional<std::string>& destination;
    size_t below;  // prefixes longer than this lie below the destination
};

// True when the existing level `name` below the destination is a
// directory and no link that leads out of the destination; false (with
// the text recorded when it leads out) otherwise. The level is looked at
// without following a link; a link is followed only to see where it leads.
bool confined_directory(UntgzState* s, const Confinement& c, const std::string& name) {
    struct ::stat status;
    if (crt::lstat(name.c_str(), &status) != 0) return false;
    if (!S_ISLNK(status.st_mode)) return S_ISDIR(status.st_mode);
    std::string target, root;
    if (!crt::realpath(name.c_str(), target) || !crt::realpath(c.destination->c_str(), root) ||
        !lies_within(target, root)) {
        add_error(s, kLeavesDestination);
        return false;
    }
    return crt::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates one directory level unless it exists (as a directory) or is the
// start of an absolute path or a drive.
bool make_one_directory(UntgzState* s, const Confinement& c, const std::string& name, int mode) {
    if (name.empty() || is_drive(name)) return true;
    if (c.destination && name.size() > c.below) {
        const size_t texts = s->errors.size();
        if (confined_directory(s, c, name)) return true;
        if (s->errors.size() != texts) return false;
    } else {
        struct ::stat status;
        if (crt::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    }
    if (crt::mkdir(name.c_str(), mode) == 0) return true;
    add_system_error(s, errno);
    add_error(s, "cannot create subdirectory " + name);
    return false;
}

// Creates `path` with every missing parent; a trailing separator is
// ignored, and the root is there already. The last level gets `mode`, the
// levels above it the mode of implied directories.
bool make_directories(UntgzState* s, const Confinement& c, const std::string& path, int mode,
                      int implied_mode) {
    if (path.empty()) return false;
    std::string dir = path;
    for (;;) {
        if (is_drive_root(dir)) return true;
        if (dir.empty()) return true;
        if (!is_separator(dir.back())) break;
        dir.pop_back();
    }
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i < dir.size() && !is_separator(dir[i])) continue;
        const int level_mode = i == dir.size() ? mode : implied_mode;
        if (!make_one_directory(s, c, dir.substr(0, i), level_mode)) return false;
    }
    return true;
}

// The name that KALDOR::Install::FSUsage::GetFSName gives the path, if any.
// The package is booted first when its functions are not there yet.
std::optional<std::string> filesystem_name_of(pTHX_ const std::string& path) {
    CV* sub = lmx::module_sub(aTHX_ "KALDOR::Install::FSUsage::GetFSName");
    if (sub == nullptr) return std::nullopt;
    dSP;
    std::optional<std::string> name;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvn(path.data(), path.size())));
    PUTBACK;
    const int count = call_sv(reinterpret_cast<SV*>(sub), G_SCALAR | G_EVAL | G_KEEPERR);
    SPAGAIN;
    if (count == 1) name = lmx::text_arg(aTHX_ POPs);
    PUTBACK;
    FREETMPS;
    LEAVE;
    return name;
}

// Adds the current entry's size (needed) and the size of the file that it
// replaces (used) to the usage of the filesystem that `status` lies on.
void account_usage(pTHX_ UntgzState* s, const struct ::stat& status) {
    const std::uint64_t needed = kilobytes(s->remaining);
    const std::uint64_t used = kilobytes(static_cast<std::uint64_t>(status.st_size));
    const auto device = static_cast<std::uint64_t>(status.st_dev);
    for (FsUsageEntry& entry : s->usage) {
        if (entry.device == device) {
            entry.used += used;
            entry.needed += needed;
            return;
        }
    }
    s->usage.push_back(
        FsUsageEntry{device, filesystem_name_of(aTHX_ *s->output_path), used, needed});
}

// Whether an existing file could be replaced: it is opened for reading and
// writing without sharing, and its last byte is read, cut off and written
// back. False with one text recorded.
bool probe_writable(UntgzState* s, const char* path) {
    platform::UniqueHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        add_error(s, GetLastError() == ERROR_SHARING_VIOLATION
                         ? "sharing violation during open of existing file"
                         : "could not open existing file");
        return false;
    }
    auto fail = [s](const char* text) {
        add_error(s, text);
        return false;
    };
    DWORD size_high = 0;
    const DWORD size_low = GetFileSize(file.get(), &size_high);
    if (size_low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)
        return fail("could not get file size");
    const std::uint64_t size = (static_cast<std::uint64_t>(size_high) << 32) | size_low;
    if (size == 0) return true;
    auto seek_last_byte = [&file, size]() {
        LONG high = static_cast<LONG>((size - 1) >> 32);
        const DWORD low =
            SetFilePointer(file.get(), static_cast<LONG>(size - 1), &high, FILE_BEGIN);
        return low != INVALID_SET_FILE_POINTER || GetLastError() == ERROR_SUCCESS;
    };
    if (!seek_last_byte()) return fail("could not seek to eof for read");
    char last;
    DWORD done = 0;
    if (!ReadFile(file.get(), &last, 1, &done, nullptr) || done != 1)
        return fail("could not read at eof");
    if (!seek_last_byte()) return fail("could not seek to eof for trunc");
    if (!SetEndOfFile(file.get()))
        return fail(GetLastError() == ERROR_USER_MAPPED_FILE ? "file mapped by user application"
                                                               : "could not truncate");
    if (!WriteFile(file.get(), &last, 1, &done, nullptr) || done != 1)
        return fail("could not write at eof");
    return true;
}

struct timespec seconds(std::int64_t time) {
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(time);
    return t;
}

// Opens the output file of a regular file entry, after creating its
// parent directories (in a test run too). In a test run no file stays
// open: an existing file is probed and left as it was, a new one is
// accounted after a file was created and deleted again in its directory.
bool open_output(pTHX_ UntgzState* s, const Confinement& c, int directory_mode) {
    s->output.reset();
    const std::string path = *s->output_path;
    std::string parent;
    const int implied = implied_directory_mode(directory_mode);
    if (parent_directory(path, parent) && !make_directories(s, c, parent, implied, implied))
        return false;
    if (!s->test_run) {
        // Whatever is there goes first, a symbolic link included, and the
        // new file is created exclusively: a link put there in between is
        // never followed.
        crt::unlink(path.c_str());
        s->output.reset(crt::fopen(path.c_str(), "wbx"));
        if (s->output != nullptr) return true;
        add_system_error(s, errno);
        add_error(s, "cannot open " + path + " for writing");
        return false;
    }
    struct ::stat status;
    if (crt::stat(path.c_str(), &status) == 0) {
        account_usage(aTHX_ s, status);
        if (!probe_writable(s, path.c_str())) return false;
        crt::chmod(path.c_str(), static_cast<int>(status.st_mode & 07777));
        crt::utime(path.c_str(), status.st_atim, status.st_mtim);
        return true;
    }
    // The first new file of a directory is created and deleted again: files
    // can be made there. The directory's further new files (nothing at
    // their path, not even a dangling link) are accounted on that file's
    // filesystem without an inode each, since making and deleting one per
    // file would double the filesystem's allocation work for the
    // extraction that follows.
    const bool nothing_there = crt::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
    if (nothing_there && s->probed_directory && *s->probed_directory == parent) {
        struct ::stat probed {};
        probed.st_dev = static_cast<dev_t>(s->probed_device);
        account_usage(aTHX_ s, probed);
        return true;
    }
    // Exclusive creation: a dangling link at the path is never followed.
    OutputFile probe(crt::fopen(path.c_str(), "w+bx"));
    if (probe == nullptr) {
        add_system_error(s, errno);
        add_error(s, "cannot create " + path);
        return false;
    }
    if (crt::stat(path.c_str(), &status) == 0) {
        account_usage(aTHX_ s, status);
        s->probed_directory = parent;
        s->probed_device = static_cast<std::uint64_t>(status.st_dev);
    }
    probe.reset();
    crt::unlink(path.c_str());
    return true;
}

// Ends the entry: a regular file that was written is closed and gets the
// header's time and mode (set-id bits kept, sticky bit dropped). False when
// closing reveals a failed write.
bool finish_entry(UntgzState* s) {
    bool written = true;
    if (is_regular_file(s) && !s->test_run && s->output != nullptr) {
        const int closed = crt::fclose(s->output.release());
        const char* path = s->output_path->c_str();
        if (closed != 0) {
            add_system_error(s, errno);
            add_error(s, std::string("cannot write ") + path);
            written = false;
        } else {
            const struct timespec time = seconds(s->numbers.mtime);
            crt::utime(path, time, time);
            crt::chmod(path, static_cast<int>(s->numbers.mode & 06777));
        }
    }
    s->long_name.reset();
    s->output_path.reset();
    return written;
}

}  // namespace

int extract_file(pTHX_ UntgzState* s) {
    s->data_touched = true;
    s->errors.clear();
    // Without a current entry (before the first Next, after the end) there
    // is nothing to extract, and nothing to account in a test run.
    if (s->stream == nullptr || !has_entry(s)) return -1;
    const std::string name = raw_entry_name(s);
    if (s->destination && leaves_destination(name)) {
        add_error(s, kLeavesDestination);
        add_error(s, "cannot extract " + name);
        return -1;
    }
    // Data that was read already cannot be written again: the file on disk
    // would be cut short.
    if (is_regular_file(s) && s->data_read) {
        add_error(s, "the data of the entry was read already");
        add_error(s, "cannot extract " + name);
        return -1;
    }
    s->output_path = output_path(s->destination, name);
    const Confinement confinement{s->destination, s->output_path->size() - name.size()};
    if (is_regular_file(s)) {
        if (!open_output(aTHX_ s, confinement, directory_mode(s->numbers.mode))) {
            add_error(s, "cannot extract " + name_field(s));
            return -1;
        }
    } else if (is_directory(s)) {
        const int mode = static_cast<int>(s->numbers.mode & 07777);
        const int implied = implied_directory_mode(mode);
        if (!make_directories(s, confinement, *s->output_path, mode, implied)) {
            add_error(s, "cannot make directory " + *s->output_path);
            return -1;
        }
    }
    if (s->remaining == 0 || is_directory(s)) return finish_entry(s) ? 0 : -1;

    int write_error = 0;
    auto write = [s, &write_error](const char* data, size_t n) {
        if (s->test_run || s->output == nullptr || crt::fwrite(data, 1, n, s->output.get()) == n)
            return true;
        write_error = errno;
        return false;
    };
    const DataEnd end = consume_blocks(s, block_span(s->remaining), write);
    if (end == DataEnd::kDone) return finish_entry(s) ? 0 : -1;
    if (end == DataEnd::kRefused) {
        add_system_error(s, write_error);
        add_error(s, "cannot write " + *s->output_path);
    } else {
        add_read_errors(s, end);
    }
    return -1;
}

}  // namespace lmx::untgz
