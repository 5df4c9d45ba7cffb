// Generated code for hot blocks against the interpreter, on the cases where
// the generated code leans on its own bookkeeping: code rewritten under it
// (by the guest, by the host, on the page of a delay slot), breakpoints set
// once blocks are linked, budgets ending inside chains of blocks, and the
// load-delay and HI/LO state carried from one chained block into the next.
// Each case runs three ways: interpreted, with code generated at each
// block's first run, and generated after a few runs (switching mid-loop);
// every run's stop and the whole CPU state must agree, and the case's own
// expectation holds.  The region planner, which needs no host, is held to
// blocks decoded from words here (RegionPlan).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cpu/cpu_block.h"
#include "cpu/jit_region.h"
#include "machine/cpu_harness.h"
#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "support/mips_encode.h"
#include "support/stop_compare.h"

namespace r3k::test {
namespace {

using namespace enc;

struct Step {
  enum Kind { Run, Poke, Break } kind;
  uint64_t budget = 0;  // Run
  uint32_t addr = 0;    // Poke, Break
  uint32_t word = 0;    // Poke
};
Step run(uint64_t budget = UINT64_MAX) { return {Step::Run, budget}; }
Step poke(uint32_t addr, uint32_t word) { return {Step::Poke, 0, addr, word}; }
Step breakpoint(uint32_t addr) { return {Step::Break, 0, addr}; }

struct Outcome {
  Stop stop;
  CpuState state;
  uint64_t code = 0, dropped = 0;  // the host memory's count of code held, and dropped to make room
};

struct Case {
  const char* name;
  uint32_t at;  // where the code goes
  std::vector<uint32_t> code;
  std::vector<std::pair<Reg, uint32_t>> regs;
  std::vector<Step> steps;
  // Checked on the runs with generated code.
  std::function<void(const std::vector<Outcome>&)> expect;
  uint64_t code_limit = 0;  // the host memory's share for code (0: its default)
};

std::vector<Outcome> play(const Case& c, const JitConfig& jit) {
  AddressSpace space(64, std::make_shared<HostMemory>(HostMemory::kDefaultLimit, c.code_limit));
  EXPECT_TRUE(space.map(kCode, 0x2000, kProtRead | kProtWrite | kProtExec));
  EXPECT_TRUE(space.map(kData, 0x1000, kProtRead | kProtWrite));
  auto put = [&](uint32_t addr, uint32_t w) { EXPECT_TRUE(space.poke(addr, be_bytes(w).data(), 4)); };
  for (size_t i = 0; i < c.code.size(); ++i) put(c.at + 4 * uint32_t(i), c.code[i]);
  Cpu cpu(&space);
  cpu.set_jit(jit);
  cpu.state().pc = c.at;
  for (auto [r, v] : c.regs) cpu.state().gpr[r] = v;
  std::vector<Outcome> out;
  for (const Step& s : c.steps) {
    switch (s.kind) {
      case Step::Run:
        out.push_back({cpu.run(s.budget), cpu.state(), space.host().code(), space.host().code_dropped()});
        break;
      case Step::Poke: put(s.addr, s.word); break;
      case Step::Break: cpu.add_breakpoint(s.addr); break;
    }
  }
  return out;
}

std::string compare(const std::vector<Outcome>& got, const std::vector<Outcome>& want) {
  std::string d;
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    const Outcome &g = got[i], &w = want[i];
    const std::string run = stop_differences(g.stop, g.state, w.stop, w.state);
    if (!run.empty()) d += "\n  run " + std::to_string(i) + ":" + run;
  }
  return d;
}

// A two-block loop counting t0 down from 1000: t2 counts the iterations.
//   0x00 addiu t0,zero,1000
//   0x04 loop: addiu t0,t0,-1 ; bgez t3,next ; addiu t2,t2,1 (delay slot)
//   0x10 next: bne t0,zero,loop ; nop ; syscall
std::vector<uint32_t> two_block_loop() {
  return {addiu(t0, zero, 1000), addiu(t0, t0, -1), bgez(t3, 1), addiu(t2, t2, 1), bne(t0, zero, -4), nop(), syscall()};
}

// Twice (t4 counts, up to t5): a jr ra every 8 words of the second page
// (the loop at 0x1c), then a call to each of its words (0x30; t3 counts
// them), the second pass storing over decoded code.
std::vector<uint32_t> entries_at_every_word() {
  return {lui(a2, kCode >> 16),
          ori(a3, a2, 0x1000),
          ori(t1, a2, 0x2000),
          addiu(t7, t1, -4),
          lui(t2, jr(ra) >> 16),
          ori(t2, t2, jr(ra) & 0xffff),
          move(t0, a3),
          sw(t2, 24, t0),
          addiu(t0, t0, 32),
          bne(t0, t1, -3),
          nop(),
          move(t0, a3),
          jalr(t0),
          nop(),
          addiu(t3, t3, 1),
          addiu(t0, t0, 4),
          bne(t0, t7, -5),
          nop(),
          addiu(t4, t4, 1),
          bne(t4, t5, -14),
          nop(),
          syscall()};
}

// t0 times: a store of t3 over the first word of the second page, then a
// call of it (it returns at once); t3 toggles by t5 each time.
std::vector<uint32_t> store_then_call_it() {
  return {lui(a2, kCode >> 16),
          ori(a3, a2, 0x1000),
          sw(t3, 0, a3),  // 0x08 loop
          jalr(a3),
          xor_(t3, t3, t5),
          addiu(t0, t0, -1),
          bne(t0, zero, -5),
          nop(),
          syscall()};
}

const Case kCases[] = {
    {"GuestRewritesTheLoopItRuns",
     kCode,
     // After 100 of 200 iterations the loop stores a new first word over
     // its own head: +1 becomes +100.
     {lui(a2, kCode >> 16), addiu(t0, zero, 200), nop(), nop(), addiu(t2, t2, 1),  // 0x10 loop
      addiu(t0, t0, -1), bne(t0, t1, 2), nop(), sw(t3, 0x10, a2),                  // 0x20
      bne(t0, zero, -6), nop(), syscall()},
     {{t1, 100}, {t3, addiu(t2, t2, 100)}},
     {run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[0].stop.reason, StopReason::Syscall);
       EXPECT_EQ(o[0].state.gpr[t2], 100u + 100u * 100u);
     }},
    {"HostRewritesALinkedLoopBetweenRuns",
     kCode,
     two_block_loop(),
     {},
     {run(301), poke(kCode + 0xc, addiu(t2, t2, 7)), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[1].stop.reason, StopReason::Syscall);
       EXPECT_GT(o[1].state.gpr[t2], 1000u);
     }},
    {"BreakpointSetInALinkedLoopStops",
     kCode,
     two_block_loop(),
     {},
     {run(500), breakpoint(kCode + 0x10), run(), run()},
     [](const std::vector<Outcome>& o) {
       for (size_t i : {1, 2}) {
         EXPECT_EQ(o[i].stop.reason, StopReason::Breakpoint);
         EXPECT_EQ(o[i].state.pc, kCode + 0x10);
       }
       EXPECT_EQ(o[2].stop.executed, 5u);  // one turn of the loop
     }},
    {"BudgetsEndInsideChains",
     kCode,
     two_block_loop(),
     {},
     {run(1), run(2), run(3), run(5), run(8), run(13), run(21), run(34), run(55), run(89), run(144), run(233), run(377),
      run(610), run(987), run()},
     [](const std::vector<Outcome>& o) {
       uint64_t total = 0;
       for (const Outcome& x : o) total += x.stop.executed;
       EXPECT_EQ(total, 1u + 5u * 1000u + 1u);
       EXPECT_EQ(o.back().stop.reason, StopReason::Syscall);
       EXPECT_EQ(o.back().state.gpr[t2], 1000u);
     }},
    {"FaultFirstInAChainedBlockKeepsTheDelaySlotLoad",
     kCode,
     // A loops with a load in its delay slot and falls into B, whose first
     // load faults on the second pass (a1 cleared by B's delay slot).
     {lui(a0, kData >> 16), lui(a1, kData >> 16), addiu(t0, zero, 3), addiu(t0, t0, -1), bne(t0, zero, -2),
      lw(t1, 0, a0),                                                  // 0x0c A
      lw(t2, 0, a1), addiu(t0, zero, 3), b(-6), addiu(a1, zero, 0)},  // 0x18 B
     {},
     {run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[0].stop.reason, StopReason::Fault);
       EXPECT_EQ(o[0].stop.fault.kind, FaultKind::BadAddress);
       EXPECT_EQ(o[0].stop.fault.pc, kCode + 0x18);
       EXPECT_EQ(o[0].state.load_reg, t1);
     }},
    {"MfloInADelaySlotGuardsTheNextBlock",
     kCode,
     {addiu(t0, zero, 5), mult(t0, t0), addiu(t0, t0, -1), nop(), bne(t0, zero, -4), mflo(t2)},  // 0x04 loop
     {},
     {run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[0].stop.reason, StopReason::Fault);
       EXPECT_EQ(o[0].stop.fault.kind, FaultKind::HiLoHazard);
       EXPECT_EQ(o[0].stop.fault.pc, kCode + 4);
     }},
    {"MfloInADelaySlotThenTwoInstructionsThenMult",
     kCode,
     {addiu(t0, zero, 50), addiu(t3, t3, 1), addiu(t4, t4, 1), mult(t0, t0), addiu(t0, t0, -1),  // 0x04 loop
      bne(t0, zero, -5), mflo(t2), syscall()},
     {},
     {run(7), run(9), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[2].stop.reason, StopReason::Syscall);
       EXPECT_EQ(o[2].state.gpr[t2], 1u);
     }},
    {"DelaySlotOnTheNextPageRewritten",
     kCode + 0xff0,
     {addiu(t0, zero, 100), addiu(t0, t0, -1), addiu(t2, t2, 1), bne(t0, zero, -3),
      addiu(t3, t3, 1),  // 0x1000: the delay slot, on the next page
      syscall()},
     {},
     {run(150), poke(kCode + 0x1000, addiu(t3, t3, 5)), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[1].stop.reason, StopReason::Syscall);
       EXPECT_GT(o[1].state.gpr[t3], 100u);
       EXPECT_EQ(o[1].state.gpr[t2], 100u);
     }},
    {"LoopStoresOverItsDelaySlotOnTheNextPage",
     kCode + 0xff0,
     // Every pass stores +5 over the slot at 0x1000 before the branch: the
     // stored word runs in that very pass, the first one included.
     {addiu(t0, zero, 10), addiu(t0, t0, -1), sw(t4, 0, a2), bne(t0, zero, -3),
      addiu(t3, t3, 1),  // 0x1000: the delay slot, on the next page
      syscall()},
     {{a2, kCode + 0x1000}, {t4, addiu(t3, t3, 5)}},
     {run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[0].stop.reason, StopReason::Syscall);
       EXPECT_EQ(o[0].state.gpr[t3], 50u);
     }},
    {"ReturnSiteRewrittenAfterReturnsReachedItsCode",
     kCode,
     // A call returning (jr ra) to the block at 0x0c, then the host rewrites
     // that block: the return must find its new code, not the old.
     {jal(kCode + 0x40), nop(), addiu(t2, t2, 1),  // 0x0c: where it returns
      addiu(t0, t0, -1), bne(t0, zero, -5), nop(), syscall(), nop(), nop(), nop(), nop(), nop(), nop(), nop(), nop(),
      nop(), jr(ra), addiu(t3, t3, 1)},  // 0x40
     {{t0, 300}},
     {run(400), poke(kCode + 0x8, addiu(t2, t2, 7)), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[1].stop.reason, StopReason::Syscall);
       EXPECT_EQ(o[1].state.gpr[t3], 300u);
       EXPECT_GT(o[1].state.gpr[t2], 300u);
     }},
    {"StoresToAPageThatGetsCode",
     kCode,
     // The first store reaches the second page while it holds no code; the
     // call then decodes it: every later store must drop that code, and
     // the call run the word just stored (t2 += 1, += 100, += 1, ...).
     store_then_call_it(),
     {{t0, 40}, {t3, addiu(t2, t2, 1)}, {t5, addiu(t2, t2, 1) ^ addiu(t2, t2, 100)}, {t4, jr(ra)}},
     {poke(kCode + 0x1004, jr(ra)), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o[0].stop.reason, StopReason::Syscall);
       EXPECT_EQ(o[0].state.gpr[t2], 20u * 101u);
     }},
    {"EntriesAtEveryWordPastTheCodeShare",
     kCode,
     // A block per word entered, far more than a code share of 48 KiB
     // holds: pages of code are dropped and decoded again, within the
     // share, and budgets still end where they do for the interpreter.
     entries_at_every_word(),
     {{t5, 2}},
     {run(997), run(2000), run(3001), run(4999), run(997), run()},
     [](const std::vector<Outcome>& o) {
       EXPECT_EQ(o.back().stop.reason, StopReason::Syscall);
       EXPECT_EQ(o.back().state.gpr[t3], 2u * 1023u);
       for (const Outcome& x : o) EXPECT_LE(x.code, (48u << 10) + HostMemory::kCodeOverdraft);
       EXPECT_GT(o.back().dropped, 0u);
     },
     48u << 10},
    // Generated code adds base and offset in 64 bits: where the guest's
    // 32-bit sum wraps, the access must still fault at the wrapped address.
    {"LoadWrapsPastTheTopOfTheSpace",
     kCode,
     {lw(t2, 12, a0), syscall()},
     {{a0, 0xfffffff8}},
     {run()},
     [](const std::vector<Outcome>& o) { EXPECT_EQ(o[0].stop.fault.addr, 4u); }},
    {"LoadWrapsBelowZero",
     kCode,
     {lhu(t2, -16, a0), syscall()},
     {{a0, 8}},
     {run()},
     [](const std::vector<Outcome>& o) { EXPECT_EQ(o[0].stop.fault.addr, 0xfffffff8u); }},
    {"StoreWrapsBelowZero",
     kCode,
     {sb(t2, -4, a0), syscall()},
     {{a0, 0}},
     {run()},
     [](const std::vector<Outcome>& o) { EXPECT_EQ(o[0].stop.fault.addr, 0xfffffffcu); }},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GeneratedCode : public ::testing::TestWithParam<Case> {};

