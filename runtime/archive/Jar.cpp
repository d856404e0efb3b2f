// KALDOR::Install::Jar: reading, writing and editing zip (and Java)
// archives through minizip, and self-extracting archives made of an
// extractor program in front of a zip archive. The Perl half (Jar.pl) edits
// manifests and reads build strings on top of these natives.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "embedded_texts.h"
#include "platform/crt.h"
#include "runtime/archive/zip_entry.h"
#include "runtime/archive/zip_fileinfo.h"
#include "runtime/archive/zip_index.h"
#include "runtime/archive/zip_io.h"
#include "runtime/archive/zip_lines.h"
#include "runtime/archive/zip_sfx_fixup.h"
#include "runtime/archive/zip_writer.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

using namespace lmx::zip;

const char kClass[] = "KALDOR::Install::Jar";
const char kKey[] = "obj";
constexpr std::size_t kChunk = 8192;

enum class Mode : std::uint32_t { kRead = 0, kWrite = 1, kAppend = 2 };

struct JarState {
    std::optional<std::string> path;
    UnzipHandle reader;  // read mode
    ZipHandle writer;    // the write modes
    Mode mode = Mode::kRead;
    std::int32_t current_index = -1;  // of the current entry; -1 before the first Next
    std::uint32_t entry_count = 0;
    std::optional<std::string> extractor;  // kept until DESTROY
    LineReader lines{kMaxHeldBytes};
    OpenEntry entry;
    EntryIndex index;
    EntryWriter entry_writer;  // the data of entries being written

    // An archive still open is closed with its entry: a written one gets
    // its central directory (but no self-extractor fix-up).
    ~JarState() {
        if (writer != nullptr && entry_writer.started()) entry_writer.finish(writer.get());
    }

    bool is_open() const { return reader != nullptr || writer != nullptr; }
    bool reading() const { return reader != nullptr; }
    bool writing() const { return writer != nullptr; }

    // Forgets everything of the current archive's entries.
    void forget_entries() {
        lines.reset();
        entry = OpenEntry();
        index = EntryIndex();
        current_index = -1;
    }

    // Reads the open entry, taking first what ReadLine read ahead.
    std::int64_t read(char* buffer, std::uint64_t length) {
        const std::size_t ahead = lines.take_read_ahead(buffer, length);
        const std::int64_t n = entry.read(reader.get(), buffer + ahead, length - ahead);
        return n < 0 ? -1 : static_cast<std::int64_t>(ahead) + n;
    }
};

JarState* state_arg(pTHX_ SV* self) { return lmx::record_of<JarState>(aTHX_ self, kKey); }

// The method's record when the call has `count` arguments.
JarState* self_arg(pTHX_ I32 items, I32 count, SV* self) {
    return items == count ? state_arg(aTHX_ self) : nullptr;
}

