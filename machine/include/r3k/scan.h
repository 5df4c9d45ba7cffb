// Static check of MIPS-I machine code for what the strict R3000 refuses
// at run time: encodings outside MIPS-I, load-delay and HI/LO hazards and
// branches in delay slots.  The build runs it over every target binary,
// so a compiler or assembler that drops a nop fails the build instead of
// a program.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "r3k/cpu.h"

namespace r3k {

// The register that `next` reads while the load `load` just before it has
// not yet delivered it, or 0.  An lwl/lwr merging into the register the
// lwl/lwr before it loads is the one sanctioned reader (its base is not).
uint8_t load_delay_conflict(uint32_t load, uint32_t next);
// Whether `word` may not run within two instructions after mfhi/mflo.
bool writes_hilo(uint32_t word);

// Code to scan: big-endian instruction words at an address.
struct CodeRegion {
  uint32_t addr = 0;
  std::span<const uint8_t> bytes;  // a multiple of 4 bytes
  // Branches and jumps whose target field is not final yet (relocations
  // of an object file): their targets are not followed.
  std::vector<uint32_t> unresolved;
};

// Every fault the region's code would raise on some path through it,
// sorted by address.  Paths are the straight-line successors, both ways
// of a conditional branch and the targets of direct branches and jumps
// inside the region; the word after an unconditional jump's delay slot is
// not a successor of that slot, and jr/jalr targets are unknown.
std::vector<Fault> scan_code(const CodeRegion& region);

}  // namespace r3k
