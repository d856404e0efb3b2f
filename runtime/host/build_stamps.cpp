#include "runtime/host/build_stamps.h"

namespace lmx::build_stamps {

// Not const: the arrays must stay in writable data, where the stamping step
// finds and overwrites them.
char full_build_version[sizeof "<LMX_SUBST:FULL_BUILD_VERSION>"] = "<LMX_SUBST:FULL_BUILD_VERSION>";
char changelist[sizeof "<LMX_SUBST:CHANGELIST>"] = "<LMX_SUBST:CHANGELIST>";
char full_version_string[sizeof "<SUBST:FULL_VERSION_STRING>"] = "<SUBST:FULL_VERSION_STRING>";
char makeid[sizeof "<LMX_SUBST:MAKEID>"] = "<LMX_SUBST:MAKEID>";

}  // namespace lmx::build_stamps
