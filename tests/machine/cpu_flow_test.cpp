// Control flow: branches and their delay slots, links, syscall stops,
// fetch faults, code that crosses pages or rewrites itself.
#include <string>

#include "cpu_harness.h"

namespace r3k::test {
namespace {

using namespace enc;

constexpr uint32_t kMin = 0x80000000u, kAll = 0xffffffffu;

struct BranchCase {
  const char* name;
  uint32_t insn;  // branch on a0 (and a1) to offset 3
  uint32_t a0, a1;
  bool taken;
};

class CpuBranch : public ::testing::TestWithParam<BranchCase> {};

TEST_P(CpuBranch, TakesOrFallsThroughAfterItsDelaySlot) {
  const BranchCase& c = GetParam();
  Harness h;
  h.load({c.insn,              // 0: to 4 when taken
          addiu(v1, v1, 1),    // 1: delay slot, always runs
          addiu(v0, zero, 1),  // 2: fall-through path
          syscall(),           // 3
          addiu(v0, zero, 2),  // 4: taken path
          syscall()});
  h.reg(a0) = c.a0;
  h.reg(a1) = c.a1;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v1), 1u) << "delay slot";
  EXPECT_EQ(h.reg(v0), c.taken ? 2u : 1u);
  EXPECT_EQ(h.cpu.state().pc, kCode + (c.taken ? 24 : 16));
}

