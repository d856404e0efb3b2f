// A temporary store directory named by LMX_STORE_DIR for the length of a
// test, so that no test touches the real store.
#pragma once

#include <cstdlib>
#include <string>

#include <stdlib.h>

struct StoreDir {
    std::string path;
    std::string outer;  // the LMX_STORE_DIR of the tests around this one
    bool had_outer = false;
    StoreDir() {
        char pattern[] = "/tmp/lmxstoreXXXXXX";
        path = ::mkdtemp(pattern);
        if (const char* before = std::getenv("LMX_STORE_DIR")) {
            outer = before;
            had_outer = true;
        }
        ::setenv("LMX_STORE_DIR", path.c_str(), 1);
    }
    ~StoreDir() {
        if (had_outer)
            ::setenv("LMX_STORE_DIR", outer.c_str(), 1);
        else
            ::unsetenv("LMX_STORE_DIR");
        std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string machine() const { return path + "/machine.db"; }
};
