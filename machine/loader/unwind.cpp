// The call chain of a faulting process.  Each frame is undone by the
// program's call-frame tables where they cover its code (cfi.cpp), else by
// reading the function's prologue from its symbol to the pc: the
// `addiu sp,sp,-N` that made the frame and the `sw REG,K(sp)` that saved
// ra and the callee-saved registers, as GCC lays them out.
#include "r3k/unwind.h"

#include <algorithm>

#include "loader/unwind_frame.h"
#include "r3k/insn.h"

namespace r3k {

namespace unwind {

bool read_word(const AddressSpace& space, uint32_t addr, uint32_t& out) {
  uint8_t b[4];
  if (addr > kUserEnd - 4 || !space.peek(addr, b, 4)) return false;
  out = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  return true;
}

}  // namespace unwind

using unwind::Regs;
using namespace regs;

namespace {

// Instructions read from a function's start: prologues are near it.
constexpr uint32_t kMaxPrologue = 1024;

// What the code from a function's start up to the pc did to the frame.
struct Prologue {
  bool understood = true;  // false: sp changed in a way not read here
  uint32_t size = 0;       // bytes taken off sp
  bool fp_frame = false;   // s8 holds the lowered sp
  uint32_t saved = 0;      // bit r: register r was stored at offset[r] from the lowered sp
  int32_t offset[kGprCount] = {};
};

Prologue read_prologue(const AddressSpace& space, uint32_t start, uint32_t pc) {
  Prologue p;
  const uint32_t end = pc - start > 4 * kMaxPrologue ? start + 4 * kMaxPrologue : pc;
  for (uint32_t a = start; a < end; a += 4) {
    uint32_t insn;
    if (!unwind::read_word(space, a, insn)) break;
    const InsnFacts f = insn_facts(insn, a);
    const Insn i{insn};
    const uint32_t rs = i.rs(), rt = i.rt(), rd = i.rd();
    const auto imm = static_cast<int32_t>(i.simm());
    if (f.name == "addiu" && rs == sp && rt == sp && imm < 0 && p.size == 0) {
      p.size = static_cast<uint32_t>(-imm);
    } else if (f.writes & reg_bit(sp)) {
      // An epilogue or a dynamic allocation once the frame is made: the
      // frame stands for the code that follows.  Before it: not understood.
      p.understood = p.size != 0;
      break;
    } else if (p.size != 0 && f.name == "sw" && rs == sp && ((unwind::kCalleeSaved | reg_bit(ra)) >> rt & 1) &&
               !(p.saved >> rt & 1)) {  // sw REG,K(sp)
      p.saved |= 1u << rt;
      p.offset[rt] = imm;
    } else if (p.size != 0 && (f.name == "addu" || f.name == "or") && rd == fp &&
               ((rs == sp && rt == zero) || (rs == zero && rt == sp))) {  // move s8,sp
      p.fp_frame = true;
    }
  }
  return p;
}

}  // namespace

Unwinder::Unwinder(const ElfImage& image) : image_(image) {}
Unwinder::~Unwinder() = default;

namespace {

// The frame of the code at pc undone by its prologue.  Where ra was not
// saved it still holds the return address, if the walk knows it (only in
// the innermost frame); code without a symbol is taken for a leaf.
bool undo_by_prologue(const SymbolTable& symbols, uint32_t pc, const Regs& callee, const AddressSpace& space,
                      unwind::Step& out) {
  if (!callee.has(sp)) return false;
  const auto at = symbols.locate(pc);
  const Prologue p = at ? read_prologue(space, pc - at->offset, pc) : Prologue{};
  if (!p.understood) return false;
  const uint32_t lowered = p.fp_frame && callee.has(fp) ? callee.v[fp] : callee.v[sp];
  Regs caller = callee;
  caller.known &= unwind::kCalleeSaved;
  caller.set(sp, lowered + p.size);
  for (unsigned r = s0; r < kGprCount; ++r) {
    if (!(p.saved >> r & 1)) continue;
    uint32_t v;
    if (unwind::read_word(space, lowered + static_cast<uint32_t>(p.offset[r]), v)) caller.set(r, v);
    else caller.forget(r);
  }
  const bool ra_saved = p.saved >> ra & 1;
  if (ra_saved ? !caller.has(ra) : !callee.has(ra)) return false;
  out.ret = ra_saved ? caller.v[ra] : callee.v[ra];
  caller.forget(ra);
  out.caller = caller;
  return true;
}

}  // namespace

std::vector<CallSite> Unwinder::callers(const uint32_t* gpr, uint32_t pc, bool ra_live, const AddressSpace& space,
                                        size_t max) const {
  if (!cfi_opened_) {
    cfi_opened_ = true;
    cfi_ = Cfi::open(image_.frame_tables());
  }
  std::vector<CallSite> chain;
  Regs regs;
  for (unsigned r = 1; r < kGprCount; ++r) regs.set(r, gpr[r]);
  if (!ra_live) regs.forget(ra);
  bool sure = true;  // every frame so far known
  for (bool first = true; chain.size() < max; first = false) {
    // A caller's frame is looked up at its call instruction: the return
    // address may lie past the function's end, after a call that never returns.
    const uint32_t at = first ? pc : pc - 8;
    unwind::Step step;
    const bool by_cfi = cfi_ && cfi_->step(at, regs, space, step) == Cfi::Found::Unwound;
    if (!by_cfi && !undo_by_prologue(image_.symbols(), at, regs, space, step)) break;
    // A return address follows a call in executable code, and the
    // caller's frame lies above the callee's; else the stack is not
    // what the walk took it for.
    uint32_t call;
    if (step.ret % 4 != 0 || step.ret < 8 || !(space.prot(step.ret - 8) & kProtExec) ||
        !unwind::read_word(space, step.ret - 8, call) || !links_ra(call) || step.caller.v[sp] < regs.v[sp])
      break;
    // A jal names its target: when that is the function the frame belongs
    // to, the link is certain whatever found it.
    const auto fn = image_.symbols().locate(at);
    const InsnFacts called = insn_facts(call, step.ret - 8);
    const bool confirmed = called.name == "jal" && fn && called.target == at - fn->offset;
    sure = confirmed || (by_cfi && sure);
    chain.push_back({step.ret - 8, sure});
    regs = step.caller;
    pc = step.ret;
  }
  return chain;
}

}  // namespace r3k
