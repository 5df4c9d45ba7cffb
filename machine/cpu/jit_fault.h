// Accesses the window refuses: generated code reaches guest memory through
// the address space's window (Window), and an access it refuses faults on
// the host.  The handler resumes such an access at the way out before its
// op (the jnz placed right before every access, see cpu_jit.h), so the
// interpreter runs the op and meets the guest's fault, or the store that
// must copy a page or drop code, on the slow path.
#pragma once

#include <cstdint>

namespace r3k::jit {

// Installs the handler of SIGSEGV and SIGBUS (once, with the entry thunk);
// faults that are not a refused access of generated code go on to the
// handler found before.
void catch_window_faults();

// The window generated code uses on this thread while it runs.
class WindowInUse {
 public:
  explicit WindowInUse(uint8_t* window);
  ~WindowInUse();
  WindowInUse(const WindowInUse&) = delete;
  WindowInUse& operator=(const WindowInUse&) = delete;

 private:
  uint8_t* outer_;
};

}  // namespace r3k::jit
