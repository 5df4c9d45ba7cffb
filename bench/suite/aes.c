/* AES-128 written from the algorithm's description, byte-oriented as
 * small embedded implementations are: the S-box is computed at start (the
 * multiplicative inverse in GF(2^8) and the affine map), then the key
 * schedule, and each block through SubBytes, ShiftRows, MixColumns and
 * AddRoundKey; CBC encryption of a buffer and decryption back. */
#include <string.h>

#include "suite.h"

enum { kBuffer = 4096, kRounds = 36 };

static uint8_t sbox[256], inv_sbox[256];
static uint8_t round_keys[176];
static uint8_t plain[kBuffer], cipher[kBuffer], back[kBuffer];

static uint8_t xtime(uint8_t x) { return (uint8_t)(x << 1 ^ (x & 0x80 ? 0x1b : 0)); }

static uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  while (b) {
    if (b & 1) p ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return p;
}

static uint8_t rotl8(uint8_t x, int n) { return (uint8_t)(x << n | x >> (8 - n)); }

static void make_sbox(void) {
  for (int i = 0; i < 256; ++i) {
    uint8_t inv = 0;
    if (i)
      for (int j = 1; j < 256; ++j)
        if (gmul((uint8_t)i, (uint8_t)j) == 1) {
          inv = (uint8_t)j;
          break;
        }
    const uint8_t s = (uint8_t)(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
    sbox[i] = s;
    inv_sbox[s] = (uint8_t)i;
  }
}

static void expand_key(const uint8_t key[16]) {
  memcpy(round_keys, key, 16);
  uint8_t rcon = 1;
  for (int i = 16; i < 176; i += 4) {
    uint8_t t[4] = {round_keys[i - 4], round_keys[i - 3], round_keys[i - 2], round_keys[i - 1]};
    if (i % 16 == 0) {
      const uint8_t first = t[0];
      t[0] = sbox[t[1]] ^ rcon;
      t[1] = sbox[t[2]];
      t[2] = sbox[t[3]];
      t[3] = sbox[first];
      rcon = xtime(rcon);
    }
    for (int k = 0; k < 4; ++k) round_keys[i + k] = round_keys[i - 16 + k] ^ t[k];
  }
}

static void add_round_key(uint8_t s[16], int round) {
  for (int i = 0; i < 16; ++i) s[i] ^= round_keys[round * 16 + i];
}

/* The state is column-major: s[4 * column + row]. */
static void shift_rows(uint8_t s[16], int inverse) {
  uint8_t t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) {
      const int from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
      t[4 * c + r] = s[4 * from + r];
    }
  memcpy(s, t, 16);
}

static void mix_columns(uint8_t s[16]) {
  for (int c = 0; c < 4; ++c) {
    uint8_t *col = s + 4 * c;
    const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3], all = a0 ^ a1 ^ a2 ^ a3;
    col[0] ^= all ^ xtime(a0 ^ a1);
    col[1] ^= all ^ xtime(a1 ^ a2);
    col[2] ^= all ^ xtime(a2 ^ a3);
    col[3] ^= all ^ xtime(a3 ^ a0);
  }
}

static void inv_mix_columns(uint8_t s[16]) {
  for (int c = 0; c < 4; ++c) {
    uint8_t *col = s + 4 * c;
    const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9);
    col[1] = gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13);
    col[2] = gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11);
    col[3] = gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14);
  }
}

static void encrypt_block(uint8_t s[16]) {
  add_round_key(s, 0);
  for (int round = 1; round <= 10; ++round) {
    for (int i = 0; i < 16; ++i) s[i] = sbox[s[i]];
    shift_rows(s, 0);
    if (round < 10) mix_columns(s);
    add_round_key(s, round);
  }
}

static void decrypt_block(uint8_t s[16]) {
  add_round_key(s, 10);
  for (int round = 9; round >= 0; --round) {
    shift_rows(s, 1);
    for (int i = 0; i < 16; ++i) s[i] = inv_sbox[s[i]];
    add_round_key(s, round);
    if (round > 0) inv_mix_columns(s);
  }
}

int main(void) {
  static const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                  0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  make_sbox();
  expand_key(key);
  /* The description's own example block: 3243f6a8... encrypts to 3925841d... */
  uint8_t known[16] = {0x32, 0x43, 0xf6, 0xa8, 0x88, 0x5a, 0x30, 0x8d, 0x31, 0x31, 0x98, 0xa2, 0xe0, 0x37, 0x07, 0x34};
  encrypt_block(known);
  uint32_t check = (uint32_t)known[0] << 24 | (uint32_t)known[1] << 16 | (uint32_t)known[14] << 8 | known[15];
  rng_seed(59);
  for (int i = 0; i < kBuffer; ++i) plain[i] = (uint8_t)rng();
  for (int round = 0; round < kRounds; ++round) {
    uint8_t iv[16];
    for (int i = 0; i < 16; ++i) iv[i] = (uint8_t)(round * 16 + i);
    const uint8_t *chain = iv;
    for (int at = 0; at < kBuffer; at += 16) {
      for (int i = 0; i < 16; ++i) cipher[at + i] = plain[at + i] ^ chain[i];
      encrypt_block(cipher + at);
      chain = cipher + at;
    }
    for (int at = kBuffer - 16; at >= 0; at -= 16) {
      memcpy(back + at, cipher + at, 16);
      decrypt_block(back + at);
      const uint8_t *prev = at ? cipher + at - 16 : iv;
      for (int i = 0; i < 16; ++i) back[at + i] ^= prev[i];
    }
    check = mix(check, memcmp(back, plain, kBuffer) == 0 ? cipher[kBuffer - 1 - round] : 0xbadu);
    plain[round] ^= cipher[round * 7];
  }
  report("aes", check);
  return 0;
}
