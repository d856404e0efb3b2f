#include "sfx/zip_central.h"

#include <stdlib.h>
#include <string.h>

enum {
    END_SIZE = 22,
    MAX_COMMENT = 65535,
    CENTRAL_SIZE = 46,
    LOCAL_SIZE = 30,
    ZIP64_LOCATOR_SIZE = 20
};

static const uint32_t END_SIGNATURE = 0x06054b50;
static const uint32_t CENTRAL_SIGNATURE = 0x02014b50;
static const uint32_t LOCAL_SIGNATURE = 0x04034b50;
static const uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;

static uint32_t get16(const unsigned char* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }

static uint32_t get32(const unsigned char* p) { return get16(p) | (get16(p + 2) << 16); }

/* The end record: the last one whose comment reaches exactly to the end. */
static int find_end(const unsigned char* data, size_t size, size_t* position) {
    if (size < END_SIZE) return 0;
    size_t lowest = size - END_SIZE > MAX_COMMENT ? size - END_SIZE - MAX_COMMENT : 0;
    for (size_t p = size - END_SIZE + 1; p-- > lowest;) {
        if (get32(data + p) == END_SIGNATURE && p + END_SIZE + get16(data + p + 20) == size) {
            *position = p;
            return 1;
        }
    }
    return 0;
}

struct span {
    uint64_t start, end;
};

static int by_start(const void* a, const void* b) {
    const struct span* x = a;
    const struct span* y = b;
    return x->start < y->start ? -1 : x->start > y->start;
}

/* 0 when no two spans share a byte. */
static int check_overlap(struct span* spans, size_t count) {
    qsort(spans, count, sizeof *spans, by_start);
    for (size_t i = 1; i < count; ++i)
        if (spans[i].start < spans[i - 1].end) return ZC_OVERLAP;
    return ZC_OK;
}

/* One central record at data[p] (its fixed part within the directory) and
 * its local header; fills `entry` and the entry's span. */
static int read_entry(const unsigned char* data, uint64_t p, uint64_t directory_end,
                      uint64_t base, uint64_t directory_start, struct zc_entry* entry,
                      struct span* span, uint64_t* next) {
    const unsigned char* r = data + p;
    if (get32(r) != CENTRAL_SIGNATURE) return ZC_DAMAGED;
    const uint32_t name_length = get16(r + 28);
    const uint64_t record_end =
        p + CENTRAL_SIZE + name_length + get16(r + 30) + (uint64_t)get16(r + 32);
    if (record_end > directory_end) return ZC_DAMAGED;
    const uint32_t compressed = get32(r + 20), uncompressed = get32(r + 24);
    const uint32_t local_offset = get32(r + 42);
    if (compressed == 0xFFFFFFFFu || uncompressed == 0xFFFFFFFFu || local_offset == 0xFFFFFFFFu ||
        get16(r + 34) == 0xFFFF)
        return ZC_UNSUPPORTED;
    if (get16(r + 34) != 0) return ZC_UNSUPPORTED;            /* another volume */
    if (get16(r + 8) & 1) return ZC_UNSUPPORTED;              /* encrypted */
    const unsigned method = get16(r + 10);
    if (method != 0 && method != 8) return ZC_UNSUPPORTED;
    if (method == 0 && compressed != uncompressed) return ZC_DAMAGED;

    /* The local header, with the same name, and the data after it all lie
     * before the central directory. */
    const uint64_t local = base + local_offset;
    if (local + LOCAL_SIZE > directory_start) return ZC_DAMAGED;
    const unsigned char* l = data + local;
    if (get32(l) != LOCAL_SIGNATURE || get16(l + 26) != name_length) return ZC_DAMAGED;
    const uint64_t data_offset = local + LOCAL_SIZE + name_length + get16(l + 28);
    if (data_offset > directory_start || compressed > directory_start - data_offset)
        return ZC_DAMAGED;
    if (memcmp(l + LOCAL_SIZE, r + CENTRAL_SIZE, name_length) != 0) return ZC_DAMAGED;

    entry->name = r + CENTRAL_SIZE;
    entry->name_length = name_length;
    entry->method = method;
    entry->crc = get32(r + 16);
    entry->compressed_size = compressed;
    entry->uncompressed_size = uncompressed;
    entry->data_offset = data_offset;
    entry->made_by = get16(r + 4) >> 8;
    entry->external_attributes = get32(r + 38);
    span->start = local;
    span->end = data_offset + compressed;
    *next = record_end;
    return ZC_OK;
}

int zc_read_directory(const unsigned char* data, size_t size, struct zc_directory* out) {
    out->entries = NULL;
    out->count = 0;
    size_t end;
    if (data == NULL || !find_end(data, size, &end)) return ZC_NO_ARCHIVE;
    const unsigned char* e = data + end;
    const uint32_t count = get16(e + 10);
    const uint32_t directory_size = get32(e + 12), directory_offset = get32(e + 16);
    if (count == 0xFFFF || directory_size == 0xFFFFFFFFu || directory_offset == 0xFFFFFFFFu ||
        (end >= ZIP64_LOCATOR_SIZE && get32(e - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIGNATURE))
        return ZC_UNSUPPORTED;
    if (get16(e + 4) != 0 || get16(e + 6) != 0 || get16(e + 8) != count) return ZC_UNSUPPORTED;
    if ((uint64_t)directory_offset + directory_size > end) return ZC_DAMAGED;
    if ((uint64_t)count * CENTRAL_SIZE > directory_size) return ZC_DAMAGED;

    /* Bytes in front of the archive shift every offset it records. */
    const uint64_t base = end - ((uint64_t)directory_offset + directory_size);
    const uint64_t directory_start = base + directory_offset;
    const uint64_t directory_end = directory_start + directory_size;
    if (count == 0) return ZC_OK;

    struct zc_entry* entries = calloc(count, sizeof *entries);
    struct span* spans = calloc(count, sizeof *spans);
    int status = entries && spans ? ZC_OK : ZC_NO_MEMORY;
    uint64_t p = directory_start;
    for (uint32_t i = 0; status == ZC_OK && i < count; ++i) {
        if (p + CENTRAL_SIZE > directory_end) status = ZC_DAMAGED;
        else status = read_entry(data, p, directory_end, base, directory_start, &entries[i],
                                 &spans[i], &p);
    }
    if (status == ZC_OK) status = check_overlap(spans, count);
    free(spans);
    if (status != ZC_OK) {
        free(entries);
        return status;
    }
    out->entries = entries;
    out->count = count;
    return ZC_OK;
}

void zc_free_directory(struct zc_directory* directory) {
    free(directory->entries);
    directory->entries = NULL;
    directory->count = 0;
}

const char* zc_status_text(int status) {
    switch (status) {
        case ZC_OK: return "no error";
        case ZC_NO_ARCHIVE: return "no zip archive";
        case ZC_DAMAGED: return "the archive is damaged";
        case ZC_UNSUPPORTED: return "the archive uses a feature this extractor lacks";
        case ZC_OVERLAP: return "entries of the archive overlap";
        case ZC_NO_MEMORY: return "out of memory";
        default: return "unknown error";
    }
}
