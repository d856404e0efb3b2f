/* The central directory of a zip archive at the end of a block of bytes
 * (a self-extracting program followed by its archive), read with every
 * offset and length checked against the bytes present. Pure: no I/O, no
 * state; the entries point into the caller's bytes. */
#ifndef LMX_SFX_ZIP_CENTRAL_H
#define LMX_SFX_ZIP_CENTRAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum zc_status {
    ZC_OK = 0,
    ZC_NO_ARCHIVE,   /* no end-of-central-directory record at the end */
    ZC_DAMAGED,      /* a record, offset or length that the bytes do not hold */
    ZC_UNSUPPORTED,  /* zip64, several volumes, encryption, another method */
    ZC_OVERLAP,      /* two entries share bytes (a zip bomb's trick) */
    ZC_NO_MEMORY
};

struct zc_entry {
    const unsigned char* name; /* the stored name, not terminated */
    size_t name_length;
    unsigned method;           /* 0 stored, 8 deflated */
    uint32_t crc;
    uint64_t compressed_size;
    uint64_t uncompressed_size;
    uint64_t data_offset;      /* of the entry's data within the bytes */
    unsigned made_by;          /* host system: the high byte of "version made by" */
    uint32_t external_attributes;
};

struct zc_directory {
    struct zc_entry* entries;  /* in directory order; free with zc_free_directory */
    size_t count;
};

/* Reads the central directory of the archive that ends data[0, size). The
 * archive may follow other bytes (its offsets are then taken relative to
 * where it begins). On ZC_OK, `out` holds the entries, whose data all lie
 * within the bytes, before the central directory and apart from each other. */
int zc_read_directory(const unsigned char* data, size_t size, struct zc_directory* out);

void zc_free_directory(struct zc_directory* directory);

/* A text for a status, such as "the archive is damaged". */
const char* zc_status_text(int status);

#ifdef __cplusplus
}
#endif

#endif
