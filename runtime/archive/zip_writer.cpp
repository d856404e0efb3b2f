#include "runtime/archive/zip_writer.h"

#include <algorithm>

#include "runtime/archive/zip_io.h"

namespace lmx::zip {
namespace {

constexpr int kMemoryLevel = 8;  // the library's DEF_MEM_LEVEL

}  // namespace

EntryWriter::~EntryWriter() {
    if (initialised_) deflateEnd(&stream_);
}

bool EntryWriter::start(zipFile archive, const std::string& name, const zip_fileinfo& info,
                        int level) {
    // An entry still open is ended first, with its own size and checksum.
    if (started_) finish(archive);
    if (name.size() > kMaxEntryName || name.find('\0') != std::string::npos) return false;
    if (initialised_ && level != level_) {
        deflateEnd(&stream_);
        initialised_ = false;
    }
    if (!initialised_) {
        stream_ = z_stream{};
        if (deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, kMemoryLevel,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        initialised_ = true;
        level_ = level;
    } else if (deflateReset(&stream_) != Z_OK) {
        return false;
    }
    if (zipOpenNewFileInZip2(archive, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                             Z_DEFLATED, level, 1) != ZIP_OK)
        return false;
    size_ = 0;
    crc_ = crc32(0L, Z_NULL, 0);
    started_ = true;
    return true;
}

bool EntryWriter::deflate_into(zipFile archive, int flush) {
    for (;;) {
        stream_.next_out = output_.data();
        stream_.avail_out = static_cast<uInt>(output_.size());
        const int result = deflate(&stream_, flush);
        if (result == Z_STREAM_ERROR) return false;
        const auto n = static_cast<unsigned>(output_.size() - stream_.avail_out);
        if (n > 0 && zipWriteInFileInZip(archive, output_.data(), n) != ZIP_OK) return false;
        if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0) return true;
    }
}

bool EntryWriter::write(zipFile archive, const char* data, std::uint64_t length) {
    if (!started_) return false;
    while (length > 0) {
        const auto n = static_cast<uInt>(std::min<std::uint64_t>(length, 1u << 30));
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = n;
        crc_ = crc32(crc_, reinterpret_cast<const Bytef*>(data), n);
        if (!deflate_into(archive, Z_NO_FLUSH)) return false;
        size_ += n;
        data += n;
        length -= n;
    }
    return true;
}

bool EntryWriter::finish(zipFile archive) {
    if (!started_) return false;
    started_ = false;
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    const bool deflated = deflate_into(archive, Z_FINISH);
    const bool closed = zipCloseFileInZipRaw64(archive, size_, crc_) == ZIP_OK;
    return deflated && closed;
}

}  // namespace lmx::zip
