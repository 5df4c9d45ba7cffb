// Instruction text and fault reports.
#include <cstdio>

#include "cpu/cpu_block.h"
#include "r3k/regs.h"

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

int fault_signal(FaultKind kind) {
  switch (kind) {
    case FaultKind::Break: return 5;          // SIGTRAP
    case FaultKind::Overflow: return 8;       // SIGFPE
    case FaultKind::AddressError: return 10;  // SIGBUS (MIPS Linux numbering)
    case FaultKind::BadAddress: return 11;    // SIGSEGV
    case FaultKind::ReservedInstruction:
    case FaultKind::LoadDelayHazard:
    case FaultKind::HiLoHazard:
    case FaultKind::BranchInDelaySlot: return 4;  // SIGILL
  }
  return 4;
}

const char* fault_name(FaultKind kind) {
  switch (kind) {
    case FaultKind::ReservedInstruction: return "reserved instruction";
    case FaultKind::Break: return "break";
    case FaultKind::Overflow: return "integer overflow";
    case FaultKind::AddressError: return "address error";
    case FaultKind::BadAddress: return "bad address";
    case FaultKind::LoadDelayHazard: return "load-delay hazard";
    case FaultKind::HiLoHazard: return "hi/lo hazard";
    case FaultKind::BranchInDelaySlot: return "branch in delay slot";
  }
  return "unknown fault";
}

std::string Fault::describe(std::string_view where, std::string_view cause) const {
  std::string s = fault_name(kind);
  bool memory = kind == FaultKind::AddressError || kind == FaultKind::BadAddress;
  if (memory) s += format(" 0x%08x", addr);
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
