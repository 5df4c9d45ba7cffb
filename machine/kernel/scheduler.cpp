#include "r3k/scheduler.h"

namespace r3k {

Scheduler::Scheduler(uint64_t quantum, std::optional<uint64_t> seed) : quantum_(quantum == 0 ? 1 : quantum) {
  if (seed) rng_.emplace(*seed);
}

Process* Scheduler::pick(const std::vector<Process*>& live) {
  Process* wrap = nullptr;
  for (Process* p : live) {
    if (p->state != ProcState::Runnable) continue;
    if (!last_ || p->pid > *last_) {
      last_ = p->pid;
      return p;
    }
    if (wrap == nullptr) wrap = p;
  }
  if (wrap != nullptr) last_ = wrap->pid;
  return wrap;
}

uint64_t Scheduler::slice() {
  if (!rng_) return quantum_;
  // Modulo rather than a std:: distribution: the same seed must give the
  // same run with every standard library.
  const uint64_t span = quantum_ > UINT64_MAX / 2 ? UINT64_MAX : 2 * quantum_;
  return 1 + (*rng_)() % span;
}

}  // namespace r3k
