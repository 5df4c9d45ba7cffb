// Small functions for the guest-call tests: stack arguments, 64-bit results, state kept between calls, a fork inside a
// call, a crash.
#include <stdlib.h>
#include <unistd.h>

extern "C" {

int counter;

// Each argument weighted by its position, so a misplaced word shows.
int weigh6(int a, int b, int c, int d, int e, int f) { return a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f; }

long long pair_of(unsigned hi, unsigned lo) { return static_cast<long long>(hi) << 32 | lo; }

int bump(void) { return ++counter; }

unsigned length_of(const char *s) {
  unsigned n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

int fork_here(void) { return fork(); }

int crash(void) { return *static_cast<volatile int *>(nullptr); }

}  // extern "C"

namespace {
// Referenced from main so the linker keeps every probe.
void *volatile const probes[] = {reinterpret_cast<void *>(weigh6),    reinterpret_cast<void *>(pair_of),
                                 reinterpret_cast<void *>(bump),      reinterpret_cast<void *>(length_of),
                                 reinterpret_cast<void *>(fork_here), reinterpret_cast<void *>(crash),
                                 reinterpret_cast<void *>(exit)};
}  // namespace

int main() { return probes[0] != nullptr ? 0 : 1; }
