// Seeded random MIPS-I instruction sequences for the differential tests.
//
// Every integer instruction appears, with edge values (0, -1, 0x7fffffff,
// 0x80000000, shift amounts 0 and 31) in registers and immediates, forward
// branches and jumps of every kind (taken or not, delay slots filled),
// counted loops, loads and stores of every width at every alignment the
// instruction allows (lwl/lwr/swl/swr at all four), and now and then an
// access or trap that must fault on both sides.  What the R3000 leaves
// undefined, or r3krun must refuse, is never generated:
//  - a load's destination read by the next instruction executed (the
//    lwl/lwr merge on one register excepted), taken branches included;
//  - HI or LO written within two instructions after mfhi/mflo;
//  - a branch or jump in a delay slot; jalr with rd == rs; bltzal/bgezal
//    on ra (undefined when re-executed);
//  - div/divu by zero (HI and LO undefined): the divisor is made non-zero
//    by the instruction just before;
//  - a syscall in a delay slot (the reference cannot resume it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace r3k::diff {

inline constexpr uint32_t kSeqCode = 0x00400000;
inline constexpr uint32_t kSeqCodeSize = 0x4000;
inline constexpr uint32_t kSeqData = 0x10000000;
inline constexpr uint32_t kSeqDataSize = 0x2000;

struct Sequence {
  uint64_t seed = 0;
  std::vector<uint32_t> code;  // at kSeqCode; the last word is the closing syscall
  uint32_t gpr[32] = {};       // gpr[0] is 0
  uint32_t hi = 0, lo = 0;
  std::vector<uint8_t> data;   // kSeqDataSize bytes at kSeqData

  uint32_t end_pc() const { return kSeqCode + 4 * uint32_t(code.size()); }  // past the closing syscall
  // Address, word and disassembly per line, then the starting registers.
  std::string listing() const;
};

struct GenOptions {
  int min_items = 12, max_items = 40;  // top-level items (a loop is one)
  bool faults = true;                  // sometimes fault on purpose
};

Sequence generate(uint64_t seed, const GenOptions& opts = {});

}  // namespace r3k::diff
