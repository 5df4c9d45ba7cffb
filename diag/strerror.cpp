#include <errno.h>
#include <string.h>

// Each name in <errno.h> must match its line in the shared table.
#define R3K_ERROR(number, name, message) static_assert(name == number, #name);
#include "r3k/errors.def"
#undef R3K_ERROR

__attribute__((__section__(".rodata"))) const char *const sys_errlist[] = {
#define R3K_ERROR(number, name, message) message,
#include "r3k/errors.def"
#undef R3K_ERROR
};

// Small data, like any int the compiler places: a program that declares
// it itself reaches it gp-relative.
const int sys_nerr = sizeof sys_errlist / sizeof sys_errlist[0];
static_assert(sizeof sys_errlist / sizeof sys_errlist[0] == 27);

const char *strerror(int errnum) {
  // One unsigned comparison also sends every negative number away.
  if (static_cast<unsigned>(errnum) < sizeof sys_errlist / sizeof sys_errlist[0]) return sys_errlist[errnum];
  return "Unknown error number";
}
