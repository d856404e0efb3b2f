#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "runtime/archive/zip_fileinfo.h"
#include "runtime/archive/zip_lines.h"

using lmx::zip::LineReader;

namespace {

// An entry's data, read in requests of any size.
struct Data {
    std::string bytes;
    std::size_t position = 0;
    std::size_t read(char* out, std::size_t n) {
        n = std::min(n, bytes.size() - position);
        std::memcpy(out, bytes.data() + position, n);
        position += n;
        return n;
    }
};

// The line reading of the Jar module as it was first written, on C strings
// with a buffer that grows by 3 characters: the reference for LineReader.
class ReferenceLines {
   public:
    explicit ReferenceLines(Data& data) : data_(data) {}
    ~ReferenceLines() { std::free(buffer_); }

    std::optional<std::string> next() {
        if (end_of_lines_) {
            std::free(buffer_);
            buffer_ = nullptr;
            return std::nullopt;
        }
        if (buffer_ != nullptr && std::strchr(buffer_, '\n') != nullptr) return cut();
        if (buffer_ == nullptr) {
            size_ = 3;
            buffer_ = static_cast<char*>(std::malloc(size_ + 1));
            buffer_[0] = '\0';
        }
        for (;;) {
            const std::size_t length = std::strlen(buffer_);
            const std::size_t wanted = size_ - length;
            const std::size_t n = data_.read(buffer_ + length, wanted);
            if (n < wanted) {
                buffer_[length + n] = '\0';
                break;
            }
            buffer_[size_] = '\0';
            if (std::strchr(buffer_, '\n') != nullptr) break;
            size_ += 3;
            buffer_ = static_cast<char*>(std::realloc(buffer_, size_ + 1));
        }
        if (std::strchr(buffer_, '\n') != nullptr) return cut();
        std::string last = buffer_;
        buffer_[0] = '\0';
        end_of_lines_ = true;
        return last;
    }

   private:
    std::string cut() {
        char* feed = std::strchr(buffer_, '\n');
        std::string line(buffer_, feed);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::memmove(buffer_, feed + 1, std::strlen(feed + 1) + 1);
        return line;
    }

    Data& data_;
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    bool end_of_lines_ = false;
};

std::optional<std::string> next_line(LineReader& lines, Data& data) {
    std::string line;
    const LineReader::Source source = [&](char* out, std::size_t n) {
        return static_cast<std::int64_t>(data.read(out, n));
    };
    if (lines.next(source, line) != LineReader::Result::kLine) return std::nullopt;
    return line;
}

}  // namespace

TEST(LineReader, TheModulesExample) {
    Data data{"a\r\nb\n"};
    LineReader lines(1 << 20);
    EXPECT_EQ(next_line(lines, data), "a");
    EXPECT_EQ(next_line(lines, data), "b");
    EXPECT_EQ(next_line(lines, data), "");
    EXPECT_EQ(next_line(lines, data), std::nullopt);
    EXPECT_EQ(next_line(lines, data), std::nullopt);
}

// Random data with NUL bytes, carriage returns and line feeds, and direct
// reads of the entry between lines: the same lines and the same bytes as
// the reference.
TEST(LineReader, SameAsTheReference) {
    std::mt19937 random(12345);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0'};
    for (int round = 0; round < 3000; ++round) {
        std::string bytes(random() % 300, 'a');
        for (char& c : bytes) c = alphabet[random() % (round % 2 ? 5 : 4)];
        Data ours_data{bytes}, reference_data{bytes};
        LineReader lines(1 << 20);
        ReferenceLines reference(reference_data);
        for (int step = 0; step < 400; ++step) {
            if (random() % 8 == 0) {
                // A direct read takes what was read ahead first.
                const std::size_t n = random() % 20;
                std::string ours(n, '\0'), theirs(n, '\0');
                std::size_t got = lines.take_read_ahead(&ours[0], n);
                got += ours_data.read(&ours[got], n - got);
                ours.resize(got);
                theirs.resize(reference_data.read(&theirs[0], n));
                ASSERT_EQ(ours, theirs) << "round " << round << " step " << step;
                continue;
            }
            const std::optional<std::string> expected = reference.next();
            ASSERT_EQ(next_line(lines, ours_data), expected) << "round " << round << " step " << step;
            if (!expected) break;
        }
    }
}

TEST(LineReader, LongLinesAndLimit) {
    Data data{std::string(3'000'000, 'x') + "\nnext\n"};
    LineReader lines(1 << 30);
    EXPECT_EQ(next_line(lines, data)->size(), 3'000'000u);
    EXPECT_EQ(next_line(lines, data), "next");

    Data endless{std::string(10'000, 'y')};
    LineReader bounded(999);
    std::string line;
    const LineReader::Source source = [&](char* out, std::size_t n) {
        return static_cast<std::int64_t>(endless.read(out, n));
    };
    EXPECT_EQ(bounded.next(source, line), LineReader::Result::kTooLong);

    LineReader failing(1 << 20);
    const LineReader::Source broken = [](char*, std::size_t) { return std::int64_t{-1}; };
    EXPECT_EQ(failing.next(broken, line), LineReader::Result::kError);
}

TEST(ZipFileInfo, LayoutAndWriteBack) {
    unz_file_info64 info{};
    info.version = 0x031e;
    info.compression_method = 8;
    info.crc = 0xdeadbeef;
    info.compressed_size = 5;
    info.uncompressed_size = std::uint64_t{5} << 32;  // zip64: more than 32 bits hold
    info.size_filename = 7;
    info.internal_fa = 1;
    info.external_fa = 0x81a40000;
    info.tmu_date = {58, 59, 23, 31, 11, 2007};
    const std::string packed = lmx::zip::pack_fileinfo(info);
    ASSERT_EQ(packed.size(), lmx::zip::kFileInfoSize);
    EXPECT_EQ(packed.substr(0, 4), std::string("\x1e\x03\0\0", 4));
    EXPECT_EQ(packed.substr(20, 4), "\xef\xbe\xad\xde");
    EXPECT_EQ(packed.substr(28, 4), "\xff\xff\xff\xff");
    EXPECT_EQ(packed.substr(76, 4), std::string("\xd7\x07\0\0", 4));

    const std::optional<zip_fileinfo> written = lmx::zip::written_fileinfo(packed);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->internal_fa, 1u);
    EXPECT_EQ(written->external_fa, 0x81a40000u);
    EXPECT_EQ(written->dosDate, 0u);
    EXPECT_EQ(written->tmz_date.tm_sec, 58u);
    EXPECT_EQ(written->tmz_date.tm_year, 2007u);
    EXPECT_FALSE(lmx::zip::written_fileinfo(packed.substr(0, 79)));
}
