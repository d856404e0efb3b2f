// The system error text of the modules: the platform's message for an error
// code with every CR LF replaced by one blank, after a prefix that names the
// failed operation.
#pragma once

#include <string>

#include "platform/types.h"

namespace lmx {

// `prefix` followed by the message of `code` ("set lock failed: The process
// cannot access the file ... of the file. "); the prefix alone for code 0 or
// a code without a message.
std::string system_error_text(const char* prefix, DWORD code);

}  // namespace lmx
