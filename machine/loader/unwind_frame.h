// What undoing one frame works on: the registers the walk knows in a
// frame, and the caller's registers with the return address.
#pragma once

#include <cstdint>
#include <memory>

#include "r3k/elf.h"
#include "r3k/memory.h"
#include "r3k/regs.h"
#include "r3k/unwind.h"

namespace r3k::unwind {

// What a call preserves (o32): s0-s7, gp, sp, s8.
constexpr uint32_t kCalleeSaved = reg_bit(regs::s0) | reg_bit(regs::s1) | reg_bit(regs::s2) | reg_bit(regs::s3) |
                                  reg_bit(regs::s4) | reg_bit(regs::s5) | reg_bit(regs::s6) | reg_bit(regs::s7) |
                                  reg_bit(regs::gp) | reg_bit(regs::sp) | reg_bit(regs::fp);

struct Regs {
  uint32_t v[kGprCount] = {};
  uint32_t known = 0;  // bit r: v[r] is register r's value in this frame
  bool has(unsigned r) const { return r < kGprCount && (known >> r & 1); }
  void set(unsigned r, uint32_t x) { v[r] = x, known |= 1u << r; }
  void forget(unsigned r) { known &= ~(1u << r); }
};

// One frame undone.
struct Step {
  Regs caller;       // what the caller's registers were at its call
  uint32_t ret = 0;  // where the callee returns to
};

// The big-endian word at addr, if it can be read.
bool read_word(const AddressSpace& space, uint32_t addr, uint32_t& out);

}  // namespace r3k::unwind

namespace r3k {

class Unwinder::Cfi {
 public:
  // Null when the image has no tables or libdw cannot read them.
  static std::unique_ptr<Cfi> open(const ElfImage::FrameTables& tables);
  ~Cfi();

  enum class Found : uint8_t { NotCovered, Unwound, Failed };
  // Undoes the frame of the code at pc with the rules the tables give
  // there.  Failed: covered, but a rule needs what the walk does not know
  // or does not understand.
  Found step(uint32_t pc, const unwind::Regs& callee, const AddressSpace& space, unwind::Step& out) const;

 private:
  struct Handles;
  explicit Cfi(std::unique_ptr<Handles> h);
  std::unique_ptr<Handles> h_;
};

}  // namespace r3k
