/*
 * Longest-prefix-match table: one hash map per prefix length, and a bitmask
 * of the lengths in use so that a look-up probes only those, longest first.
 */
#include "lpm.h"

#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define LPM_MAX_PREFIX 128
#define LPM_MAX_WORDS 4     /* 128 bits */
#define LPM_MIN_SPARE 8     /* a map grows before it has fewer spare buckets */

typedef struct lpm_entry {
    struct lpm_entry *next;
    void *value;
    uint32_t len;
    uint8_t key[];
} lpm_entry;

typedef struct {
    uint32_t bucket_count; /* 0 or a power of two */
    uint32_t item_count;
    lpm_entry **buckets;
} lpm_prefix_map;

struct lpm_table {
    uint32_t bitmask[LPM_MAX_WORDS]; /* bit of length p: word (p-1)/32, MSB first */
    void *defaults[2];               /* prefix length 0, by len / 16 */
    lpm_prefix_map maps[LPM_MAX_PREFIX + 1];
};

/* Input outside the table's limits. */
static int refused(const lpm_table *table, size_t len, unsigned preflen)
{
    return !table || (len != 4 && len != 16) || preflen > LPM_MAX_PREFIX;
}

/* The address with every bit past preflen cleared, word by word. */
static void make_key(const void *addr, size_t len, unsigned preflen, uint32_t key[LPM_MAX_WORDS])
{
    const uint8_t *bytes = addr;
    size_t words = len / 4;

    for (size_t i = 0; i < words; i++) {
        uint32_t word;
        memcpy(&word, bytes + 4 * i, 4); /* addresses need not be aligned */
        if (preflen >= 32) {
            key[i] = word;
            preflen -= 32;
        } else if (preflen > 0) {
            key[i] = word & htonl(0xffffffffU << (32 - preflen));
            preflen = 0;
        } else {
            key[i] = 0;
        }
    }
}

static uint32_t fnv1a(const void *key, size_t len)
{
    const uint8_t *p = key;
    uint32_t hash = 2166136261U;

    for (size_t i = 0; i < len; i++) {
        hash ^= p[i];
        hash *= 16777619U;
    }
    return hash;
}

static lpm_entry **find_slot(const lpm_prefix_map *map, const uint32_t *key, size_t len)
{
    lpm_entry **slot = &map->buckets[fnv1a(key, len) & (map->bucket_count - 1)];

    for (; *slot; slot = &(*slot)->next) {
        if ((*slot)->len == len && memcmp((*slot)->key, key, len) == 0)
            return slot;
    }
    return slot; /* the empty link at the end of the chain */
}

static lpm_entry *find_entry(const lpm_prefix_map *map, const uint32_t *key, size_t len)
{
    if (map->bucket_count == 0)
        return NULL;
    return *find_slot(map, key, len);
}

/* Rehashes into the smallest power of two not below item_count + 8 buckets.
 * On failure the map is left as it was. */
static int grow(lpm_prefix_map *map)
{
    uint32_t want = map->item_count + LPM_MIN_SPARE;
    uint32_t count = 1;

    if (map->item_count > UINT32_MAX / 2)
        return -1;
    while (count < want)
        count <<= 1;

    lpm_entry **buckets = calloc(count, sizeof *buckets);
    if (!buckets)
        return -1;
    for (uint32_t i = 0; i < map->bucket_count; i++) {
        lpm_entry *entry = map->buckets[i];
        while (entry) {
            lpm_entry *next = entry->next;
            uint32_t b = fnv1a(entry->key, entry->len) & (count - 1);
            entry->next = buckets[b];
            buckets[b] = entry;
            entry = next;
        }
    }
    free(map->buckets);
    map->buckets = buckets;
    map->bucket_count = count;
    return 0;
}

lpm_table *lpm_create(void)
{
    return calloc(1, sizeof(lpm_table));
}

void lpm_clear(lpm_table *table, lpm_dtor dtor, void *arg)
{
    static const uint8_t zero[16];

    if (!table)
        return;
    for (unsigned p = 0; p <= LPM_MAX_PREFIX; p++) {
        lpm_prefix_map *map = &table->maps[p];
        for (uint32_t i = 0; i < map->bucket_count; i++) {
            lpm_entry *entry = map->buckets[i];
            while (entry) {
                lpm_entry *next = entry->next;
                if (dtor)
                    dtor(arg, entry->key, entry->len, entry->value);
                free(entry);
                entry = next;
            }
        }
        free(map->buckets);
        map->buckets = NULL;
        map->bucket_count = 0;
        map->item_count = 0;
    }
    if (dtor) {
        dtor(arg, zero, 4, table->defaults[0]);
        dtor(arg, zero, 16, table->defaults[1]);
    }
    memset(table->bitmask, 0, sizeof table->bitmask);
    table->defaults[0] = NULL;
    table->defaults[1] = NULL;
}

