// The records that the build-information code hands the version-information
// module through the interpreter (GetVersionInfo, QueryVersionValue), as
// integer addresses, and the per-source cache of the two-call protocol.
//
// An address from Perl is never taken on trust: a record is found only
// while the native call that owns it is running and has entered it with
// LiveRecord, so a forged or stale integer names nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/win32/version_stream.h"

namespace lmx::version {

// The version-read record: the source (its identity keys the cache), its
// read function, and the outputs. A null buffer skips that item.
struct ReadRecord {
    const void* source = nullptr;
    BlockReader read;
    std::uint8_t* block = nullptr;
    std::size_t* block_size = nullptr;
    char* magic = nullptr;             // receives the text and its terminator
    std::size_t* magic_size = nullptr;  // the terminator included
};

// The version-query record: the block, the query path, and where the
// value's address and its length in characters go (both 0 when not found).
struct QueryRecord {
    const std::uint8_t* block = nullptr;
    std::size_t block_length = 0;
    const char* query = nullptr;
    const std::uint8_t** value = nullptr;
    std::size_t* value_length = nullptr;
};

// Makes a record reachable by its address for the owner's lifetime.
template <class Record>
class LiveRecord {
   public:
    explicit LiveRecord(Record& record) : record_(&record) { live().push_back(record_); }
    ~LiveRecord() { live().erase(std::find(live().begin(), live().end(), record_)); }
    LiveRecord(const LiveRecord&) = delete;
    LiveRecord& operator=(const LiveRecord&) = delete;

    std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(record_); }

    // The live record at `address`, or null.
    static Record* find(std::uintptr_t address) {
        for (Record* r : live())
            if (reinterpret_cast<std::uintptr_t>(r) == address) return r;
        return nullptr;
    }

   private:
    static std::vector<Record*>& live() {
        thread_local std::vector<Record*> records;
        return records;
    }
    Record* record_;
};

// One call of the two-call protocol. For a source without a cache entry it
// reads the stream, keeps the version block and the magic text in a new
// entry and reports their sizes; otherwise it copies them into the
// record's buffers and removes the entry. Returns 0.
int get_version_info(ReadRecord& record);

// Drops the cache entry of `source`, if one was left.
void forget_source(const void* source);

struct VersionData {
    std::optional<std::vector<std::uint8_t>> block;
    std::optional<std::string> magic;
};

// Both calls of the protocol for one source, each made by `call` (directly
// or through the interpreter; false when the callee is missing). The cache
// entry never outlives this function.
VersionData read_version(const void* source, const BlockReader& read,
                         const std::function<bool(ReadRecord&)>& call);

// Answers a query record (QueryVersionValue).
void answer_query(QueryRecord& record);

}  // namespace lmx::version
