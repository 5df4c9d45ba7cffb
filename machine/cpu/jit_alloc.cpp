// Register allocation: which guest registers a region keeps in host
// registers, and the moves between them and the frame.
#if defined(__x86_64__)

#include "cpu/jit_compiler.h"
#include "cpu/jit_region.h"

namespace r3k::jit {

// The guest registers the region uses most (at least twice) get host
// registers for all of it: loaded at its entry, stored back at every exit.
void RegionCompiler::allocate() {
  uint32_t uses[kSink + 1] = {};
  for (const Member& m : members_) {
    for (uint32_t k = 0; k < m.block->n; ++k) {
      const OpRegs r = regs_of(m.block->ops[k]);
      written_ |= r.writes;
      for (uint32_t g = 1; g < kSink; ++g) uses[g] += (r.reads >> g & 1) + (r.writes >> g & 1);
    }
  }
  for (const Reg32& h : kCachePool) {
    uint32_t best = 0;
    for (uint32_t g = 1; g < kSink; ++g)
      if (!(cached_ >> g & 1) && uses[g] >= 2 && uses[g] > uses[best]) best = g;
    if (!best) break;
    cached_ |= uint64_t{1} << best;
    host_[best] = h;
  }
  for (uint32_t g = 0; g <= kSink; ++g) slot_.push_back(dword[kFrame + slot_at(g)]);
}

// A register holding g's value: its host register, or scratch loaded.
Reg32 RegionCompiler::value(uint32_t g, const Reg32& scratch) {
  if (cached(g)) return host_[g];
  mov(scratch, slot_[g]);
  return scratch;
}

// g's value was computed into v (target(g, ...)): the frame gets it unless
// g lives in a host register.
void RegionCompiler::commit(uint32_t g, const Reg32& v) {
  if (g != kSink && !cached(g)) mov(slot_[g], v);
}

// Sets g from v.
void RegionCompiler::put(uint32_t g, const Reg32& v) {
  if (g == kSink) return;
  if (cached(g)) {
    if (host_[g].getIdx() != v.getIdx()) mov(host_[g], v);
  } else {
    mov(slot_[g], v);
  }
}

// Stores the cached registers the region writes into the frame (all were
// loaded at the region's entry, so each holds its guest register's value;
// the others still hold the frame's).
void RegionCompiler::write_back() {
  for (uint32_t g = 1; g < kSink; ++g)
    if (cached(g) && (written_ >> g & 1)) mov(slot_[g], host_[g]);
}

// Loads the cached registers from the frame.
void RegionCompiler::read_cached() {
  for (uint32_t g = 1; g < kSink; ++g)
    if (cached(g)) mov(host_[g], slot_[g]);
}

}  // namespace r3k::jit

#endif