void lpm_destroy(lpm_table *table)
{
    lpm_clear(table, NULL, NULL);
    free(table);
}

int lpm_insert(lpm_table *table, const void *addr, size_t len, unsigned preflen, void *value)
{
    uint32_t key[LPM_MAX_WORDS];

    if (refused(table, len, preflen))
        return -1;
    if (preflen == 0) {
        table->defaults[len / 16] = value;
        return 0;
    }
    make_key(addr, len, preflen, key);

    lpm_prefix_map *map = &table->maps[preflen];
    if (map->item_count + LPM_MIN_SPARE > map->bucket_count && grow(map) != 0)
        return -1;

    lpm_entry **slot = find_slot(map, key, len);
    lpm_entry *entry = *slot;
    if (!entry) {
        entry = malloc(sizeof *entry + len);
        if (!entry)
            return -1;
        memcpy(entry->key, key, len);
        entry->len = (uint32_t)len;
        lpm_entry **head = &map->buckets[fnv1a(key, len) & (map->bucket_count - 1)];
        entry->next = *head;
        *head = entry;
        map->item_count++;
    }
    table->bitmask[(preflen - 1) / 32] |= 0x80000000U >> ((preflen - 1) % 32);
    entry->value = value;
    return 0;
}

int lpm_remove(lpm_table *table, const void *addr, size_t len, unsigned preflen)
{
    uint32_t key[LPM_MAX_WORDS];

    if (refused(table, len, preflen))
        return -1;
    if (preflen == 0) {
        table->defaults[len / 16] = NULL;
        return 0;
    }
    make_key(addr, len, preflen, key);

    lpm_prefix_map *map = &table->maps[preflen];
    if (map->bucket_count == 0)
        return -1;
    lpm_entry **slot = find_slot(map, key, len);
    lpm_entry *entry = *slot;
    if (!entry)
        return -1;
    /* The item count and the bitmask bit stay: the map just has one less. */
    *slot = entry->next;
    free(entry);
    return 0;
}

void *lpm_lookup(const lpm_table *table, const void *addr, size_t len)
{
    uint32_t key[LPM_MAX_WORDS];

    if (refused(table, len, 0))
        return NULL;
    for (size_t n = len / 4; n-- > 0;) {
        uint32_t bits = table->bitmask[n];
        while (bits) {
            /* The least significant set bit is the longest length left. */
            unsigned preflen = 32 * ((unsigned)n + 1) - (unsigned)__builtin_ctz(bits);
            bits &= bits - 1;
            make_key(addr, len, preflen, key);
            lpm_entry *entry = find_entry(&table->maps[preflen], key, len);
            if (entry)
                return entry->value;
        }
    }
    return table->defaults[len / 16];
}

void *lpm_lookup_prefix(const lpm_table *table, const void *addr, size_t len, unsigned preflen)
{
    uint32_t key[LPM_MAX_WORDS];

    if (refused(table, len, preflen))
        return NULL;
    if (preflen == 0)
        return table->defaults[len / 16];
    make_key(addr, len, preflen, key);
    lpm_entry *entry = find_entry(&table->maps[preflen], key, len);
    return entry ? entry->value : NULL;
}

int lpm_strtobin(const char *cidr, void *addr, size_t *len, unsigned *preflen)
{
    char text[46];

    if (!cidr)
        return -1;
    size_t n = strnlen(cidr, sizeof text - 1);
    memcpy(text, cidr, n);
    text[n] = '\0';

    char *slash = strchr(text, '/');
    if (slash) {
        /* Any number, negative ones too: the table refuses what it cannot hold. */
        *preflen = (unsigned)(uint32_t)strtol(slash + 1, NULL, 10);
        *slash = '\0';
    } else {
        *preflen = 128;
    }

    if (inet_pton(AF_INET6, text, addr) == 1) {
        *len = 16;
        return 0;
    }
    if (inet_pton(AF_INET, text, addr) == 1) {
        if (*preflen == 128)
            *preflen = 32;
        *len = 4;
        return 0;
    }
    return -1;
}
