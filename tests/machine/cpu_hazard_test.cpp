// The R3000 strictness checks: load delay, HI/LO, branch in a delay slot.
// Each sequence runs from kCode with a0 = kData and either ends in the
// syscall appended to it or faults at instruction `at`.
#include <optional>
#include <string>

#include "cpu_harness.h"

namespace r3k::test {
namespace {

using namespace enc;

struct HazardCase {
  const char* name;
  Code code;
  std::optional<FaultKind> kind;  // none: runs clean
  uint32_t at = 0;                // index of the faulting instruction
  Reg reg = zero;                 // load-delay: the register read too early
  int executed = -1;              // before the fault, if not `at` (jumps)
};

class CpuHazard : public ::testing::TestWithParam<HazardCase> {};

TEST_P(CpuHazard, FaultsExactlyWhereTheR3000WouldMisbehave) {
  const HazardCase& c = GetParam();
  Harness h;
  Code code = c.code;
  code << syscall();
  h.load(code);
  h.reg(a0) = kData;
  Stop s = h.run();
  if (!c.kind) {
    EXPECT_EQ(s.reason, StopReason::Syscall) << s.fault.describe();
    return;
  }
  ASSERT_EQ(s.reason, StopReason::Fault);
  EXPECT_EQ(s.fault.kind, *c.kind) << s.fault.describe();
  EXPECT_EQ(s.fault.pc, kCode + 4 * c.at);
  EXPECT_EQ(s.fault.insn, c.code.words[c.at]);
  EXPECT_EQ(s.executed, c.executed < 0 ? c.at : uint32_t(c.executed));
  EXPECT_EQ(h.cpu.state().pc, kCode + 4 * c.at);
  if (*c.kind == FaultKind::LoadDelayHazard) {
    EXPECT_EQ(s.fault.reg, c.reg);
  }
  EXPECT_EQ(fault_signal(*c.kind), 4);
}

constexpr auto LD = FaultKind::LoadDelayHazard;
constexpr auto HL = FaultKind::HiLoHazard;
constexpr auto BD = FaultKind::BranchInDelaySlot;

const HazardCase kHazardCases[] = {
    // Load delay: every kind of reader right after every kind of load.
    {"lw_then_rs_reader", {lw(t0, 0, a0), addu(v0, t0, zero)}, LD, 1, t0},
    {"lw_then_rt_reader", {lw(t0, 0, a0), addu(v0, zero, t0)}, LD, 1, t0},
    {"lb_then_shift", {lb(t0, 0, a0), sll(v0, t0, 2)}, LD, 1, t0},
    {"lbu_then_immediate", {lbu(t0, 0, a0), addiu(v0, t0, 1)}, LD, 1, t0},
    {"lh_then_store_value", {lh(t0, 0, a0), sw(t0, 4, a0)}, LD, 1, t0},
    {"lhu_then_store_base", {lhu(t0, 0, a0), sw(zero, 0, t0)}, LD, 1, t0},
    {"lw_then_load_base", {lw(a1, 0, a0), lw(v0, 0, a1)}, LD, 1, a1},
    {"lw_then_branch", {lw(t0, 0, a0), beq(t0, zero, 1), nop()}, LD, 1, t0},
    {"lw_then_jr", {lw(t0, 0, a0), jr(t0), nop()}, LD, 1, t0},
    {"lw_then_mult", {lw(t0, 0, a0), mult(a0, t0)}, LD, 1, t0},
    {"lw_then_mthi", {lw(t0, 0, a0), mthi(t0)}, LD, 1, t0},
    {"lw_then_variable_shift_amount", {lw(t0, 0, a0), sllv(v0, a0, t0)}, LD, 1, t0},
    {"lw_then_lwr_merge", {lw(t0, 0, a0), lwr(t0, 3, a0)}, LD, 1, t0},
    {"lwl_then_reader", {lwl(t0, 0, a0), addu(v0, t0, zero)}, LD, 1, t0},
    {"lwl_then_lwr_based_on_it", {lwl(t0, 0, a0), lwr(t1, 3, t0)}, LD, 1, t0},
    {"lwl_then_lwr_same_reg_as_base", {lwl(t0, 0, a0), lwr(t0, 3, t0)}, LD, 1, t0},
    {"later_in_a_block", {nop(), nop(), lw(t0, 0, a0), or_(v0, v0, t0)}, LD, 3, t0},
    // ... and the neighbours that are fine.
    {"lw_then_writer_only", {lw(t0, 0, a0), sll(t0, a0, 2)}, std::nullopt},
    {"lw_then_lui_same_reg", {lw(t0, 0, a0), lui(t0, 1)}, std::nullopt},
    {"lw_then_other_regs", {lw(t0, 0, a0), addu(v0, t1, a0)}, std::nullopt},
    {"lw_nop_reader", {lw(t0, 0, a0), nop(), addu(v0, t0, zero)}, std::nullopt},
    {"lw_to_zero", {lw(zero, 0, a0), addu(v0, zero, zero)}, std::nullopt},
    {"lw_then_mfhi", {lw(t0, 0, a0), mfhi(t0)}, std::nullopt},
    {"lwl_lwr_pair", {lwl(t0, 0, a0), lwr(t0, 3, a0)}, std::nullopt},
    {"lwr_lwl_pair", {lwr(t0, 3, a0), lwl(t0, 0, a0)}, std::nullopt},
    {"lwl_lwl_same_reg", {lwl(t0, 1, a0), lwl(t0, 2, a0)}, std::nullopt},
    {"lwl_then_lwr_other_reg", {lwl(t0, 0, a0), lwr(t1, 3, a0)}, std::nullopt},
    {"store_then_reader", {sw(t0, 0, a0), addu(v0, t0, zero)}, std::nullopt},
    // The instruction after a load in a delay slot is the branch target.
    {"slot_load_target_reader", {j(kCode + 16), lw(t0, 0, a0), nop(), nop(), addu(v0, t0, zero)}, LD, 4, t0, 2},
    {"slot_load_fallthrough_reader", {bne(a0, a0, 3), lw(t0, 0, a0), addu(v0, t0, zero)}, LD, 2, t0},
    {"slot_load_target_lwr_after_lw", {b(2), lw(t0, 0, a0), nop(), lwr(t0, 3, a0)}, LD, 3, t0, 2},
    {"slot_load_target_other_reg", {b(2), lw(t0, 0, a0), nop(), addu(v0, t1, zero)}, std::nullopt},
    {"slot_load_target_nop_reader", {b(2), lw(t0, 0, a0), nop(), nop(), addu(v0, t0, t0)}, std::nullopt},
    {"slot_lwl_target_lwr_pair", {b(2), lwl(t0, 1, a0), nop(), lwr(t0, 4, a0)}, std::nullopt},
    {"slot_lwl_target_lwr_based_on_it", {b(2), lwl(a0, 1, a0), nop(), lwr(a0, 4, a0)}, LD, 3, a0, 2},
    // mfhi/mflo in a delay slot guards the first two at the target.
    {"slot_mflo_target_mult", {b(2), mflo(v0), nop(), mult(a0, a1)}, HL, 3, zero, 2},
    {"slot_mflo_target_second", {b(2), mflo(v0), nop(), nop(), mtlo(a0)}, HL, 4, zero, 3},
    {"slot_mflo_target_second_in_slot", {b(2), mflo(v0), nop(), b(1), mthi(a0), nop()}, HL, 4, zero, 3},
    {"slot_mflo_target_third", {b(2), mflo(v0), nop(), nop(), nop(), mult(a0, a1)}, std::nullopt},
    // HI/LO: a write within two instructions of mfhi/mflo.
    {"mfhi_then_mult", {mfhi(v0), mult(a0, a1)}, HL, 1},
    {"mflo_then_mtlo", {mflo(v0), mtlo(a0)}, HL, 1},
    {"mfhi_gap_divu", {mfhi(v0), nop(), divu(a0, a1)}, HL, 2},
    {"mflo_gap_mthi", {mflo(v0), addu(v1, v0, v0), mthi(a0)}, HL, 2},
    {"mfhi_mflo_div", {mfhi(v0), mflo(v1), div(a0, a1)}, HL, 2},
    {"mfhi_then_multu_in_slot", {mfhi(v0), b(1), multu(a0, a1), nop()}, HL, 2},
    {"mfhi_gap_gap_mult", {mfhi(v0), nop(), nop(), mult(a0, a1)}, std::nullopt},
    {"mfhi_then_mfhi", {mfhi(v0), mfhi(v1), mflo(a2)}, std::nullopt},
    {"mult_then_mfhi", {mult(a0, a1), mfhi(v0)}, std::nullopt},
    // A branch or jump in a delay slot.
    {"beq_in_slot", {beq(zero, zero, 2), beq(zero, zero, 2)}, BD, 1},
    {"j_in_slot", {b(2), j(kCode)}, BD, 1},
    {"jal_in_slot_of_not_taken", {bne(zero, zero, 2), jal(kCode)}, BD, 1},
    {"jr_in_slot", {jal(kCode + 64), jr(ra)}, BD, 1},
    {"bltzal_in_slot", {jr(a0), bltzal(zero, 1)}, BD, 1},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuHazard, ::testing::ValuesIn(kHazardCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuHazardDynamic, StateSurvivesStopsOfRun) {
  // A syscall right after mfhi: the kernel runs, then the guard still holds.
  Harness h;
  h.load({mfhi(v0), syscall(), mult(a0, a1)});
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().hilo_guard, 1);
  EXPECT_EQ(h.run_to_fault(HL).pc, kCode + 8);

  // A budget stop right after a load in a delay slot.
  h.load({j(kCode + 0x40), lw(t0, 0, a0)});
  h.put(kCode + 0x40, {addu(v0, t0, zero), syscall()});
  h.reg(a0) = kData;
  Stop s = h.run(1);
  ASSERT_EQ(s.reason, StopReason::Budget);
  EXPECT_EQ(h.cpu.state().pc, kCode + 0x40);
  EXPECT_EQ(h.cpu.state().load_reg, t0);
  EXPECT_FALSE(h.cpu.state().load_partial);
  EXPECT_EQ(h.run_to_fault(LD).reg, t0);

  // A breakpoint at the target, then resuming.
  h.cpu.state().pc = kCode;
  h.cpu.add_breakpoint(kCode + 0x40);
  EXPECT_EQ(h.run().reason, StopReason::Breakpoint);
  EXPECT_EQ(h.cpu.state().load_reg, t0);
  EXPECT_EQ(h.run_to_fault(LD).pc, kCode + 0x40);

  // The kernel may clear it (as after it wrote the register itself).
  h.cpu.state().load_reg = 0;
  h.run_to_syscall();
}

TEST(CpuHazardDynamic, FaultsEveryTimeNotJustTheFirst) {
  // Run twice: the second time the blocks are cached and linked.
  for (auto [code, kind] :
       {std::pair{Code{j(kCode + 16), lw(t0, 0, a0), nop(), nop(), addu(v0, t0, zero), syscall()}, LD},
        std::pair{Code{j(kCode + 16), mflo(v0), nop(), nop(), mult(a0, a1), syscall()}, HL}}) {
    Harness h;
    h.load(code);
    h.reg(a0) = kData;
    for (int pass = 0; pass < 2; ++pass) {
      h.cpu.state().pc = kCode;
      EXPECT_EQ(h.run_to_fault(kind).pc, kCode + 16) << pass;
    }
  }
}

TEST(CpuHazardDynamic, OnlyTheInstructionsExecutedCount) {
  // Entering between a load and its reader is not a hazard, whichever of
  // the two paths was decoded first.
  for (bool load_path_first : {true, false}) {
    Harness h;
    h.load({lw(t0, 0, a0), addu(v0, t0, zero), syscall()});
    h.put(kCode + 0x40, {addiu(t0, zero, 7), j(kCode + 4), nop()});
    h.reg(a0) = kData;
    if (load_path_first) h.run_to_fault(LD);
    h.cpu.state().pc = kCode + 0x40;
    h.run_to_syscall();
    EXPECT_EQ(h.reg(v0), 7u) << load_path_first;
    if (!load_path_first) {
      h.cpu.state().pc = kCode;
      h.run_to_fault(LD);
    }
  }
}

TEST(CpuHazardDynamic, ReportsNameTheRegisterAndTheRule) {
  Harness h;
  h.load({nop(), lw(v1, 0, a0), addu(v0, v1, v0)});
  h.reg(a0) = kData;
  EXPECT_EQ(h.run_to_fault(LD).describe(),
            "load-delay hazard at pc 0x00400008: addu v0,v1,v0 reads v1 loaded by the "
            "previous instruction");
  h.load({mflo(v0), nop(), mult(a0, a1)});
  EXPECT_EQ(h.run_to_fault(HL).describe(),
            "hi/lo hazard at pc 0x00400008: mult a0,a1 writes HI/LO within two instructions "
            "of mfhi/mflo");
  h.load({jr(ra), j(kCode)});
  EXPECT_EQ(h.run_to_fault(BD).describe(), "branch in delay slot at pc 0x00400004: j 0x00400000");
}

}  // namespace
}  // namespace r3k::test
