/* A nested-loop image decoder in the manner of baseline JPEG, of its own
 * format: 8x8 blocks of three planes, a fixed-point forward DCT and
 * quantisation on the encoding side; on the decoding side (run more
 * often) a bit reader, canonical Huffman codes for run/size symbols,
 * dequantisation through the zig-zag order, a separable fixed-point
 * inverse DCT, and the colour conversion to RGB. */
#include <string.h>

#include "suite.h"

enum { kW = 64, kH = 48, kBlocks = (kW / 8) * (kH / 8), kStream = 1 << 16, kDecodes = 18, kRounds = 10 };

static uint8_t planes[3][kH][kW], out[3][kH][kW];
static int16_t coef[3][kBlocks][64];
static uint8_t stream[kStream];
static uint32_t stream_len;
static int32_t cosine[8][8]; /* Q14: c(u) cos((2x+1)u pi / 16) / 2 */
static uint8_t zigzag[64];
static const uint8_t quant[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                  14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                  18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                  49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

/* cos((2x+1)u pi/16) in Q14 for u = 0..7, x = 0..7, from the eight values
 * cos(k pi/16) and symmetry: no math library. */
static void make_tables(void) {
  static const int32_t c16[9] = {16384, 16069, 15137, 13623, 11585, 9102, 6270, 3196, 0};
  for (int u = 0; u < 8; ++u)
    for (int x = 0; x < 8; ++x) {
      int k = ((2 * x + 1) * u) % 32, sign = 1;
      if (k > 16) k = 32 - k;
      if (k > 8) k = 16 - k, sign = -1;
      int32_t v = sign * c16[k];
      if (u == 0) v = v * 11585 >> 14; /* 1/sqrt(2) */
      cosine[u][x] = v / 2;
    }
  int i = 0;
  for (int s = 0; s < 15; ++s)
    for (int j = 0; j <= s; ++j) {
      const int r = s % 2 ? j : s - j, c = s - r;
      if (r < 8 && c < 8) zigzag[i++] = (uint8_t)(r * 8 + c);
    }
}

static void transform(const int32_t in[64], int32_t out64[64], int inverse) {
  int32_t tmp[64];
  for (int r = 0; r < 8; ++r)
    for (int u = 0; u < 8; ++u) {
      int32_t s = 0;
      for (int x = 0; x < 8; ++x) s += in[r * 8 + x] * (inverse ? cosine[x][u] : cosine[u][x]);
      tmp[r * 8 + u] = (s + (1 << 12)) >> 13;
    }
  for (int c = 0; c < 8; ++c)
    for (int v = 0; v < 8; ++v) {
      int32_t s = 0;
      for (int y = 0; y < 8; ++y) s += tmp[y * 8 + c] * (inverse ? cosine[y][v] : cosine[v][y]);
      out64[v * 8 + c] = (s + (1 << 14)) >> 15;
    }
}

/* Huffman codes over symbols (run << 4 | size), canonical by length. */
static uint32_t freq[256];
static uint8_t code_len[256];
static uint16_t code_of[256];
static uint8_t by_code[256]; /* symbols in canonical order */
static int32_t first_code[17], first_index[17], count_len[17];

static void build_code(void) {
  /* Lengths from a simple package: sort by frequency, assign shorter
   * lengths to commoner symbols, within the Kraft sum. */
  uint8_t order[256];
  int n = 0;
  for (int s = 0; s < 256; ++s)
    if (freq[s]) order[n++] = (uint8_t)s;
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && freq[order[j - 1]] < freq[order[j]]; --j) {
      const uint8_t t = order[j];
      order[j] = order[j - 1];
      order[j - 1] = t;
    }
  memset(code_len, 0, sizeof code_len);
  memset(count_len, 0, sizeof count_len);
  uint32_t kraft = 0; /* in units of 2^-16 */
  for (int i = 0; i < n; ++i) {
    int len = 2;
    /* Room left must cover every remaining symbol at length 16. */
    while (len < 16 && kraft + (1u << (16 - len)) + (uint32_t)(n - i - 1) > 65536u) ++len;
    if (len < 16 && freq[order[i]] * 64 < freq[order[0]]) ++len;
    while (len < 16 && kraft + (1u << (16 - len)) + (uint32_t)(n - i - 1) > 65536u) ++len;
    code_len[order[i]] = (uint8_t)len;
    kraft += 1u << (16 - len);
    ++count_len[len];
  }
  int32_t code = 0, index = 0;
  for (int len = 1; len <= 16; ++len) {
    first_code[len] = code;
    first_index[len] = index;
    int k = index;
    for (int s = 0; s < 256; ++s)
      if (code_len[s] == len) by_code[k++] = (uint8_t)s;
    for (int i = index; i < k; ++i) code_of[by_code[i]] = (uint16_t)(code + i - index);
    index = k;
    code = (code + count_len[len]) << 1;
  }
}

static uint32_t bit_buf, bit_count;

static void put_bits(uint32_t v, uint32_t n) {
  bit_buf = bit_buf << n | (v & ((1u << n) - 1));
  bit_count += n;
  while (bit_count >= 8) {
    bit_count -= 8;
    if (stream_len < kStream) stream[stream_len++] = (uint8_t)(bit_buf >> bit_count);
  }
}

