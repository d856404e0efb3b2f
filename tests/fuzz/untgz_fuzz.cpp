// The Untgz walk and file writer on an in-memory archive, extracting into a
// scratch destination that holds planted links leading out of it. The
// invariant: nothing is created outside the destination. The first input
// byte chooses how entries are taken (extracted, read first, read in part,
// passed over; a test run; a second walk after a rewind); the rest is the
// archive, gzip-compressed or plain.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/archive/untgz_walk.h"
#include "runtime/archive/untgz_writer.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace lmx::untgz;

constexpr unsigned kMaxEntries = 64;

// Removes the tree at `path` without following links, making each
// directory searchable first (entries may have created them with mode 0).
void remove_tree(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return;
    if (S_ISDIR(status.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* dir = opendir(path.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") remove_tree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// The number of entries in a directory, "." and ".." not counted.
int entry_count(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    closedir(dir);
    return count;
}

// root/ holds dest/ (the destination) and outside/; the working directory
// is root/cwd/. dest/ gets links to outside/ and to root.
struct Sandbox {
    std::string root, dest, outside, cwd;

    Sandbox() {
        char pattern[] = "/tmp/lmxfuzz-untgz.XXXXXX";
        char resolved[PATH_MAX];
        if (mkdtemp(pattern) == nullptr || realpath(pattern, resolved) == nullptr)
            fuzz::broken("cannot make the scratch directory");
        root = resolved;
        dest = root + "/dest";
        outside = root + "/outside";
        cwd = root + "/cwd";
        if (mkdir(outside.c_str(), 0700) != 0 || mkdir(cwd.c_str(), 0700) != 0 ||
            chdir(cwd.c_str()) != 0)
            fuzz::broken("cannot set up the scratch directory");
    }
    ~Sandbox() { remove_tree(root); }

    void reset() const {
        remove_tree(dest);
        if (mkdir(dest.c_str(), 0755) != 0 ||
            symlink(outside.c_str(), (dest + "/planted").c_str()) != 0 ||
            symlink("..", (dest + "/up").c_str()) != 0)
            fuzz::broken("cannot make the destination");
    }

    // Only dest/, outside/ and cwd/ in root; outside/ and cwd/ empty.
    void check() const {
        if (entry_count(root) != 3 || entry_count(outside) != 0 || entry_count(cwd) != 0)
            fuzz::broken("an entry was written outside the destination");
    }
};

const Sandbox& sandbox() {
    static const Sandbox box;
    return box;
}

// Takes each entry of the walk by one of four ways, chosen by two bits of
// `choices` per entry in turn.
void walk(pTHX_ UntgzState* s, unsigned choices, SV* buffer) {
    for (unsigned i = 0; i < kMaxEntries && next_entry(s); ++i) {
        switch ((choices >> (2 * (i % 3))) & 3) {
            case 0: extract_file(aTHX_ s); break;
            case 1:
                extract_scalar(aTHX_ s, buffer);
                extract_file(aTHX_ s);
                break;
            case 2:
                extract_read(aTHX_ s, buffer, 512);
                extract_file(aTHX_ s);
                break;
            default: break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned choices = data[0];
    const Sandbox& box = sandbox();
    box.reset();
    PerlInterpreter* my_perl = fuzz::interpreter();
    {
        const fuzz::MemoryFile archive(data + 1, size - 1);
        UntgzState state;
        if (open_archive(&state, archive.path(), (choices & 0x40) != 0)) {
            state.destination = box.dest;
            ENTER;
            SAVETMPS;
            SV* buffer = sv_2mortal(newSVpvn("", 0));
            walk(aTHX_ &state, choices, buffer);
            if ((choices & 0x80) && rewind_archive(&state) == 0)
                walk(aTHX_ &state, ~choices, buffer);
            FREETMPS;
            LEAVE;
        }
    }
    box.check();
    return 0;
}
