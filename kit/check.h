// The kit's one way of saying what a check found: one line per check,
//   PASS name
//   FAIL name: expected WHAT, got WHAT (error text)
// each written with a single write(2) so that lines from a program and its
// children never mix, and the program's exit status: 0 only when every
// check passed.  Header-only: each check program is one source file.
#pragma once

#include <errno.h>
#include <r3k/values/limits.h>
#include <r3k/values/wait.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kit {

inline int g_passed = 0, g_failed = 0;

// The name of an error number ("EBADF"), or its number.
inline const char* errname(int e) {
  switch (e) {
#define R3K_ERROR(num, name, text) \
  case num:                        \
    return #name;
#include <r3k/errors.def>
#undef R3K_ERROR
  }
  return "E?";
}

inline void line(const char* text) { write(1, text, strlen(text)); }

// got and expected are already words; why is the error text, or null.
inline bool report(const char* name, bool ok, const char* expected, const char* got, const char* why) {
  char buf[320];
  int n;
  if (ok) {
    ++g_passed;
    n = snprintf(buf, sizeof buf, "PASS %s\n", name);
  } else {
    ++g_failed;
    n = why ? snprintf(buf, sizeof buf, "FAIL %s: expected %s, got %s (%s)\n", name, expected, got, why)
            : snprintf(buf, sizeof buf, "FAIL %s: expected %s, got %s\n", name, expected, got);
  }
  if (n > int(sizeof buf) - 1) {
    n = sizeof buf - 1;
    buf[n - 1] = '\n';
  }
  write(1, buf, n);
  return ok;
}

// A condition with its words: check("fstat-size", st.st_size == 5, "5", "...").
inline bool check(const char* name, bool ok, const char* expected, const char* got) {
  return report(name, ok, expected, got, nullptr);
}

// A call's result against the value expected; a -1 that was not expected
// comes with the error text.  errno is read at once, before any other call.
inline bool expect_eq(const char* name, long got, long expected) {
  const int e = errno;
  char want[24], saw[24];
  snprintf(want, sizeof want, "%d", int(expected));
  snprintf(saw, sizeof saw, "%d", int(got));
  return report(name, got == expected, want, saw, got == -1 ? strerror(e) : nullptr);
}

// A call that must succeed: anything but -1.
inline bool expect_ok(const char* name, long got) {
  const int e = errno;
  char saw[24];
  snprintf(saw, sizeof saw, "%d", int(got));
  return report(name, got != -1, "success", saw, got == -1 ? strerror(e) : nullptr);
}

// A call that must fail with this error.
inline bool expect_err(const char* name, long got, int err) {
  const int e = errno;
  char want[48], saw[48];
  snprintf(want, sizeof want, "-1 with %s", errname(err));
  if (got == -1) snprintf(saw, sizeof saw, "-1 with %s", errname(e));
  else snprintf(saw, sizeof saw, "%d", int(got));
  return report(name, got == -1 && e == err, want, saw, got == -1 ? strerror(e) : nullptr);
}

// Bytes against the bytes expected (n of them).
inline bool expect_bytes(const char* name, const void* got, const void* expected, unsigned n) {
  const auto* g = static_cast<const unsigned char*>(got);
  const auto* x = static_cast<const unsigned char*>(expected);
  unsigned i = 0;
  while (i < n && g[i] == x[i]) ++i;
  char want[48], saw[48];
  snprintf(want, sizeof want, "byte %u = 0x%x", i, i < n ? x[i] : 0);
  snprintf(saw, sizeof saw, "0x%x", i < n ? g[i] : 0);
  return report(name, i == n, want, saw, nullptr);
}

// A decimal number (the library has no atoi); -1 for anything else.
inline int to_int(const char* s) {
  int v = 0;
  if (!*s) return -1;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return -1;
    v = v * 10 + (*s - '0');
  }
  return v;
}

// Ends a child.  _exit is declared not to return, so a call through a
// plain pointer keeps the compiler from dropping what follows: a kernel
// whose _exit returns gets a FAIL line, not a child running on into its
// parent's checks.
[[noreturn]] inline void end(int status) {
  void (*volatile ex)(int) = reinterpret_cast<void (*)(int)>(&_exit);
  ex(status);
  report("exit-ends-process", false, "_exit to end the process", "_exit returning", nullptr);
  for (;;) ex(125);  // a status the parent's checks refuse
}

// The exit status in a wait word, in either form a kernel may store: the
// status itself, or (status & 0xff) << 8.
inline int exit_of(int s) { return (s & 0x7f) == 0 && s > 0xff ? (s >> 8) & 0xff : s; }

// A little work, so a loop that waits on another process gives it time.
inline void spin(int n) {
  for (volatile int i = 0; i < n; ++i) {
  }
}

// The program's exit status: 0 only when every check passed.
inline int done() { return g_failed == 0 ? 0 : 1; }

// A 64-bit value as text (printf's words are 32 bits).
inline const char* dec64(char* buf, long long v) {
  char tmp[24];
  int i = 0;
  unsigned long long u = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
  do tmp[i++] = char('0' + u % 10);
  while (u /= 10);
  int j = 0;
  if (v < 0) buf[j++] = '-';
  while (i) buf[j++] = tmp[--i];
  buf[j] = 0;
  return buf;
}

inline bool expect_eq64(const char* name, long long got, long long expected) {
  const int e = errno;
  char want[24], saw[24];
  return report(name, got == expected, dec64(want, expected), dec64(saw, got), got == -1 ? strerror(e) : nullptr);
}

inline long long now_ns() {
  time_t s = 0;
  unsigned long ns = 0;
  if (__time(&s, &ns) == -1) return -1;
  return s * 1000000000ll + ns;
}

// Waits for child pid for at most ms milliseconds of the kernel's clock,
// polling with WNOHANG: a kernel whose waitpid or child hangs then gives a
// FAIL line instead of hanging the program.  The child's pid, 0 when it
// did not end in time (it is left running: there is no call to kill it),
// or -1 with errno.
inline int wait_for(int pid, int* status, int ms) {
  const long long deadline = now_ns() + ms * 1000000ll;
  for (;;) {
    const int r = waitpid(pid, status, WNOHANG);
    if (r != 0) return r;
    const long long t = now_ns();
    if (t == -1 || t > deadline) return 0;
    // A little work between two looks: a kernel that counts the clock by
    // instructions is not flooded with calls.
    for (volatile int i = 0; i < 20000; ++i) {
    }
  }
}

// A scratch directory of the program's own, "kit-NAME-PID[-N].tmp" in the
// current directory, and paths inside it; the program removes everything
// it made and then the directory, so the tree ends as it began.
struct Scratch {
  char dir[64];
  char buf[16][160];
  int next = 0;

  // Another name when one is taken (left behind by a run that broke off).
  bool make(const char* name) {
    for (int n = 0; n < 100; ++n) {
      if (n == 0) snprintf(dir, sizeof dir, "kit-%s-%d.tmp", name, getpid());
      else snprintf(dir, sizeof dir, "kit-%s-%d-%d.tmp", name, getpid(), n);
      if (mkdir(dir, 0755) == 0) return true;
      if (errno != EEXIST) return false;
    }
    return false;
  }
  // A path inside the directory; the last sixteen stay valid.
  const char* at(const char* name) {
    char* p = buf[next++ % 16];
    snprintf(p, sizeof buf[0], "%s/%s", dir, name);
    return p;
  }
};

}  // namespace kit