static uint32_t size_of(int32_t v) {
  uint32_t a = (uint32_t)(v < 0 ? -v : v), n = 0;
  while (a) ++n, a >>= 1;
  return n;
}

/* Walks the blocks' symbols: counting them (emit 0) or writing them. */
static void code_blocks(int write) {
  for (int p = 0; p < 3; ++p)
    for (int b = 0; b < kBlocks; ++b) {
      int run = 0;
      for (int i = 0; i < 64; ++i) {
        const int32_t v = coef[p][b][zigzag[i]];
        if (v == 0 && i != 0) {
          ++run;
          continue;
        }
        while (run > 15) {
          if (write) put_bits(code_of[0xf0], code_len[0xf0]);
          else ++freq[0xf0];
          run -= 16;
        }
        const uint32_t size = size_of(v), sym = (uint32_t)run << 4 | size;
        if (write) {
          put_bits(code_of[sym], code_len[sym]);
          put_bits(v < 0 ? (uint32_t)(v - 1) : (uint32_t)v, size);
        } else {
          ++freq[sym];
        }
        run = 0;
      }
      if (write) put_bits(code_of[0], code_len[0]); /* end of block */
      else ++freq[0];
    }
}

static void encode(void) {
  for (int p = 0; p < 3; ++p)
    for (int b = 0; b < kBlocks; ++b) {
      const int bx = (b % (kW / 8)) * 8, by = (b / (kW / 8)) * 8;
      int32_t in[64], f[64];
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) in[y * 8 + x] = planes[p][by + y][bx + x] - 128;
      transform(in, f, 0);
      for (int i = 0; i < 64; ++i) {
        const int32_t q = quant[i] * (p ? 2 : 1);
        coef[p][b][i] = (int16_t)(f[i] >= 0 ? (f[i] + q / 2) / q : -((-f[i] + q / 2) / q));
      }
    }
  memset(freq, 0, sizeof freq);
  code_blocks(0);
  build_code();
  stream_len = bit_buf = bit_count = 0;
  code_blocks(1);
  put_bits(0x7f, 7); /* pad */
}

static const uint8_t *rd;
static uint32_t rd_buf, rd_bits;

static uint32_t get_bit(void) {
  if (rd_bits == 0) {
    rd_buf = *rd++;
    rd_bits = 8;
  }
  return rd_buf >> --rd_bits & 1;
}

static uint32_t get_bits(uint32_t n) {
  uint32_t v = 0;
  while (n--) v = v << 1 | get_bit();
  return v;
}

static uint32_t decode_symbol(void) {
  int32_t code = 0;
  for (int len = 1; len <= 16; ++len) {
    code = code << 1 | (int32_t)get_bit();
    if (code - first_code[len] < count_len[len]) return by_code[first_index[len] + code - first_code[len]];
  }
  return 0;
}

static uint8_t clamp(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

static void decode(void) {
  rd = stream;
  rd_bits = 0;
  for (int p = 0; p < 3; ++p)
    for (int b = 0; b < kBlocks; ++b) {
      int32_t in[64], pix[64];
      memset(in, 0, sizeof in);
      for (int i = 0; i < 64;) {
        const uint32_t sym = decode_symbol();
        if (sym == 0 && i > 0) break;
        if (sym == 0xf0) {
          i += 16;
          continue;
        }
        i += (int)(sym >> 4);
        const uint32_t size = sym & 15;
        int32_t v = (int32_t)get_bits(size);
        if (size && v < (1 << (size - 1))) v = v - (1 << size) + 1;
        if (i < 64) in[zigzag[i]] = v * quant[zigzag[i]] * (p ? 2 : 1);
        ++i;
      }
      transform(in, pix, 1);
      const int bx = (b % (kW / 8)) * 8, by = (b / (kW / 8)) * 8;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) out[p][by + y][bx + x] = clamp(pix[y * 8 + x] + 128);
    }
}

/* YCbCr to RGB in Q16, folded into a checksum. */
static uint32_t to_rgb(void) {
  uint32_t h = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const int32_t l = out[0][y][x], cb = out[1][y][x] - 128, cr = out[2][y][x] - 128;
      const uint8_t r = clamp(l + ((91881 * cr) >> 16));
      const uint8_t g = clamp(l - ((22554 * cb + 46802 * cr) >> 16));
      const uint8_t bl = clamp(l + ((116130 * cb) >> 16));
      h = mix(h, (uint32_t)r << 16 | (uint32_t)g << 8 | bl);
    }
  return h;
}

int main(void) {
  uint32_t check = 0;
  make_tables();
  rng_seed(67);
  for (int round = 0; round < kRounds; ++round) {
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        planes[0][y][x] = (uint8_t)((x * 3 + y * 2 + (int)rng_below(24)) & 0xff);
        planes[1][y][x] = (uint8_t)(128 + ((x - y) >> 1) + (int)rng_below(8));
        planes[2][y][x] = (uint8_t)(100 + (x >> 2) + (int)rng_below(8));
      }
    encode();
    check = mix(check, stream_len);
    for (int d = 0; d < kDecodes; ++d) {
      decode();
      check = mix(check, to_rgb());
    }
  }
  report("jpeg", check);
  return 0;
}
