// Finding an entry of an unzip handle by name without walking the central
// directory for every lookup: the names and positions of the entries are
// read once, on the first lookup, by the same walk from the first entry
// that a search would make.
#pragma once

#include <unzip.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace lmx::zip {

class EntryIndex {
   public:
    // Makes the first entry named `name` (byte for byte) current, walking
    // at most `count` entries as a search from the first entry does, and
    // returns its position in the directory. When no entry has the name, or
    // the walk fails, returns nothing and leaves the handle where that
    // search would have left it.
    std::optional<std::uint32_t> find(unzFile archive, std::uint32_t count,
                                      const std::string& name);

   private:
    void build(unzFile archive, std::uint32_t count);
    void restore_stop(unzFile archive) const;

    bool built_ = false;
    std::vector<unz64_file_pos> positions_;                  // in directory order
    std::unordered_map<std::string, std::uint32_t> first_;   // name -> first position
    // Where the walk stopped: the first entry could not be reached; or the
    // entry current at the stop, after which a failed move to the next
    // entry is repeated when the walk ended on one.
    bool first_failed_ = false;
    unz64_file_pos stop_{};
    bool stop_after_failed_next_ = false;
};

}  // namespace lmx::zip
