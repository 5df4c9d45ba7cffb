// libFuzzer target: any byte string handed to the ELF loader must be
// refused with one clear line or give an image that loads and runs.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string why = r3kfuzz::elf_loader(data, size);
  if (!why.empty()) {
    std::fprintf(stderr, "elf_loader_fuzz: %s\n", why.c_str());
    std::abort();
  }
  return 0;
}
