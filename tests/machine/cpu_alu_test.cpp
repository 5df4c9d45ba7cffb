// Arithmetic, logic, shifts, HI/LO: one instruction at a time, operands in
// a0/a1, result in v0 (or HI/LO).
#include <climits>
#include <string>

#include "cpu_harness.h"

namespace r3k::test {
namespace {

using namespace enc;

struct AluCase {
  const char* name;
  uint32_t insn;
  uint32_t a0, a1;
  uint32_t v0;
};

class CpuAlu : public ::testing::TestWithParam<AluCase> {};

TEST_P(CpuAlu, ComputesResult) {
  const AluCase& c = GetParam();
  Harness h;
  h.load({c.insn, syscall()});
  h.reg(a0) = c.a0;
  h.reg(a1) = c.a1;
  h.reg(v0) = 0xdeadbeef;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), c.v0) << std::hex << "got 0x" << h.reg(v0);
  EXPECT_EQ(h.reg(a0), c.a0);  // sources untouched
  EXPECT_EQ(h.reg(a1), c.a1);
}

constexpr uint32_t kMin = 0x80000000u, kMax = 0x7fffffffu, kAll = 0xffffffffu;

const AluCase kAluCases[] = {
    {"addu", addu(v0, a0, a1), 1, 2, 3},
    {"addu_wraps", addu(v0, a0, a1), kAll, 1, 0},
    {"addu_no_trap", addu(v0, a0, a1), kMax, 1, kMin},
    {"add", add(v0, a0, a1), 0x7ffffffe, 1, kMax},
    {"add_mixed_signs_at_limits", add(v0, a0, a1), kMin, kMax, kAll},
    {"sub", sub(v0, a0, a1), 5, 7, uint32_t(-2)},
    {"sub_min_minus_neg", sub(v0, a0, a1), kMin, kAll, kMin + 1},
    {"subu_wraps", subu(v0, a0, a1), 0, 1, kAll},
    {"and", and_(v0, a0, a1), 0xff00ff00, 0x0ff00ff0, 0x0f000f00},
    {"or", or_(v0, a0, a1), 0xff00ff00, 0x0ff00ff0, 0xfff0fff0},
    {"or_move_form", or_(v0, a0, zero), 0x12345678, 0, 0x12345678},
    {"xor", xor_(v0, a0, a1), 0xff00ff00, 0x0ff00ff0, 0xf0f0f0f0},
    {"nor", nor(v0, a0, a1), 0xff00ff00, 0x0ff00ff0, 0x000f000f},
    {"slt_signed", slt(v0, a0, a1), kAll, 0, 1},
    {"slt_min_max", slt(v0, a0, a1), kMin, kMax, 1},
    {"sltu_unsigned", sltu(v0, a0, a1), kAll, 0, 0},
    {"sltu_min_max", sltu(v0, a0, a1), kMin, kMax, 0},
    {"sll_0", sll(v0, a0, 0), 0x12345678, 0, 0x12345678},
    {"sll_31", sll(v0, a0, 31), 3, 0, kMin},
    {"srl_31", srl(v0, a0, 31), kMin, 0, 1},
    {"sra_31", sra(v0, a0, 31), kMin, 0, kAll},
    {"sra_4_negative", sra(v0, a0, 4), 0xfffffff0, 0, kAll},
    {"sllv_uses_low_5_bits", sllv(v0, a0, a1), 1, 33, 2},
    {"srlv", srlv(v0, a0, a1), kMin, 31, 1},
    {"srlv_masked_to_0", srlv(v0, a0, a1), kMin, 0xffffffe0, kMin},
    {"srav", srav(v0, a0, a1), kMin, 4, 0xf8000000},
    {"addi_negative", addi(v0, a0, -1), 0, 0, kAll},
    {"addiu_wraps", addiu(v0, a0, 1), kMax, 0, kMin},
    {"addiu_sign_extends", addiu(v0, a0, -32768), 0, 0, 0xffff8000},
    {"addiu_from_zero", addiu(v0, zero, 0x7fff), 0, 0, 0x7fff},
    {"slti_signed", slti(v0, a0, 0), kAll, 0, 1},
    {"slti_sign_extends", slti(v0, a0, -1), 0, 0, 0},
    {"sltiu_compares_sign_extended", sltiu(v0, a0, -1), 0, 0, 1},
    {"sltiu_all_ones", sltiu(v0, a0, -1), kAll, 0, 0},
    {"andi_zero_extends", andi(v0, a0, 0x8000), kAll, 0, 0x8000},
    {"ori_zero_extends", ori(v0, a0, 0xffff), kMin, 0, 0x8000ffff},
    {"ori_from_zero", ori(v0, zero, 0x8001), 0, 0, 0x8001},
    {"xori_zero_extends", xori(v0, a0, 0xffff), kAll, 0, 0xffff0000},
    {"lui", lui(v0, 0x8000), 0, 0, kMin},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuAlu, ::testing::ValuesIn(kAluCases),
                         [](const auto& info) { return std::string(info.param.name); });

// HI/LO producers: mult/div in a0,a1, then both halves read back.
struct HiLoCase {
  const char* name;
  uint32_t insn;
  uint32_t a0, a1;
  uint32_t hi, lo;
};

