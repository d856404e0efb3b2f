#include "runtime/archive/untgz_writer.h"

#include <cerrno>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "runtime/archive/extract_rules.h"
#include "runtime/host/arguments.h"

namespace lmx::untgz {
namespace {

// Creates one directory level unless it exists (as a directory) or is the
// start of an absolute path or a drive.
bool make_one_directory(UntgzState* s, const std::string& name, int mode) {
    if (name.empty() || is_drive(name)) return true;
    struct ::stat status;
    if (crt::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    if (crt::mkdir(name.c_str(), mode) == 0) return true;
    add_system_error(s, errno);
    add_error(s, "cannot create subdirectory " + name);
    return false;
}

// Creates `path` with every missing parent; a trailing separator is
// ignored, and the root is there already.
bool make_directories(UntgzState* s, const std::string& path, int mode) {
    if (path.empty()) return false;
    std::string dir = path;
    for (;;) {
        if (is_drive_root(dir)) return true;
        if (dir.empty()) return true;
        if (!is_separator(dir.back())) break;
        dir.pop_back();
    }
    for (size_t i = 0; i <= dir.size(); ++i)
        if ((i == dir.size() || is_separator(dir[i])) &&
            !make_one_directory(s, dir.substr(0, i), mode))
            return false;
    return true;
}

// The name that KALDOR::Install::FSUsage::GetFSName gives the path, or null.
// The package is booted first when its functions are not there yet.
char* filesystem_name_of(pTHX_ const char* path) {
    CV* sub = lmx::module_sub(aTHX_ "KALDOR::Install::FSUsage::GetFSName");
    if (sub == nullptr) return nullptr;
    dSP;
    char* name = nullptr;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpv(path, 0)));
    PUTBACK;
    const int count = call_sv(reinterpret_cast<SV*>(sub), G_SCALAR | G_EVAL | G_KEEPERR);
    SPAGAIN;
    if (count == 1) {
        SV* value = POPs;
        if (SvOK(value)) name = copy_text(SvPV_nolen(value));
    }
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
    FsUsageEntry** link = &s->usage;
    for (; *link != nullptr; link = &(*link)->next) {
        if ((*link)->device == device) {
            (*link)->used += used;
            (*link)->needed += needed;
            return;
        }
    }
    FsUsageEntry* entry;
    Newxz(entry, 1, FsUsageEntry);
    entry->device = device;
    entry->used = used;
    entry->needed = needed;
    entry->filesystem_name = filesystem_name_of(aTHX_ s->output_path);
    *link = entry;
}

// Whether an existing file could be replaced: it is opened for reading and
// writing without sharing, and its last byte is read, cut off and written
// back. False with one text recorded.
bool probe_writable(UntgzState* s, const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        add_error(s, GetLastError() == ERROR_SHARING_VIOLATION
                         ? "sharing violation during open of existing file"
                         : "could not open existing file");
        return false;
    }
    auto fail = [s, file](const char* text) {
        add_error(s, text);
        CloseHandle(file);
        return false;
    };
    DWORD size_high = 0;
    const DWORD size_low = GetFileSize(file, &size_high);
    if (size_low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)
        return fail("could not get file size");
    const std::uint64_t size = (static_cast<std::uint64_t>(size_high) << 32) | size_low;
    if (size == 0) {
        CloseHandle(file);
        return true;
    }
    auto seek_last_byte = [file, size]() {
        LONG high = static_cast<LONG>((size - 1) >> 32);
        const DWORD low = SetFilePointer(file, static_cast<LONG>(size - 1), &high, FILE_BEGIN);
        return low != INVALID_SET_FILE_POINTER || GetLastError() == ERROR_SUCCESS;
    };
    if (!seek_last_byte()) return fail("could not seek to eof for read");
    char last;
    DWORD done = 0;
    if (!ReadFile(file, &last, 1, &done, nullptr) || done != 1) return fail("could not read at eof");
    if (!seek_last_byte()) return fail("could not seek to eof for trunc");
    if (!SetEndOfFile(file))
        return fail(GetLastError() == ERROR_USER_MAPPED_FILE ? "file mapped by user application"
                                                               : "could not truncate");
    if (!WriteFile(file, &last, 1, &done, nullptr) || done != 1)
        return fail("could not write at eof");
    CloseHandle(file);
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
// created and deleted again, each accounted.
bool open_output(pTHX_ UntgzState* s, int directory_mode) {
    close_output(s);
    const std::string path = s->output_path;
    std::string parent;
    if (parent_directory(path, parent) && !make_directories(s, parent, directory_mode))
        return false;
    if (!s->test_run) {
        // Whatever is there goes first, a symbolic link included, so that
        // the new file never lands where a link points.
        crt::unlink(path.c_str());
        s->output = crt::fopen(path.c_str(), "wb");
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
    // Exclusive creation: a dangling link at the path is never followed.
    FILE* probe = crt::fopen(path.c_str(), "w+bx");
    if (probe == nullptr) {
        add_system_error(s, errno);
        add_error(s, "cannot create " + path);
        return false;
    }
    if (crt::stat(path.c_str(), &status) == 0) account_usage(aTHX_ s, status);
    crt::fclose(probe);
    crt::unlink(path.c_str());
    return true;
}

// Ends the entry: a regular file that was written is closed and gets the
// header's time and mode (set-id bits kept, sticky bit dropped). False when
// closing reveals a failed write.
bool finish_entry(UntgzState* s) {
    bool written = true;
    if (is_regular_file(s) && !s->test_run && s->output != nullptr) {
        const int closed = crt::fclose(s->output);
        s->output = nullptr;
        if (closed != 0) {
            add_system_error(s, errno);
            add_error(s, std::string("cannot write ") + s->output_path);
            written = false;
        } else {
            const struct timespec time = seconds(header_mtime(s));
            crt::utime(s->output_path, time, time);
            crt::chmod(s->output_path, static_cast<int>(header_mode(s) & 06777));
        }
    }
    discard_long_name(s);
    discard_output_path(s);
    return written;
}

}  // namespace

int extract_file(pTHX_ UntgzState* s) {
    s->data_touched = 1;
    clear_errors(s);
    // Without a current entry (before the first Next, after the end) there
    // is nothing to extract, and nothing to account in a test run.
    if (s->stream == nullptr || !has_entry(s)) return -1;
    const std::string name = raw_entry_name(s);
    if (s->destination != nullptr && leaves_destination(name)) {
        add_error(s, "the name leads out of the destination directory");
        add_error(s, "cannot extract " + name);
        return -1;
    }
    discard_output_path(s);
    s->output_path = copy_text(output_path(s->destination, name));
    if (is_regular_file(s)) {
        if (!open_output(aTHX_ s, directory_mode(header_mode(s)))) {
            add_error(s, "cannot extract " + name_field(s));
            return -1;
        }
    } else if (is_directory(s)) {
        if (!make_directories(s, s->output_path, static_cast<int>(header_mode(s) & 07777))) {
            add_error(s, std::string("cannot make directory ") + s->output_path);
            return -1;
        }
    }
    if (s->remaining == 0 || is_directory(s)) return finish_entry(s) ? 0 : -1;

    int write_error = 0;
    auto write = [s, &write_error](const char* data, size_t n) {
        if (s->test_run || s->output == nullptr || crt::fwrite(data, 1, n, s->output) == n)
            return true;
        write_error = errno;
        return false;
    };
    const DataEnd end = consume_blocks(s, block_span(s->remaining), write);
    if (end == DataEnd::kDone) return finish_entry(s) ? 0 : -1;
    if (end == DataEnd::kRefused) {
        add_system_error(s, write_error);
        add_error(s, std::string("cannot write ") + s->output_path);
    } else {
        add_read_errors(s, end);
    }
    return -1;
}

}  // namespace lmx::untgz
