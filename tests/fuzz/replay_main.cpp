// Replays inputs through the harnesses' entry points without the fuzzer:
// fuzz_replay HARNESS PATH..., each path a file or a directory of files.
// The seeds and the regression files of every harness run this way in the
// unit tests, with the normal compiler and, in the sanitizer build, under
// its checks.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Harness = int (*)(const std::uint8_t*, std::size_t);

// fuzz_harnesses.inc defines LMX_FUZZ_HARNESSES(X) as X(name) for each one.
#include "fuzz_harnesses.inc"
#define LMX_FUZZ_DECLARE(name) extern "C" int lmx_fuzz_##name(const std::uint8_t*, std::size_t);
#define LMX_FUZZ_ENTRY(name) {#name, lmx_fuzz_##name},
LMX_FUZZ_HARNESSES(LMX_FUZZ_DECLARE)

namespace {

struct NamedHarness {
    const char* name;
    Harness run;
};

const NamedHarness kHarnesses[] = {LMX_FUZZ_HARNESSES(LMX_FUZZ_ENTRY)};

// Runs one file; false when it cannot be read.
bool replay(Harness run, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HARNESS [FILE|DIRECTORY]...\n", argv[0]);
        return 2;
    }
    Harness run = nullptr;
    for (const NamedHarness& h : kHarnesses)
        if (std::strcmp(h.name, argv[1]) == 0) run = h.run;
    if (run == nullptr) {
        std::fprintf(stderr, "no harness %s\n", argv[1]);
        return 2;
    }
    std::size_t count = 0;
    for (int i = 2; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::exists(path)) {
            files.push_back(path);
        }
        for (const auto& file : files) {
            if (!replay(run, file)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++count;
        }
    }
    std::printf("%s: %zu inputs replayed\n", argv[1], count);
    return 0;
}
