#include "tests/fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

MemoryFile::MemoryFile(const std::uint8_t* data, std::size_t size)
    : fd_(memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (fd_ < 0) broken("memfd_create failed");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd_, data + done, size - done);
        if (n <= 0) broken("cannot write the in-memory file");
        done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() { close(fd_); }

PerlInterpreter* interpreter() {
    static PerlInterpreter* const perl = [] {
        static char name[] = "fuzz";
        static char* args[] = {name, nullptr};
        static char** environment = environ;
        int count = 1;
        char** arguments = args;
        PERL_SYS_INIT3(&count, &arguments, &environment);
        PerlInterpreter* my_perl = perl_alloc();
        PERL_SET_CONTEXT(my_perl);
        perl_construct(my_perl);
        static char e[] = "-e", zero[] = "0";
        char* start[] = {name, e, zero, nullptr};
        if (perl_parse(my_perl, nullptr, 3, start, nullptr) != 0 || perl_run(my_perl) != 0)
            broken("the interpreter did not start");
        return my_perl;
    }();
    return perl;
}

void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

}  // namespace fuzz