TEST_P(GeneratedCode, AgreesWithTheInterpreter) {
  const Case& c = GetParam();
  if (!jit_available()) GTEST_SKIP() << "no code generator on this host";
  const std::vector<Outcome> want = play(c, JitConfig{false, 0});
  for (uint32_t hot_after : {0u, 3u}) {
    SCOPED_TRACE("code generated after " + std::to_string(hot_after) + " runs of a block");
    const std::vector<Outcome> got = play(c, JitConfig{true, hot_after});
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(compare(got, want), "");
    c.expect(got);
  }
  c.expect(want);
}

// A host process forked while generated code exists (a test runner, a
// library user): what the child does with its copy of the machine, down
// to freeing the code and writing guest memory, leaves the parent's code
// and memory as they were.
TEST(GeneratedCodeMemory, ForkedChildLeavesTheParentsCode) {
  if (!jit_available()) GTEST_SKIP() << "no code generator on this host";
  auto space = std::make_unique<AddressSpace>(64);
  ASSERT_TRUE(space->map(kCode, 0x1000, kProtRead | kProtExec));
  const std::vector<uint32_t> code = two_block_loop();
  for (size_t i = 0; i < code.size(); ++i)
    ASSERT_TRUE(space->poke(kCode + 4 * uint32_t(i), be_bytes(code[i]).data(), 4));
  auto cpu = std::make_unique<Cpu>(space.get());
  cpu->set_jit(JitConfig{true, 0});
  cpu->state().pc = kCode;
  ASSERT_EQ(cpu->run(2000).reason, StopReason::Budget);
  const std::array<uint8_t, 4> word = be_bytes(0x12345678), other = be_bytes(0xdeadbeef);
  ASSERT_TRUE(space->map(kData, 0x1000, kProtRead | kProtWrite));
  ASSERT_TRUE(space->poke(kData, word.data(), 4));
  const pid_t child = fork();
  if (child == 0) {
    // Writes the parent's guest memory in its copy, frees the code, then
    // makes more (on pages the parent may still use).
    if (!space->poke(kData, other.data(), 4)) _exit(2);
    cpu.reset();
    space.reset();
    AddressSpace other(64);
    Cpu again(&other);
    again.set_jit(JitConfig{true, 0});
    again.state().pc = kCode;
    const bool fine =
        other.map(kCode, 0x1000, kProtRead | kProtExec) && other.poke(kCode, be_bytes(addiu(t2, t2, 1)).data(), 4) &&
        other.poke(kCode + 4, be_bytes(syscall()).data(), 4) && again.run(UINT64_MAX).reason == StopReason::Syscall;
    _exit(fine ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  std::array<uint8_t, 4> seen{};
  ASSERT_TRUE(space->peek(kData, seen.data(), 4));
  EXPECT_EQ(seen, word);
  EXPECT_EQ(cpu->run(UINT64_MAX).reason, StopReason::Syscall);
  EXPECT_EQ(cpu->state().gpr[t2], 1000u);
}

INSTANTIATE_TEST_SUITE_P(Cpu, GeneratedCode, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the region planner ------------------------------------------------------

// Blocks decoded from words placed at kCode, cached on a page of their own
// as the CPU keeps them.
struct Planned {
  Harness h;
  std::unique_ptr<CodePage> page = std::make_unique<CodePage>();
  explicit Planned(const std::vector<uint32_t>& code) { h.put(kCode, code); }
  Block& decode(uint32_t word, uint32_t max_ops = kMaxBlockOps) {
    auto b = std::make_unique<Block>();
    Decoded buf;
    Fault f;
    EXPECT_TRUE(decode_block(h.space.impl(), kCode + 4 * word, *b, buf, f, max_ops)) << word;
    b->keep_own();
    b->cached = true;
    return *(page->blocks[word] = std::move(b));
  }
};

struct RegionCase {
  const char* name;
  std::vector<uint32_t> code;
  std::vector<uint32_t> entries;  // word indices of the blocks decoded, the head first
  std::vector<uint32_t> taken;    // word indices of the region's blocks, in its order
  uint32_t links;
  bool through_cache = false;  // the head's jr/jalr
  uint32_t max_ops = kMaxBlockOps;
};

std::vector<uint32_t> nops(uint32_t n) { return std::vector<uint32_t>(n, nop()); }

// clang-format off
const RegionCase kRegionCases[] = {
    // A loop and its exit: every successor a member.
    {"loop", {addiu(t0, t0, -1), bne(t0, zero, -2), nop(), jr(ra), nop()}, {0, 3}, {0, 3}, 0},
    {"successor_not_decoded", {addiu(t0, t0, -1), bne(t0, zero, -2), nop(), jr(ra), nop()}, {0}, {0}, 1},
    // The head's slot loads t1, which its target (5) reads at once: 5
    // joins after the fall-through (2) that moves on to it, and the head's
    // way to it stays a link.
    {"load_delay_across",
     {bne(a0, zero, 4), lw(t1, 0, a1), addu(t2, a0, a0), b(1), nop(), addu(t2, t1, t1), jr(ra), nop()},
     {0, 2, 5}, {0, 2, 5}, 1},
    // mfhi in the slot: nothing may follow within two instructions unchecked.
    {"hilo_guard_left", {bne(a0, zero, 2), mfhi(t1), nop(), jr(ra), nop()}, {0, 2, 3}, {0}, 2},
    // The target is on the next page, at the offset of a block on this one.
    {"next_page", {bne(a0, zero, 1027), nop(), nop(), nop(), jr(ra), nop()}, {0, 4}, {0}, 2},
    // Blocks of one op each, then of 64: eight blocks, or 128 ops, at most.
    {"block_limit", nops(12), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {0, 1, 2, 3, 4, 5, 6, 7}, 1, false, 1},
    {"op_limit", nops(3 * kMaxBlockOps), {0, kMaxBlockOps, 2 * kMaxBlockOps}, {0, kMaxBlockOps}, 1},
    // A jr/jalr that leaves no hazard finds its target in the JumpCache.
    {"jr_through_cache", {jr(ra), nop()}, {0}, {0}, 0, true},
    {"jr_load_in_slot", {jr(ra), lw(t0, 0, a0)}, {0}, {0}, 1, false},
    {"jalr_hilo_guard", {jalr(t9), mflo(t0)}, {0}, {0}, 1, false},
};
// clang-format on

void PrintTo(const RegionCase& c, std::ostream* os) { *os << c.name; }

class RegionPlan : public ::testing::TestWithParam<RegionCase> {};

TEST_P(RegionPlan, TakesTheChainableBlocksOfItsPage) {
  const RegionCase& c = GetParam();
  Planned p(c.code);
  for (uint32_t w : c.entries) p.decode(w, c.max_ops);
  Block& head = *p.page->blocks[c.entries[0]];
  const std::vector<Block*> region = jit::region_of(head, *p.page);
  std::vector<uint32_t> taken;
  for (const Block* b : region) taken.push_back((b->start - kCode) / 4);
  EXPECT_EQ(taken, c.taken);
  EXPECT_EQ(jit::links_needed(region), c.links);
  EXPECT_EQ(jit::through_cache(head), c.through_cache);
}

INSTANTIATE_TEST_SUITE_P(Cpu, RegionPlan, ::testing::ValuesIn(kRegionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The registers op k of the block at word 0 reads and writes.
TEST(RegionPlanOps, RegistersReadAndWritten) {
  struct Row {
    std::vector<uint32_t> code;
    uint32_t k;
    uint64_t reads, writes;
  };
  const auto m = [](auto... r) { return uint64_t{(reg_bit(r) | ...)}; };
  const Row rows[] = {
      {{addu(t0, a0, a1)}, 0, m(a0, a1), m(t0)},
      {{addu(t0, a0, zero)}, 0, m(a0), m(t0)},  // a move
      {{or_(t0, zero, a1)}, 0, m(a1), m(t0)},
      {{add(zero, a0, a1)}, 0, m(a0, a1), 0},  // traps, its result sunk
      {{addiu(t0, zero, 5)}, 0, 0, m(t0)},
      {{lw(t0, 4, a0)}, 0, m(a0), m(t0)},
      {{lwl(t0, 4, a0)}, 0, m(a0, t0), m(t0)},
      {{sw(t0, 4, a0)}, 0, m(t0, a0), 0},
      {{sll(t0, t1, 3)}, 0, m(t1), m(t0)},
      {{mult(a0, a1)}, 0, m(a0, a1), 0},
      {{mfhi(t0)}, 0, 0, m(t0)},
      {{bltzal(a0, 1), nop()}, 0, m(a0), m(ra)},
      {{jalr(s0, t9), nop()}, 0, m(t9), m(s0)},
      {{syscall()}, 0, 0, 0},
      {{lw(t0, 0, a0), addu(t1, t0, t0)}, 1, 0, 0},  // a load-delay fault: no register
  };
  for (const Row& r : rows) {
    Planned p(r.code);
    const jit::OpRegs got = jit::regs_of(p.decode(0).ops[r.k]);
    EXPECT_EQ(got.reads, r.reads) << disassemble(r.code[r.k], kCode);
    EXPECT_EQ(got.writes, r.writes) << disassemble(r.code[r.k], kCode);
  }
}

// Whether the block at word 0 compares its branch after the delay slot.
TEST(RegionPlanOps, DefersWhenTheSlotLeavesTheBranchAlone) {
  const std::pair<std::vector<uint32_t>, bool> rows[] = {
      {{bne(a0, a1, 2), addiu(t0, t0, 1)}, true},
      {{bgez(a0, 2), mult(a0, a1)}, true},
      {{bne(a0, a1, 2), addiu(a1, a1, 1)}, false},  // writes t
      {{bne(a0, a1, 2), addiu(a0, a0, 1)}, false},  // writes s
      {{bgez(a0, 2), lw(a0, 0, a1)}, false},
      {{bne(a0, a1, 2), syscall()}, false},
      {{bne(a0, a1, 2), break_()}, false},
      {{b(2), nop()}, false},            // one successor: always taken
      {{bne(a0, a1, 1), nop()}, false},  // one successor: the target falls through
  };
  for (const auto& [code, defers] : rows) {
    Planned p(code);
    const Block& b = p.decode(0);
    EXPECT_EQ(jit::defers(b, b.branch_index()), defers)
        << disassemble(code[0], kCode) << "; " << disassemble(code[1], kCode);
  }
}

}  // namespace
}  // namespace r3k::test
