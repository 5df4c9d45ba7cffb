// Tests that run guest code in the test process run twice under CTest
// (tests/CMakeLists.txt): R3K_TEST_JIT=eager generates code for each block
// at its first run, so that short test guests reach the generated code
// everywhere; R3K_TEST_JIT=off interprets everything.  Unset, the
// machine's own default holds.
#include <cstdlib>
#include <cstring>

#include "r3k/cpu.h"

namespace {

const bool kApplied = [] {
  const char* mode = std::getenv("R3K_TEST_JIT");
  if (!mode) return false;
  r3k::JitConfig& config = r3k::jit_defaults();
  if (std::strcmp(mode, "off") == 0) {
    config.enabled = false;
  } else if (std::strcmp(mode, "eager") == 0) {
    config.enabled = true;
    config.hot_after = 0;
  } else {
    std::abort();  // a misspelt mode would silently test the default
  }
  return true;
}();

}  // namespace
