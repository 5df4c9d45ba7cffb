// Guest for the library-core tests: the host calls the library's routines
// by symbol, and the helpers below where a call needs guest-side code (a
// recording sink for the formatting engine, a plain store).
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <r3k/runtime.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern "C" {

// Every run the engine hands over, back to back: the client-data word, the
// count word, the bytes, padded to a word.  The host reads it after a call.
unsigned char rec_buf[1 << 16];
unsigned rec_used;      // bytes of rec_buf filled
unsigned rec_runs;      // runs seen, recorded or not
unsigned rec_overflow;  // a run did not fit in rec_buf
// When non-zero, the sink ends the process with status 77 at this many
// runs: it bounds a field the engine would otherwise fill for ever.
unsigned rec_stop_after;

static void put_word(unsigned w) {
  for (int i = 0; i < 4; ++i) rec_buf[rec_used++] = (unsigned char)(w >> (24 - 8 * i));
}

static void rec_sink(void *arg, const char *chars, size_t count) {
  ++rec_runs;
  if (rec_overflow || sizeof rec_buf - rec_used < 8 + count + 3) {
    rec_overflow = 1;
  } else {
    put_word((unsigned)arg);
    put_word(count);
    for (size_t i = 0; i < count; ++i) rec_buf[rec_used++] = (unsigned char)chars[i];
    while (rec_used % 4) rec_buf[rec_used++] = 0;
  }
  if (rec_stop_after && rec_runs >= rec_stop_after) _exit(77);
}

int rec_vprintf(void *arg, const char *fmt, ...) {
  rec_used = rec_runs = rec_overflow = 0;
  va_list ap;
  va_start(ap, fmt);
  int n = __vprintf(rec_sink, arg, fmt, ap);
  va_end(ap);
  return n;
}

void store_word(unsigned addr, unsigned value) { *(volatile unsigned *)addr = value; }

// Every routine under test, referenced from main so that the linker's
// section garbage collection keeps them in the image.
const void *const keep_linked[] = {
    (const void *)strcmp,       (const void *)strchr,      (const void *)strlen,     (const void *)memcpy,
    (const void *)memmove,      (const void *)memset,      (const void *)memcmp,     (const void *)strerror,
    (const void *)sys_errlist,  (const void *)&sys_nerr,   (const void *)snprintf,   (const void *)vsnprintf,
    (const void *)__bad_assert, (const void *)rec_vprintf, (const void *)store_word, (const void *)isalnum,
    (const void *)isalpha,      (const void *)isblank,     (const void *)iscntrl,    (const void *)isdigit,
    (const void *)isgraph,      (const void *)islower,     (const void *)isprint,    (const void *)ispunct,
    (const void *)isspace,      (const void *)isupper,     (const void *)isxdigit,   (const void *)tolower,
    (const void *)toupper};
}

int main(int argc, char **) { return ((const void *const volatile *)keep_linked)[argc - 1] == 0; }
