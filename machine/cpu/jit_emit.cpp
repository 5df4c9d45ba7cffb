// The emitters of the ALU, HI/LO, branch and syscall ops, and the choice
// of emitter per op; the memory ops' are in jit_emit_memory.cpp.
#if defined(__x86_64__)

#include "cpu/jit_compiler.h"
#include "cpu/jit_region.h"
#include "r3k/cpu.h"
#include "r3k/regs.h"

namespace r3k::jit {

// Every op, by the group that emits it, as case labels (`case
// R3K_JIT_ALU_OPS:`).  op() and each group's switch name all ops with no
// default, a group's switch the other groups' as not its own, so that the
// compiler names an op no group emits (-Wswitch) and refuses one two
// groups claim (a duplicate case).
// clang-format off
#define R3K_JIT_CONTROL_OPS OpCode::End: case OpCode::Fault: case OpCode::Syscall
#define R3K_JIT_ALU_OPS                                                                                     \
  OpCode::Nop: case OpCode::Li: case OpCode::Move: case OpCode::Sll: case OpCode::Srl: case OpCode::Sra:    \
  case OpCode::Sllv: case OpCode::Srlv: case OpCode::Srav: case OpCode::Mfhi: case OpCode::Mflo:            \
  case OpCode::Mthi: case OpCode::Mtlo: case OpCode::Mult: case OpCode::Multu: case OpCode::Div:            \
  case OpCode::Divu: case OpCode::Add: case OpCode::Sub: case OpCode::Addi: case OpCode::Slt:               \
  case OpCode::Sltu: case OpCode::Slti: case OpCode::Sltiu
#define R3K_JIT_LOGIC_OPS                                                                                   \
  OpCode::Addu: case OpCode::Subu: case OpCode::And: case OpCode::Or: case OpCode::Xor:                     \
  case OpCode::Nor: case OpCode::Addiu: case OpCode::Andi: case OpCode::Ori: case OpCode::Xori
#define R3K_JIT_MEMORY_OPS                                                                                  \
  OpCode::Lb: case OpCode::Lbu: case OpCode::Lh: case OpCode::Lhu: case OpCode::Lw: case OpCode::Lwl:       \
  case OpCode::Lwr: case OpCode::Sb: case OpCode::Sh: case OpCode::Sw: case OpCode::Swl: case OpCode::Swr
// The conditional branches; the jumps, which always go.
#define R3K_JIT_BRANCH_OPS                                                                                  \
  OpCode::Beq: case OpCode::Bne: case OpCode::Blez: case OpCode::Bgtz: case OpCode::Bltz:                   \
  case OpCode::Bgez: case OpCode::Bltzal: case OpCode::Bgezal
#define R3K_JIT_JUMP_OPS OpCode::B: case OpCode::J: case OpCode::Jal: case OpCode::Jr: case OpCode::Jalr
// clang-format on

void RegionCompiler::alu(const Op& o, void (CodeGenerator::*fn)(const Operand&, const Operand&), bool commutes) {
  if (cached(o.d) && o.d == o.s) {
    (this->*fn)(host_[o.d], rm(o.t));
  } else if (cached(o.d) && o.d == o.t && commutes) {
    (this->*fn)(host_[o.d], rm(o.s));
  } else if (cached(o.d) && o.d != o.t) {
    mov(host_[o.d], rm(o.s));
    (this->*fn)(host_[o.d], rm(o.t));
  } else {
    mov(eax, rm(o.s));
    (this->*fn)(eax, rm(o.t));
    put(o.d, eax);
  }
}

void RegionCompiler::alu_imm(const Op& o, void (CodeGenerator::*fn)(const Operand&, uint32_t)) {
  const Reg32 d = target(o.d, eax);
  if (!(cached(o.d) && o.d == o.s)) mov(d, rm(o.s));
  (this->*fn)(d, o.imm);
  commit(o.d, d);
}

void RegionCompiler::set_if(const Op& o, bool imm, void (CodeGenerator::*setcc)(const Operand&)) {
  const Reg32 s = value(o.s, eax);
  xor_(edx, edx);
  if (imm) cmp(s, o.imm);
  else cmp(s, rm(o.t));
  (this->*setcc)(dl);
  put(o.d, edx);
}

void RegionCompiler::shift(const Op& o, bool variable, void (CodeGenerator::*fn)(const Operand&, const Xbyak::Reg8&),
                           void (CodeGenerator::*fn_imm)(const Operand&, int)) {
  if (variable) mov(ecx, rm(o.s));  // before d changes: d may be s
  const Reg32 d = target(o.d, eax);
  if (!(cached(o.d) && o.d == o.t)) mov(d, rm(o.t));
  if (variable) (this->*fn)(d, cl);  // the host masks the count to 5 bits, as MIPS does
  else if (o.imm) (this->*fn_imm)(d, int(o.imm));
  commit(o.d, d);
}

// add/addi/sub: overflow leaves before the op.
void RegionCompiler::trapping(const Op& o, bool imm, bool subtract, uint32_t k) {
  mov(eax, rm(o.s));
  if (imm) add(eax, o.imm);
  else if (subtract) sub(eax, rm(o.t));
  else add(eax, rm(o.t));
  jo(exit_before(k), T_NEAR);
  put(o.d, eax);
}

// The moves from and to HI or LO (at: its place in the frame).
void RegionCompiler::move_from(const Op& o, int32_t at) {
  const Reg32 d = target(o.d, eax);
  mov(d, dword[kFrame + at]);
  commit(o.d, d);
}

void RegionCompiler::move_to(const Op& o, int32_t at) { mov(dword[kFrame + at], value(o.s, eax)); }

void RegionCompiler::multiply(const Op& o, bool is_signed) {
  mov(eax, rm(o.s));
  is_signed ? imul(rm(o.t)) : mul(rm(o.t));  // edx:eax
  mov(dword[kFrame + kLo], eax);
  mov(dword[kFrame + kHi], edx);
}

// Division by zero, and INT_MIN / -1 (a host trap), go to the interpreter,
// which gives the R3000's results.
void RegionCompiler::divide(const Op& o, bool is_signed, uint32_t k) {
  mov(ecx, rm(o.t));
  test(ecx, ecx);
  jz(exit_before(k), T_NEAR);
  mov(eax, rm(o.s));
  if (is_signed) {
    Label fine;
    cmp(ecx, -1);
    jne(fine);
    cmp(eax, kInt32Min);
    je(exit_before(k), T_NEAR);
    L(fine);
    cdq();
    idiv(ecx);
  } else {
    xor_(edx, edx);
    div(ecx);
  }
  mov(dword[kFrame + kLo], eax);
  mov(dword[kFrame + kHi], edx);
}

// The flags for conditional branch o: its register against zero, or two.
void RegionCompiler::compare(const Op& o) {
  if ((o.code == OpCode::Beq || o.code == OpCode::Bne) && o.t != regs::zero) {
    cmp(value(o.s, eax), rm(o.t));
  } else if (cached(o.s)) {
    test(host_[o.s], host_[o.s]);
  } else {
    cmp(slot_[o.s], 0);
  }
}

// The host condition under which a conditional branch goes to its target,
// once compare has set the flags; each condition's opposite is its
// neighbour (the bit 0 flipped).
namespace {
enum class Cond : uint8_t { E, NE, LE, G, L, GE };
Cond taken_when(OpCode code) {
  switch (code) {
    case OpCode::Beq: return Cond::E;
    case OpCode::Bne: return Cond::NE;
    case OpCode::Blez: return Cond::LE;
    case OpCode::Bgtz: return Cond::G;
    case OpCode::Bltz:
    case OpCode::Bltzal: return Cond::L;
    case OpCode::Bgez:
    case OpCode::Bgezal: return Cond::GE;
    case R3K_JIT_CONTROL_OPS:
    case R3K_JIT_ALU_OPS:
    case R3K_JIT_LOGIC_OPS:
    case R3K_JIT_MEMORY_OPS:
    case R3K_JIT_JUMP_OPS: break;  // no condition
  }
  return Cond::E;
}
}  // namespace

// Jumps to `to` when o's condition (after compare) is `holds`.
void RegionCompiler::jump_if(const Op& o, bool holds, const Label& to) {
  const Cond taken = taken_when(o.code);
  switch (holds ? taken : Cond(uint8_t(taken) ^ 1)) {
    case Cond::E: je(to, T_NEAR); break;
    case Cond::NE: jne(to, T_NEAR); break;
    case Cond::LE: jle(to, T_NEAR); break;
    case Cond::G: jg(to, T_NEAR); break;
    case Cond::L: jl(to, T_NEAR); break;
    case Cond::GE: jge(to, T_NEAR); break;
  }
}

// kNextPc = the taken target when conditional branch o's condition holds,
// else the fall-through.
void RegionCompiler::set_next(const Op& o) {
  compare(o);
  mov(kNextPc, b_->end_pc());
  mov(ecx, o.imm);
  switch (taken_when(o.code)) {
    case Cond::E: cmove(kNextPc, ecx); break;
    case Cond::NE: cmovne(kNextPc, ecx); break;
    case Cond::LE: cmovle(kNextPc, ecx); break;
    case Cond::G: cmovg(kNextPc, ecx); break;
    case Cond::L: cmovl(kNextPc, ecx); break;
    case Cond::GE: cmovge(kNextPc, ecx); break;
  }
}

// A syscall goes to the frame's hook with every guest register in the
// frame; served, the block goes on; else (or with no hook) the code leaves
// before it, as before a fault.
void RegionCompiler::syscall(uint32_t k) {
  Label& leave = exit_before(k);
  const bool branched = k > m_->block->branch_index();  // a delay slot: kNextPc is where the block goes
  mov(rax, qword[kFrame + kSyscall]);
  test(rax, rax);
  jz(leave, T_NEAR);
  write_back();
  if (branched) mov(dword[kFrame + kNext], kNextPc);
  mov(kArg0, qword[rax + int32_t(offsetof(SyscallHook, context))]);
  mov(kArg1, kFrame);  // the guest registers open the frame
  sub(rsp, kCallPad);  // the stack 16-byte aligned at the call, as the ABI wants
  call(qword[rax + int32_t(offsetof(SyscallHook, serve))]);
  add(rsp, kCallPad);
  // The call clobbered the caller-saved host registers, and the hook may
  // have answered in any guest register the region caches.
  read_cached();
  if (branched) mov(kNextPc, dword[kFrame + kNext]);
  test(al, al);
  jz(leave, T_NEAR);
}

// Emits op k; false when the rest of the block is the interpreter's.
bool RegionCompiler::op(uint32_t k) {
  const Op& o = b_->ops[k];
  switch (o.code) {
    case OpCode::End: end(); return false;
    case OpCode::Fault: jmp(exit_before(k), T_NEAR); return false;
    case OpCode::Syscall: syscall(k); break;
    case R3K_JIT_ALU_OPS: alu_op(o, k); break;
    case R3K_JIT_LOGIC_OPS: logic_op(o); break;
    case R3K_JIT_MEMORY_OPS: memory_op(o, k); break;
    case R3K_JIT_BRANCH_OPS:
    case R3K_JIT_JUMP_OPS: branch_op(o, k); break;
  }
  return true;
}

// The register moves, shifts, HI/LO ops, trapping and comparing ops.
void RegionCompiler::alu_op(const Op& o, uint32_t k) {
  using C = CodeGenerator;
  switch (o.code) {
    case OpCode::Nop: break;
    case OpCode::Li: mov(rm(o.d), o.imm); break;
    case OpCode::Move: cached(o.d) ? mov(host_[o.d], rm(o.s)) : put(o.d, value(o.s, eax)); break;
    case OpCode::Sll: shift(o, false, &C::shl, &C::shl); break;
    case OpCode::Srl: shift(o, false, &C::shr, &C::shr); break;
    case OpCode::Sra: shift(o, false, &C::sar, &C::sar); break;
    case OpCode::Sllv: shift(o, true, &C::shl, &C::shl); break;
    case OpCode::Srlv: shift(o, true, &C::shr, &C::shr); break;
    case OpCode::Srav: shift(o, true, &C::sar, &C::sar); break;
    case OpCode::Mfhi: move_from(o, kHi); break;
    case OpCode::Mflo: move_from(o, kLo); break;
    case OpCode::Mthi: move_to(o, kHi); break;
    case OpCode::Mtlo: move_to(o, kLo); break;
    case OpCode::Mult: multiply(o, true); break;
    case OpCode::Multu: multiply(o, false); break;
    case OpCode::Div: divide(o, true, k); break;
    case OpCode::Divu: divide(o, false, k); break;
    case OpCode::Add: trapping(o, false, false, k); break;
    case OpCode::Sub: trapping(o, false, true, k); break;
    case OpCode::Addi: trapping(o, true, false, k); break;
    case OpCode::Slt: set_if(o, false, &C::setl); break;
    case OpCode::Sltu: set_if(o, false, &C::setb); break;
    case OpCode::Slti: set_if(o, true, &C::setl); break;
    case OpCode::Sltiu: set_if(o, true, &C::setb); break;
    case R3K_JIT_CONTROL_OPS:
    case R3K_JIT_LOGIC_OPS:
    case R3K_JIT_MEMORY_OPS:
    case R3K_JIT_BRANCH_OPS:
    case R3K_JIT_JUMP_OPS: break;  // not sent here
  }
}

// The two-operand ALU ops, register or immediate.
void RegionCompiler::logic_op(const Op& o) {
  using C = CodeGenerator;
  switch (o.code) {
    case OpCode::Addu: alu(o, &C::add, true); break;
    case OpCode::Subu: alu(o, &C::sub, false); break;
    case OpCode::And: alu(o, &C::and_, true); break;
    case OpCode::Or: alu(o, &C::or_, true); break;
    case OpCode::Xor: alu(o, &C::xor_, true); break;
    case OpCode::Nor: {
      alu(o, &C::or_, true);
      const Reg32 d = target(o.d, eax);
      if (!cached(o.d)) mov(d, slot_[o.d]);
      not_(d);
      commit(o.d, d);
      break;
    }
    case OpCode::Addiu:
      if (cached(o.d) && cached(o.s) && o.d != o.s) lea(host_[o.d], ptr[host_[o.s].cvt64() + int32_t(o.imm)]);
      else alu_imm(o, &C::add);
      break;
    case OpCode::Andi: alu_imm(o, &C::and_); break;
    case OpCode::Ori: alu_imm(o, &C::or_); break;
    case OpCode::Xori: alu_imm(o, &C::xor_); break;
    case R3K_JIT_CONTROL_OPS:
    case R3K_JIT_ALU_OPS:
    case R3K_JIT_MEMORY_OPS:
    case R3K_JIT_BRANCH_OPS:
    case R3K_JIT_JUMP_OPS: break;  // not sent here
  }
}

// The loads and stores.
void RegionCompiler::memory_op(const Op& o, uint32_t k) {
  switch (o.code) {
    case OpCode::Lb: load(o, 1, true, k); break;
    case OpCode::Lbu: load(o, 1, false, k); break;
    case OpCode::Lh: load(o, 2, true, k); break;
    case OpCode::Lhu: load(o, 2, false, k); break;
    case OpCode::Lw: load(o, 4, false, k); break;
    case OpCode::Lwl: load_partial(o, true, k); break;
    case OpCode::Lwr: load_partial(o, false, k); break;
    case OpCode::Sb: store(o, 1, k); break;
    case OpCode::Sh: store(o, 2, k); break;
    case OpCode::Sw: store(o, 4, k); break;
    case OpCode::Swl: store_partial(o, true, k); break;
    case OpCode::Swr: store_partial(o, false, k); break;
    case R3K_JIT_CONTROL_OPS:
    case R3K_JIT_ALU_OPS:
    case R3K_JIT_LOGIC_OPS:
    case R3K_JIT_BRANCH_OPS:
    case R3K_JIT_JUMP_OPS: break;  // not sent here
  }
}

// The branches and jumps: each sets kNextPc (a deferred conditional branch
// at the block's end instead) and writes its link register.
void RegionCompiler::branch_op(const Op& o, uint32_t k) {
  switch (o.code) {
    case OpCode::Beq:
    case OpCode::Bne:
    case OpCode::Blez:
    case OpCode::Bgtz:
    case OpCode::Bltz:
    case OpCode::Bgez:
      if (defers(*b_, k)) m_->deferred = &o;
      else set_next(o);
      break;
    case OpCode::Bltzal:
    case OpCode::Bgezal:
      // The condition is read before the link is written (rs may be ra).
      set_next(o);
      mov(eax, b_->end_pc());
      put(regs::ra, eax);
      break;
    case OpCode::B:
    case OpCode::J: mov(kNextPc, o.imm); break;
    case OpCode::Jal:
      mov(eax, b_->end_pc());
      put(regs::ra, eax);
      mov(kNextPc, o.imm);
      break;
    case OpCode::Jr: mov(kNextPc, rm(o.s)); break;
    case OpCode::Jalr:
      mov(kNextPc, rm(o.s));  // before the link, in case rd == rs
      mov(eax, o.imm);
      put(o.d, eax);
      break;
    case R3K_JIT_CONTROL_OPS:
    case R3K_JIT_ALU_OPS:
    case R3K_JIT_LOGIC_OPS:
    case R3K_JIT_MEMORY_OPS: break;  // not sent here
  }
}

}  // namespace r3k::jit

#endif
