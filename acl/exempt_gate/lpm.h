#ifndef ZELTO_LPM_H
#define ZELTO_LPM_H

/*
 * Longest-prefix-match table for IPv4 and IPv6 prefixes.
 *
 * Addresses are byte strings in network byte order as inet_pton() makes
 * them: len is 4 (IPv4) or 16 (IPv6); they need not be aligned. A prefix
 * length runs from 0 to 128; length 0 is the default value of the address
 * family, returned by a look-up that finds nothing longer.
 *
 * Ownership: the table owns its entries and copies of their keys; values
 * are opaque to it and never freed by it (lpm_clear hands each value to the
 * caller's destructor). A table is not locked: one thread at a time.
 *
 * Input outside the table's limits (a NULL table, len other than 4 or 16,
 * a prefix length above 128) is refused: -1 or NULL, nothing touched.
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lpm_table lpm_table;

/* Called by lpm_clear for every entry and for both default values. */
typedef void (*lpm_dtor)(void *arg, const void *key, size_t len, void *value);

/* A new empty table, or NULL when memory is exhausted. */
lpm_table *lpm_create(void);

/* Frees every entry (calling dtor for each when it is not NULL); the table
 * stays usable and empty. */
void lpm_clear(lpm_table *table, lpm_dtor dtor, void *arg);

/* Frees the table and its entries (not the values). */
void lpm_destroy(lpm_table *table);

/* Stores value for addr/preflen, replacing the value of an equal prefix.
 * 0, or -1 when memory is exhausted or the input is refused. */
int lpm_insert(lpm_table *table, const void *addr, size_t len, unsigned preflen, void *value);

/* 0 when the prefix was removed, -1 when it is not present. */
int lpm_remove(lpm_table *table, const void *addr, size_t len, unsigned preflen);

/* Value of the longest stored prefix containing addr, else the family's
 * default value (NULL unless one was stored with prefix length 0). */
void *lpm_lookup(const lpm_table *table, const void *addr, size_t len);

/* Value stored for exactly this prefix, else NULL. */
void *lpm_lookup_prefix(const lpm_table *table, const void *addr, size_t len, unsigned preflen);

/* Parses "address" or "address/length" into addr (room for 16 bytes), its
 * length and the prefix length (128 for a bare IPv6 address, 32 for a bare
 * IPv4 one). The number after "/" is passed on as written, unchecked.
 * 0, or -1 when the text is no address. */
int lpm_strtobin(const char *cidr, void *addr, size_t *len, unsigned *preflen);

#ifdef __cplusplus
}
#endif

#endif
