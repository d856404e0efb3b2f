// KALDOR::Install::GnuTar: writes tar archives of files, directories,
// symbolic links and Perl strings, compressed with gzip at level 9 in the
// process or by an external compressor that reads the tar stream on its
// standard input and writes the archive to its standard output. The header
// blocks come from tar_writer.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/unique_handle.h"
#include "runtime/archive/gz_stream.h"
#include "runtime/archive/tar_writer.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

namespace tar = lmx::tar;
using platform::UniqueHandle;

const char kClass[] = "KALDOR::Install::GnuTar";
const char kKey[] = "obj";
constexpr std::uint32_t kReading = 0;
constexpr std::uint32_t kWriting = 1;
constexpr size_t kMaxCommandLine = 4095;
constexpr size_t kCopyChunk = 128 * tar::kBlockSize;  // 64 KiB of file data per read and write
constexpr unsigned kStreamBuffer = 128 * 1024;
// What the compressor gets per write: one wake-up of it per 64 KiB rather
// than per block.
constexpr size_t kPipeChunk = 64 * 1024;
constexpr std::uint64_t kScalarOwner = 501;

// One archive writer. A thread's clone of the object gets no record (the
// stream, the pipe and the compressor belong to the original).
struct GnuTarRecord {
    lmx::GzStream stream;           // without a compressor program
    UniqueHandle compressor_input;  // our end of the compressor's standard input
    std::uint32_t mode = kReading;
    std::optional<std::string> archive_path;  // present while an archive is open
    std::uint16_t mask = 0;                   // bits removed from the modes of Add
    std::optional<std::string> compressor;
    std::optional<std::vector<std::string>> compressor_arguments;  // [0] is the program
    UniqueHandle compressor_process;
    std::string compressor_pending;  // blocks not yet written to the compressor
};

GnuTarRecord* record_of(pTHX_ SV* self) { return lmx::record_of<GnuTarRecord>(aTHX_ self, kKey); }

bool is_writing(const GnuTarRecord* r) { return r->archive_path && r->mode == kWriting; }

// Writes what is pending for the compressor; false unless all of it went.
bool flush_compressor_input(GnuTarRecord* r) {
    if (r->compressor_pending.empty()) return true;
    DWORD written = 0;
    const auto size = static_cast<DWORD>(r->compressor_pending.size());
    const bool ok = WriteFile(r->compressor_input.get(), r->compressor_pending.data(), size,
                              &written, nullptr) &&
                    written == size;
    r->compressor_pending.clear();
    return ok;
}

// Writes whole blocks to the compressor (gathered into writes of 64 KiB,
// as the gzip stream gathers them too) or to the gzip stream; false when a
// write failed.
bool write_blocks(GnuTarRecord* r, const void* data, size_t size) {
    if (r->compressor_input) {
        r->compressor_pending.append(static_cast<const char*>(data), size);
        return r->compressor_pending.size() < kPipeChunk || flush_compressor_input(r);
    }
    return r->stream && gzwrite(r->stream.get(), data, static_cast<unsigned>(size)) ==
                            static_cast<int>(size);
}

bool write_header(GnuTarRecord* r, const tar::EntryHeader& header) {
    const tar::Block block = tar::header_block(header);
    return write_blocks(r, block.data(), block.size());
}

bool write_text(GnuTarRecord* r, const std::string& blocks) {
    return write_blocks(r, blocks.data(), blocks.size());
}

// Data in blocks: the whole blocks straight from `data`, then the rest in
// a zero-padded block.
bool write_data(GnuTarRecord* r, const char* data, size_t size) {
    const size_t whole = size - size % tar::kBlockSize;
    if (whole > 0 && !write_blocks(r, data, whole)) return false;
    if (whole == size) return true;
    tar::Block last{};
    std::memcpy(last.data(), data + whole, size - whole);
    return write_blocks(r, last.data(), last.size());
}

