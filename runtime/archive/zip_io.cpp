#include "runtime/archive/zip_io.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/crt.h"

namespace lmx::zip {
namespace {

// A zip file opened for reading. The library seeks before nearly every
// read (to the central record, to the local header, back to the data), and
// a seek of a C runtime stream costs a system call even when the bytes are
// in its buffer; this stream keeps two blocks of the file (so that the
// directory and the data do not evict each other), seeks without a call,
// and goes to the file only for bytes it does not hold. Large reads go
// straight into the caller's buffer.
class ReadStream {
   public:
    static constexpr std::size_t kBlock = 16 * 1024;

    explicit ReadStream(FILE* file) : file_(file) {
        std::setvbuf(file_, nullptr, _IONBF, 0);  // the blocks are the buffer
        if (::fseeko(file_, 0, SEEK_END) == 0) size_ = static_cast<std::uint64_t>(::ftello(file_));
    }
    ~ReadStream() { crt::fclose(file_); }
    ReadStream(const ReadStream&) = delete;
    ReadStream& operator=(const ReadStream&) = delete;

    std::size_t read(char* out, std::size_t length) {
        std::size_t done = 0;
        while (done < length) {
            if (Block* b = holding(position_)) {
                const std::size_t n = std::min<std::uint64_t>(length - done, b->start + b->length - position_);
                std::memcpy(out + done, b->bytes.data() + (position_ - b->start), n);
                position_ += n;
                done += n;
                b->used = ++clock_;
            } else if (length - done >= kBlock) {
                const std::size_t n = read_at(position_, out + done, length - done);
                position_ += n;
                done += n;
                break;
            } else if (position_ >= size_ || !fill(oldest())) {
                // Past the end no call is made: the library reads a field
                // that a damaged directory places there byte by byte.
                break;
            }
        }
        return done;
    }

    std::uint64_t tell() const { return position_; }

    bool seek(std::uint64_t offset, int origin) {
        std::uint64_t base = 0;
        if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = position_;
        else if (origin == ZLIB_FILEFUNC_SEEK_END) base = size_;
        else if (origin != ZLIB_FILEFUNC_SEEK_SET) return false;
        position_ = base + offset;  // the library passes negative offsets as their two's complement
        return true;
    }

    bool failed() const { return failed_; }

   private:
    struct Block {
        std::uint64_t start = 0;
        std::size_t length = 0;
        std::uint64_t used = 0;
        std::vector<char> bytes;
    };

    Block* holding(std::uint64_t position) {
        for (Block& b : blocks_)
            if (position >= b.start && position - b.start < b.length) return &b;
        return nullptr;
    }

    Block& oldest() { return blocks_[0].used <= blocks_[1].used ? blocks_[0] : blocks_[1]; }

    std::size_t read_at(std::uint64_t position, char* out, std::size_t length) {
        if (::fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) {
            failed_ = true;
            return 0;
        }
        const std::size_t n = std::fread(out, 1, length, file_);
        if (n < length && std::ferror(file_)) failed_ = true;
        return n;
    }

    // Fills `b` with the bytes from the current position; false at the end
    // of the file or on an error.
    bool fill(Block& b) {
        b.bytes.resize(kBlock);
        b.start = position_;
        b.length = read_at(position_, b.bytes.data(), kBlock);
        b.used = ++clock_;
        return b.length > 0;
    }

    FILE* file_;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    Block blocks_[2];
    std::uint64_t clock_ = 0;
    bool failed_ = false;
};

ReadStream* reading(voidpf stream) { return static_cast<ReadStream*>(stream); }
FILE* writing(voidpf stream) { return static_cast<FILE*>(stream); }

voidpf open_reading(voidpf, const void* path, int) {
    FILE* file = path != nullptr ? crt::fopen(static_cast<const char*>(path), "rb") : nullptr;
    return file != nullptr ? new ReadStream(file) : nullptr;
}

uLong read_reading(voidpf, voidpf stream, void* buffer, uLong size) {
    return reading(stream)->read(static_cast<char*>(buffer), size);
}

uLong write_reading(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T tell_reading(voidpf, voidpf stream) { return reading(stream)->tell(); }

long seek_reading(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    return reading(stream)->seek(offset, origin) ? 0 : -1;
}

int close_reading(voidpf, voidpf stream) {
    delete reading(stream);
    return 0;
}

int error_reading(voidpf, voidpf stream) { return reading(stream)->failed() ? 1 : 0; }

// Writing: a C runtime stream; "r+b" appends after an existing file's
// content.
voidpf open_writing(voidpf, const void* path, int mode) {
    const char* fopen_mode = (mode & ZLIB_FILEFUNC_MODE_EXISTING) ? "r+b" : "wb";
    return path != nullptr ? crt::fopen(static_cast<const char*>(path), fopen_mode) : nullptr;
}

uLong read_writing(voidpf, voidpf stream, void* buffer, uLong size) {
    return std::fread(buffer, 1, size, writing(stream));
}

uLong write_writing(voidpf, voidpf stream, const void* buffer, uLong size) {
    return crt::fwrite(buffer, 1, size, writing(stream));
}

ZPOS64_T tell_writing(voidpf, voidpf stream) {
    const off_t position = ::ftello(writing(stream));
    return position < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(position);
}

long seek_writing(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
    else if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET) return -1;
    return ::fseeko(writing(stream), static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int close_writing(voidpf, voidpf stream) { return crt::fclose(writing(stream)); }

int error_writing(voidpf, voidpf stream) { return std::ferror(writing(stream)); }

const zlib_filefunc64_def kReadFunctions = {open_reading,  read_reading,  write_reading,
                                            tell_reading,  seek_reading,  close_reading,
                                            error_reading, nullptr};
const zlib_filefunc64_def kWriteFunctions = {open_writing,  read_writing,  write_writing,
                                             tell_writing,  seek_writing,  close_writing,
                                             error_writing, nullptr};

}  // namespace

UnzipHandle open_for_reading(const char* path) {
    zlib_filefunc64_def functions = kReadFunctions;
    return UnzipHandle(unzOpen2_64(path, &functions));
}

ZipHandle open_for_writing(const char* path, int append) {
    zlib_filefunc64_def functions = kWriteFunctions;
    return ZipHandle(zipOpen2_64(path, append, nullptr, &functions));
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
