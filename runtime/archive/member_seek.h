// The seek of an archive member's read stream. The stream reads forward only,
// so a seek that leaves it where it stands answers the position, any other -1.
#pragma once

#include <cstdint>

#include "runtime/host/perl_api.h"

namespace lmx {

inline IV member_seek(std::uint32_t delivered, IV offset, IV whence) {
    const bool stays = (whence == 0 && offset == static_cast<IV>(delivered)) ||
                       (whence == 1 && offset == 0);
    return stays ? static_cast<IV>(delivered) : -1;
}

}  // namespace lmx
