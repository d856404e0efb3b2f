#include "sfx/extract.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "sfx/entry_name.h"

enum { OUTPUT_CHUNK = 64 * 1024, UNIX_HOST = 3 };

static int fail(char* error, size_t error_size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(error, error_size, format, arguments);
    va_end(arguments);
    return -1;
}

static int write_all(int fd, const unsigned char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        bytes += n;
        length -= (size_t)n;
    }
    return 0;
}

/* Opens (creating it when missing) the directory `name` below `parent`;
 * never follows a link. */
static int open_directory(int parent, const char* name) {
    if (mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return -1;
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/* The directory that holds the last component of `path` (which it cuts off
 * `path`, leaving the leaf in *leaf): a new descriptor, or -1. */
static int open_parent(int root_fd, char* path, const char** leaf) {
    int fd = dup(root_fd);
    char* part = path;
    for (char* slash; fd >= 0 && (slash = strchr(part, '/')) != NULL; part = slash + 1) {
        *slash = '\0';
        const int next = open_directory(fd, part);
        close(fd);
        fd = next;
    }
    *leaf = part;
    return fd;
}

/* The entry's data as the file's content: `crc` and `size` of what it wrote. */
static int write_data(const unsigned char* data, const struct zc_entry* entry, int fd,
                      volatile sig_atomic_t* stop, uLong* crc, uint64_t* size) {
    const unsigned char* input = data + entry->data_offset;
    *crc = crc32(0L, Z_NULL, 0);
    *size = 0;
    if (entry->method == 0) {
        for (uint64_t done = 0; done < entry->compressed_size && !*stop; done += OUTPUT_CHUNK) {
            const uint64_t left = entry->compressed_size - done;
            const uInt n = left < OUTPUT_CHUNK ? (uInt)left : OUTPUT_CHUNK;
            if (write_all(fd, input + done, n) != 0) return -1;
            *crc = crc32(*crc, input + done, n);
            *size += n;
        }
        return *stop ? -1 : 0;
    }
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return -1;
    stream.next_in = (Bytef*)input;
    stream.avail_in = (uInt)entry->compressed_size;
    unsigned char output[OUTPUT_CHUNK];
    int result = Z_OK;
    while (result == Z_OK && !*stop) {
        stream.next_out = output;
        stream.avail_out = sizeof output;
        result = inflate(&stream, Z_NO_FLUSH);
        const size_t n = sizeof output - stream.avail_out;
        /* No more than the entry declares ever reaches the disk. */
        if (n > entry->uncompressed_size - *size) {
            result = Z_DATA_ERROR;
            break;
        }
        if (n > 0 && write_all(fd, output, n) != 0) {
            result = Z_ERRNO;
            break;
        }
        *crc = crc32(*crc, output, (uInt)n);
        *size += n;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? 0 : -1;
}

static int is_link(const struct zc_entry* entry) {
    return entry->made_by == UNIX_HOST && ((entry->external_attributes >> 16) & S_IFMT) == S_IFLNK;
}

static int extract_entry(const unsigned char* data, const struct zc_entry* entry, int root_fd,
                         volatile sig_atomic_t* stop, char* error, size_t error_size) {
    char path[PATH_MAX];
    int is_directory = 0;
    const int name_length = entry->name_length > 200 ? 200 : (int)entry->name_length;
    if (sfx_entry_path(entry->name, entry->name_length, path, sizeof path, &is_directory) != 0)
        return fail(error, error_size, "refusing the entry name \"%.*s\"", name_length,
                    (const char*)entry->name);
    if (is_link(entry)) return fail(error, error_size, "refusing the link %s", path);
    char shown[PATH_MAX];
    memcpy(shown, path, sizeof shown);
    const char* leaf;
    const int parent = open_parent(root_fd, path, &leaf);
    if (parent < 0) return fail(error, error_size, "cannot create %s: %s", shown, strerror(errno));
    if (is_directory) {
        const int fd = open_directory(parent, leaf);
        close(parent);
        if (fd < 0) return fail(error, error_size, "cannot create %s: %s", shown, strerror(errno));
        close(fd);
        return 0;
    }
    const int fd = openat(parent, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    close(parent);
    if (fd < 0) return fail(error, error_size, "cannot create %s: %s", shown, strerror(errno));
    uLong crc;
    uint64_t size;
    errno = 0;
    const int written = write_data(data, entry, fd, stop, &crc, &size);
    const int closed = close(fd);
    if (*stop) return fail(error, error_size, "interrupted");
    if (written != 0 || closed != 0)
        return fail(error, error_size, "cannot extract %s: %s", shown,
                    errno ? strerror(errno) : "damaged data");
    if (size != entry->uncompressed_size || crc != entry->crc)
        return fail(error, error_size, "%s: the data does not match its size and checksum", shown);
    return 0;
}

int sfx_extract(const unsigned char* data, const struct zc_directory* directory, int root_fd,
                volatile sig_atomic_t* stop, char* error, size_t error_size) {
    for (size_t i = 0; i < directory->count; ++i) {
        if (*stop) return fail(error, error_size, "interrupted");
        if (extract_entry(data, &directory->entries[i], root_fd, stop, error, error_size) != 0)
            return -1;
    }
    return 0;
}
