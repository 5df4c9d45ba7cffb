// Instruction text and fault reports.
#include <cstdio>
#include <iterator>

#include "cpu/cpu_block.h"
#include "r3k/regs.h"
#include "r3k/signals.h"

namespace r3k {

namespace {

std::string format(const char* fmt, auto... args) {
  char buf[96];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

}  // namespace

bool links_ra(uint32_t insn) {
  const insn::Row* row = insn::row_of(insn);
  return row && row->has(insn::kBranch) && insn::written(*row, Insn{insn}) == regs::ra;
}

InsnFacts insn_facts(uint32_t insn, uint32_t pc) {
  const insn::Row* row = insn::row_of(insn);
  if (!row) return {};
  const Insn i{insn};
  InsnFacts f;
  f.name = row->name;
  f.writes = insn::writes_mask(*row, i);
  if (row->has(insn::kBranch) && !row->has(insn::kIndirect)) {
    f.direct = true;
    f.target = insn::exits_of(*row, i, pc).target;
  }
  return f;
}

bool Fault::store() const {
  const insn::Row* row = insn::row_of(insn);
  return !fetch && row && row->has(insn::kStore);
}

namespace {

// One operand of a row's disassembly form (see insn::Row), appended to s.
void operand(std::string& s, char letter, Insn i, uint32_t pc) {
  switch (letter) {
    case 'd': s += reg_name(i.rd()); break;
    case 's': s += reg_name(i.rs()); break;
    case 't': s += reg_name(i.rt()); break;
    case 'h': s += format("%u", i.shamt()); break;
    case 'i': s += format("%d", int32_t(i.simm())); break;
    case 'u': s += format("0x%x", i.imm()); break;
    case 'b': s += format("0x%08x", i.branch_target(pc)); break;
    case 'j': s += format("0x%08x", i.jump_target(pc)); break;
    case 'D':
      if (i.rd() != regs::ra) s.append(reg_name(i.rd())).append(",");
      break;
    case 'c':
      if (const uint32_t code = i.word >> 6 & 0xfffff) s += format("0x%x", code);
      break;
    case 'k': {
      const uint32_t hi = i.word >> 16 & 0x3ff, lo = i.word >> 6 & 0x3ff;
      if (lo) s += format("0x%x,0x%x", hi, lo);
      else if (hi) s += format("0x%x", hi);
      break;
    }
    default: s += letter; break;
  }
}

}  // namespace

std::string disassemble(uint32_t word, uint32_t pc) {
  if (word == 0) return "nop";  // sll zero,zero,0, as every tool shows it
  const insn::Row* row = insn::row_of(word);
  if (!row) return format(".word 0x%08x", word);
  std::string operands;
  for (char letter : row->form) operand(operands, letter, Insn{word}, pc);
  std::string s(row->name);
  if (!operands.empty()) s.append(" ").append(operands);
  return s;
}

namespace {

// Each fault's name, the signal a MIPS kernel delivers for it and whether
// it is about a data address (else the pc), in FaultKind's order.
struct FaultRow {
  const char* name;
  int signal;
  bool memory;
};
constexpr FaultRow kFaultRows[] = {
    {"reserved instruction", kSIGILL, false}, {"break", kSIGTRAP, false},
    {"integer overflow", kSIGFPE, false},     {"address error", kSIGBUS, true},
    {"bad address", kSIGSEGV, true},          {"load-delay hazard", kSIGILL, false},
    {"hi/lo hazard", kSIGILL, false},         {"branch in delay slot", kSIGILL, false},
};
static_assert(std::size(kFaultRows) == size_t(FaultKind::BranchInDelaySlot) + 1);

}  // namespace

int fault_signal(FaultKind kind) {
  return size_t(kind) < std::size(kFaultRows) ? kFaultRows[size_t(kind)].signal : kSIGILL;
}

bool memory_fault(FaultKind kind) { return size_t(kind) < std::size(kFaultRows) && kFaultRows[size_t(kind)].memory; }

const char* fault_name(FaultKind kind) {
  return size_t(kind) < std::size(kFaultRows) ? kFaultRows[size_t(kind)].name : "unknown fault";
}

std::string Fault::describe(std::string_view where, std::string_view cause) const {
  std::string s = fault_name(kind);
  if (memory_fault(kind)) s += format(" 0x%08x", addr);
  s += format(" at pc 0x%08x", pc);
  if (!where.empty()) s.append(" in ").append(where);
  s += ": ";
  if (fetch) {
    s += "instruction fetch";
  } else {
    s += disassemble(insn, pc);
    switch (kind) {
      case FaultKind::LoadDelayHazard:
        s += format(" reads %s loaded by the previous instruction", reg_name(reg).data());
        break;
      case FaultKind::HiLoHazard: s += " writes HI/LO within two instructions of mfhi/mflo"; break;
      default: break;
    }
  }
  if (in_delay_slot && kind != FaultKind::BranchInDelaySlot) s += " (in a branch delay slot)";
  if (!cause.empty()) s.append(" (").append(cause).append(")");
  return s;
}

}  // namespace r3k
