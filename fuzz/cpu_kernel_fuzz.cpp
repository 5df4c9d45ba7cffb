// libFuzzer target: arbitrary code and kernel-call arguments on the CPU and
// kernel, under small limits, must end in guest faults or exits.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string why = r3kfuzz::cpu_kernel(data, size);
  if (!why.empty()) {
    std::fprintf(stderr, "cpu_kernel_fuzz: %s\n", why.c_str());
    std::abort();
  }
  return 0;
}
