// Where a space's generated code starts for a guest pc, for the indirect
// jumps (jr, jalr) of generated code: returns to many call sites, jump
// tables and calls through pointers find their target's code without
// leaving for the dispatcher.
#pragma once

#include <cstdint>
#include <memory>

#include "memory/address_space_impl.h"

namespace r3k {

// A direct-mapped table indexed by the pc's word-number bits folded with
// the bits above (so that code 16 KiB apart does not collide), each entry a
// pc and the code of the block starting there, which any block whose exit
// leaves no hazard and no HI/LO guard may move on to (the block cached,
// its delay slot not on the next page: may_chain's conditions on it).  An
// entry holds only in the space's code generation the table was filled
// in: the dispatcher empties it before entering generated code once the
// space has dropped code since.
struct JumpCache : SpaceCode {
  static constexpr uint32_t kEntries = 4096;
  static constexpr uint32_t kFold = 12;  // index: (pc ^ pc >> kFold) >> 2
  struct Entry {
    uint32_t pc;
    const void* code;
  };
  static_assert(sizeof(Entry) == 16, "generated code scales the index by 16");
  Entry entry[kEntries];
  uint64_t gen = 0;   // the code generation the entries belong to
  bool used = false;  // an entry was put since the last clear

  JumpCache() { clear(0); }
  static constexpr uint32_t index(uint32_t pc) { return ((pc ^ pc >> kFold) >> 2) & (kEntries - 1); }
  // A pc no jump looking at entry i can have: its index is not i.
  static constexpr uint32_t vacant(uint32_t i) { return (~i & (kEntries - 1)) << 2; }
  void clear(uint64_t now) {
    for (uint32_t i = 0; i < kEntries; ++i) entry[i] = Entry{vacant(i), nullptr};
    gen = now;
    used = false;
  }
  // Empties the table if the space dropped code since it was filled.
  void settle(uint64_t now) {
    if (gen == now) return;
    if (used) clear(now);
    gen = now;
  }
  void put(uint32_t pc, const void* code) {
    entry[index(pc)] = Entry{pc, code};
    used = true;
  }
};

// Vacant pcs sit below 16 KiB, where the fold leaves the index bits alone.
static_assert(JumpCache::index(JumpCache::vacant(0)) != 0);
static_assert(JumpCache::index(JumpCache::vacant(JumpCache::kEntries - 1)) != JumpCache::kEntries - 1);

inline JumpCache& jump_cache(AddressSpace::Impl& space) {
  if (!space.space_code) space.space_code = std::make_unique<JumpCache>();
  return static_cast<JumpCache&>(*space.space_code);
}

}  // namespace r3k
