// The build stamps: marker texts in writable data, each array exactly as
// long as its marker, that a release step may overwrite in place in the
// finished library with the real value (zero-terminated, no longer than the
// marker). An unstamped library reports the markers themselves.
#pragma once

namespace lmx::build_stamps {

extern char full_build_version[sizeof "<LMX_SUBST:FULL_BUILD_VERSION>"];
extern char changelist[sizeof "<LMX_SUBST:CHANGELIST>"];
extern char full_version_string[sizeof "<SUBST:FULL_VERSION_STRING>"];
extern char makeid[sizeof "<LMX_SUBST:MAKEID>"];

}  // namespace lmx::build_stamps
