// Writes argv[1] bytes (decimal; without it, for ever) to fd 1 in writes
// of at most 4096, each byte its offset's low digit ('0' to '9', so a lost
// or repeated stretch shows); exits 0, or 1 at a write that does not
// return its length.
#include <unistd.h>

namespace {
char block[4096];
}

int main(int argc, char **argv) {
  unsigned left = 0xffffffffu;
  const bool endless = argc < 2;
  if (!endless) {
    left = 0;
    for (const char *s = argv[1]; *s >= '0' && *s <= '9'; ++s) left = left * 10 + unsigned(*s - '0');
  }
  for (unsigned i = 0; i < sizeof block; ++i) block[i] = char('0' + i % 10);
  // Each write goes on with the digits where the last one ended.
  for (unsigned at = 0; endless || left > 0;) {
    const unsigned skip = at % 10;
    unsigned n = sizeof block - skip;
    if (!endless && n > left) n = left;
    if (write(1, block + skip, n) != int(n)) return 1;
    at += n;
    if (!endless) left -= n;
  }
  return 0;
}
