/* Where an entry of a self-extracting archive may be written: the stored
 * name as a relative path that cannot lead outside the extraction
 * directory. Pure. */
#ifndef LMX_SFX_ENTRY_NAME_H
#define LMX_SFX_ENTRY_NAME_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Turns the stored name into a relative path in out[0, out_size): "/" and
 * "\" both separate (names written on Windows use "\"), empty and "."
 * components are dropped, and the components are joined by "/". Sets
 * *is_directory when the name ends in a separator. Returns 0, or -1 for a
 * name that could lead elsewhere or names nothing: an absolute name ("/" or
 * "\" first, or a drive "X:"), a ".." component, a NUL byte, no component
 * at all, or a path longer than out_size - 1. */
int sfx_entry_path(const unsigned char* name, size_t length, char* out, size_t out_size,
                   int* is_directory);

#ifdef __cplusplus
}
#endif

#endif