// Copies exactly `size` bytes of the open file, padded to whole blocks.
// A file that ends early is padded with zeros to its declared size, so the
// archive stays aligned on the next header, and the copy fails; a file that
// grew is cut at the declared size.
bool copy_file_data(GnuTarRecord* r, HANDLE file, std::uint64_t size) {
    std::vector<char> chunk(kCopyChunk);
    std::uint64_t left = size;
    bool complete = true;
    while (left > 0) {
        const size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(left, chunk.size()));
        size_t got = 0;
        while (complete && got < wanted) {
            DWORD n = 0;
            if (!ReadFile(file, chunk.data() + got, static_cast<DWORD>(wanted - got), &n,
                          nullptr) ||
                n == 0)
                complete = false;
            got += n;
        }
        std::memset(chunk.data() + got, 0, chunk.size() - got);
        if (!write_data(r, chunk.data(), wanted)) return false;
        left -= wanted;
    }
    return complete;
}

// The typeflag of a file of this status, '\0' for one that tar cannot
// represent (a socket).
char typeflag_of(mode_t mode) {
    if (S_ISREG(mode)) return '0';
    if (S_ISDIR(mode)) return '5';
    if (S_ISLNK(mode)) return '2';
    if (S_ISCHR(mode)) return '3';
    if (S_ISBLK(mode)) return '4';
    if (S_ISFIFO(mode)) return '6';
    return '\0';
}

// Add: one file, directory, link, device or FIFO from disk under `name`;
// only a regular file carries data. Nothing is written when the file
// cannot be read or represented.
bool add_file(GnuTarRecord* r, const std::string& path, const std::string& name,
              std::uint32_t mode_argument) {
    struct ::stat status;
    if (crt::lstat(path.c_str(), &status) != 0) return false;
    tar::EntryHeader header;
    header.typeflag = typeflag_of(status.st_mode);
    if (header.typeflag == '\0') return false;
    const bool regular = header.typeflag == '0';
    if (regular && static_cast<std::uint64_t>(status.st_size) > tar::kMaxEntrySize) return false;
    if (header.typeflag == '2' && (!crt::readlink(path.c_str(), header.linkname) ||
                                   header.linkname.size() >= tar::kLinkNameSize))
        return false;
    if (header.typeflag == '3' || header.typeflag == '4') {
        header.devmajor = major(status.st_rdev);
        header.devminor = minor(status.st_rdev);
    }
    UniqueHandle file;
    if (regular) {
        file.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
    }
    header.name = tar::entry_name(name);
    header.mode = mode_argument != 0 ? mode_argument : (status.st_mode & 07777) & ~r->mask;
    header.uid = status.st_uid;
    header.gid = status.st_gid;
    header.size = regular ? static_cast<std::uint64_t>(status.st_size) : 0;
    header.mtime = status.st_mtime;
    if (header.name.size() > tar::kNameSize && !write_text(r, tar::long_name_records(header.name)))
        return false;
    if (!write_header(r, header)) return false;
    return !regular || copy_file_data(r, file.get(), header.size);
}

// The compressor's command line: the quoted program, then each argument
// as it is; empty when it would exceed the limit.
std::string compressor_command_line(const GnuTarRecord* r) {
    std::string line = "\"" + *r->compressor + "\"";
    if (r->compressor_arguments)
        for (size_t i = 1; i < r->compressor_arguments->size(); ++i)
            line += " " + (*r->compressor_arguments)[i];
    return line.size() <= kMaxCommandLine ? line : std::string();
}

// Starts the compressor with its standard input on a pipe whose other end
// we keep and its standard output on the newly created archive file. The
// process's standard input and output are replaced while it starts and
// put back afterwards, whether the start succeeded or not.
bool start_compressor(GnuTarRecord* r) {
    std::string line = compressor_command_line(r);
    if (line.empty()) return false;
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE self = GetCurrentProcess();
    const HANDLE saved_input = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE saved_output = GetStdHandle(STD_OUTPUT_HANDLE);
    UniqueHandle pipe_read, pipe_write, pipe_write_own, archive, thread;
    PROCESS_INFORMATION child{};
    bool started =
        CreatePipe(pipe_read.out(), pipe_write.out(), &inheritable, 0) &&
        SetStdHandle(STD_INPUT_HANDLE, pipe_read.get()) &&
        DuplicateHandle(self, pipe_write.get(), self, pipe_write_own.out(), 0, FALSE,
                        DUPLICATE_SAME_ACCESS) &&
        pipe_write.reset();
    if (started) {
        archive.reset(CreateFileA(r->archive_path->c_str(), GENERIC_WRITE, 0, &inheritable,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        started = archive && SetStdHandle(STD_OUTPUT_HANDLE, archive.get());
    }
    if (started) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = pipe_read.get();
        startup.hStdOutput = archive.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &child);
    }
    const bool restored = SetStdHandle(STD_INPUT_HANDLE, saved_input) &&
                          SetStdHandle(STD_OUTPUT_HANDLE, saved_output);
    if (!started) return false;
    thread.reset(child.hThread);
    UniqueHandle process(child.hProcess);
    // Unless the streams are back, the start fails: the compressor then
    // reads the end of its input at once and ends.
    if (!restored) return false;
    r->compressor_process = std::move(process);
    r->compressor_input = std::move(pipe_write_own);
    return true;
}

