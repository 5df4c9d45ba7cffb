// Constructors for programs linked by the drivers: they link with
// --wrap=main, so __start, unchanged, calls this before the program's own
// main.  Programs linked without it (the check programs) never carry it.

namespace {
using Constructor = void (*)(int, char **, char **);
// There is no environment; constructors written for a hosted system may
// still walk the vector they are given.
char *no_environment[] = {nullptr};
bool constructed;
}  // namespace

// Defined by the link script around the sorted arrays.
extern "C" Constructor __preinit_array_start[], __preinit_array_end[];
extern "C" Constructor __init_array_start[], __init_array_end[];
extern "C" int __real_main(int argc, char **argv);

extern "C" int __wrap_main(int argc, char **argv) {
  // A program that calls main itself does not construct twice.
  if (!constructed) {
    constructed = true;
    for (Constructor *f = __preinit_array_start; f != __preinit_array_end; ++f) (*f)(argc, argv, no_environment);
    for (Constructor *f = __init_array_start; f != __init_array_end; ++f) (*f)(argc, argv, no_environment);
  }
  return __real_main(argc, argv);
}
