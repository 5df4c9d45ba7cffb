// What the CPU refuses (reserved encodings, break), what it tolerates
// (non-zero must-be-zero fields), how run() stops (budget, breakpoints),
// and the instruction text used in reports.
#include <set>
#include <string>

#include "cpu_harness.h"

namespace r3k::test {
namespace {

using namespace enc;

// The MIPS-I encodings, from the R3000 opcode map.
const std::set<uint32_t> kPrimary = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                     0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x20, 0x21, 0x22, 0x23,
                                     0x24, 0x25, 0x26, 0x28, 0x29, 0x2a, 0x2b, 0x2e};
const std::set<uint32_t> kSpecial = {0x00, 0x02, 0x03, 0x04, 0x06, 0x07, 0x08, 0x09, 0x0c, 0x0d,
                                     0x10, 0x11, 0x12, 0x13, 0x18, 0x19, 0x1a, 0x1b, 0x20, 0x21,
                                     0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x2a, 0x2b};
const std::set<uint32_t> kRegimm = {0x00, 0x01, 0x10, 0x11};

std::vector<uint32_t> reserved_words() {
  std::vector<uint32_t> w;
  for (uint32_t op = 0; op < 64; ++op)
    if (!kPrimary.count(op)) w.push_back(itype(op, a0, a1, 8));
  for (uint32_t f = 0; f < 64; ++f)
    if (!kSpecial.count(f)) w.push_back(special(f, a0, a1, v0));
  for (uint32_t rt = 0; rt < 32; ++rt)
    if (!kRegimm.count(rt)) w.push_back(regimm(rt, a0, 2));
  // Familiar later-ISA and coprocessor instructions, by their encodings.
  w.insert(w.end(), {
                        0x40026000,  // mfc0 v0,$12
                        0x42000010,  // rfe
                        0x44020800,  // mfc1 v0,$f1
                        0x46000000,  // add.s
                        0x4a000001,  // cop2
                        0xc4820000,  // lwc1
                        0xe4820000,  // swc1
                        0xc0820000,  // ll
                        0xe0820000,  // sc
                        0x70851002,  // mul v0,a0,a1
                        0x70850000,  // madd
                        0x7c02e83b,  // rdhwr
                        0x0085000a,  // movz
                        0x0000000f,  // sync
                        0x00850034,  // teq
                        0x50850001,  // beql
                        0x04820001,  // bltzl
                        0x04930001,  // bgezall
                    });
  return w;
}

TEST(CpuReserved, EveryNonMipsIEncodingFaults) {
  for (uint32_t word : reserved_words()) {
    for (bool in_slot : {false, true}) {
      Harness h;
      h.load(in_slot ? Code{b(4), word} : Code{nop(), word});
      h.reg(a0) = kData;
      h.reg(a1) = kData;
      Stop s = h.run();
      ASSERT_EQ(s.reason, StopReason::Fault) << std::hex << word;
      EXPECT_EQ(s.fault.kind, FaultKind::ReservedInstruction) << std::hex << word;
      EXPECT_EQ(s.fault.pc, kCode + 4) << std::hex << word;
      EXPECT_EQ(s.fault.in_delay_slot, in_slot) << std::hex << word;
      EXPECT_EQ(s.executed, 1u);
      char text[32];
      std::snprintf(text, sizeof text, ".word 0x%08x", word);
      EXPECT_NE(s.fault.describe().find(text), std::string::npos) << s.fault.describe();
    }
  }
  EXPECT_EQ(fault_signal(FaultKind::ReservedInstruction), 4);
}

// Fields the R3000 does not decode are ignored, as the hardware does; the
// later ISAs that gave some of them meaning (rotr, jr.hb) do not apply.
TEST(CpuReserved, MustBeZeroFieldsAreIgnored) {
  struct Case {
    const char* name;
    uint32_t insn;
    uint32_t v0;
  } cases[] = {
      {"sll_with_rs", special(0x00, t1, a0, v0, 4), 0x10},
      {"srl_with_rs_1_is_not_rotr", special(0x02, 1, a0, v0, 1), 0x40000000},
      {"srlv_with_sa_1_is_not_rotrv", special(0x06, a1, a0, v0, 1), 0x40000000},
      {"addu_with_sa", special(0x21, a0, a1, v0, 9), 0x80000002},
      {"mflo_with_rs_rt", special(0x12, a0, a1, v0), 0x1234},
      {"lui_with_rs", itype(0x0f, a0, v0, 0x10), 0x100000},
  };
  for (const Case& c : cases) {
    Harness h;
    h.load({c.insn, syscall()});
    h.reg(a0) = 0x80000001;
    h.reg(a1) = 1;
    h.reg(t1) = 0xffffffff;
    h.cpu.state().lo = 0x1234;
    h.run_to_syscall();
    EXPECT_EQ(h.reg(v0), c.v0) << c.name << std::hex << " got 0x" << h.reg(v0);
  }
  Harness h;  // jr with the hint bit, blez with rt, a syscall code
  h.load({special(0x08, t9, 0, 0, 16), nop()});
  h.put(kCode + 0x40, {itype(0x06, zero, a0, 2), nop(), nop(), enc::syscall(0x123)});
  h.reg(t9) = kCode + 0x40;
  h.run_to_syscall();
  EXPECT_EQ(h.cpu.state().pc, kCode + 0x50);
}

TEST(CpuBreak, FaultsWithSigtrap) {
  Harness h;
  h.load({addiu(v0, zero, 1), break_(7), addiu(v0, zero, 2)});
  Fault f = h.run_to_fault(FaultKind::Break);
  EXPECT_EQ(f.pc, kCode + 4);
  EXPECT_EQ(f.addr, kCode + 4);
  EXPECT_EQ(h.reg(v0), 1u);
  EXPECT_EQ(fault_signal(f.kind), 5);
  EXPECT_EQ(f.describe(), "break at pc 0x00400004: break 0x7");
}

// A program with loops, calls and loads whose exact instruction count
// and final state are known from one long run.
Code busy_program() {
  return {
      addiu(s0, zero, 40),
      lw(t0, 0, a0),  // 1: outer loop
      jal(kCode + 4 * 12),
      addiu(s0, s0, -1),
      addu(v0, v0, t0),
      bgtz(s0, -5),
      addiu(t0, t0, 3),
      syscall(),  // 7
      nop(),
      nop(),
      nop(),
      nop(),
      addiu(t1, zero, 5),  // 12: function, inner loop of 5
      addiu(t1, t1, -1),
      bne(t1, zero, -2),
      addiu(v1, v1, 1),
      jr(ra),
      sw(v1, 4, a0),
  };
}

TEST(CpuBudget, ZeroBudgetDoesNothing) {
  Harness h;
  h.load(busy_program());
  h.reg(a0) = kData;
  Stop s = h.run(0);
  EXPECT_EQ(s.reason, StopReason::Budget);
  EXPECT_EQ(s.executed, 0u);
  EXPECT_EQ(h.cpu.state().pc, kCode);
}

TEST(CpuBudget, SlicedRunsMatchOneRunExactly) {
  Harness whole;
  whole.load(busy_program());
  whole.reg(a0) = kData;
  Stop all = whole.run(1'000'000);
  ASSERT_EQ(all.reason, StopReason::Syscall);
  ASSERT_GT(all.executed, 400u);

  for (uint64_t budget : {1, 2, 3, 7, 64}) {
    Harness h;
    h.load(busy_program());
    h.reg(a0) = kData;
    uint64_t total = 0;
    Stop s;
    int stops = 0;
    do {
      s = h.run(budget);
      total += s.executed;
      ++stops;
      if (s.reason == StopReason::Budget) {
        EXPECT_GE(s.executed, budget);
        EXPECT_LT(s.executed, budget + 66);  // only the block in progress
      }
    } while (s.reason == StopReason::Budget && stops < 10000);
    ASSERT_EQ(s.reason, StopReason::Syscall) << budget;
    EXPECT_EQ(total, all.executed) << budget;
    EXPECT_EQ(h.cpu.state().pc, whole.cpu.state().pc) << budget;
    for (int r = 0; r < 32; ++r) EXPECT_EQ(h.reg(r), whole.reg(r)) << budget << " r" << r;
    EXPECT_EQ(h.word(kData + 4), whole.word(kData + 4));
  }
}

TEST(CpuBreakpoint, StopsBeforeAndResumesThrough) {
  Harness h;
  Code code;
  for (int i = 0; i < 10; ++i) code << addiu(v0, v0, 1);
  code << syscall();
  h.load(code);
  h.cpu.add_breakpoint(kCode + 16);
  h.cpu.add_breakpoint(kCode + 16);
  Stop s = h.run();
  ASSERT_EQ(s.reason, StopReason::Breakpoint);
  EXPECT_EQ(s.executed, 4u);
  EXPECT_EQ(h.cpu.state().pc, kCode + 16);
  EXPECT_EQ(h.reg(v0), 4u);
  h.run_to_syscall();  // the breakpoint it stands on does not stop it again
  EXPECT_EQ(h.reg(v0), 10u);
}

TEST(CpuBreakpoint, HitsEveryIterationButNeverSplitsABranchFromItsSlot) {
  Harness h;
  h.load({addiu(t0, zero, 5), addiu(t0, t0, -1),  // 1: loop head
          bne(t0, zero, -2),                      // 2
          addiu(v0, v0, 1),                       // 3: slot
          syscall()});
  for (uint32_t at : {1u, 2u}) {
    h.cpu.clear_breakpoints();
    h.cpu.add_breakpoint(kCode + 4 * at);
    h.cpu.state().pc = kCode;
    h.reg(v0) = 0;
    int hits = 0;
    Stop s;
    while ((s = h.run()).reason == StopReason::Breakpoint) {
      EXPECT_EQ(h.cpu.state().pc, kCode + 4 * at);
      ++hits;
    }
    EXPECT_EQ(s.reason, StopReason::Syscall);
    EXPECT_EQ(hits, 5) << at;
    EXPECT_EQ(h.reg(v0), 5u);
  }
  h.cpu.clear_breakpoints();
  h.cpu.add_breakpoint(kCode + 12);  // a delay slot
  h.cpu.state().pc = kCode;
  Stop s;
  while ((s = h.run()).reason == StopReason::Breakpoint) EXPECT_NE(h.cpu.state().pc, kCode + 12);
  EXPECT_EQ(s.reason, StopReason::Syscall);
  h.cpu.clear_breakpoints();
  h.cpu.state().pc = kCode;
  EXPECT_EQ(h.run().reason, StopReason::Syscall);
}

struct DisasmCase {
  uint32_t insn, pc;
  const char* text;
};

class CpuDisassemble : public ::testing::TestWithParam<DisasmCase> {};

TEST_P(CpuDisassemble, UsesConventionalText) {
  EXPECT_EQ(disassemble(GetParam().insn, GetParam().pc), GetParam().text);
}

const DisasmCase kDisasmCases[] = {
    {addiu(sp, sp, -24), 0, "addiu sp,sp,-24"},
    {lw(ra, 20, sp), 0, "lw ra,20(sp)"},
    {swr(s7, 3, fp), 0, "swr s7,3(fp)"},
    {jal(0x00400080), 0x00400000, "jal 0x00400080"},
    {j(0x00000100), 0x0ffffffc, "j 0x10000100"},
    {beq(a0, zero, 3), 0x004000f0, "beq a0,zero,0x00400100"},
    {bgezal(k0, 0), 0x00400000, "bgezal k0,0x00400004"},
    {jalr(t9), 0, "jalr t9"},
    {jalr(s0, t9), 0, "jalr s0,t9"},
    {sll(v0, v1, 2), 0, "sll v0,v1,2"},
    {nop(), 0, "nop"},
    {mtlo(at), 0, "mtlo at"},
    {lui(at, 0x8000), 0, "lui at,0x8000"},
    {andi(v0, a0, 0xff), 0, "andi v0,a0,0xff"},
    {sltiu(t2, t3, -1), 0, "sltiu t2,t3,-1"},
    {syscall(), 0, "syscall"},
    {enc::syscall(1), 0, "syscall 0x1"},
    {break_(7, 2), 0, "break 0x7,0x2"},
    {0x46000000, 0, ".word 0x46000000"},
    {special(0x34, a0, a1), 0, ".word 0x00850034"},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuDisassemble, ::testing::ValuesIn(kDisasmCases));

}  // namespace
}  // namespace r3k::test