class CpuHiLo : public ::testing::TestWithParam<HiLoCase> {};

TEST_P(CpuHiLo, SetsHiAndLo) {
  const HiLoCase& c = GetParam();
  Harness h;
  h.load({c.insn, mfhi(v0), mflo(v1), syscall()});
  h.reg(a0) = c.a0;
  h.reg(a1) = c.a1;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), c.hi) << "HI";
  EXPECT_EQ(h.reg(v1), c.lo) << "LO";
  EXPECT_EQ(h.cpu.state().hi, c.hi);
  EXPECT_EQ(h.cpu.state().lo, c.lo);
}

const HiLoCase kHiLoCases[] = {
    {"mult_neg_neg", mult(a0, a1), kAll, kAll, 0, 1},
    {"mult_neg_pos", mult(a0, a1), kAll, 2, kAll, 0xfffffffe},
    {"mult_min_min", mult(a0, a1), kMin, kMin, 0x40000000, 0},
    {"mult_max_min", mult(a0, a1), kMax, kMin, 0xc0000000, kMin},
    {"multu_all_ones", multu(a0, a1), kAll, kAll, 0xfffffffe, 1},
    {"multu_min_two", multu(a0, a1), kMin, 2, 1, 0},
    {"div_truncates", div(a0, a1), 7, uint32_t(-2), 1, uint32_t(-3)},
    {"div_negative_dividend", div(a0, a1), uint32_t(-7), 2, uint32_t(-1), uint32_t(-3)},
    {"div_min_by_minus_one", div(a0, a1), kMin, kAll, 0, kMin},
    {"div_positive_by_zero", div(a0, a1), 5, 0, 5, kAll},
    {"div_zero_by_zero", div(a0, a1), 0, 0, 0, kAll},
    {"div_negative_by_zero", div(a0, a1), uint32_t(-5), 0, uint32_t(-5), 1},
    {"divu", divu(a0, a1), kAll, 2, 1, kMax},
    {"divu_by_zero", divu(a0, a1), 5, 0, 5, kAll},
    {"mthi", mthi(a0), 0x11111111, 0, 0x11111111, 0},
    {"mtlo", mtlo(a1), 0, 0x22222222, 0, 0x22222222},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuHiLo, ::testing::ValuesIn(kHiLoCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Trapping arithmetic: the fault reports the instruction and leaves the
// destination as it was.
struct OverflowCase {
  const char* name;
  uint32_t insn;
  uint32_t a0, a1;
};

class CpuOverflow : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(CpuOverflow, FaultsWithoutWriting) {
  const OverflowCase& c = GetParam();
  Harness h;
  h.load({addiu(t0, zero, 1), c.insn, addiu(t1, zero, 1), syscall()});
  h.reg(a0) = c.a0;
  h.reg(a1) = c.a1;
  h.reg(v0) = 0x5a5a5a5a;
  Stop s = h.run();
  ASSERT_EQ(s.reason, StopReason::Fault);
  EXPECT_EQ(s.fault.kind, FaultKind::Overflow);
  EXPECT_EQ(s.fault.pc, kCode + 4);
  EXPECT_EQ(s.fault.insn, c.insn);
  EXPECT_EQ(s.executed, 1u);
  EXPECT_EQ(h.cpu.state().pc, kCode + 4);
  EXPECT_EQ(h.reg(v0), 0x5a5a5a5au);
  EXPECT_EQ(h.reg(t0), 1u);
  EXPECT_EQ(h.reg(t1), 0u);
  EXPECT_EQ(fault_signal(s.fault.kind), 8);
}

const OverflowCase kOverflowCases[] = {
    {"add_max_plus_one", add(v0, a0, a1), kMax, 1},
    {"add_min_plus_minus_one", add(v0, a0, a1), kMin, kAll},
    {"add_into_zero_still_traps", add(zero, a0, a1), kMax, kMax},
    {"sub_min_minus_one", sub(v0, a0, a1), kMin, 1},
    {"sub_zero_minus_min", sub(v0, a0, a1), 0, kMin},
    {"sub_max_minus_minus_one", sub(v0, a0, a1), kMax, kAll},
    {"addi_max_plus_one", addi(v0, a0, 1), kMax, 0},
    {"addi_min_minus_one", addi(v0, a0, -1), kMin, 0},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuOverflow, ::testing::ValuesIn(kOverflowCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuZeroRegister, WritesToZeroAreDiscarded) {
  Harness h;
  h.reg(a0) = kData;
  h.put(kData, {0xabcdef01});
  h.load({
      addiu(zero, zero, 5),
      lui(zero, 0x1234),
      ori(zero, a0, 7),
      addu(zero, a0, a0),
      sll(zero, a0, 3),
      mfhi(zero),
      lw(zero, 0, a0),
      nop(),
      lwl(zero, 1, a0),
      nop(),
      jal(kCode + 4 * 12),
      nop(),  // lands on the syscall below with ra set
      syscall(),
  });
  h.cpu.state().hi = 99;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(zero), 0u);
  h.load({addu(v0, zero, zero), addiu(v1, zero, 0), syscall()});
  h.reg(v0) = h.reg(v1) = 7;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 0u);
  EXPECT_EQ(h.reg(v1), 0u);
}

}  // namespace
}  // namespace r3k::test
