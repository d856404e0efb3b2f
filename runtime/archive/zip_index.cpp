#include "runtime/archive/zip_index.h"

#include "runtime/archive/zip_io.h"

namespace lmx::zip {

void EntryIndex::build(unzFile archive, std::uint32_t count) {
    built_ = true;
    if (unzGoToFirstFile(archive) != UNZ_OK) {
        first_failed_ = true;
        return;
    }
    // The walk examines entry 0, then moves on while the last position
    // examined is below `count` and the move succeeds.
    for (std::uint64_t position = 0;; ++position) {
        if (position > 0 && unzGoToNextFile(archive) != UNZ_OK) {
            stop_after_failed_next_ = true;
            return;
        }
        unzGetFilePos64(archive, &stop_);
        unz_file_info64 info;
        std::string name;
        if (!current_entry(archive, info, name)) return;
        positions_.push_back(stop_);
        first_.emplace(std::move(name), static_cast<std::uint32_t>(position));
        if (position >= count) return;
    }
}

void EntryIndex::restore_stop(unzFile archive) const {
    if (first_failed_) {
        unzGoToFirstFile(archive);
        return;
    }
    unzGoToFilePos64(archive, &stop_);
    if (stop_after_failed_next_) unzGoToNextFile(archive);
}

std::optional<std::uint32_t> EntryIndex::find(unzFile archive, std::uint32_t count,
                                              const std::string& name) {
    if (!built_) build(archive, count);
    const auto match = first_.find(name);
    if (match == first_.end()) {
        restore_stop(archive);
        return std::nullopt;
    }
    if (unzGoToFilePos64(archive, &positions_[match->second]) != UNZ_OK) return std::nullopt;
    return match->second;
}

}  // namespace lmx::zip