const BranchCase kBranchCases[] = {
    {"beq_equal", beq(a0, a1, 3), 5, 5, true},
    {"beq_unequal", beq(a0, a1, 3), 5, 6, false},
    {"beq_same_register", beq(a0, a0, 3), 1, 0, true},
    {"bne_unequal", bne(a0, a1, 3), kMin, 0, true},
    {"bne_equal", bne(a0, a1, 3), kAll, kAll, false},
    {"blez_zero", blez(a0, 3), 0, 0, true},
    {"blez_negative", blez(a0, 3), kMin, 0, true},
    {"blez_positive", blez(a0, 3), 1, 0, false},
    {"bgtz_positive", bgtz(a0, 3), 0x7fffffff, 0, true},
    {"bgtz_zero", bgtz(a0, 3), 0, 0, false},
    {"bgtz_negative", bgtz(a0, 3), kAll, 0, false},
    {"bltz_negative", bltz(a0, 3), kAll, 0, true},
    {"bltz_zero", bltz(a0, 3), 0, 0, false},
    {"bgez_zero", bgez(a0, 3), 0, 0, true},
    {"bgez_negative", bgez(a0, 3), kMin, 0, false},
    {"bgez_zero_register", bgez(zero, 3), 0, 0, true},
    {"bltzal_negative", bltzal(a0, 3), kAll, 0, true},
    {"bltzal_positive", bltzal(a0, 3), 1, 0, false},
    {"bgezal_zero", bgezal(a0, 3), 0, 0, true},
    {"bgezal_negative", bgezal(a0, 3), kMin, 0, false},
    {"j", j(kCode + 16), 0, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuBranch, ::testing::ValuesIn(kBranchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuLink, LinkIsPcPlus8AndVisibleInTheDelaySlot) {
  struct Case {
    const char* name;
    uint32_t insn;  // at kCode + 8, links into reg
    Reg reg;
    bool links_when_not_taken;
  } cases[] = {
      {"jal", jal(kCode + 0x40), ra, false},
      {"jalr_ra", jalr(t9), ra, false},
      {"jalr_rd", jalr(s0, t9), s0, false},
      {"jalr_rd_is_rs", jalr(t9, t9), t9, false},
      {"bltzal_not_taken", bltzal(zero, 13), ra, true},
      {"bgezal_taken", bgezal(zero, 13), ra, false},
  };
  for (const Case& c : cases) {
    Harness h;
    h.load({nop(), nop(), c.insn, addu(v0, c.reg, zero), syscall()});
    h.put(kCode + 0x40, {syscall()});
    h.reg(t9) = kCode + 0x40;
    h.run_to_syscall();
    EXPECT_EQ(h.reg(c.reg), kCode + 16) << c.name;
    EXPECT_EQ(h.reg(v0), kCode + 16) << c.name << ": delay slot sees the link";
    EXPECT_EQ(h.cpu.state().pc, c.links_when_not_taken ? kCode + 20 : kCode + 0x44) << c.name;
  }
}

// A debugger shows a fault in a delay slot at its branch (back_to_branch):
// once the cause is fixed, running on from there ends as a run without the
// fault, also where the link register is the branch's own source.
TEST(CpuDelaySlot, FaultBackAtTheBranchRunsOnAsWithoutIt) {
  struct Case {
    const char* name;
    uint32_t insn;  // at kCode + 8, to kCode + 0x40 when taken
    uint32_t ra;
  } cases[] = {
      {"beq_taken", beq(zero, zero, 13), 0},
      {"bne_not_taken", bne(zero, zero, 13), 0},
      {"jal", jal(kCode + 0x40), 0},
      {"jr", jr(t9), 0},
      {"jalr_rd_is_rs", jalr(t9, t9), 0},
      {"bltzal_ra_taken", bltzal(ra, 13), kMin},
      {"bltzal_ra_not_taken", bltzal(ra, 13), 4},
      {"bgezal_ra_taken", bgezal(ra, 13), 4},
      {"bgezal_ra_not_taken", bgezal(ra, 13), kAll},
  };
  for (const Case& c : cases) {
    Harness plain, h;
    for (Harness* x : {&plain, &h}) {
      x->load({nop(), nop(), c.insn, lw(v0, 0, a2), syscall()});
      x->put(kCode + 0x40, {syscall()});
      x->put(kData, {0x1234});
      x->reg(t9) = kCode + 0x40;
      x->reg(ra) = c.ra;
    }
    plain.reg(a2) = kData;
    plain.run_to_syscall();
    const Fault f = h.run_to_fault(FaultKind::BadAddress);
    ASSERT_TRUE(h.cpu.back_to_branch(f)) << c.name;
    EXPECT_EQ(h.cpu.state().pc, kCode + 8) << c.name;
    h.reg(a2) = kData;
    h.run_to_syscall();
    EXPECT_EQ(h.cpu.state().pc, plain.cpu.state().pc) << c.name;
    for (uint32_t r = 0; r < kGprCount; ++r) EXPECT_EQ(h.reg(r), plain.reg(r)) << c.name << " r" << r;
  }
  // The HI/LO guard the branch met comes back: the slot faults again.
  Harness h;
  h.load({mflo(t0), b(2), mult(a0, a1), syscall()});
  const Fault f = h.run_to_fault(FaultKind::HiLoHazard);
  ASSERT_TRUE(h.cpu.back_to_branch(f));
  EXPECT_EQ(h.run_to_fault(FaultKind::HiLoHazard).pc, f.pc);
  // Elsewhere nothing changes.
  h.load({lw(v0, 0, zero), syscall()});
  EXPECT_FALSE(h.cpu.back_to_branch(h.run_to_fault(FaultKind::BadAddress)));
  EXPECT_EQ(h.cpu.state().pc, kCode);
}

TEST(CpuDelaySlot, BranchUsesOperandsFromBeforeTheSlot) {
  Harness h;
  h.load({beq(a0, zero, 3), addiu(a0, a0, 1),                       // taken although the slot changes a0
          addiu(v0, zero, 1), syscall(), jr(t0), addiu(t0, t0, 8),  // jumps to the old t0
          syscall()});
  h.put(kCode + 0x20, {addiu(v1, zero, 7), syscall()});
  h.reg(t0) = kCode + 0x20;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 0u);
  EXPECT_EQ(h.reg(a0), 1u);
  EXPECT_EQ(h.reg(v1), 7u);
  EXPECT_EQ(h.reg(t0), kCode + 0x28);
}

TEST(CpuDelaySlot, LoopRunsExactlyAsManyTimes) {
  Harness h;
  h.load({addiu(t0, zero, 10), addiu(v0, v0, 3),              // loop
          addiu(t0, t0, -1), bgtz(t0, -3), addiu(v1, v1, 1),  // slot: runs every time, the last included
          syscall()});
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 30u);
  EXPECT_EQ(h.reg(v1), 10u);
}

TEST(CpuDelaySlot, JumpTakesTheRegionOfItsDelaySlot) {
  // A j in the last word of a 256 MiB region jumps within the next one.
  Harness h;
  ASSERT_TRUE(h.space.map(0x0ffff000, kPageSize, kProtRead | kProtExec));
  ASSERT_TRUE(h.space.map(kData, kPageSize, kProtRead | kProtWrite | kProtExec));
  h.put(0x0ffffffc, {j(0x00000100)});
  h.put(0x10000000, {nop()});
  h.put(0x10000100, {syscall()});
  h.cpu.state().pc = 0x0ffffffc;
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().pc, 0x10000104u);
}