// The name that an extractor at `path` gets as an entry: Add's name.
std::string entry_name_of(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool is_plain_file(const std::string& path, struct ::stat& status) {
    return !path.empty() && crt::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

struct FileClose {
    void operator()(FILE* f) const { crt::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items > 1) XSRETURN_UNDEF;
    const std::string class_name = items == 1 ? lmx::class_arg(aTHX_ ST(0), kClass) : kClass;
    SV* object = lmx::new_object(aTHX_ class_name.c_str(), kKey, std::make_unique<JarState>());
    lmx::hash_store(aTHX_ lmx::hash_of(object), "err", newSV(0));
    ST(0) = object;
    XSRETURN(1);
}

XS_INTERNAL(xs_destroy) {
    dXSARGS;
    if (items == 1) lmx::free_record<JarState>(aTHX_ ST(0), kKey);
    XSRETURN_EMPTY;
}

std::optional<Mode> mode_arg(pTHX_ SV* value) {
    const std::optional<std::string> text = lmx::text_arg(aTHX_ value);
    if (!text || text->empty()) return std::nullopt;
    switch ((*text)[0]) {
        case 'r': return Mode::kRead;
        case 'w': return Mode::kWrite;
        case 'a': return Mode::kAppend;
        default: return std::nullopt;
    }
}

XS_INTERNAL(xs_OpenArchive) {
    dXSARGS;
    JarState* r = items == 2 || items == 3 ? state_arg(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    const std::optional<Mode> mode = items == 3 ? mode_arg(aTHX_ ST(2)) : Mode::kRead;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    if (!mode || !path || path->empty()) XSRETURN_UNDEF;

    r->reader.reset();
    r->writer.reset();
    r->forget_entries();
    r->path = *path;
    r->mode = *mode;
    unz_global_info64 global{};
    if (*mode == Mode::kRead) {
        r->reader = open_for_reading(path->c_str());
        if (r->reader != nullptr && unzGetGlobalInfo64(r->reader.get(), &global) != UNZ_OK)
            r->reader.reset();
    } else {
        r->writer = open_for_writing(path->c_str(), *mode == Mode::kWrite ? APPEND_STATUS_CREATE
                                                                          : APPEND_STATUS_CREATEAFTER);
    }
    if (!r->is_open()) {
        r->path.reset();
        XSRETURN_UNDEF;
    }
    if (*mode == Mode::kRead) {
        r->entry_count = static_cast<std::uint32_t>(global.number_entry);
        HV* self = lmx::hash_of(ST(0));
        lmx::hash_store(aTHX_ self, "num_of_files", static_cast<IV>(r->entry_count));
        lmx::hash_store(aTHX_ self, "size_of_comment", static_cast<IV>(global.size_comment));
    }
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_CloseArchive) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 1, ST(0));
    if (r == nullptr || !r->is_open()) XSRETURN_UNDEF;
    bool closed;
    if (r->writing()) {
        const bool entry_closed = !r->entry_writer.started() || r->entry_writer.finish(r->writer.get());
        closed = zipClose(r->writer.release(), nullptr) == ZIP_OK && entry_closed;
        if (closed && r->extractor) {
            const std::string messages =
                fix_up_self_extractor(*r->path, *r->extractor, entry_name_of(*r->extractor));
            if (!messages.empty())
                PerlIO_write(PerlIO_stdout(), messages.data(), messages.size());
        }
    } else {
        closed = unzClose(r->reader.release()) == UNZ_OK;
    }
    r->forget_entries();
    if (!closed) XSRETURN_UNDEF;
    r->path.reset();
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Next) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 1, ST(0));
    if (r == nullptr) XSRETURN_UNDEF;
    if (!r->is_open()) XSRETURN_IV(0);
    if (!r->reading()) XSRETURN_UNDEF;
    unzFile archive = r->reader.get();
    const int moved = r->current_index < 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
    if (moved != UNZ_OK) XSRETURN_UNDEF;
    ++r->current_index;
    unz_file_info64 info;
    std::string name;
    if (!current_entry(archive, info, name)) XSRETURN_UNDEF;
    HV* description = newHV();
    lmx::hash_store(aTHX_ description, "filename", name);
    lmx::hash_store(aTHX_ description, "fileinfo", pack_fileinfo(info));
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(description)));
    XSRETURN(1);
}

// Starts a new entry from an entry description (a hash with filename and
// fileinfo).
bool start_described_entry(pTHX_ JarState* r, SV* description) {
    HV* hash = lmx::hash_of(description);
    if (hash == nullptr) return false;
    const std::optional<std::string> name = lmx::text_arg(aTHX_ lmx::hash_fetch(aTHX_ hash, "filename"));
    const std::optional<std::string> fileinfo =
        lmx::text_arg(aTHX_ lmx::hash_fetch(aTHX_ hash, "fileinfo"));
    const std::optional<zip_fileinfo> info = fileinfo ? written_fileinfo(*fileinfo) : std::nullopt;
    return name && info &&
           r->entry_writer.start(r->writer.get(), *name, *info, Z_DEFAULT_COMPRESSION);
}

XS_INTERNAL(xs_Open) {
    dXSARGS;
    JarState* r = items == 1 || items == 2 ? state_arg(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !r->is_open()) XSRETURN_UNDEF;
    // A new entry starts without the lines of any other.
    r->lines.reset();
    if (r->writing()) {
        if (items != 2 || !start_described_entry(aTHX_ r, ST(1))) XSRETURN_UNDEF;
        XSRETURN_IV(0);
    }
    if (items == 2) {
        const std::optional<std::string> name = lmx::text_arg(aTHX_ ST(1));
        if (!name || !r->index.find(r->reader.get(), r->entry_count, *name)) XSRETURN_UNDEF;
    }
    if (!r->entry.open(r->reader.get())) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Close) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 1, ST(0));
    if (r == nullptr) XSRETURN_UNDEF;
    if (!r->is_open()) XSRETURN_IV(0);
    const bool closed = r->writing() ? r->entry_writer.finish(r->writer.get())
                                     : r->entry.close(r->reader.get()) == UNZ_OK;
    if (!closed) XSRETURN_UNDEF;
    r->lines.reset();
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Read) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 3, ST(0));
    if (r == nullptr) XSRETURN_UNDEF;
    if (!r->is_open()) XSRETURN_IV(0);
    SV* buffer = ST(1);
    const IV size = lmx::iv_arg(aTHX_ ST(2));
    if (!r->reading() || SvREADONLY(buffer) || size < 0) XSRETURN_UNDEF;
    const std::int64_t n = read_into(
        aTHX_ buffer, std::min<std::uint64_t>(size, kMaxHeldBytes), r->entry.declared_rest(),
        [r](char* bytes, std::uint64_t length) { return r->read(bytes, length); });
    SvSETMAGIC(buffer);
    if (n < 0) XSRETURN_UNDEF;
    XSRETURN_IV(n);
}

