// Reports on descriptor 2: "name: message[: error text]\n", written run by
// run as the engine produces it, with no buffer; a null format gives
// "name: [error text]\n".

#include <err.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "r3k/runtime.h"

// C linkage (still file-local) keeps these routines' symbols plain.
extern "C" {

// Every run is one write, an empty one included; results are not checked.
static void __senderr(void *, const char *chars, size_t count) { write(STDERR_FILENO, chars, count); }

static void __senderrstr(const char *s) { __senderr(nullptr, s, strlen(s)); }

static void __printerr(int with_errno, const char *fmt, va_list ap) {
  // Fixed before the first write: a failing write would change errno.
  const char *errtext = strerror(errno);
  const char *name = "(program name unknown)";
  if (__argv != nullptr && __argv[0] != nullptr) name = __argv[0];

  __senderrstr(name);
  __senderrstr(": ");
  // A null format, as BSD callers pass it, leaves out the message and the
  // separator before the error text.
  if (fmt != nullptr) {
    __vprintf(__senderr, nullptr, fmt, ap);
    if (with_errno) __senderrstr(": ");
  }
  if (with_errno) __senderrstr(errtext);
  __senderrstr("\n");
}

}  // extern "C"

void verr(int status, const char *fmt, va_list ap) {
  __printerr(1, fmt, ap);
  exit(status);
}

void verrx(int status, const char *fmt, va_list ap) {
  __printerr(0, fmt, ap);
  exit(status);
}

void vwarn(const char *fmt, va_list ap) { __printerr(1, fmt, ap); }

void vwarnx(const char *fmt, va_list ap) { __printerr(0, fmt, ap); }

void err(int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  verr(status, fmt, ap);
}

void errx(int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  verrx(status, fmt, ap);
}

void warn(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwarn(fmt, ap);
  va_end(ap);
}

void warnx(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vwarnx(fmt, ap);
  va_end(ap);
}
