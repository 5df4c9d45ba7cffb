// The host's fault handler for the window (see jit_fault.h).
#if defined(__x86_64__)

#include "cpu/jit_fault.h"

#include <signal.h>
#include <ucontext.h>

#include <cstring>

#include "memory/address_space_impl.h"

namespace r3k::jit {

namespace {

thread_local uint8_t* t_window = nullptr;
struct sigaction g_before[2];  // SIGSEGV's and SIGBUS's handlers before ours

constexpr uint8_t kJnzRel32[] = {0x0f, 0x85};
constexpr long kJnzSize = 6;

struct sigaction& before(int sig) {
  return g_before[sig == SIGBUS];
}

// Hands a fault that is not ours on as if we were not there.
void pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& old = before(sig);
  if (old.sa_flags & SA_SIGINFO) {
    old.sa_sigaction(sig, info, context);
  } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
    old.sa_handler(sig);
  } else {
    // The default again: the faulting instruction runs once more and the
    // host ends the process as it would have without us.
    sigaction(sig, &old, nullptr);
  }
}

void on_fault(int sig, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  const auto window = reinterpret_cast<uintptr_t>(t_window);
  auto* pc = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.gregs[REG_RIP]);
  const uintptr_t lowest = window - Window::kGuard;  // the guard zones are the window's too
  if (window && at >= lowest && at - lowest < Window::kSize + 2 * Window::kGuard &&
      std::memcmp(pc - kJnzSize, kJnzRel32, sizeof kJnzRel32) == 0) {
    int32_t rel;
    std::memcpy(&rel, pc - sizeof rel, sizeof rel);
    uc->uc_mcontext.gregs[REG_RIP] = greg_t(pc + rel);
    return;
  }
  pass_on(sig, info, context);
}

}  // namespace

void catch_window_faults() {
  struct sigaction sa {};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS}) sigaction(sig, &sa, &before(sig));
}

WindowInUse::WindowInUse(uint8_t* window) : outer_(t_window) { t_window = window; }
WindowInUse::~WindowInUse() { t_window = outer_; }

}  // namespace r3k::jit

#endif
