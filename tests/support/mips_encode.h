// MIPS-I instruction encoder for tests: one function per instruction, with
// operands in assembler order.  Branch offsets are in instructions relative
// to the delay slot (as the hardware counts them); jump targets are
// absolute byte addresses.  Also raw field builders for encodings outside
// MIPS-I, to test that they are refused, and words as the big-endian
// machine stores them.
#pragma once

#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "r3k/regs.h"

namespace enc {

using r3k::regs::Reg;
using namespace r3k::regs;

// ---- raw formats ---------------------------------------------------------

constexpr uint32_t rtype(uint32_t op, uint32_t rs, uint32_t rt, uint32_t rd, uint32_t sa, uint32_t funct) {
  return (op & 63) << 26 | (rs & 31) << 21 | (rt & 31) << 16 | (rd & 31) << 11 | (sa & 31) << 6 | (funct & 63);
}
constexpr uint32_t itype(uint32_t op, uint32_t rs, uint32_t rt, int32_t imm) {
  return (op & 63) << 26 | (rs & 31) << 21 | (rt & 31) << 16 | (uint32_t(imm) & 0xffff);
}
constexpr uint32_t jtype(uint32_t op, uint32_t target) { return (op & 63) << 26 | ((target >> 2) & 0x03ffffff); }
constexpr uint32_t special(uint32_t funct, uint32_t rs = 0, uint32_t rt = 0, uint32_t rd = 0, uint32_t sa = 0) {
  return rtype(0, rs, rt, rd, sa, funct);
}
constexpr uint32_t regimm(uint32_t rt_op, uint32_t rs, int32_t off) { return itype(1, rs, rt_op, off); }

// ---- SPECIAL -------------------------------------------------------------

constexpr uint32_t nop() { return 0; }
constexpr uint32_t sll(Reg rd, Reg rt, uint32_t sa) { return special(0x00, 0, rt, rd, sa); }
constexpr uint32_t srl(Reg rd, Reg rt, uint32_t sa) { return special(0x02, 0, rt, rd, sa); }
constexpr uint32_t sra(Reg rd, Reg rt, uint32_t sa) { return special(0x03, 0, rt, rd, sa); }
constexpr uint32_t sllv(Reg rd, Reg rt, Reg rs) { return special(0x04, rs, rt, rd); }
constexpr uint32_t srlv(Reg rd, Reg rt, Reg rs) { return special(0x06, rs, rt, rd); }
constexpr uint32_t srav(Reg rd, Reg rt, Reg rs) { return special(0x07, rs, rt, rd); }
constexpr uint32_t jr(Reg rs) { return special(0x08, rs); }
constexpr uint32_t jalr(Reg rd, Reg rs) { return special(0x09, rs, 0, rd); }
constexpr uint32_t jalr(Reg rs) { return jalr(ra, rs); }
// Codes as GNU as places them: syscall's 20-bit field; break's code1 in
// bits 16-25 and code2 in bits 6-15.
constexpr uint32_t syscall(uint32_t code = 0) { return (code & 0xfffff) << 6 | 0x0c; }
constexpr uint32_t break_(uint32_t code1 = 0, uint32_t code2 = 0) {
  return (code1 & 0x3ff) << 16 | (code2 & 0x3ff) << 6 | 0x0d;
}
constexpr uint32_t mfhi(Reg rd) { return special(0x10, 0, 0, rd); }
constexpr uint32_t mthi(Reg rs) { return special(0x11, rs); }
constexpr uint32_t mflo(Reg rd) { return special(0x12, 0, 0, rd); }
constexpr uint32_t mtlo(Reg rs) { return special(0x13, rs); }
constexpr uint32_t mult(Reg rs, Reg rt) { return special(0x18, rs, rt); }
constexpr uint32_t multu(Reg rs, Reg rt) { return special(0x19, rs, rt); }
constexpr uint32_t div(Reg rs, Reg rt) { return special(0x1a, rs, rt); }
constexpr uint32_t divu(Reg rs, Reg rt) { return special(0x1b, rs, rt); }
constexpr uint32_t add(Reg rd, Reg rs, Reg rt) { return special(0x20, rs, rt, rd); }
constexpr uint32_t addu(Reg rd, Reg rs, Reg rt) { return special(0x21, rs, rt, rd); }
constexpr uint32_t sub(Reg rd, Reg rs, Reg rt) { return special(0x22, rs, rt, rd); }
constexpr uint32_t subu(Reg rd, Reg rs, Reg rt) { return special(0x23, rs, rt, rd); }
constexpr uint32_t and_(Reg rd, Reg rs, Reg rt) { return special(0x24, rs, rt, rd); }
constexpr uint32_t or_(Reg rd, Reg rs, Reg rt) { return special(0x25, rs, rt, rd); }
constexpr uint32_t xor_(Reg rd, Reg rs, Reg rt) { return special(0x26, rs, rt, rd); }
constexpr uint32_t nor(Reg rd, Reg rs, Reg rt) { return special(0x27, rs, rt, rd); }
constexpr uint32_t slt(Reg rd, Reg rs, Reg rt) { return special(0x2a, rs, rt, rd); }
constexpr uint32_t sltu(Reg rd, Reg rs, Reg rt) { return special(0x2b, rs, rt, rd); }
constexpr uint32_t move(Reg rd, Reg rs) { return addu(rd, rs, zero); }

// ---- REGIMM --------------------------------------------------------------

constexpr uint32_t bltz(Reg rs, int32_t off) { return regimm(0x00, rs, off); }
constexpr uint32_t bgez(Reg rs, int32_t off) { return regimm(0x01, rs, off); }
constexpr uint32_t bltzal(Reg rs, int32_t off) { return regimm(0x10, rs, off); }
constexpr uint32_t bgezal(Reg rs, int32_t off) { return regimm(0x11, rs, off); }

// ---- jumps and branches --------------------------------------------------

constexpr uint32_t j(uint32_t target) { return jtype(0x02, target); }
constexpr uint32_t jal(uint32_t target) { return jtype(0x03, target); }
constexpr uint32_t beq(Reg rs, Reg rt, int32_t off) { return itype(0x04, rs, rt, off); }
constexpr uint32_t bne(Reg rs, Reg rt, int32_t off) { return itype(0x05, rs, rt, off); }
constexpr uint32_t blez(Reg rs, int32_t off) { return itype(0x06, rs, 0, off); }
constexpr uint32_t bgtz(Reg rs, int32_t off) { return itype(0x07, rs, 0, off); }
constexpr uint32_t b(int32_t off) { return beq(zero, zero, off); }

// ---- immediate arithmetic ------------------------------------------------

constexpr uint32_t addi(Reg rt, Reg rs, int32_t imm) { return itype(0x08, rs, rt, imm); }
constexpr uint32_t addiu(Reg rt, Reg rs, int32_t imm) { return itype(0x09, rs, rt, imm); }
constexpr uint32_t slti(Reg rt, Reg rs, int32_t imm) { return itype(0x0a, rs, rt, imm); }
constexpr uint32_t sltiu(Reg rt, Reg rs, int32_t imm) { return itype(0x0b, rs, rt, imm); }
constexpr uint32_t andi(Reg rt, Reg rs, uint32_t imm) { return itype(0x0c, rs, rt, int32_t(imm)); }
constexpr uint32_t ori(Reg rt, Reg rs, uint32_t imm) { return itype(0x0d, rs, rt, int32_t(imm)); }
constexpr uint32_t xori(Reg rt, Reg rs, uint32_t imm) { return itype(0x0e, rs, rt, int32_t(imm)); }
constexpr uint32_t lui(Reg rt, uint32_t imm) { return itype(0x0f, 0, rt, int32_t(imm)); }

// ---- loads and stores ----------------------------------------------------

constexpr uint32_t lb(Reg rt, int32_t off, Reg base) { return itype(0x20, base, rt, off); }
constexpr uint32_t lh(Reg rt, int32_t off, Reg base) { return itype(0x21, base, rt, off); }
constexpr uint32_t lwl(Reg rt, int32_t off, Reg base) { return itype(0x22, base, rt, off); }
constexpr uint32_t lw(Reg rt, int32_t off, Reg base) { return itype(0x23, base, rt, off); }
constexpr uint32_t lbu(Reg rt, int32_t off, Reg base) { return itype(0x24, base, rt, off); }
constexpr uint32_t lhu(Reg rt, int32_t off, Reg base) { return itype(0x25, base, rt, off); }
constexpr uint32_t lwr(Reg rt, int32_t off, Reg base) { return itype(0x26, base, rt, off); }
constexpr uint32_t sb(Reg rt, int32_t off, Reg base) { return itype(0x28, base, rt, off); }
constexpr uint32_t sh(Reg rt, int32_t off, Reg base) { return itype(0x29, base, rt, off); }
constexpr uint32_t swl(Reg rt, int32_t off, Reg base) { return itype(0x2a, base, rt, off); }
constexpr uint32_t sw(Reg rt, int32_t off, Reg base) { return itype(0x2b, base, rt, off); }
constexpr uint32_t swr(Reg rt, int32_t off, Reg base) { return itype(0x2e, base, rt, off); }

// ---- two-instruction idiom -----------------------------------------------

// lui/ori pair loading a 32-bit constant (no load delay involved).
struct Pair {
  uint32_t first, second;
};
constexpr Pair li(Reg rt, uint32_t value) { return {lui(rt, value >> 16), ori(rt, rt, value & 0xffff)}; }

// ---- words in memory -----------------------------------------------------

// Where test code goes: the usual start of a program's text.
inline constexpr uint32_t kCode = 0x00400000;

// A word in the machine's (big-endian) byte order, and back.
constexpr std::array<uint8_t, 4> be_bytes(uint32_t w) {
  return {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
}
constexpr uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
constexpr uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}
inline void put_be16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}

// An address or word as reports print it: 0x and eight digits.
inline std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08" PRIx32, v);
  return b;
}

}  // namespace enc
