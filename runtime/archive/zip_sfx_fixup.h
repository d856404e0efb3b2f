// The self-extractor fix-up of a freshly written zip archive whose first
// entry is the extractor program stored at level 0: the program's bytes
// overwrite the start of the file, and the end record of the central
// directory drops the extractor's record, so that the file is the program
// followed by a valid zip archive of the other entries.
#pragma once

#include <string>

namespace lmx::zip {

// Fixes up `archive`, whose first entry must be `extractor_entry` holding
// the program at `extractor`; on success the archive is also made
// executable wherever it is readable. Returns the messages of the step that
// ended it (empty on success), each ending in a newline.
std::string fix_up_self_extractor(const std::string& archive, const std::string& extractor,
                                  const std::string& extractor_entry);

}  // namespace lmx::zip
