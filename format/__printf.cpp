// The one formatting engine.  It turns a format and its arguments into runs
// of text handed to a caller-chosen sink, and keeps no state of its own, so
// calls may nest (the assertion report formats while an engine call runs).

#include <assert.h>
#include <string.h>

#include "r3k/runtime.h"

namespace {

// One record per call, every field one word, in this order.  Fields from
// in_directive on describe the directive being parsed.
struct pf_context {
  pf_sink sink;
  void *sink_arg;
  va_list arg_cursor;
  int emitted;       // characters handed to the sink so far
  int in_directive;  // a '%' is open
  int size_mod;      // 1 after 'l' or 'q'; arguments are one word regardless
  unsigned magnitude;
  int negative;  // -1 when a 'd' argument was negative
  int width;
  int left_align;
  int pad_char;  // ' ' or '0'
  int radix;
  int want_prefix;
  int hash_flag;
};
static_assert(sizeof(pf_context) == 14 * 4, "pf_context is fourteen words");

constexpr int kMaxWidth = 0x7fffffff;
// Pointers to the literals, so a match's offset tells which member it is.
constexpr const char *kFlags = "#-ql0123456789";
constexpr const char *kNumeric = "doupx";

}  // namespace

// C linkage (still file-local) keeps these routines' symbols plain.
extern "C" {

// Inlined: it is the per-character path of ordinary text.
static inline __attribute__((always_inline)) void __pf_print(pf_context *pf, const char *chars, size_t count) {
  pf->sink(pf->sink_arg, chars, count);
  // Counted whether or not the sink kept it.  Unsigned, so an absurd field
  // width wraps the count instead of overflowing.
  pf->emitted = static_cast<int>(static_cast<unsigned>(pf->emitted) + count);
}

static __attribute__((noinline)) void __pf_endfield(pf_context *pf) {
  pf->in_directive = 0;
  pf->size_mod = 0;
  pf->magnitude = 0;
  pf->negative = 0;
  pf->width = 0;
  pf->left_align = 0;
  pf->pad_char = ' ';
  pf->radix = 0;
  pf->want_prefix = 0;
  pf->hash_flag = 0;
}

static __attribute__((noinline)) void __pf_fill(pf_context *pf, int count) {
  const char fill = static_cast<char>(pf->pad_char);
  for (; count > 0; --count) __pf_print(pf, &fill, 1);
}

// Emits sign, prefix and body as three runs (empty ones too), with the fill
// before the sign, before the body or after the body as the directive asks.
// Never truncates.
static void __pf_printstuff(pf_context *pf, const char *sign, const char *prefix, const char *body) {
  const char *const part[3] = {sign, prefix, body};
  size_t len[3];
  int fill = pf->width;
  for (int i = 0; i < 3; ++i) {
    len[i] = strlen(part[i]);
    fill -= static_cast<int>(len[i]);  // never overflows: both sides are >= 0
  }
  const int fill_at = pf->left_align ? 3 : (pf->pad_char == '0' ? 2 : 0);
  for (int i = 0; i < 3; ++i) {
    if (i == fill_at) __pf_fill(pf, fill);
    __pf_print(pf, part[i], len[i]);
  }
  if (fill_at == 3) __pf_fill(pf, fill);
}

}  // extern "C"

namespace {

// One flag or width character of an open directive; which is its place in
// kFlags.  Inlined: __vprintf stays one routine.
inline __attribute__((always_inline)) void apply_flag(pf_context *pf, int which, int ch) {
  if (which == 0) {
    pf->hash_flag = 1;
  } else if (which == 1) {
    pf->left_align = 1;
  } else if (which <= 3) {
    pf->size_mod = 1;  // 'q' or 'l', any number of times
  } else if (which == 4 && pf->width <= 0) {
    pf->pad_char = '0';  // '0' is a flag until a width digit has been seen
  } else {
    if (which != 4 && !(ch > '0' && ch <= '9')) __bad_assert("__printf", 198, "ch>'0' && ch<='9'");
    // Widths beyond the int range saturate instead of overflowing.
    const unsigned width = static_cast<unsigned>(pf->width) * 10u + static_cast<unsigned>(ch - '0');
    pf->width = pf->width > kMaxWidth / 10 || width > kMaxWidth ? kMaxWidth : static_cast<int>(width);
  }
}

// A numeric conversion (n: its place in kNumeric): takes its argument and
// writes its digits ending at end; returns where they start.
inline __attribute__((always_inline)) char *format_number(pf_context *pf, const char *n, int ch, char *end,
                                                          const char **sign, const char **prefix) {
  pf->radix = "\12\10\12\20\20"[n - kNumeric];  // radix of d o u p x
  if (ch == 'd') {
    const int value = va_arg(pf->arg_cursor, int);
    pf->magnitude = static_cast<unsigned>(value);
    if (value < 0) {
      pf->negative = -1;
      pf->magnitude = 0u - pf->magnitude;  // keeps 2^31 whole
    }
  } else {
    pf->magnitude = va_arg(pf->arg_cursor, unsigned);
  }
  if (pf->hash_flag || ch == 'p') pf->want_prefix = 1;

  char *p = end;
  *p = '\0';
  do {
    *--p = "0123456789abcdef"[pf->magnitude % static_cast<unsigned>(pf->radix)];
    pf->magnitude /= static_cast<unsigned>(pf->radix);
  } while (pf->magnitude != 0);

  if (pf->want_prefix) {
    if (pf->radix == 16) *prefix = "0x";
    if (pf->radix == 8) *prefix = "0";
  }
  if (pf->negative) *sign = "-";
  return p;
}

}  // namespace

int __vprintf(pf_sink sink, void *arg, const char *fmt, va_list ap) {
  pf_context pf;
  pf.sink = sink;
  pf.sink_arg = arg;
  va_copy(pf.arg_cursor, ap);
  pf.emitted = 0;
  __pf_endfield(&pf);

  char digits[12];  // eleven octal digits of a 32-bit word and a NUL
  char one[2];      // a single character as a string: 'c' and stray conversions

  // Outside a directive, ordinary characters go out one run each; a '%'
  // opens a directive, read character by character up to its conversion.
  while (*fmt != '\0') {
    if (*fmt != '%') {
      __pf_print(&pf, fmt++, 1);
      continue;
    }
    pf.in_directive = 1;
    int ch;
    while ((ch = static_cast<signed char>(*++fmt)) != '\0') {
      if (const char *f = strchr(kFlags, ch)) {
        apply_flag(&pf, static_cast<int>(f - kFlags), ch);
        continue;
      }

      const char *sign = "";
      const char *prefix = "";
      const char *body = one;
      if (const char *n = strchr(kNumeric, ch)) {
        body = format_number(&pf, n, ch, digits + sizeof digits - 1, &sign, &prefix);
      } else if (ch == 's') {
        body = va_arg(pf.arg_cursor, const char *);
        if (body == nullptr) body = "(null)";
      } else {
        // 'c' prints its argument's low byte (a zero byte is an empty
        // string); any other character prints itself and takes no argument.
        one[0] = static_cast<char>(ch == 'c' ? va_arg(pf.arg_cursor, int) : ch);
        one[1] = '\0';
      }
      __pf_printstuff(&pf, sign, prefix, body);
      __pf_endfield(&pf);
      ++fmt;
      break;
    }
  }
  va_end(pf.arg_cursor);
  return pf.emitted;
}
