#include "runtime/archive/zip_io.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/crt.h"

namespace lmx::zip {
namespace {

// minizip's file functions over a C runtime stream that the layer opened.
voidpf open_file(voidpf, const void* path, int mode) {
    const char* fopen_mode = "rb";
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        fopen_mode = (mode & ZLIB_FILEFUNC_MODE_EXISTING) ? "r+b" : "wb";
    return path != nullptr ? crt::fopen(static_cast<const char*>(path), fopen_mode) : nullptr;
}

uLong read_file(voidpf, voidpf stream, void* buffer, uLong size) {
    return std::fread(buffer, 1, size, static_cast<FILE*>(stream));
}

uLong write_file(voidpf, voidpf stream, const void* buffer, uLong size) {
    return crt::fwrite(buffer, 1, size, static_cast<FILE*>(stream));
}

ZPOS64_T tell_file(voidpf, voidpf stream) {
    const off_t position = ::ftello(static_cast<FILE*>(stream));
    return position < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(position);
}

long seek_file(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
    else if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET) return -1;
    return ::fseeko(static_cast<FILE*>(stream), static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int close_file(voidpf, voidpf stream) { return crt::fclose(static_cast<FILE*>(stream)); }

int file_error(voidpf, voidpf stream) { return std::ferror(static_cast<FILE*>(stream)); }

zlib_filefunc64_def layer_functions() {
    zlib_filefunc64_def functions{};
    functions.zopen64_file = open_file;
    functions.zread_file = read_file;
    functions.zwrite_file = write_file;
    functions.ztell64_file = tell_file;
    functions.zseek64_file = seek_file;
    functions.zclose_file = close_file;
    functions.zerror_file = file_error;
    return functions;
}

}  // namespace

UnzipHandle open_for_reading(const char* path) {
    zlib_filefunc64_def functions = layer_functions();
    return UnzipHandle(unzOpen2_64(path, &functions));
}

ZipHandle open_for_writing(const char* path, int append) {
    zlib_filefunc64_def functions = layer_functions();
    return ZipHandle(zipOpen2_64(path, append, nullptr, &functions));
}

bool start_entry(zipFile archive, const std::string& name, const zip_fileinfo& info, int level) {
    if (name.size() > kMaxEntryName || name.find('\0') != std::string::npos) return false;
    return zipOpenNewFileInZip(archive, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                               Z_DEFLATED, level) == ZIP_OK;
}

void apply_zip64_sizes(const unsigned char* extra, std::size_t length, unz_file_info64& info) {
    constexpr ZPOS64_T kMarker = 0xFFFFFFFF;
    auto get = [extra](std::size_t at, int bytes) {
        std::uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | extra[at + static_cast<std::size_t>(i)];
        return value;
    };
    for (std::size_t at = 0; at + 4 <= length;) {
        const std::uint64_t id = get(at, 2), size = get(at + 2, 2);
        const std::size_t data = at + 4;
        if (size > length - data) return;
        if (id == 1) {
            std::size_t field = data;
            for (ZPOS64_T* value : {&info.uncompressed_size, &info.compressed_size}) {
                if (*value != kMarker) continue;
                if (field + 8 > data + size) return;
                *value = get(field, 8);
                field += 8;
            }
            return;
        }
        at = data + size;
    }
}

bool current_entry(unzFile archive, unz_file_info64& info, std::string& name) {
    if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    std::vector<char> buffer(info.size_filename + 1);
    const bool zip64 = info.compressed_size == 0xFFFFFFFF || info.uncompressed_size == 0xFFFFFFFF;
    std::vector<unsigned char> extra(zip64 ? info.size_file_extra : 0);
    if (unzGetCurrentFileInfo64(archive, &info, buffer.data(), buffer.size(),
                                extra.empty() ? nullptr : extra.data(), extra.size(), nullptr,
                                0) != UNZ_OK)
        return false;
    name.assign(buffer.data(), info.size_filename);
    apply_zip64_sizes(extra.data(), extra.size(), info);
    return true;
}

}  // namespace lmx::zip
