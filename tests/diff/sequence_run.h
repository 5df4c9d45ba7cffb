// Runs one generated sequence two ways and reports any difference:
//  1. r3krun stepped at every instruction boundary, in lockstep with the
//     reference (registers, HI, LO, pc and the whole data area compared);
//  2. r3krun on its own, without breakpoints, in runs of random small
//     budgets, so that its block chaining and the hazard state it carries
//     across runs are exercised; its faults and final state must equal 1's.
#pragma once

#include <cstdint>
#include <string>

#include "diff/lockstep.h"
#include "diff/reference.h"
#include "diff/sequence.h"
#include "r3k/cpu.h"
#include "r3k/memory.h"

namespace r3k::diff {

// A fresh r3krun address space and CPU holding the sequence, ready to run.
struct R3kSide {
  AddressSpace space{64};
  Cpu cpu{&space};
  explicit R3kSide(const Sequence& s);
};

struct SequenceCheck {
  LockstepOutcome lockstep;
  std::string free_run_difference;  // empty when the free run agreed
  // Agreed, and ran to the end or to a fault nothing can resume after.
  bool ok() const;
  std::string report(const Sequence& s) const;
};

// The reference's memory map is replaced by the sequence's.
SequenceCheck check_sequence(Reference& ref, const Sequence& s);

// For testing the checker itself: r3krun runs `mine`, the reference
// `theirs` (same registers and data: `mine`'s).  With track_writes, memory is
// compared as for whole programs (the bytes the reference stores) instead of
// the whole data area.
LockstepOutcome lockstep_pair(Reference& ref, const Sequence& mine, const Sequence& theirs, bool track_writes);

// A sequence from exact words, for regression cases: registers from the
// list, every other register and the data area zero.
Sequence sequence_of(std::initializer_list<uint32_t> words, std::initializer_list<std::pair<int, uint32_t>> regs = {});

}  // namespace r3k::diff
