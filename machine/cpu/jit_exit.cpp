// Leaving generated code and moving on: each block's end (a jump to a
// member of the region, a link the dispatcher makes, the JumpCache for
// jr/jalr), its exits back to the interpreter, and making links.
#include "cpu/cpu_block.h"
#include "cpu/cpu_jit.h"

#if defined(__x86_64__)
#include <memory>

#include "cpu/jit_compiler.h"
#include "cpu/jit_region.h"
#include "cpu/jump_cache.h"
#endif

namespace r3k {

#if defined(__x86_64__)

namespace jit {

Label& RegionCompiler::exit_before(uint32_t k) {
  m_->used[k] = true;
  return m_->exit[k];
}

// The member that starts at pc and b_ may move on to; -1 if none.
int RegionCompiler::member_at(uint32_t pc) const {
  for (size_t i = 0; i < members_.size(); ++i)
    if (members_[i].block->start == pc) return may_chain(*b_, *members_[i].block) ? int(i) : -1;
  return -1;
}

// A completed block moves on while more fuel is left than its length: to a
// member of the region by a jump, else through a link the dispatcher makes.
void RegionCompiler::end() {
  const Successors& next = b_->next;
  if (next.count == 0 && !b_->indirect) {
    jmp(m_->complete, T_NEAR);
    return;
  }
  if (b_->indirect) {
    end_indirect();
    return;
  }
  if (next.count == 1) {
    path(next.pc[0], true);
    return;
  }
  // The way into the member generated next comes last, falling into it.
  const size_t after = size_t(m_ - members_.data()) + 1;
  const uint32_t last = after < members_.size() && member_at(next.pc[0]) == int(after) ? 0 : 1;
  Label second;
  if (const Op* branch = m_->deferred) {
    compare(*branch);
    jump_if(*branch, last == 0, second);
  } else {
    cmp(kNextPc, next.pc[last]);
    je(second, T_NEAR);
  }
  path(next.pc[1 - last], false);
  L(second);
  path(next.pc[last], true);
}

// A jr/jalr moves on through the JumpCache, or else through its link's
// inline cache of the last targets met.
void RegionCompiler::end_indirect() {
  cmp(kFuel, b_->n);
  jbe(fuel_out(0, false, true), T_NEAR);
  L(fuel_outs_.back().back);
  if (through_cache(*b_)) {
    jump_indirect();
    return;
  }
  JitLink& link = code_.links[links_used_++];
  link.indirect = true;
  write_back();
  mov(rcx, reinterpret_cast<uintptr_t>(&link));
  for (uint32_t t = 0; t < JitLink::kTargets; ++t) {
    Label miss;
    cmp(kNextPc, dword[rcx + target_at(t, offsetof(JitLink::Target, pc))]);
    jne(miss, T_NEAR);
    move_on(t, miss);
    L(miss);
  }
  jmp(unlinked(link, false), T_NEAR);
}

// On to the block at pc (a static successor), the fuel allowing; `last`
// when nothing follows in this member's code.
void RegionCompiler::path(uint32_t pc, bool last) {
  if (const int j = member_at(pc); j >= 0) {
    // Inside the region the registers stay where they are.
    sub(kFuel, b_->n);
    jbe(fuel_out(pc, true), T_NEAR);
    L(fuel_outs_.back().back);
    mov(dword[kFrame + kPending], pending_word(b_->exit.load));
    if (!last || size_t(j) != size_t(m_ - members_.data()) + 1) jmp(members_[size_t(j)].entry, T_NEAR);
    return;
  }
  cmp(kFuel, b_->n);
  jbe(fuel_out(pc, false), T_NEAR);
  L(fuel_outs_.back().back);
  if (b_->has_delay) mov(kNextPc, pc);  // for the link's stub
  JitLink& link = code_.links[links_used_++];
  link.target[0].pc = pc;
  write_back();
  if ((pc >> kPageBits) == (b_->start >> kPageBits)) {
    // A direct jump, at first to a stub that gives the fuel back.
    sub(kFuel, b_->n);
    mov(dword[kFrame + kPending], pending_word(b_->exit.load));
    jmp(unlinked(link, true), T_NEAR);
    jumps_.push_back({&link, uint32_t(getSize() - 4)});
  } else {
    Label miss;
    mov(rcx, reinterpret_cast<uintptr_t>(&link));
    move_on(0, miss);
    L(miss);
    jmp(unlinked(link, false), T_NEAR);
  }
}

// Out of fuel on the way to pc: the block completed there (the fuel given
// back if taken off).
Label& RegionCompiler::fuel_out(uint32_t pc, bool taken_off, bool indirect) {
  fuel_outs_.push_back(FuelOut{Label(), m_, pc, taken_off, indirect, Label()});
  return fuel_outs_.back().at;
}

// On to the code of the block at kNextPc through the space's JumpCache, else
// out as the block completed.
void RegionCompiler::jump_indirect() {
  write_back();
  mov(ecx, kNextPc);
  shr(ecx, JumpCache::kFold);
  xor_(ecx, kNextPc);
  and_(ecx, (JumpCache::kEntries - 1) << kPcAlignBits);
  mov(rax, reinterpret_cast<uintptr_t>(cache_.entry));
  const Address pc = dword[rax + rcx * kJumpEntryScale + int32_t(offsetof(JumpCache::Entry, pc))];
  const Address code = qword[rax + rcx * kJumpEntryScale + int32_t(offsetof(JumpCache::Entry, code))];
  cmp(kNextPc, pc);
  jne(m_->complete_written, T_NEAR);
  sub(kFuel, b_->n);
  mov(dword[kFrame + kPending], pending_word(b_->exit.load));
  jmp(code);
}

// A way out not yet linked: a stub that gives back the fuel taken (if
// fuel_taken), names the link in the frame for the dispatcher to make, and
// leaves as the block completed.
Label& RegionCompiler::unlinked(JitLink& link, bool fuel_taken) {
  stubs_.push_back(Stub{Label(), &link, fuel_taken, m_});
  return stubs_.back().at;
}

// With rcx at a link: on into its target's code if that was made in this
// code generation, else to miss.
void RegionCompiler::move_on(uint32_t target, Label& miss) {
  mov(rax, qword[kFrame + kCodeGen]);
  cmp(rax, qword[rcx + target_at(target, offsetof(JitLink::Target, gen))]);
  jne(miss, T_NEAR);
  sub(kFuel, b_->n);
  mov(dword[kFrame + kPending], pending_word(b_->exit.load));
  jmp(qword[rcx + target_at(target, offsetof(JitLink::Target, code))]);
}

// A member's exits: each stores the cached registers, where the block goes
// and the exit record, and returns to the entry thunk.
void RegionCompiler::exits(Member& m, Label& record) {
  m_ = &m;
  b_ = m.block;
  Block& b = *m.block;
  for (uint32_t k = 0; k < b.n; ++k) {
    if (!m.used[k]) continue;
    L(m.exit[k]);
    write_back();
    if (k > b.branch_index() && m.deferred) set_next(*m.deferred);
    mov(eax, k);
    jmp(k > b.branch_index() ? m.taken : m.fall_through, T_NEAR);
  }
  L(m.complete);
  write_back();
  L(m.complete_written);
  mov(eax, b.n);
  jmp(b.has_delay ? m.taken : m.fall_through, T_NEAR);
  L(m.fall_through);  // the branch has not run: the block goes to its end
  mov(dword[kFrame + kNext], b.end_pc());
  mov(rcx, reinterpret_cast<uintptr_t>(&b));
  jmp(record, T_NEAR);
  L(m.taken);  // the branch has run: kNextPc says where
  mov(dword[kFrame + kNext], kNextPc);
  mov(rcx, reinterpret_cast<uintptr_t>(&b));
  jmp(record, T_NEAR);
}

// The code the members share after their own: the ways out of fuel and
// the stubs of links not yet made.
void RegionCompiler::tails() {
  for (FuelOut& f : fuel_outs_) {
    L(f.at);
    refill(f);
    if (f.taken_off) add(kFuel, f.member->block->n);
    if (f.member->block->has_delay && !f.indirect) mov(kNextPc, f.pc);
    jmp(f.member->complete, T_NEAR);
  }
  for (Stub& st : stubs_) {
    L(st.at);
    if (st.fuel_taken) add(kFuel, st.member->block->n);
    mov(rax, reinterpret_cast<uintptr_t>(st.link));
    mov(qword[kFrame + kExitLink], rax);
    jmp(st.member->complete_written, T_NEAR);
  }
}
// Where refills are left, a fresh slice starts at the block's end: the
// fuel becomes the period (after the block's length is taken off, which
// the way on does later unless taken_off), the fuel given counted.
void RegionCompiler::refill(const FuelOut& f) {
  Label none;
  cmp(dword[kFrame + kRefills], 0);
  je(none, T_NEAR);
  dec(dword[kFrame + kRefills]);
  mov(rax, qword[kFrame + kPeriod]);
  if (!f.taken_off) add(rax, f.member->block->n);
  mov(rcx, rax);
  sub(rcx, kFuel);
  add(qword[kFrame + kFuelAdded], rcx);
  mov(kFuel, rax);
  jmp(f.back, T_NEAR);
  L(none);
}

// The direct jumps of links, once the code is at `at`.
void RegionCompiler::place(uint8_t* at) {
  for (auto [link, offset] : jumps_) link->jump = at + offset;
}

}  // namespace jit

#endif

void jit_link(JitLink& link, const Block& from, const Block& to, uint64_t gen, JitArena& arena) {
  if (!to.jit.code || !may_chain(from, to)) return;
  if (link.indirect) {
    // An inline cache of the last targets met, replaced in turn.
    for (const JitLink::Target& t : link.target)
      if (t.pc == to.start && t.gen == gen) return;
    link.target[link.victim] = JitLink::Target{to.jit.code, gen, to.start};
    link.victim = (link.victim + 1) % JitLink::kTargets;
    return;
  }
  JitLink::Target& t = link.target[0];
  if (t.pc != to.start || t.code == to.jit.code) return;
  if (link.jump && !arena.patch(link.jump, to.jit.code)) return;  // same page: the direct jump
  t.code = to.jit.code;
  t.gen = gen;
}

}  // namespace r3k
