/* Extraction of a self-extracting archive's entries into a directory. */
#ifndef LMX_SFX_EXTRACT_H
#define LMX_SFX_EXTRACT_H

#include <signal.h>
#include <stddef.h>

#include "sfx/zip_central.h"

/* Writes every entry of `directory` (read from `data`) below the directory
 * open as `root_fd`: directories 0700, files 0700 (the kit's programs must
 * run, and the directory is private), each file created anew, never through
 * a link. Every file's size and CRC-32 must match its entry. Returns 0, or
 * -1 with a message in error[0, error_size); stops once *stop is set. */
int sfx_extract(const unsigned char* data, const struct zc_directory* directory, int root_fd,
                volatile sig_atomic_t* stop, char* error, size_t error_size);

#endif
