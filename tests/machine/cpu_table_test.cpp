// The instruction table's own checks: every MIPS-I instruction, encoded
// here by hand, is found under its name, no other encoding is, and what
// the CPU's parts work out from the table (its disassembly, the registers
// it reads and writes, its successors, its load delay, the HI/LO rule,
// delay-slot branches, stores) agrees with what the instruction is.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/scan.h"
#include "support/mips_encode.h"

namespace r3k {
namespace {

using namespace enc;

enum Kind : uint8_t {
  kPlain = 0,
  kLoad = 1,  // its destination is t0
  kStore = 2,
  kBranch = 4,  // has a delay slot
  kIndirect = 8,
  kLinks = 16,  // leaves its return address in ra
  kReadsHiLo = 32,
  kWritesHiLo = 64,
};

constexpr uint32_t kPc = kCode + 0x100;

struct TableCase {
  const char* name;
  uint32_t word;
  Reg writes = zero;
  uint32_t reads = 0;  // mask
  uint8_t kind = kPlain;
  uint32_t target = 0;  // a direct branch's or jump's, at kPc
};

constexpr uint32_t m(Reg r) { return reg_bit(r); }
constexpr uint32_t m(Reg r, Reg s) { return reg_bit(r) | reg_bit(s); }

// clang-format off
const TableCase kTableCases[] = {
    {"sll", sll(t0, t1, 3), t0, m(t1)},   {"srl", srl(t0, t1, 3), t0, m(t1)},   {"sra", sra(t0, t1, 3), t0, m(t1)},
    {"sllv", sllv(t0, t1, t2), t0, m(t1, t2)}, {"srlv", srlv(t0, t1, t2), t0, m(t1, t2)},
    {"srav", srav(t0, t1, t2), t0, m(t1, t2)},
    {"jr", jr(t9), zero, m(t9), kBranch | kIndirect},
    {"jalr", jalr(s0, t9), s0, m(t9), kBranch | kIndirect},
    {"jalr", jalr(t9), ra, m(t9), kBranch | kIndirect | kLinks},
    {"syscall", syscall()},               {"break", break_(7)},
    {"mfhi", mfhi(t0), t0, 0, kReadsHiLo}, {"mflo", mflo(t0), t0, 0, kReadsHiLo},
    {"mthi", mthi(t1), zero, m(t1), kWritesHiLo}, {"mtlo", mtlo(t1), zero, m(t1), kWritesHiLo},
    {"mult", mult(a0, a1), zero, m(a0, a1), kWritesHiLo}, {"multu", multu(a0, a1), zero, m(a0, a1), kWritesHiLo},
    {"div", div(a0, a1), zero, m(a0, a1), kWritesHiLo},   {"divu", divu(a0, a1), zero, m(a0, a1), kWritesHiLo},
    {"add", add(t0, a0, a1), t0, m(a0, a1)},  {"addu", addu(t0, a0, a1), t0, m(a0, a1)},
    {"sub", sub(t0, a0, a1), t0, m(a0, a1)},  {"subu", subu(t0, a0, a1), t0, m(a0, a1)},
    {"and", and_(t0, a0, a1), t0, m(a0, a1)}, {"or", or_(t0, a0, a1), t0, m(a0, a1)},
    {"xor", xor_(t0, a0, a1), t0, m(a0, a1)}, {"nor", nor(t0, a0, a1), t0, m(a0, a1)},
    {"slt", slt(t0, a0, a1), t0, m(a0, a1)},  {"sltu", sltu(t0, a0, a1), t0, m(a0, a1)},
    {"bltz", bltz(a0, 3), zero, m(a0), kBranch, kPc + 16},
    {"bgez", bgez(a0, -1), zero, m(a0), kBranch, kPc},
    {"bltzal", bltzal(a0, 3), ra, m(a0), kBranch | kLinks, kPc + 16},
    {"bgezal", bgezal(a0, 3), ra, m(a0), kBranch | kLinks, kPc + 16},
    {"j", j(0x00400800), zero, 0, kBranch, 0x00400800},
    {"jal", jal(0x00400800), ra, 0, kBranch | kLinks, 0x00400800},
    {"beq", beq(a0, a1, -2), zero, m(a0, a1), kBranch, kPc - 4},
    {"bne", bne(a0, a1, 0), zero, m(a0, a1), kBranch, kPc + 4},
    {"blez", blez(a0, 0x7fff), zero, m(a0), kBranch, kPc + 4 + 0x1fffc},
    {"bgtz", bgtz(a0, -0x8000), zero, m(a0), kBranch, kPc + 4 - 0x20000},
    {"addi", addi(t0, a0, -5), t0, m(a0)},    {"addiu", addiu(t0, a0, -5), t0, m(a0)},
    {"slti", slti(t0, a0, 5), t0, m(a0)},     {"sltiu", sltiu(t0, a0, 5), t0, m(a0)},
    {"andi", andi(t0, a0, 5), t0, m(a0)},     {"ori", ori(t0, a0, 5), t0, m(a0)},
    {"xori", xori(t0, a0, 5), t0, m(a0)},     {"lui", lui(t0, 5), t0},
    {"lb", lb(t0, 4, a0), t0, m(a0), kLoad},  {"lh", lh(t0, 4, a0), t0, m(a0), kLoad},
    {"lwl", lwl(t0, 4, a0), t0, m(t0, a0), kLoad},  // merges into t0
    {"lw", lw(t0, 4, a0), t0, m(a0), kLoad},  {"lbu", lbu(t0, 4, a0), t0, m(a0), kLoad},
    {"lhu", lhu(t0, 4, a0), t0, m(a0), kLoad},
    {"lwr", lwr(t0, 4, a0), t0, m(t0, a0), kLoad},
    {"sb", sb(t0, 4, a0), zero, m(t0, a0), kStore},  {"sh", sh(t0, 4, a0), zero, m(t0, a0), kStore},
    {"swl", swl(t0, 4, a0), zero, m(t0, a0), kStore}, {"sw", sw(t0, 4, a0), zero, m(t0, a0), kStore},
    {"swr", swr(t0, 4, a0), zero, m(t0, a0), kStore},
};
// clang-format on

// Faults of kind the scan finds in words placed at kPc, by index.
std::vector<uint32_t> scanned(std::vector<uint32_t> words, FaultKind kind) {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words)
    for (uint8_t b : be_bytes(w)) bytes.push_back(b);
  std::vector<uint32_t> at;
  for (const Fault& f : scan_code(CodeRegion{kPc, bytes, {}}))
    if (f.kind == kind) at.push_back((f.pc - kPc) / 4);
  return at;
}

class CpuTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(CpuTable, DerivedFactsAgreeWithTheInstruction) {
  const TableCase& c = GetParam();
  const InsnFacts f = insn_facts(c.word, kPc);
  EXPECT_EQ(f.name, c.name);
  const std::string text = disassemble(c.word, kPc);
  EXPECT_EQ(text.substr(0, text.find(' ')), c.name) << text;
  EXPECT_EQ(f.writes, c.writes == zero ? 0 : reg_bit(c.writes));
  EXPECT_EQ(f.direct, (c.kind & kBranch) && !(c.kind & kIndirect));
  EXPECT_EQ(hex(f.direct ? f.target : 0), hex(c.target));
  EXPECT_EQ(links_ra(c.word), (c.kind & kLinks) != 0);
  Fault fault;
  fault.kind = FaultKind::BadAddress;
  fault.insn = c.word;
  EXPECT_EQ(fault.store(), (c.kind & kStore) != 0);
  // The registers it reads are those a load just before it leaves unready.
  uint32_t reads = 0;
  for (uint32_t r = at; r < kGprCount; ++r)
    if (load_delay_conflict(lw(Reg(r), 0, gp), c.word) == r) reads |= reg_bit(r);
  EXPECT_EQ(hex(reads), hex(c.reads));
  // Only a load leaves its register to the instruction after the next.
  EXPECT_EQ(load_delay_conflict(c.word, addu(v0, t0, t0)), c.kind & kLoad ? t0 : 0);
  const std::vector<uint32_t> none, second{1};
  EXPECT_EQ(writes_hilo(c.word), (c.kind & kWritesHiLo) != 0);
  EXPECT_EQ(scanned({mfhi(v0), c.word}, FaultKind::HiLoHazard), c.kind & kWritesHiLo ? second : none);
  EXPECT_EQ(scanned({c.word, mult(a0, a1)}, FaultKind::HiLoHazard), c.kind & kReadsHiLo ? second : none);
  EXPECT_EQ(scanned({c.word, b(4)}, FaultKind::BranchInDelaySlot), c.kind & kBranch ? second : none);
  EXPECT_EQ(scanned({c.word}, FaultKind::ReservedInstruction), none);
}

INSTANTIATE_TEST_SUITE_P(Cpu, CpuTable, ::testing::ValuesIn(kTableCases),
                         [](const auto& info) { return info.param.name + std::to_string(info.index); });

// Every encoding of the primary opcode, SPECIAL's function and REGIMM's rt
// (under two fillings of the other fields) is one of the instructions
// above, or reserved to all of the CPU's parts alike.
TEST(CpuTableCoverage, ExactlyTheInstructionsAboveDecode) {
  std::set<std::string> listed, found;
  for (const TableCase& c : kTableCases) listed.insert(c.name);
  std::vector<uint32_t> words;
  for (uint32_t fill : {0x00000000u, 0x03ffffc0u}) {
    for (uint32_t op = 2; op < 64; ++op) words.push_back(op << 26 | (fill & 0x03ffffff));
    for (uint32_t funct = 0; funct < 64; ++funct) words.push_back(funct | fill);
    for (uint32_t rt = 0; rt < 32; ++rt) words.push_back(1u << 26 | rt << 16 | (fill & ~0x001f0000u));
  }
  for (uint32_t w : words) {
    const std::string_view name = insn_facts(w, kPc).name;
    const bool reserved = !scanned({w}, FaultKind::ReservedInstruction).empty();
    EXPECT_EQ(name.empty(), reserved) << hex(w);
    EXPECT_EQ(disassemble(w, kPc).starts_with(".word"), reserved) << hex(w) << " " << disassemble(w, kPc);
    if (!name.empty()) found.insert(std::string(name));
  }
  EXPECT_EQ(found, listed);
}

}  // namespace
}  // namespace r3k