XS_INTERNAL(xs_Write) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 3, ST(0));
    if (r == nullptr || !r->writing()) XSRETURN_UNDEF;
    const std::optional<std::string> data = lmx::text_arg(aTHX_ ST(1));
    const IV length = lmx::iv_arg(aTHX_ ST(2));
    if (!data || length < 0) XSRETURN_UNDEF;
    // Never more than the string holds.
    const std::uint64_t n = std::min<std::uint64_t>(length, data->size());
    if (!r->entry_writer.write(r->writer.get(), data->data(), n)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Print) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 2, ST(0));
    if (r == nullptr || !r->writing()) XSRETURN_UNDEF;
    const std::optional<std::string> text = lmx::text_arg(aTHX_ ST(1));
    if (!text || !r->entry_writer.write(r->writer.get(), text->c_str(), std::strlen(text->c_str())))
        XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_ReadLine) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 1, ST(0));
    if (r == nullptr || !r->reading()) XSRETURN_UNDEF;
    std::string line;
    const LineReader::Source source = [r](char* buffer, std::size_t length) {
        return r->entry.read(r->reader.get(), buffer, length);
    };
    if (r->lines.next(source, line) != LineReader::Result::kLine) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(line.data(), line.size()));
    XSRETURN(1);
}

// Copies the current entry of `from` into a new entry of `to`; the count
// of uncompressed bytes, or nothing.
std::optional<std::uint64_t> copy_entry(JarState* from, JarState* to) {
    unzFile source = from->reader.get();
    unz_file_info64 info;
    std::string name;
    if (!current_entry(source, info, name) || name.empty()) return std::nullopt;
    from->lines.reset();
    if (!from->entry.open(source)) return std::nullopt;
    if (!to->entry_writer.start(to->writer.get(), name, copied_fileinfo(info),
                                Z_DEFAULT_COMPRESSION)) {
        from->entry.close(source);
        return std::nullopt;
    }
    std::vector<char> chunk(kChunk);
    std::uint64_t count = 0;
    bool copied = true;
    for (;;) {
        const std::int64_t n = from->entry.read(source, chunk.data(), kChunk);
        if (n < 0 ||
            !to->entry_writer.write(to->writer.get(), chunk.data(), static_cast<std::uint64_t>(n))) {
            copied = false;
            break;
        }
        count += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < kChunk) break;
    }
    // A source entry that fails its checksum is not copied as if intact.
    const bool source_closed = from->entry.close(source) == UNZ_OK;
    const bool target_closed = to->entry_writer.finish(to->writer.get());
    if (!copied || !source_closed || !target_closed) return std::nullopt;
    return count;
}

XS_INTERNAL(xs_CopyTo) {
    dXSARGS;
    JarState* from = self_arg(aTHX_ items, 2, ST(0));
    JarState* to = from ? state_arg(aTHX_ ST(1)) : nullptr;
    if (to == nullptr || !from->reading() || !to->writing()) XSRETURN_UNDEF;
    const std::optional<std::uint64_t> count = copy_entry(from, to);
    if (!count) XSRETURN_UNDEF;
    XSRETURN_IV(static_cast<IV>(*count));
}

// The date of a new entry from a file's modification time: local time,
// the year counted from 1980; all zero for time 0.
tm_zip file_date(std::time_t modified) {
    tm_zip date{};
    struct ::tm local {};
    if (modified == 0 || !crt::localtime(modified, local)) return date;
    date.tm_sec = static_cast<uInt>(local.tm_sec);
    date.tm_min = static_cast<uInt>(local.tm_min);
    date.tm_hour = static_cast<uInt>(local.tm_hour);
    date.tm_mday = static_cast<uInt>(local.tm_mday);
    date.tm_mon = static_cast<uInt>(local.tm_mon);
    date.tm_year = static_cast<uInt>(std::max(local.tm_year - 80, 0));
    return date;
}

// Copies an open file into a new entry; false on any failure.
bool add_file(JarState* r, FILE* file, const std::string& name, const zip_fileinfo& info,
              int level) {
    if (!r->entry_writer.start(r->writer.get(), name, info, level)) return false;
    std::vector<char> chunk(kChunk);
    bool copied = true;
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, kChunk, file);
        if (!r->entry_writer.write(r->writer.get(), chunk.data(), n)) {
            copied = false;
            break;
        }
        if (n < kChunk) {
            // A read error is not the end of the file.
            copied = std::ferror(file) == 0;
            break;
        }
    }
    return r->entry_writer.finish(r->writer.get()) && copied;
}

