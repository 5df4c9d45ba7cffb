#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "r3k/runtime.h"

// Reached through the vtable of an object still (or already) abstract: a
// virtual call during its construction or destruction.  Linked into every
// C++ program, so it reports without the formatting engine, run by run
// like the err reports: "name: pure virtual function called from 0xPC".
extern "C" void __cxa_pure_virtual() {
  const auto from = reinterpret_cast<unsigned long>(__builtin_return_address(0));
  const char *name = "(program name unknown)";
  if (__argv != nullptr && __argv[0] != nullptr) name = __argv[0];
  write(STDERR_FILENO, name, strlen(name));
  static const char what[] = ": pure virtual function called from 0x";
  write(STDERR_FILENO, what, sizeof what - 1);
  char hex[9];
  for (int k = 0; k < 8; ++k) hex[k] = "0123456789abcdef"[from >> (28 - 4 * k) & 15];
  hex[8] = '\n';
  write(STDERR_FILENO, hex, sizeof hex);
  abort();
}