TEST(CpuSyscall, ResumesAfterItOrAtTheBranchTarget) {
  Harness h;
  h.load({addiu(v0, zero, 1), syscall(),   // plain: resume at the next word
          j(kCode + 0x40), syscall(),      // in a taken slot: resume at the target
          bne(zero, zero, 10), syscall(),  // in a not-taken slot: after the slot
          syscall()});
  h.put(kCode + 0x40, {j(kCode + 16), nop()});
  Stop s = h.run();
  ASSERT_EQ(s.reason, StopReason::Syscall);
  EXPECT_EQ(s.executed, 2u);  // the syscall counts
  EXPECT_EQ(h.cpu.state().pc, kCode + 8);
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().pc, kCode + 0x40);
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().pc, kCode + 24);
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().pc, kCode + 28);
}

TEST(CpuStep, RunsOneInstructionOrABranchWithItsSlot) {
  Harness h;
  h.load({addiu(v0, v0, 1),                                            // 0: alone
          beq(zero, zero, 3), nop(),                                   // 4: with its slot, to 0x14
          addiu(v0, v0, 9), syscall(), addiu(v1, v0, 0), syscall()});  // 0x14
  h.cpu.add_breakpoint(kCode);                                         // not stopped at: the step starts there
  const uint32_t pcs[] = {kCode + 4, kCode + 0x14, kCode + 0x18, kCode + 0x1c};
  const uint64_t counts[] = {1, 2, 1, 1};
  for (int i = 0; i < 4; ++i) {
    Stop s = h.cpu.step();
    EXPECT_EQ(s.reason, i < 3 ? StopReason::Budget : StopReason::Syscall) << i;
    EXPECT_EQ(s.executed, counts[i]) << i;
    EXPECT_EQ(h.cpu.state().pc, pcs[i]) << i;
  }
  EXPECT_EQ(h.reg(v1), 1u);
}

TEST(CpuFetch, BadPcFaultsWithTheAddress) {
  struct Case {
    const char* name;
    uint32_t target;
    FaultKind kind;
  } cases[] = {
      {"unaligned", kCode + 2, FaultKind::AddressError}, {"odd", 1, FaultKind::AddressError},
      {"kernel", 0x80000000, FaultKind::AddressError},   {"unmapped", 0x00300000, FaultKind::BadAddress},
      {"not_executable", kData, FaultKind::BadAddress},
  };
  for (const Case& c : cases) {
    Harness h;
    h.load({jr(a0), addiu(v0, zero, 5)});
    h.reg(a0) = c.target;
    Stop s = h.run();
    ASSERT_EQ(s.reason, StopReason::Fault) << c.name;
    EXPECT_EQ(s.fault.kind, c.kind) << c.name;
    EXPECT_TRUE(s.fault.fetch) << c.name;
    EXPECT_EQ(s.fault.pc, c.target) << c.name;
    EXPECT_EQ(s.fault.addr, c.target) << c.name;
    EXPECT_EQ(s.executed, 2u) << c.name;
    EXPECT_EQ(h.reg(v0), 5u) << c.name;
  }
  Harness h;
  h.cpu.state().pc = kData + 8;
  EXPECT_EQ(h.run_to_fault(FaultKind::BadAddress).describe(),
            "bad address 0x10000008 at pc 0x10000008: instruction fetch");
}

TEST(CpuFetch, RunningOffTheEndOfCodeFaultsAtTheNextPage) {
  Harness h;
  uint32_t last = kCode + kCodeSize - 8;
  h.load({addiu(v0, zero, 1), addiu(v1, zero, 2)}, last);
  Fault f = h.run_to_fault(FaultKind::BadAddress);
  EXPECT_EQ(f.pc, kCode + kCodeSize);
  EXPECT_EQ(h.reg(v1), 2u);
}

TEST(CpuPageCrossing, DelaySlotOnTheNextPageIsFetchedAfresh) {
  Harness h;
  ASSERT_TRUE(h.space.map(kCode, kCodeSize, kProtRead | kProtWrite | kProtExec));
  uint32_t branch = kCode + kPageSize - 4;
  h.load({addiu(t0, t0, 1), bne(t0, a0, -2)}, branch - 4);
  h.put(branch + 4, {addiu(v0, v0, 1), syscall()});
  h.reg(a0) = 3;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 3u);
  // Rewriting only the next page must change the cached block's slot.
  h.put(branch + 4, {addiu(v0, v0, 10)});
  h.cpu.state().pc = branch - 4;
  h.reg(t0) = 0;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 33u);
  // And a slot that became unfetchable faults there, after the branch ran.
  ASSERT_TRUE(h.space.map(branch + 4, 4, kProtRead));
  h.cpu.state().pc = branch - 4;
  Fault f = h.run_to_fault(FaultKind::BadAddress);
  EXPECT_EQ(f.pc, branch + 4);
  EXPECT_TRUE(f.fetch);
  EXPECT_TRUE(f.in_delay_slot);
}

