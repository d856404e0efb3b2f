// What the fuzz harnesses share: an input as a file that exists only in
// memory, the one embedded interpreter of the process, and the report of a
// broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/host/perl_api.h"

namespace fuzz {

// The input bytes as an anonymous in-memory file, named by a path that the
// platform layer opens like any other ("/proc/self/fd/N").
class MemoryFile {
   public:
    MemoryFile(const std::uint8_t* data, std::size_t size);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& path() const { return path_; }

   private:
    int fd_;
    std::string path_;
};

// The process's interpreter, started on first use with an empty program.
PerlInterpreter* interpreter();

// Prints `what` and aborts: the fuzzer keeps the input as a finding, the
// replay fails.
[[noreturn]] void broken(const char* what);

}  // namespace fuzz
