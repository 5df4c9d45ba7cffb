/* A byte-stream codec: an LZ77 compressor of its own format (literal
 * runs and matches, lengths and distances as variable-length integers,
 * matches found through hash chains), and the decoder, which runs more
 * often, as decoders do. */
#include <string.h>

#include "suite.h"

enum {
  kData = 1 << 16,
  kOut = kData + kData / 8 + 64,
  kHashBits = 12,
  kWindow = 1 << 15,
  kMinMatch = 4,
  kDecodes = 10,
  kRounds = 20
};

static uint8_t data[kData], packed[kOut], unpacked[kData];
static int32_t head[1 << kHashBits], chain[kData];

static void generate(void) {
  static const char *const words[] = {"the ",  "machine ", "runs ", "a ",  "block ", "of ",   "code ", "and ",
                                      "then ", "moves ",   "on ",   "to ", "its ",   "next ", "page ", "\n"};
  uint32_t at = 0;
  while (at < kData) {
    if (rng_below(6) == 0) {
      data[at++] = (uint8_t)rng(); /* noise */
      continue;
    }
    for (const char *w = words[rng_below(16)]; *w && at < kData; ++w) data[at++] = (uint8_t)*w;
  }
}

static uint8_t *put_varint(uint8_t *out, uint32_t v) {
  while (v >= 0x80) {
    *out++ = (uint8_t)(v | 0x80);
    v >>= 7;
  }
  *out++ = (uint8_t)v;
  return out;
}

static const uint8_t *get_varint(const uint8_t *in, uint32_t *v) {
  uint32_t x = 0, shift = 0;
  uint8_t b;
  do {
    b = *in++;
    x |= (uint32_t)(b & 0x7f) << shift;
    shift += 7;
  } while (b & 0x80);
  *v = x;
  return in;
}

static uint32_t hash4(const uint8_t *p) {
  const uint32_t w = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
  return (w * 2654435761u) >> (32 - kHashBits);
}

/* Token: varint (literals << 1 | 0) then the literals, or varint
 * ((length - kMinMatch) << 1 | 1) then varint distance. */
static uint32_t compress(uint32_t n) {
  for (uint32_t i = 0; i < (1u << kHashBits); ++i) head[i] = -1;
  uint8_t *out = packed;
  uint32_t lit_start = 0, i = 0;
  while (i + kMinMatch <= n) {
    const uint32_t h = hash4(data + i);
    uint32_t best = 0, best_dist = 0, tries = 16;
    for (int32_t j = head[h]; j >= 0 && i - (uint32_t)j <= kWindow && tries--; j = chain[j]) {
      uint32_t len = 0;
      while (i + len < n && len < 255 && data[j + len] == data[i + len]) ++len;
      if (len > best) best = len, best_dist = i - (uint32_t)j;
    }
    chain[i] = head[h];
    head[h] = (int32_t)i;
    if (best < kMinMatch) {
      ++i;
      continue;
    }
    if (i > lit_start) {
      out = put_varint(out, (i - lit_start) << 1);
      memcpy(out, data + lit_start, i - lit_start);
      out += i - lit_start;
    }
    out = put_varint(out, (best - kMinMatch) << 1 | 1);
    out = put_varint(out, best_dist);
    for (uint32_t k = 1; k < best && i + k + kMinMatch <= n; ++k) { /* keep the chains whole */
      const uint32_t hk = hash4(data + i + k);
      chain[i + k] = head[hk];
      head[hk] = (int32_t)(i + k);
    }
    i += best;
    lit_start = i;
  }
  if (n > lit_start) {
    out = put_varint(out, (n - lit_start) << 1);
    memcpy(out, data + lit_start, n - lit_start);
    out += n - lit_start;
  }
  return (uint32_t)(out - packed);
}

static uint32_t decompress(uint32_t size) {
  const uint8_t *in = packed, *end = packed + size;
  uint8_t *out = unpacked;
  while (in < end) {
    uint32_t token;
    in = get_varint(in, &token);
    if (token & 1) {
      uint32_t dist;
      in = get_varint(in, &dist);
      const uint8_t *from = out - dist;
      for (uint32_t k = (token >> 1) + kMinMatch; k; --k) *out++ = *from++; /* may overlap */
    } else {
      for (uint32_t k = token >> 1; k; --k) *out++ = *in++;
    }
  }
  return (uint32_t)(out - unpacked);
}

int main(void) {
  uint32_t check = 0;
  rng_seed(41);
  for (uint32_t round = 0; round < kRounds; ++round) {
    generate();
    const uint32_t size = compress(kData);
    check = mix(check, size);
    for (uint32_t d = 0; d < kDecodes; ++d) {
      const uint32_t n = decompress(size);
      check = mix(check, n);
      check = mix(check, memcmp(unpacked, data, kData) == 0 ? unpacked[d * 997] : 0xdeadu);
    }
  }
  report("lz", check);
  return 0;
}
