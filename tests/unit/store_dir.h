// A temporary store directory named by LMX_STORE_DIR for the length of a
// test, so that no test touches the real store.
#pragma once

#include <cstdlib>
#include <string>

#include <stdlib.h>

struct StoreDir {
    std::string path;
    StoreDir() {
        char pattern[] = "/tmp/lmxstoreXXXXXX";
        path = ::mkdtemp(pattern);
        ::setenv("LMX_STORE_DIR", path.c_str(), 1);
    }
    ~StoreDir() {
        ::unsetenv("LMX_STORE_DIR");
        std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string machine() const { return path + "/machine.db"; }
};
