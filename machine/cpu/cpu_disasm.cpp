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
  const uint32_t op = insn >> 26, rt = insn >> 16 & 31, rd = insn >> 11 & 31;
  if (op == 3) return true;                            // jal
  if (op == 0) return (insn & 0x3f) == 9 && rd == 31;  // jalr
  return op == 1 && (rt == 0x10 || rt == 0x11);        // bltzal, bgezal
}

std::string disassemble(uint32_t word, uint32_t pc) {
  Insn i{word};
  const char* rs = reg_name(i.rs()).data();
  const char* rt = reg_name(i.rt()).data();
  const char* rd = reg_name(i.rd()).data();
  int32_t simm = int32_t(i.simm());
  uint32_t branch = i.branch_target(pc);
  auto r3 = [&](const char* name) { return format("%s %s,%s,%s", name, rd, rs, rt); };
  auto shift = [&](const char* name) { return format("%s %s,%s,%u", name, rd, rt, i.shamt()); };
  auto shiftv = [&](const char* name) { return format("%s %s,%s,%s", name, rd, rt, rs); };
  auto two = [&](const char* name) { return format("%s %s,%s", name, rs, rt); };
  auto imm_s = [&](const char* name) { return format("%s %s,%s,%d", name, rt, rs, simm); };
  auto imm_u = [&](const char* name) { return format("%s %s,%s,0x%x", name, rt, rs, i.imm()); };
  auto mem = [&](const char* name) { return format("%s %s,%d(%s)", name, rt, simm, rs); };
  auto br1 = [&](const char* name) { return format("%s %s,0x%08x", name, rs, branch); };

  switch (i.op()) {
    case kSpecial:
      switch (i.funct()) {
        case kSll: return word == 0 ? "nop" : shift("sll");
        case kSrl: return shift("srl");
        case kSra: return shift("sra");
        case kSllv: return shiftv("sllv");
        case kSrlv: return shiftv("srlv");
        case kSrav: return shiftv("srav");
        case kJr: return format("jr %s", rs);
        case kJalr: return i.rd() == regs::ra ? format("jalr %s", rs) : format("jalr %s,%s", rd, rs);
        case kSyscall: {
          uint32_t code = (word >> 6) & 0xfffff;
          return code ? format("syscall 0x%x", code) : "syscall";
        }
        case kBreak: {
          uint32_t hi = (word >> 16) & 0x3ff, lo = (word >> 6) & 0x3ff;
          if (lo) return format("break 0x%x,0x%x", hi, lo);
          return hi ? format("break 0x%x", hi) : "break";
        }
        case kMfhi: return format("mfhi %s", rd);
        case kMthi: return format("mthi %s", rs);
        case kMflo: return format("mflo %s", rd);
        case kMtlo: return format("mtlo %s", rs);
        case kMult: return two("mult");
        case kMultu: return two("multu");
        case kDiv: return two("div");
        case kDivu: return two("divu");
        case kAdd: return r3("add");
        case kAddu: return r3("addu");
        case kSub: return r3("sub");
        case kSubu: return r3("subu");
        case kAnd: return r3("and");
        case kOr: return r3("or");
        case kXor: return r3("xor");
        case kNor: return r3("nor");
        case kSlt: return r3("slt");
        case kSltu: return r3("sltu");
      }
      break;
    case kRegimm:
      switch (i.rt()) {
        case kBltz: return br1("bltz");
        case kBgez: return br1("bgez");
        case kBltzal: return br1("bltzal");
        case kBgezal: return br1("bgezal");
      }
      break;
    case kJ:
    case kJal: return format("%s 0x%08x", i.op() == kJ ? "j" : "jal", i.jump_target(pc));
    case kBeq: return format("beq %s,%s,0x%08x", rs, rt, branch);
    case kBne: return format("bne %s,%s,0x%08x", rs, rt, branch);
    case kBlez: return br1("blez");
    case kBgtz: return br1("bgtz");
    case kAddi: return imm_s("addi");
    case kAddiu: return imm_s("addiu");
    case kSlti: return imm_s("slti");
    case kSltiu: return imm_s("sltiu");
    case kAndi: return imm_u("andi");
    case kOri: return imm_u("ori");
    case kXori: return imm_u("xori");
    case kLui: return format("lui %s,0x%x", rt, i.imm());
    case kLb: return mem("lb");
    case kLh: return mem("lh");
    case kLwl: return mem("lwl");
    case kLw: return mem("lw");
    case kLbu: return mem("lbu");
    case kLhu: return mem("lhu");
    case kLwr: return mem("lwr");
    case kSb: return mem("sb");
    case kSh: return mem("sh");
    case kSwl: return mem("swl");
    case kSw: return mem("sw");
    case kSwr: return mem("swr");
  }
  return format(".word 0x%08x", word);
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
