// The native records of one kind that are alive, for modules whose Perl
// side holds a record's address as a plain integer: a stale or made-up
// address, or one that a cloned interpreter thread copied, names no live
// record and is refused instead of being used or freed twice.
#pragma once

#include <atomic>
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
        generation_.fetch_add(1, std::memory_order_release);
        return live_.erase(record) > 0;
    }

    // Calls in a row on one record (a read loop) are answered from a
    // per-thread memory of the last record found, valid until any removal.
    bool contains(const void* record) {
        thread_local const LiveRecords* owner = nullptr;
        thread_local const void* last = nullptr;
        thread_local unsigned last_generation = 0;
        if (record == nullptr) return false;
        const unsigned generation = generation_.load(std::memory_order_acquire);
        if (record == last && owner == this && generation == last_generation) return true;
        std::lock_guard<std::mutex> guard(lock_);
        if (live_.count(record) == 0) return false;
        owner = this;
        last = record;
        last_generation = generation;
        return true;
    }

   private:
    std::mutex lock_;
    std::atomic<unsigned> generation_{0};
    std::unordered_set<const void*> live_;
};

}  // namespace lmx
