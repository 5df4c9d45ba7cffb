// Seeded random MIPS-I instruction sequences for the differential tests.
//
// Every integer instruction appears, with edge values (0, -1, 0x7fffffff,
// 0x80000000, shift amounts 0 and 31) in registers and immediates, forward
// branches and jumps of every kind (taken or not, delay slots filled),
// counted loops, long straight runs, code across a page boundary, loads and
// stores of every width at every alignment the instruction allows
// (lwl/lwr/swl/swr at all four), code words rewritten with their own value
// (delay slots included), and now and then an access, a jump or a trap that
// must fault on both sides.  What the R3000 leaves
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

// Code is writable (the sequences rewrite their own words with the same
// values, to exercise r3krun's dropping of decoded code); a read-only page
// follows the data.
inline constexpr uint32_t kSeqCode = 0x00400000;
inline constexpr uint32_t kSeqCodeSize = 0x4000;
inline constexpr uint32_t kSeqData = 0x10000000;
inline constexpr uint32_t kSeqDataSize = 0x2000;
inline constexpr uint32_t kSeqRodata = kSeqData + kSeqDataSize;
inline constexpr uint32_t kSeqRodataSize = 0x1000;

struct Sequence {
  uint64_t seed = 0;
  uint32_t start = kSeqCode;   // where the code goes: often just before a page boundary
  std::vector<uint32_t> code;  // the last word is the closing syscall
  uint32_t gpr[32] = {};       // gpr[0] is 0
  uint32_t hi = 0, lo = 0;
  std::vector<uint8_t> data;    // kSeqDataSize bytes at kSeqData
  std::vector<uint8_t> rodata;  // kSeqRodataSize bytes at kSeqRodata

  uint32_t end_pc() const { return start + 4 * uint32_t(code.size()); }  // past the closing syscall
  // Address, word and disassembly per line, then the starting registers.
  std::string listing() const;
};

struct GenOptions {
  int min_items = 12, max_items = 40;  // top-level items (a loop is one)
  bool faults = true;                  // sometimes fault on purpose
};

Sequence generate(uint64_t seed, const GenOptions& opts = {});

}  // namespace r3k::diff
