// A Perl text compiled into the library. The build makes one from a `.pl`
// file beside its module, starting at the file's `first_line`, so that the
// diagnostics under `name` carry the line numbers of the source file.
#pragma once

namespace lmx {

struct EmbeddedText {
    const char* name;  // diagnostic file name, for example "lmxrun/Require.pl"
    int first_line;
    const char* text;
};

}  // namespace lmx
