#include "runtime/archive/zip_sfx_fixup.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/crt.h"

namespace lmx::zip {
namespace {

constexpr long kEndRecordSize = 22;
constexpr std::size_t kCentralRecordSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kChunk = 8192;

struct FileClose {
    void operator()(FILE* f) const { crt::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

std::uint32_t get16(const unsigned char* p) { return p[0] | (p[1] << 8u); }
std::uint32_t get32(const unsigned char* p) {
    return get16(p) | (static_cast<std::uint32_t>(get16(p + 2)) << 16);
}
void put16(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, std::uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}

std::string message(const char* format, const std::string& argument = std::string()) {
    char text[1024];
    std::snprintf(text, sizeof text, format, argument.c_str());
    return text;
}

bool seek(FILE* f, std::int64_t offset, int whence) {
    return ::fseeko(f, static_cast<off_t>(offset), whence) == 0;
}

// Copies the program over the start of the archive, in chunks until one is
// shorter than a whole chunk.
bool copy_program(FILE* program, FILE* archive) {
    if (!seek(archive, 0, SEEK_SET)) return false;
    std::vector<unsigned char> chunk(kChunk);
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, kChunk, program);
        if (n > 0 && crt::fwrite(chunk.data(), 1, n, archive) != n) return false;
        if (n < kChunk) return std::ferror(program) == 0;
    }
}

}  // namespace

std::string fix_up_self_extractor(const std::string& archive, const std::string& extractor,
                                  const std::string& extractor_entry) {
    File out(crt::fopen(archive.c_str(), "r+b"));
    if (out == nullptr) return message(">>> cannot open file %s\n", archive);

    // The end record: the last 22 bytes, as the archive has no comment.
    if (!seek(out.get(), 0, SEEK_END)) return message(">>> cannot seek\n");
    const std::int64_t size = ::ftello(out.get());
    if (size < 0 || !seek(out.get(), size - kEndRecordSize, SEEK_SET))
        return message(">>> cannot seek\n");
    unsigned char end[kEndRecordSize];
    errno = 0;
    const std::size_t got = std::fread(end, 1, sizeof end, out.get());
    if (got != sizeof end) {
        char text[1024];
        std::snprintf(text, sizeof text, ">>> trailer size not got, got %d,error: %s\n",
                      static_cast<int>(got), crt::strerror(errno));
        return text;
    }
    if (get32(end) != kEndSignature) return message(">>> trailer is null\n");
    if (get16(end + 4) != get16(end + 6) || get16(end + 8) != get16(end + 10))
        return message(">>> multi volume\n");
    if (get16(end + 20) != 0) return message(">>> comment found\n");

    // The first central-directory record, which must be the extractor's.
    const std::uint32_t directory_size = get32(end + 12);
    const std::uint32_t directory_offset = get32(end + 16);
    unsigned char record[kCentralRecordSize];
    if (!seek(out.get(), directory_offset, SEEK_SET) ||
        std::fread(record, 1, sizeof record, out.get()) != sizeof record ||
        get32(record) != kCentralSignature)
        return message(">>> header size not got\n");
    const std::uint32_t name_length = get16(record + 28);
    const std::uint32_t record_size =
        static_cast<std::uint32_t>(kCentralRecordSize) + name_length + get16(record + 30) +
        get16(record + 32);

    // The program may overwrite only its own entry: the first in the file,
    // named as the extractor, and long enough to hold the program.
    std::string name(name_length, '\0');
    struct ::stat program_status;
    if (std::fread(&name[0], 1, name_length, out.get()) != name_length ||
        name != extractor_entry || get32(record + 42) != 0 ||
        crt::stat(extractor.c_str(), &program_status) != 0 ||
        static_cast<std::uint64_t>(program_status.st_size) >
            kLocalHeaderSize + name_length + std::uint64_t{get32(record + 20)} ||
        get16(end + 10) == 0 || record_size > directory_size)
        return message(">>> extractor is not the first entry\n");

    File program(crt::fopen(extractor.c_str(), "rb"));
    if (program == nullptr) return message(">>> cannot open file %s\n", archive);
    if (!copy_program(program.get(), out.get())) return message(">>> cannot write file %s\n", archive);

    // Drop the extractor's record from the directory.
    unsigned char* fields = end + 8;  // file offset size - 14
    put16(fields, get16(end + 8) - 1);
    put16(fields + 2, get16(end + 10) - 1);
    put32(fields + 4, directory_size - record_size);
    put32(fields + 8, directory_offset + record_size);
    if (!seek(out.get(), size - 14, SEEK_SET)) return message(">>> cannot seek\n");
    if (crt::fwrite(fields, 1, 12, out.get()) != 12 || crt::fclose(out.release()) != 0)
        return message(">>> cannot write file %s\n", archive);

    struct ::stat status;
    if (crt::stat(archive.c_str(), &status) == 0)
        crt::chmod(archive.c_str(), static_cast<int>((status.st_mode & 07777) |
                                                     ((status.st_mode & 0444) >> 2)));
    return std::string();
}

}  // namespace lmx::zip
