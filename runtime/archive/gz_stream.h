// A zlib gzip stream owned like any other member of a record: closed when
// its owner goes or when it is reset.
#pragma once

#include <zlib.h>

#include <memory>

namespace lmx {

struct GzClose {
    void operator()(gzFile stream) const { gzclose(stream); }
};

using GzStream = std::unique_ptr<gzFile_s, GzClose>;

}  // namespace lmx
