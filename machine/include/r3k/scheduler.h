// Round-robin over an instruction quantum.  Deterministic; with a seed the
// slice lengths are drawn from a seeded generator, so each seed gives one
// reproducible interleaving and different seeds explore others.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "r3k/kernel.h"

namespace r3k {

class Scheduler {
 public:
  Scheduler(uint64_t quantum, std::optional<uint64_t> seed);

  // The first runnable process after the one picked last, in pid order,
  // wrapping around; null when none is runnable.
  Process* pick(const std::vector<Process*>& live);
  // Instructions the picked process may run: the quantum, or uniformly
  // 1..2*quantum when seeded.
  uint64_t slice();
  // Whether every slice is the quantum, the same for the next as for this.
  bool fixed() const { return !rng_; }

 private:
  uint64_t quantum_;
  std::optional<std::mt19937_64> rng_;
  std::optional<uint32_t> last_;
};

}  // namespace r3k
