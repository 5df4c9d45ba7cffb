/* Hash tables: words made of syllables counted in an open-addressing
 * table keyed by string (linear probing, grown by rehashing), and an
 * integer-keyed table with chains, with lookups and deletions. */
#include <string.h>

#include "suite.h"

enum { kWords = 40000, kArena = 1 << 18, kMaxSlots = 1 << 15, kChains = 4096, kItems = 16384, kRounds = 12 };

struct slot {
  const char *key;
  uint32_t hash, count;
};

static char arena[kArena];
static uint32_t arena_used;
static struct slot slots[kMaxSlots];
static uint32_t capacity, filled;

static uint32_t hash_string(const char *s) {
  uint32_t h = 2166136261u;
  while (*s) h = (h ^ (uint8_t)*s++) * 16777619u;
  return h ^ (h >> 13);
}

static struct slot *probe(struct slot *table, uint32_t cap, const char *key, uint32_t h) {
  for (uint32_t i = h & (cap - 1);; i = (i + 1) & (cap - 1))
    if (!table[i].key || (table[i].hash == h && strcmp(table[i].key, key) == 0)) return &table[i];
}

static void grow(void) {
  static struct slot old[kMaxSlots];
  memcpy(old, slots, capacity * sizeof *slots);
  const uint32_t old_cap = capacity;
  capacity *= 2;
  memset(slots, 0, capacity * sizeof *slots);
  for (uint32_t i = 0; i < old_cap; ++i)
    if (old[i].key) *probe(slots, capacity, old[i].key, old[i].hash) = old[i];
}

static void count_word(const char *w) {
  const uint32_t h = hash_string(w);
  struct slot *s = probe(slots, capacity, w, h);
  if (s->key) {
    ++s->count;
    return;
  }
  const uint32_t n = (uint32_t)strlen(w) + 1;
  if (arena_used + n > kArena || filled * 4 >= kMaxSlots * 3) return;
  memcpy(arena + arena_used, w, n);
  s->key = arena + arena_used;
  arena_used += n;
  s->hash = h;
  s->count = 1;
  if (++filled * 4 > capacity * 3 && capacity < kMaxSlots) grow();
}

/* Integer keys, chained through indices. */
struct item {
  uint32_t key, value;
  int32_t next;
};
static struct item items[kItems];
static int32_t chains[kChains], free_item;

static struct item *lookup(uint32_t key) {
  for (int32_t i = chains[(key * 2654435761u) >> 20]; i >= 0; i = items[i].next)
    if (items[i].key == key) return &items[i];
  return 0;
}

static void add(uint32_t key, uint32_t value) {
  if (free_item < 0) return;
  const int32_t i = free_item;
  free_item = items[i].next;
  int32_t *chain = &chains[(key * 2654435761u) >> 20];
  items[i] = (struct item){key, value, *chain};
  *chain = i;
}

static void remove_key(uint32_t key) {
  for (int32_t *link = &chains[(key * 2654435761u) >> 20]; *link >= 0; link = &items[*link].next)
    if (items[*link].key == key) {
      const int32_t i = *link;
      *link = items[i].next;
      items[i].next = free_item;
      free_item = i;
      return;
    }
}

int main(void) {
  static const char *const syllables[] = {"ka", "lo", "min",  "te", "ra", "sen", "do",  "vi",
                                          "nu", "pe", "stra", "qu", "ol", "im",  "ber", "za"};
  uint32_t check = 0;
  rng_seed(31);
  for (uint32_t round = 0; round < kRounds; ++round) {
    capacity = 1024;
    filled = arena_used = 0;
    memset(slots, 0, sizeof slots);
    for (uint32_t n = 0; n < kWords; ++n) {
      char word[32];
      uint32_t len = 0, parts = 1 + rng_below(4);
      /* Skewed: low syllables far more common, so words repeat. */
      for (uint32_t p = 0; p < parts; ++p)
        for (const char *s = syllables[rng_below(1 + rng_below(16))]; *s; ++s) word[len++] = *s;
      word[len] = 0;
      count_word(word);
    }
    for (uint32_t i = 0; i < capacity; ++i)
      if (slots[i].key) check = mix(check, slots[i].hash + slots[i].count * 7);
    check = mix(check, filled);

    for (uint32_t i = 0; i < kChains; ++i) chains[i] = -1;
    for (uint32_t i = 0; i < kItems; ++i) items[i].next = i + 1 < kItems ? (int32_t)i + 1 : -1;
    free_item = 0;
    for (uint32_t op = 0; op < 400000; ++op) {
      const uint32_t key = rng() & 0x7fff;
      struct item *it = lookup(key);
      if (it) {
        check += it->value;
        if (op & 1) remove_key(key);
        else ++it->value;
      } else {
        add(key, op);
      }
    }
  }
  report("hashtab", check);
  return 0;
}