// Opens the archive for reading or writing; false with nothing kept open.
bool open_archive(GnuTarRecord* r, const std::string& path, std::uint32_t mode) {
    r->archive_path = path;
    r->mode = mode;
    bool opened;
    if (r->compressor) {
        opened = start_compressor(r);
    } else {
        const int fd = crt::open(path.c_str(),
                                 mode == kWriting ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY);
        r->stream.reset(fd >= 0 ? gzdopen(fd, mode == kWriting ? "wb9" : "rb") : nullptr);
        if (fd >= 0 && !r->stream) crt::close(fd);
        if (r->stream) gzbuffer(r->stream.get(), kStreamBuffer);
        opened = r->stream != nullptr;
    }
    if (!opened) {
        r->archive_path.reset();
        r->mode = kReading;
    }
    return opened;
}

// Finishes the archive: the two end blocks, then the compressor's end of
// input and its exit code, or the gzip stream's last write. The setting
// (path, mode, mask, compressor) is cleared. True only when everything
// was written and the compressor exited with 0.
bool close_archive(pTHX_ GnuTarRecord* r) {
    const std::string end(2 * tar::kBlockSize, '\0');
    bool ok = write_text(r, end);
    if (r->compressor_input) ok = flush_compressor_input(r) && ok;
    if (r->compressor_process) {
        r->compressor_input.reset();
        DWORD code = 0;
        if (WaitForSingleObject(r->compressor_process.get(), INFINITE) == WAIT_FAILED) {
            PerlIO_printf(PerlIO_stderr(), "WaitForSingleObject failed %d, error = %d\n", -1,
                          static_cast<int>(GetLastError()));
            ok = false;
        } else if (!GetExitCodeProcess(r->compressor_process.get(), &code)) {
            PerlIO_printf(PerlIO_stderr(), "GetExitCodeProcess failed, error = %d\n",
                          static_cast<int>(GetLastError()));
            ok = false;
        } else {
            ok = ok && code == 0;
        }
        r->compressor_process.reset();
    }
    // The stream's last buffered data goes out here: a failure means a
    // truncated archive.
    if (r->stream) ok = gzclose(r->stream.release()) == Z_OK && ok;
    r->compressor_input.reset();
    r->archive_path.reset();
    r->mode = kReading;
    r->mask = 0;
    r->compressor.reset();
    r->compressor_arguments.reset();
    return ok;
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items > 1) XSRETURN_UNDEF;
    const std::string class_name = items == 1 ? lmx::class_arg(aTHX_ ST(0), kClass) : kClass;
    ST(0) = lmx::new_object(aTHX_ class_name.c_str(), kKey, std::make_unique<GnuTarRecord>());
    XSRETURN(1);
}

