// Time: __time's 64-bit result and what it stores through its pointers.
#include <stdio.h>
#include <unistd.h>

#include "check.h"

using kit::expect_eq;
using kit::expect_eq64;
using kit::expect_err;

namespace {

const time_t kYear2000 = 946684800;

bool later(time_t s1, unsigned long ns1, time_t s0, unsigned long ns0) { return s1 > s0 || (s1 == s0 && ns1 > ns0); }

}  // namespace

int main() {
  time_t s = -5;
  unsigned long ns = 0xdeadbeef;
  const time_t r = __time(&s, &ns);
  char got[24];
  kit::check("time-after-2000", r > kYear2000, "seconds since 1970 past 2000", kit::dec64(got, r));
  expect_eq64("time-stores-seconds", s, r);
  kit::check("time-nanoseconds-below-1e9", ns < 1000000000ul, "below 1000000000",
             ns == 0xdeadbeef ? "nothing stored" : "more");
  // The high word travels in v0, the low in v1: swapped, the value is huge.
  kit::check("time-before-2100", r < 4102444800ll, "seconds before 2100", kit::dec64(got, r));

  time_t s2 = 0;
  unsigned long ns2 = 0;
  const time_t r0 = __time(nullptr, nullptr);
  kit::check("time-null-pointers", r0 >= r, "a result with no pointers", kit::dec64(got, r0));
  expect_eq64("time-seconds-only", __time(&s2, nullptr), s2);
  ns2 = 0xdeadbeef;
  __time(nullptr, &ns2);
  kit::check("time-nanoseconds-only", ns2 < 1000000000ul, "nanoseconds stored", "nothing");

  // The clock moves on: within a bounded amount of work it reads later.
  time_t a = 0, b = 0;
  unsigned long an = 0, bn = 0;
  __time(&a, &an);
  bool moved = false;
  for (int round = 0; round < 2000 && !moved; ++round) {
    for (volatile int i = 0; i < 20000; ++i) {
    }
    __time(&b, &bn);
    moved = later(b, bn, a, an);
  }
  kit::check("time-advances", moved, "a later time after some work", "the same time");
  kit::check("time-never-back", !(b < a), "no earlier time", "an earlier time");

  time_t keep = 77;
  unsigned long keep_ns = 88;
  expect_err("time-bad-seconds-pointer", __time(reinterpret_cast<time_t*>(4), &keep_ns), EFAULT);
  expect_eq("time-bad-pointer-stores-nothing", keep_ns, 88);
  expect_err("time-bad-nanoseconds-pointer", __time(&keep, reinterpret_cast<unsigned long*>(4)), EFAULT);
  expect_eq("time-bad-pointer-keeps-seconds", keep, 77);
  return kit::done();
}
