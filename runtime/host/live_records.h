// The native records of one kind that are alive, for modules whose Perl
// side holds a record's address as a plain integer: a stale or made-up
// address, or one that a cloned interpreter thread copied, names no live
// record and is refused instead of being used or freed twice.
#pragma once

#include <mutex>
#include <unordered_set>

namespace lmx {

class LiveRecords {
   public:
    void add(const void* record) {
        std::lock_guard<std::mutex> guard(lock_);
        live_.insert(record);
    }
    // False when the record was not alive.
    bool remove(const void* record) {
        std::lock_guard<std::mutex> guard(lock_);
        return live_.erase(record) > 0;
    }
    bool contains(const void* record) {
        std::lock_guard<std::mutex> guard(lock_);
        return record != nullptr && live_.count(record) > 0;
    }

   private:
    std::mutex lock_;
    std::unordered_set<const void*> live_;
};

}  // namespace lmx