XS_INTERNAL(xs_setCompressor) {
    dXSARGS;
    GnuTarRecord* r = items == 2 || items == 3 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    const std::optional<std::string> program = lmx::text_arg(aTHX_ ST(1));
    if (!program) XSRETURN_UNDEF;
    r->compressor = *program;
    r->compressor_arguments.reset();
    AV* list = nullptr;
    if (items == 3) {
        SvGETMAGIC(ST(2));
        if (SvROK(ST(2)) && SvTYPE(SvRV(ST(2))) == SVt_PVAV) list = (AV*)SvRV(ST(2));
    }
    if (list != nullptr && av_count(list) > 0) {
        std::vector<std::string> arguments{*program};
        for (SSize_t i = 0; i <= av_top_index(list); ++i) {
            SV** element = av_fetch(list, i, 0);
            arguments.push_back(element ? lmx::text_arg(aTHX_ *element).value_or("") : "");
        }
        r->compressor_arguments = std::move(arguments);
    }
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_OpenArchive) {
    dXSARGS;
    GnuTarRecord* r = items >= 2 && items <= 4 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || r->archive_path) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    if (!path || path->empty()) XSRETURN_UNDEF;
    const std::string mode = items >= 3 ? lmx::text_arg(aTHX_ ST(2)).value_or("") : "";
    if (!mode.empty() && mode[0] != 'r' && mode[0] != 'w') XSRETURN_UNDEF;
    const std::uint32_t open_mode = !mode.empty() && mode[0] == 'w' ? kWriting : kReading;
    // A compressor only writes: starting it would replace the archive that
    // is to be read.
    if (open_mode == kReading && r->compressor) XSRETURN_UNDEF;
    r->mask = items == 4 ? static_cast<std::uint16_t>(lmx::iv_arg(aTHX_ ST(3))) : 0;
    if (!open_archive(r, *path, open_mode)) {
        r->mask = 0;
        XSRETURN_UNDEF;
    }
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Add) {
    dXSARGS;
    GnuTarRecord* r = items >= 2 && items <= 5 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !is_writing(r)) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    const std::optional<std::string> name =
        items >= 3 ? lmx::text_arg(aTHX_ ST(2)) : std::optional<std::string>();
    if (!path || path->empty() || (name && name->empty())) XSRETURN_UNDEF;
    const auto mode = items == 5 ? static_cast<std::uint32_t>(lmx::iv_arg(aTHX_ ST(4))) : 0u;
    if (!add_file(r, *path, name.value_or(*path), mode)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_AddLink) {
    dXSARGS;
    GnuTarRecord* r = items == 3 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !is_writing(r)) XSRETURN_UNDEF;
    const std::optional<std::string> name = lmx::text_arg(aTHX_ ST(1));
    const std::optional<std::string> target = lmx::text_arg(aTHX_ ST(2));
    // Both live in 100-byte fields; a longer one would be cut, so it is refused.
    if (!name || !target || name->empty() || target->empty() || name->size() >= tar::kNameSize ||
        target->size() >= tar::kLinkNameSize)
        XSRETURN_UNDEF;
    tar::EntryHeader header;
    header.name = tar::entry_name(*name);
    header.mode = 0777;
    header.mtime = std::time(nullptr);
    header.typeflag = '2';
    header.linkname = *target;
    if (!write_header(r, header)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_AddScalar) {
    dXSARGS;
    GnuTarRecord* r = items == 3 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !is_writing(r)) XSRETURN_UNDEF;
    const std::optional<std::string> name = lmx::text_arg(aTHX_ ST(1));
    if (!name || name->empty() || name->size() >= tar::kNameSize || !lmx::is_defined(aTHX_ ST(2)))
        XSRETURN_UNDEF;
    STRLEN length;
    const char* data = SvPV_nomg(ST(2), length);
    length = strnlen(data, length);  // the content ends at the first NUL
    if (length == 0) XSRETURN_UNDEF;
    tar::EntryHeader header;
    header.name = tar::entry_name(*name);
    header.mode = 0440;
    header.uid = kScalarOwner;
    header.gid = kScalarOwner;
    header.size = length;
    header.mtime = std::time(nullptr);
    header.version[1] = '0';
    if (!write_header(r, header) || !write_data(r, data, length)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_CloseArchive) {
    dXSARGS;
    GnuTarRecord* r = items == 1 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !close_archive(aTHX_ r)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    GnuTarRecord* r = items == 1 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r != nullptr) {
        if (r->archive_path) close_archive(aTHX_ r);
        lmx::free_record<GnuTarRecord>(aTHX_ ST(0), kKey);
    }
    XSRETURN_UNDEF;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::GnuTar::new", xs_new},
    {"KALDOR::Install::GnuTar::setCompressor", xs_setCompressor},
    {"KALDOR::Install::GnuTar::OpenArchive", xs_OpenArchive},
    {"KALDOR::Install::GnuTar::Add", xs_Add},
    {"KALDOR::Install::GnuTar::AddLink", xs_AddLink},
    {"KALDOR::Install::GnuTar::AddScalar", xs_AddScalar},
    {"KALDOR::Install::GnuTar::CloseArchive", xs_CloseArchive},
    {"KALDOR::Install::GnuTar::DESTROY", xs_DESTROY},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__GnuTar) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "GnuTar", kFunctions);
}
