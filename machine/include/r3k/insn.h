// The fields of a MIPS instruction word, for the CPU's instruction table
// and whoever else reads machine code (the unwinder's prologue reader).
#pragma once

#include <cstdint>

namespace r3k {

struct Insn {
  uint32_t word;
  constexpr uint32_t op() const { return word >> 26; }
  constexpr uint32_t rs() const { return (word >> 21) & 31; }
  constexpr uint32_t rt() const { return (word >> 16) & 31; }
  constexpr uint32_t rd() const { return (word >> 11) & 31; }
  constexpr uint32_t shamt() const { return (word >> 6) & 31; }
  constexpr uint32_t funct() const { return word & 63; }
  constexpr uint32_t imm() const { return word & 0xffff; }
  constexpr uint32_t simm() const { return uint32_t(int32_t(int16_t(word & 0xffff))); }
  constexpr uint32_t target() const { return word & 0x03ffffff; }
  // Where a branch at pc goes when taken, and where a j/jal at pc goes.
  constexpr uint32_t branch_target(uint32_t pc) const { return pc + 4 + (simm() << 2); }
  constexpr uint32_t jump_target(uint32_t pc) const { return ((pc + 4) & 0xf0000000u) | (target() << 2); }
};

}  // namespace r3k
