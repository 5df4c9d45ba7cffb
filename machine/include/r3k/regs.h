// The R3000's general registers by their o32 names: the one list the CPU,
// its disassembler, the kernel's call convention, traces and debuggers
// share.  Unscoped inside a namespace of its own, so that `regs::a0`
// indexes CpuState::gpr directly and `using namespace r3k::regs` gives the
// bare assembler names where a file wants them.
#pragma once

#include <cstdint>
#include <string_view>

namespace r3k {

namespace regs {
enum Reg : uint8_t {
  zero,
  at,
  v0,
  v1,
  a0,
  a1,
  a2,
  a3,
  t0,
  t1,
  t2,
  t3,
  t4,
  t5,
  t6,
  t7,
  s0,
  s1,
  s2,
  s3,
  s4,
  s5,
  s6,
  s7,
  t8,
  t9,
  k0,
  k1,
  gp,
  sp,
  fp,
  ra,
};
}  // namespace regs
using regs::Reg;

inline constexpr uint32_t kGprCount = 32;
// r's bit in a mask of registers.
constexpr uint32_t reg_bit(uint32_t r) { return uint32_t{1} << r; }

// "zero" .. "ra", as assemblers and debuggers spell them; r is taken mod 32.
constexpr std::string_view reg_name(uint32_t r) {
  constexpr std::string_view kNames[kGprCount] = {"zero", "at", "v0", "v1", "a0", "a1", "a2", "a3", "t0", "t1", "t2",
                                                  "t3",   "t4", "t5", "t6", "t7", "s0", "s1", "s2", "s3", "s4", "s5",
                                                  "s6",   "s7", "t8", "t9", "k0", "k1", "gp", "sp", "fp", "ra"};
  return kNames[r % kGprCount];
}

}  // namespace r3k
