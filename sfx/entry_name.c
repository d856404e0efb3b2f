#include "sfx/entry_name.h"

#include <string.h>

static int is_separator(unsigned char c) { return c == '/' || c == '\\'; }

static int is_drive(const unsigned char* name, size_t length) {
    return length >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

int sfx_entry_path(const unsigned char* name, size_t length, char* out, size_t out_size,
                   int* is_directory) {
    if (out_size == 0) return -1;
    out[0] = '\0';
    if (length == 0 || is_separator(name[0]) || is_drive(name, length) ||
        memchr(name, '\0', length) != NULL)
        return -1;
    *is_directory = is_separator(name[length - 1]);
    size_t used = 0;
    for (size_t start = 0; start < length;) {
        size_t stop = start;
        while (stop < length && !is_separator(name[stop])) ++stop;
        const size_t n = stop - start;
        const unsigned char* part = name + start;
        start = stop + 1;
        if (n == 0 || (n == 1 && part[0] == '.')) continue;
        if (n == 2 && part[0] == '.' && part[1] == '.') return -1;
        const size_t needed = n + (used > 0);
        if (needed >= out_size - used) return -1;
        if (used > 0) out[used++] = '/';
        memcpy(out + used, part, n);
        used += n;
        out[used] = '\0';
    }
    return used > 0 ? 0 : -1;
}
