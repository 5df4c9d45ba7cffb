/* Sorting through comparison callbacks, as library code sorts: a generic
 * quicksort (median of three, insertion sort below a cut-off) and a
 * stable merge sort over records, by number, by name and by two keys. */
#include <string.h>

#include "suite.h"

enum { kRecords = 6000, kRounds = 24 };

struct record {
  uint32_t key;
  uint16_t group;
  uint16_t serial;
  char name[12];
};

static struct record table[kRecords], spare[kRecords];

typedef int (*compare_fn)(const void *, const void *);

static void swap_bytes(void *a, void *b, uint32_t size) {
  uint32_t *x = a, *y = b; /* records are whole words */
  for (uint32_t i = 0; i < size / 4; ++i) {
    uint32_t t = x[i];
    x[i] = y[i];
    y[i] = t;
  }
}

static void insertion(char *base, uint32_t n, uint32_t size, compare_fn cmp) {
  for (uint32_t i = 1; i < n; ++i)
    for (uint32_t j = i; j > 0 && cmp(base + (j - 1) * size, base + j * size) > 0; --j)
      swap_bytes(base + (j - 1) * size, base + j * size, size);
}

static void quick(char *base, uint32_t n, uint32_t size, compare_fn cmp) {
  while (n > 12) {
    char *lo = base, *mid = base + (n / 2) * size, *hi = base + (n - 1) * size;
    if (cmp(mid, lo) < 0) swap_bytes(mid, lo, size);
    if (cmp(hi, mid) < 0) {
      swap_bytes(hi, mid, size);
      if (cmp(mid, lo) < 0) swap_bytes(mid, lo, size);
    }
    swap_bytes(mid, base, size); /* pivot to the front */
    uint32_t i = 1, j = n - 1;
    for (;;) {
      while (i <= j && cmp(base + i * size, base) < 0) ++i;
      while (j >= i && cmp(base + j * size, base) > 0) --j;
      if (i >= j) break;
      swap_bytes(base + i * size, base + j * size, size);
      ++i;
      --j;
    }
    swap_bytes(base, base + j * size, size);
    /* Recurse into the smaller side, loop on the larger. */
    if (j < n - j - 1) {
      quick(base, j, size, cmp);
      base += (j + 1) * size;
      n -= j + 1;
    } else {
      quick(base + (j + 1) * size, n - j - 1, size, cmp);
      n = j;
    }
  }
  insertion(base, n, size, cmp);
}

static void merge_sort(struct record *v, struct record *tmp, uint32_t n, compare_fn cmp) {
  if (n < 2) return;
  uint32_t half = n / 2;
  merge_sort(v, tmp, half, cmp);
  merge_sort(v + half, tmp, n - half, cmp);
  uint32_t i = 0, j = half, k = 0;
  while (i < half && j < n) tmp[k++] = cmp(&v[j], &v[i]) < 0 ? v[j++] : v[i++];
  while (i < half) tmp[k++] = v[i++];
  while (j < n) tmp[k++] = v[j++];
  memcpy(v, tmp, n * sizeof *v);
}

static int by_key(const void *a, const void *b) {
  const struct record *x = a, *y = b;
  return x->key < y->key ? -1 : x->key > y->key;
}

static int by_name(const void *a, const void *b) {
  const struct record *x = a, *y = b;
  return strcmp(x->name, y->name);
}

static int by_group_then_key(const void *a, const void *b) {
  const struct record *x = a, *y = b;
  if (x->group != y->group) return x->group < y->group ? -1 : 1;
  return by_key(a, b);
}

static int by_group(const void *a, const void *b) {
  const struct record *x = a, *y = b;
  return (int)x->group - (int)y->group;
}

static void fill(void) {
  static const char letters[] = "etaoinshrdlucmfw";
  for (uint32_t i = 0; i < kRecords; ++i) {
    struct record *r = &table[i];
    r->key = rng() & 0xfffff;
    r->group = (uint16_t)rng_below(40);
    r->serial = (uint16_t)i;
    uint32_t len = 3 + rng_below(8), bits = rng();
    for (uint32_t c = 0; c < len; ++c, bits = bits >> 4 | rng() << 28) r->name[c] = letters[bits & 15];
    r->name[len] = 0;
  }
}

static uint32_t order_sum(void) {
  uint32_t h = 0;
  for (uint32_t i = 0; i < kRecords; ++i) h = mix(h, table[i].serial);
  return h;
}

int main(void) {
  uint32_t check = 0;
  rng_seed(7);
  for (uint32_t round = 0; round < kRounds; ++round) {
    fill();
    quick((char *)table, kRecords, sizeof table[0], by_key);
    check = mix(check, table[0].key ^ table[kRecords - 1].key);
    quick((char *)table, kRecords, sizeof table[0], by_name);
    check = mix(check, order_sum());
    quick((char *)table, kRecords, sizeof table[0], by_group_then_key);
    check = mix(check, order_sum());
    merge_sort(table, spare, kRecords, by_key);
    merge_sort(table, spare, kRecords, by_group); /* stable: keys stay sorted per group */
    check = mix(check, order_sum());
  }
  report("sort", check);
  return 0;
}
