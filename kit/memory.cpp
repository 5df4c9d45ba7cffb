// Memory: sbrk's break, growth, zero pages, shrinking, limits, and
// copy-on-write of data, bss and heap across fork.
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

using kit::exit_of;
using kit::expect_eq;
using kit::expect_err;

namespace {

enum { kPage = 4096 };

int data_word = 1234;  // data
int bss_words[64];     // bss

// The index of the first byte of [p, p+n) that is not zero, or n.
int first_nonzero(const char* p, int n) {
  int i = 0;
  while (i < n && p[i] == 0) ++i;
  return i;
}

void growth() {
  char* const start = static_cast<char*>(sbrk(0));
  expect_eq("sbrk-zero-stable", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start));
  char* const old = static_cast<char*>(sbrk(3 * kPage));
  expect_eq("sbrk-grow-returns-old-break", reinterpret_cast<long>(old), reinterpret_cast<long>(start));
  expect_eq("sbrk-grow-moves-break", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start + 3 * kPage));
  if (old == reinterpret_cast<char*>(-1)) return;
  expect_eq("sbrk-new-memory-zeroed", first_nonzero(old, 3 * kPage), 3 * kPage);
  for (int i = 0; i < 3 * kPage; ++i) old[i] = static_cast<char>(i * 13 + 1);
  int bad = 0;
  while (bad < 3 * kPage && old[bad] == static_cast<char>(bad * 13 + 1)) ++bad;
  expect_eq("sbrk-memory-keeps-bytes", bad, 3 * kPage);
  expect_eq("sbrk-shrink-returns-old-break", reinterpret_cast<long>(sbrk(-2 * kPage)),
            reinterpret_cast<long>(start + 3 * kPage));
  expect_eq("sbrk-shrink-moves-break", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start + kPage));
  sbrk(2 * kPage);
  expect_eq("sbrk-regrown-memory-zeroed", first_nonzero(old + kPage, 2 * kPage), 2 * kPage);
  expect_eq("sbrk-kept-page-unchanged", old[5], static_cast<char>(5 * 13 + 1));
  sbrk(-3 * kPage);
  expect_eq("sbrk-back-to-start", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start));
}

void limits() {
  char* const start = static_cast<char*>(sbrk(0));
  expect_err("sbrk-too-much", reinterpret_cast<long>(sbrk(0x70000000)), ENOMEM);
  expect_eq("sbrk-failed-growth-keeps-break", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start));
  expect_err("sbrk-below-start", reinterpret_cast<long>(sbrk(-0x10000000)), EINVAL);
  expect_eq("sbrk-failed-shrink-keeps-break", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(start));
  // A large heap of untouched pages is fine: 16 MiB is well inside the limit.
  char* big = static_cast<char*>(sbrk(16 << 20));
  kit::check("sbrk-16-mib", big != reinterpret_cast<char*>(-1), "a 16 MiB heap", "-1");
  if (big != reinterpret_cast<char*>(-1)) {
    big[(16 << 20) - 1] = 9;
    expect_eq("sbrk-16-mib-last-byte", big[(16 << 20) - 1], 9);
    sbrk(-(16 << 20));
  }
}

// Parent and child each change their copy; neither sees the other's.
void copy_on_write() {
  char* heap = static_cast<char*>(sbrk(kPage));
  if (heap == reinterpret_cast<char*>(-1)) return;
  memcpy(heap, "parent heap", 12);
  data_word = 1234;
  bss_words[10] = 77;
  const int pid = fork();
  if (pid == 0) {
    // 1: did not see the parent's values; 2: its break differs.
    if (strcmp(heap, "parent heap") != 0 || data_word != 1234 || bss_words[10] != 77) kit::end(1);
    if (sbrk(0) != heap + kPage) kit::end(2);
    memcpy(heap, "child heap", 11);
    data_word = 99;
    bss_words[10] = 88;
    sbrk(kPage);  // the child's break only
    kit::end(0);
  }
  int s = -1;
  kit::wait_for(pid, &s, 3000);
  expect_eq("fork-child-sees-parent-memory", exit_of(s), 0);
  kit::check("fork-heap-copied", strcmp(heap, "parent heap") == 0, "parent heap", heap);
  expect_eq("fork-data-copied", data_word, 1234);
  expect_eq("fork-bss-copied", bss_words[10], 77);
  expect_eq("fork-break-own", reinterpret_cast<long>(sbrk(0)), reinterpret_cast<long>(heap + kPage));
  sbrk(-kPage);
}

// The stack grows on demand: a deep frame's bytes are zero and stay put.
int deep(int n) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(n);
  frame[1023] = static_cast<char>(n);
  const int below = n ? deep(n - 1) : 0;
  return below + (frame[0] == static_cast<char>(n) && frame[1023] == static_cast<char>(n));
}

}  // namespace

int main() {
  growth();
  limits();
  copy_on_write();
  expect_eq("stack-grows", deep(200), 201);
  return kit::done();
}