TEST(CpuPageCrossing, LoopRewritingItsOwnSlotOnTheNextPage) {
  // Pass p stores word p of the table into the slot on the next page; the
  // table repeats a word so that the slot once stays the same between passes.
  Harness h;
  ASSERT_TRUE(h.space.map(kCode, kCodeSize, kProtRead | kProtWrite | kProtExec));
  uint32_t slot = kCode + kPageSize;
  h.load({lw(a1, 0, a3), addiu(a3, a3, 4), sw(a1, 0, a2), addiu(t0, t0, 1), bne(t0, a0, -5)}, slot - 20);
  h.put(slot, {addiu(v0, zero, 1), syscall()});
  h.put(kData, {addiu(v0, zero, 100), addiu(v0, zero, 100), addiu(v0, zero, 102), addiu(v0, zero, 103)});
  h.reg(a0) = 4;
  h.reg(a2) = slot;
  h.reg(a3) = kData;
  h.run_to_syscall();
  // The pass that stores may still run the slot it entered with (as an
  // R3000 would from its instruction cache), but the last pass must see
  // at least what the one before it stored.
  EXPECT_GE(h.reg(v0), 102u);
}

TEST(CpuSelfModifying, StoredCodeRunsNextTime) {
  Harness h;
  ASSERT_TRUE(h.space.map(kCode, kCodeSize, kProtRead | kProtWrite | kProtExec));
  constexpr uint32_t f = kCode + 0x100;
  h.put(f, {jr(ra), addiu(v0, zero, 1)});
  h.load({jal(f), nop(), sw(a0, 4, t9),  // patch the function's delay slot
          sw(a1, 0, s0),                 // patch the next instruction in this very block
          addiu(v1, zero, 1), jal(f), nop(), syscall()});
  h.reg(t9) = f;
  h.reg(s0) = kCode + 16;
  h.reg(a0) = addiu(v0, zero, 2);
  h.reg(a1) = addiu(v1, zero, 9);
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 2u);
  EXPECT_EQ(h.reg(v1), 9u);

  // Stores next to code but not over it leave it working.
  h.load({sw(a0, 0x100, t9), addiu(v0, zero, 4), syscall()});
  h.reg(a0) = 0x12345678;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 4u);
  EXPECT_EQ(h.word(kCode + 0x200), 0x12345678u);

  // The kernel's and debugger's writes count too.
  uint8_t patch[] = {0x24, 0x02, 0x00, 0x05};  // addiu v0,zero,5
  ASSERT_TRUE(h.space.copy_out(kCode + 4, patch, 4));
  h.cpu.state().pc = kCode;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 5u);
}

TEST(CpuSelfModifying, SharedPagesSeeTheOtherProcessesStores) {
  // The broken-fork quirk shares pages: code on them that one process
  // rewrites must not run stale in the other.
  Harness h;
  ASSERT_TRUE(h.space.map(kData, kPageSize, kProtRead | kProtWrite | kProtExec));
  h.put(kData, {addiu(v0, zero, 1), syscall()});
  h.put(kCode, {sw(a0, 0, a1), syscall()});  // the patcher, in both
  h.cpu.state().pc = kData;
  h.run_to_syscall();  // decoded before the page is shared
  ASSERT_EQ(h.reg(v0), 1u);

  auto child_space = h.space.clone(kData, kData + kPageSize);
  ASSERT_TRUE(child_space);
  Cpu child(child_space.get());
  auto run_child = [&](uint32_t pc) {
    child.state().pc = pc;
    Stop s = child.run(100);
    EXPECT_EQ(s.reason, StopReason::Syscall) << s.fault.describe();
  };
  run_child(kData);
  EXPECT_EQ(child.state().gpr[v0], 1u);

  child.state().gpr[a0] = addiu(v0, zero, 2);
  child.state().gpr[a1] = kData;
  run_child(kCode);
  h.cpu.state().pc = kData;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 2u);
  run_child(kData);  // the child has just run this code too
  EXPECT_EQ(child.state().gpr[v0], 2u);

  h.reg(a0) = addiu(v0, zero, 3);
  h.reg(a1) = kData;
  h.cpu.state().pc = kCode;
  h.run_to_syscall();
  run_child(kData);
  EXPECT_EQ(child.state().gpr[v0], 3u);

  // A store over a later instruction of the same straight run on the
  // shared page: that instruction runs as stored.
  h.put(kData + 0x10, {sw(a0, 8, a1), nop(), addiu(v0, zero, 1), syscall()});
  h.reg(a0) = addiu(v0, zero, 4);
  h.reg(a1) = kData + 0x10;
  h.cpu.state().pc = kData + 0x10;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 4u);
}

}  // namespace
}  // namespace r3k::test
