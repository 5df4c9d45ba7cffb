// Generated code against the interpreter: the same random sequences run on
// two CPUs, one generating code for every block at its first run, one
// interpreting, in the same series of random budgets (long ones too, so
// that loops chain block to block), resuming after faults alike.  After
// every stop the two must agree on everything a run reports or leaves:
// reason, count, fault, registers, HI, LO, pc, the load-delay and HI/LO
// state; at the end on every byte of memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "diff/sequence.h"
#include "diff/sequence_run.h"
#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "support/random.h"
#include "support/stop_compare.h"

namespace r3k::diff {
namespace {

using test::env_number;

struct Side : R3kSide {
  Side(const Sequence& s, bool jit) : R3kSide(s) { cpu.set_jit(JitConfig{jit, 0}); }
};

// Empty when both sides agree all the way.
std::string run_both(const Sequence& s, uint64_t& stops) {
  Side gen(s, true), interp(s, false);
  std::mt19937_64 rng(s.seed * 0x9e3779b97f4a7c15ull);
  for (int runs = 0; runs < 2000; ++runs) {
    uint64_t budget;
    switch (rng() % 4) {
      case 0: budget = UINT64_MAX; break;
      case 1: budget = 1 + rng() % 4; break;
      case 2: budget = 1 + rng() % 64; break;
      default: budget = 1 + rng() % 2000; break;
    }
    Stop a = gen.cpu.run(budget), b = interp.cpu.run(budget);
    ++stops;
    std::string d = r3k::test::stop_differences(a, gen.cpu.state(), b, interp.cpu.state());
    if (!d.empty()) return "after run " + std::to_string(runs) + " with budget " + std::to_string(budget) + ":" + d;
    if (a.reason == StopReason::Syscall && a.executed && gen.cpu.state().pc == s.end_pc()) break;
    if (a.reason == StopReason::Fault) {
      if (a.fault.in_delay_slot || a.fault.fetch) break;
      for (Cpu* c : {&gen.cpu, &interp.cpu}) {  // step over it, as the lockstep runs do
        CpuState& st = c->state();
        st.pc = a.fault.pc + 4;
        st.load_reg = 0;
        st.load_partial = false;
        st.hilo_guard = 0;
      }
    }
  }
  for (auto [lo, size] : {std::pair{kSeqData, kSeqDataSize}, std::pair{kSeqCode, kSeqCodeSize}}) {
    std::vector<uint8_t> x(size), y(size);
    gen.space.peek(lo, x.data(), size);
    interp.space.peek(lo, y.data(), size);
    for (uint32_t i = 0; i < size; ++i)
      if (x[i] != y[i])
        return "memory at " + std::to_string(lo + i) + ": generated " + std::to_string(x[i]) + ", interpreted " +
               std::to_string(y[i]);
  }
  return "";
}

TEST(GeneratedCode, AgreesWithTheInterpreterInEveryRun) {
  if (!jit_available()) GTEST_SKIP() << "no code generator on this host";
  const uint64_t count = env_number("R3K_DIFF_SEQUENCES", 3000);
  const uint64_t first = env_number("R3K_DIFF_SEED", 1);
  uint64_t stops = 0, failures = 0;
  GenOptions opts;
  for (uint64_t k = 0; k < count; ++k) {
    Sequence s = generate(first + k, opts);
    std::string d = run_both(s, stops);
    if (!d.empty()) {
      ADD_FAILURE() << "seed " << s.seed << ": " << d << "\n" << s.listing();
      if (++failures >= 3) break;
    }
  }
  EXPECT_GT(stops, count);
}

}  // namespace
}  // namespace r3k::diff