XS_INTERNAL(xs_Add) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 2, ST(0));
    if (r == nullptr || !r->writing() || r->mode != Mode::kWrite) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    struct ::stat status;
    if (!path || !is_plain_file(*path, status)) XSRETURN_UNDEF;
    File file(crt::fopen(path->c_str(), "rb"));
    if (file == nullptr) XSRETURN_UNDEF;
    const int level = r->extractor && *r->extractor == *path ? 0 : Z_DEFAULT_COMPRESSION;
    const std::string name = entry_name_of(*path);
    // The caller's own string is given the entry's name, as it always was.
    lmx::set_output(aTHX_ ST(1), name);
    zip_fileinfo info{};
    info.tmz_date = file_date(status.st_mtime);
    if (!add_file(r, file.get(), name, info, level)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_SetExtractor) {
    dXSARGS;
    JarState* r = self_arg(aTHX_ items, 2, ST(0));
    if (r == nullptr || !r->writing() || r->mode != Mode::kWrite) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    struct ::stat status;
    if (!path || !is_plain_file(*path, status)) XSRETURN_UNDEF;
    r->extractor = *path;
    XSRETURN_IV(0);
}

// Copies `source` over `target` in chunks; false unless all of it was
// written and the target closed cleanly.
bool copy_file(const std::string& target, const std::string& source) {
    File in(crt::fopen(source.c_str(), "rb"));
    if (in == nullptr) return false;
    File out(crt::fopen(target.c_str(), "wb"));
    if (out == nullptr) return false;
    std::vector<char> chunk(kChunk);
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, kChunk, in.get());
        if (n > 0 && crt::fwrite(chunk.data(), 1, n, out.get()) != n) return false;
        if (n < kChunk) break;
    }
    return std::ferror(in.get()) == 0 && crt::fclose(out.release()) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
    struct ::stat first, second;
    return crt::stat(a.c_str(), &first) == 0 && crt::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

XS_INTERNAL(xs_RestoreZip) {
    dXSARGS;
    if (items != 2) XSRETURN_UNDEF;
    const std::optional<std::string> target = lmx::text_arg(aTHX_ ST(0));
    const std::optional<std::string> source = lmx::text_arg(aTHX_ ST(1));
    // Copying a file over itself would only empty it.
    if (!target || !source || target->empty() || source->empty() || same_file(*target, *source) ||
        !copy_file(*target, *source))
        XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

// Helpers of the Perl half, so that its file tests and removals go through
// the layer's path translation: _access(path, mode) is true when the file
// allows `mode` (2 write, 4 read); _unlink(path) removes it.
XS_INTERNAL(xs_access) {
    dXSARGS;
    const std::optional<std::string> path = items == 2 ? lmx::text_arg(aTHX_ ST(0)) : std::nullopt;
    const IV mode = items == 2 ? lmx::iv_arg(aTHX_ ST(1)) : 0;
    if (!path || (mode != 2 && mode != 4)) XSRETURN_UNDEF;
    if (crt::access(path->c_str(), static_cast<int>(mode)) == 0) XSRETURN_YES;
    XSRETURN_NO;
}

XS_INTERNAL(xs_unlink) {
    dXSARGS;
    const std::optional<std::string> path = items == 1 ? lmx::text_arg(aTHX_ ST(0)) : std::nullopt;
    if (path && crt::unlink(path->c_str()) == 0) XSRETURN_YES;
    XSRETURN_NO;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::Jar::new", xs_new},
    {"KALDOR::Install::Jar::DESTROY", xs_destroy},
    {"KALDOR::Install::Jar::OpenArchive", xs_OpenArchive},
    {"KALDOR::Install::Jar::CloseArchive", xs_CloseArchive},
    {"KALDOR::Install::Jar::Next", xs_Next},
    {"KALDOR::Install::Jar::Open", xs_Open},
    {"KALDOR::Install::Jar::Close", xs_Close},
    {"KALDOR::Install::Jar::Read", xs_Read},
    {"KALDOR::Install::Jar::Write", xs_Write},
    {"KALDOR::Install::Jar::ReadLine", xs_ReadLine},
    {"KALDOR::Install::Jar::Print", xs_Print},
    {"KALDOR::Install::Jar::CopyTo", xs_CopyTo},
    {"KALDOR::Install::Jar::Add", xs_Add},
    {"KALDOR::Install::Jar::SetExtractor", xs_SetExtractor},
    {"KALDOR::Install::Jar::RestoreZip", xs_RestoreZip},
    {"KALDOR::Install::Jar::_access", xs_access},
    {"KALDOR::Install::Jar::_unlink", xs_unlink},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__Jar) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "Jar", kFunctions, &lmx::kJarText);
}
