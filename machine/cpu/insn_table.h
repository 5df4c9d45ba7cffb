// The MIPS-I instruction set as one table: each instruction is one row
// (its encoding, the registers it reads and writes, what kind of
// instruction it is, the op it decodes to, its disassembly), and every
// part of the CPU that asks what a word is asks this table: the decoder,
// insn_info, the disassembler, the code generator's register use, a
// block's successors, Fault::store, the static scan.  The fast decoder
// is built from the rows at compile time.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "r3k/insn.h"
#include "r3k/regs.h"

namespace r3k {

// The executor's operations.  The list is a macro so that the interpreter
// can build its handler table in the same order.
// clang-format off
#define R3K_OPCODES(X)                                                            \
  X(Nop) X(Li) X(Move)                                                            \
  X(Sll) X(Srl) X(Sra) X(Sllv) X(Srlv) X(Srav)                                    \
  X(Mfhi) X(Mthi) X(Mflo) X(Mtlo) X(Mult) X(Multu) X(Div) X(Divu)                 \
  X(Add) X(Addu) X(Sub) X(Subu) X(And) X(Or) X(Xor) X(Nor) X(Slt) X(Sltu)         \
  X(Addi) X(Addiu) X(Slti) X(Sltiu) X(Andi) X(Ori) X(Xori)                        \
  X(Lb) X(Lh) X(Lwl) X(Lw) X(Lbu) X(Lhu) X(Lwr) X(Sb) X(Sh) X(Swl) X(Sw) X(Swr)   \
  X(Beq) X(Bne) X(Blez) X(Bgtz) X(Bltz) X(Bgez) X(Bltzal) X(Bgezal)               \
  X(B) X(J) X(Jal) X(Jr) X(Jalr)                                                  \
  X(Syscall)                                                                      \
  X(Fault) /* d: FaultKind, s: register (load-delay), t: 1 if fetch, imm: addr */ \
  X(End)   /* after the last op of every block */
// clang-format on

enum class OpCode : uint8_t {
#define R3K_OPCODE_ENUM(name) name,
  R3K_OPCODES(R3K_OPCODE_ENUM)
#undef R3K_OPCODE_ENUM
};
#define R3K_OPCODE_COUNT(name) +1
inline constexpr uint32_t kOpCodes = 0 R3K_OPCODES(R3K_OPCODE_COUNT);
#undef R3K_OPCODE_COUNT

namespace insn {

// Where the row's code sits: the primary opcode, SPECIAL's function field
// or REGIMM's rt field.  Coprocessor ops are not MIPS-I user instructions
// this machine runs: every COPn encoding is a reserved instruction.
enum class Enc : uint8_t { Primary, Special, Regimm };

// Register fields an instruction reads or writes; Ra is the link register
// a jal, bltzal or bgezal writes whatever its fields say.
enum Field : uint8_t { kNoField = 0, kRs = 1, kRt = 2, kRd = 4, kRa = 8 };

// How the op's immediate is made from the word (and the pc).
enum class Imm : uint8_t {
  Zero,      // none
  Shamt,     // the shift amount
  Signed,    // sign-extended
  Unsigned,  // zero-extended
  Upper,     // lui: the 16 bits in the upper half
  Branch,    // a branch's target
  Jump,      // a j/jal's target
  Link,      // jalr: the address past its delay slot
};

// A simpler op some forms of the instruction decode to.
enum class Alias : uint8_t {
  Plain,
  AsMove,  // addu/or with a $zero operand: a register copy
  AsLi,    // addiu/ori from $zero: a constant
  AsB,     // a conditional branch that always goes (beq r,r; blez/bgez $zero)
};

enum Flag : uint16_t {
  kBranch = 1 << 0,        // has a delay slot
  kCond = 1 << 1,          // may fall through
  kIndirect = 1 << 2,      // jr/jalr: the target is a register's value
  kTakenIfEqual = 1 << 3,  // beq: always taken when rs is rt
  kTakenIfZero = 1 << 4,   // blez, bgez, bgezal: always taken on $zero
  kLoad = 1 << 5,          // sets up a load delay on rt
  kStore = 1 << 6,
  kPartial = 1 << 7,    // lwl/lwr/swl/swr: the bytes of an unaligned word
  kSigned = 1 << 8,     // a load that sign-extends
  kReadsHiLo = 1 << 9,  // mfhi/mflo: starts the HI/LO guard
  kWritesHiLo = 1 << 10,
  kTraps = 1 << 11,      // add, sub, addi: the overflow trap runs even into $zero
  kEndsBlock = 1 << 12,  // syscall, break: nothing after it runs in order
};

// Operand letters of a row's disassembly form (other characters are
// copied): d s t the registers rd rs rt, h the shift amount, i the signed
// and u the unsigned immediate, b a branch's and j a jump's target, D
// "rd," unless rd is ra (jalr), c syscall's and k break's code.
struct Row {
  std::string_view name;
  Enc enc;
  uint8_t code;
  OpCode op;  // Fault: break, which traps where it stands
  uint8_t reads;
  uint8_t writes;  // at most one field
  Imm imm;
  Alias alias;
  uint8_t size;  // bytes a load or store accesses
  uint16_t flags;
  std::string_view form;
  constexpr bool has(uint16_t f) const { return (flags & f) != 0; }
};

using enum Enc;
using enum Imm;
using enum Alias;
using enum OpCode;
constexpr uint16_t kCondBranch = kBranch | kCond;

// clang-format off
inline constexpr Row kRows[] = {
// name       enc      code  op       reads      writes imm       alias   size flags                        form
  {"sll",     Special, 0x00, Sll,     kRt,       kRd,   Shamt,    Plain,  0,   0,                           "d,t,h"},
  {"srl",     Special, 0x02, Srl,     kRt,       kRd,   Shamt,    Plain,  0,   0,                           "d,t,h"},
  {"sra",     Special, 0x03, Sra,     kRt,       kRd,   Shamt,    Plain,  0,   0,                           "d,t,h"},
  {"sllv",    Special, 0x04, Sllv,    kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,t,s"},
  {"srlv",    Special, 0x06, Srlv,    kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,t,s"},
  {"srav",    Special, 0x07, Srav,    kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,t,s"},
  {"jr",      Special, 0x08, Jr,      kRs,       0,     Zero,     Plain,  0,   kBranch | kIndirect,         "s"},
  {"jalr",    Special, 0x09, Jalr,    kRs,       kRd,   Link,     Plain,  0,   kBranch | kIndirect,         "Ds"},
  {"syscall", Special, 0x0c, Syscall, 0,         0,     Zero,     Plain,  0,   kEndsBlock,                  "c"},
  {"break",   Special, 0x0d, Fault,   0,         0,     Zero,     Plain,  0,   kEndsBlock,                  "k"},
  {"mfhi",    Special, 0x10, Mfhi,    0,         kRd,   Zero,     Plain,  0,   kReadsHiLo,                  "d"},
  {"mthi",    Special, 0x11, Mthi,    kRs,       0,     Zero,     Plain,  0,   kWritesHiLo,                 "s"},
  {"mflo",    Special, 0x12, Mflo,    0,         kRd,   Zero,     Plain,  0,   kReadsHiLo,                  "d"},
  {"mtlo",    Special, 0x13, Mtlo,    kRs,       0,     Zero,     Plain,  0,   kWritesHiLo,                 "s"},
  {"mult",    Special, 0x18, Mult,    kRs | kRt, 0,     Zero,     Plain,  0,   kWritesHiLo,                 "s,t"},
  {"multu",   Special, 0x19, Multu,   kRs | kRt, 0,     Zero,     Plain,  0,   kWritesHiLo,                 "s,t"},
  {"div",     Special, 0x1a, Div,     kRs | kRt, 0,     Zero,     Plain,  0,   kWritesHiLo,                 "s,t"},
  {"divu",    Special, 0x1b, Divu,    kRs | kRt, 0,     Zero,     Plain,  0,   kWritesHiLo,                 "s,t"},
  {"add",     Special, 0x20, Add,     kRs | kRt, kRd,   Zero,     Plain,  0,   kTraps,                      "d,s,t"},
  {"addu",    Special, 0x21, Addu,    kRs | kRt, kRd,   Zero,     AsMove, 0,   0,                           "d,s,t"},
  {"sub",     Special, 0x22, Sub,     kRs | kRt, kRd,   Zero,     Plain,  0,   kTraps,                      "d,s,t"},
  {"subu",    Special, 0x23, Subu,    kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"and",     Special, 0x24, And,     kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"or",      Special, 0x25, Or,      kRs | kRt, kRd,   Zero,     AsMove, 0,   0,                           "d,s,t"},
  {"xor",     Special, 0x26, Xor,     kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"nor",     Special, 0x27, Nor,     kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"slt",     Special, 0x2a, Slt,     kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"sltu",    Special, 0x2b, Sltu,    kRs | kRt, kRd,   Zero,     Plain,  0,   0,                           "d,s,t"},
  {"bltz",    Regimm,  0x00, Bltz,    kRs,       0,     Branch,   Plain,  0,   kCondBranch,                 "s,b"},
  {"bgez",    Regimm,  0x01, Bgez,    kRs,       0,     Branch,   AsB,    0,   kCondBranch | kTakenIfZero,  "s,b"},
  {"bltzal",  Regimm,  0x10, Bltzal,  kRs,       kRa,   Branch,   Plain,  0,   kCondBranch,                 "s,b"},
  {"bgezal",  Regimm,  0x11, Bgezal,  kRs,       kRa,   Branch,   Plain,  0,   kCondBranch | kTakenIfZero,  "s,b"},
  {"j",       Primary, 0x02, J,       0,         0,     Jump,     Plain,  0,   kBranch,                     "j"},
  {"jal",     Primary, 0x03, Jal,     0,         kRa,   Jump,     Plain,  0,   kBranch,                     "j"},
  {"beq",     Primary, 0x04, Beq,     kRs | kRt, 0,     Branch,   AsB,    0,   kCondBranch | kTakenIfEqual, "s,t,b"},
  {"bne",     Primary, 0x05, Bne,     kRs | kRt, 0,     Branch,   Plain,  0,   kCondBranch,                 "s,t,b"},
  {"blez",    Primary, 0x06, Blez,    kRs,       0,     Branch,   AsB,    0,   kCondBranch | kTakenIfZero,  "s,b"},
  {"bgtz",    Primary, 0x07, Bgtz,    kRs,       0,     Branch,   Plain,  0,   kCondBranch,                 "s,b"},
  {"addi",    Primary, 0x08, Addi,    kRs,       kRt,   Signed,   Plain,  0,   kTraps,                      "t,s,i"},
  {"addiu",   Primary, 0x09, Addiu,   kRs,       kRt,   Signed,   AsLi,   0,   0,                           "t,s,i"},
  {"slti",    Primary, 0x0a, Slti,    kRs,       kRt,   Signed,   Plain,  0,   0,                           "t,s,i"},
  {"sltiu",   Primary, 0x0b, Sltiu,   kRs,       kRt,   Signed,   Plain,  0,   0,                           "t,s,i"},
  {"andi",    Primary, 0x0c, Andi,    kRs,       kRt,   Unsigned, Plain,  0,   0,                           "t,s,u"},
  {"ori",     Primary, 0x0d, Ori,     kRs,       kRt,   Unsigned, AsLi,   0,   0,                           "t,s,u"},
  {"xori",    Primary, 0x0e, Xori,    kRs,       kRt,   Unsigned, Plain,  0,   0,                           "t,s,u"},
  {"lui",     Primary, 0x0f, Li,      0,         kRt,   Upper,    Plain,  0,   0,                           "t,u"},
  {"lb",      Primary, 0x20, Lb,      kRs,       kRt,   Signed,   Plain,  1,   kLoad | kSigned,             "t,i(s)"},
  {"lh",      Primary, 0x21, Lh,      kRs,       kRt,   Signed,   Plain,  2,   kLoad | kSigned,             "t,i(s)"},
  {"lwl",     Primary, 0x22, Lwl,     kRs | kRt, kRt,   Signed,   Plain,  4,   kLoad | kPartial,            "t,i(s)"},
  {"lw",      Primary, 0x23, Lw,      kRs,       kRt,   Signed,   Plain,  4,   kLoad,                       "t,i(s)"},
  {"lbu",     Primary, 0x24, Lbu,     kRs,       kRt,   Signed,   Plain,  1,   kLoad,                       "t,i(s)"},
  {"lhu",     Primary, 0x25, Lhu,     kRs,       kRt,   Signed,   Plain,  2,   kLoad,                       "t,i(s)"},
  {"lwr",     Primary, 0x26, Lwr,     kRs | kRt, kRt,   Signed,   Plain,  4,   kLoad | kPartial,            "t,i(s)"},
  {"sb",      Primary, 0x28, Sb,      kRs | kRt, 0,     Signed,   Plain,  1,   kStore,                      "t,i(s)"},
  {"sh",      Primary, 0x29, Sh,      kRs | kRt, 0,     Signed,   Plain,  2,   kStore,                      "t,i(s)"},
  {"swl",     Primary, 0x2a, Swl,     kRs | kRt, 0,     Signed,   Plain,  4,   kStore | kPartial,           "t,i(s)"},
  {"sw",      Primary, 0x2b, Sw,      kRs | kRt, 0,     Signed,   Plain,  4,   kStore,                      "t,i(s)"},
  {"swr",     Primary, 0x2e, Swr,     kRs | kRt, 0,     Signed,   Plain,  4,   kStore | kPartial,           "t,i(s)"},
};
// clang-format on
inline constexpr uint32_t kRowCount = std::size(kRows);

// ---- the fast decoder, built from the rows ----------------------------------

// Row index by encoding: the 64 primary opcodes, then SPECIAL's 64
// function codes, then REGIMM's 32 rt codes; kInvalid where no row is.
inline constexpr uint8_t kInvalid = 0xff;
inline constexpr uint8_t kSpecialBase = 64, kRegimmBase = 128;
inline constexpr uint32_t kSlots = 160;

constexpr uint32_t slot_of(const Row& r) {
  return r.enc == Primary ? r.code : r.enc == Special ? kSpecialBase + r.code : kRegimmBase + r.code;
}

constexpr std::array<uint8_t, kSlots> build_slots() {
  std::array<uint8_t, kSlots> s{};
  s.fill(kInvalid);
  for (uint32_t k = 0; k < kRowCount; ++k) s[slot_of(kRows[k])] = uint8_t(k);
  return s;
}
inline constexpr std::array<uint8_t, kSlots> kSlotRow = build_slots();

// Every row has an encoding of its own, not on SPECIAL's or REGIMM's
// primary code, and writes at most one register field.
constexpr bool encodings_unique() {
  for (uint32_t k = 0; k < kRowCount; ++k) {
    const Row& r = kRows[k];
    if (kSlotRow[slot_of(r)] != k || (r.enc == Primary && r.code < 2)) return false;
    if (r.writes != kNoField && r.writes != kRs && r.writes != kRt && r.writes != kRd && r.writes != kRa) return false;
  }
  return true;
}
static_assert(encodings_unique(), "two rows share an encoding, or a row writes two fields");

// Where the primary opcode sends the search: slot base + ((word >> shift)
// & mask), so that finding a row takes no branch.
struct Subtable {
  uint8_t base, shift, mask;
};
constexpr std::array<Subtable, 64> build_subs() {
  std::array<Subtable, 64> subs{};
  for (uint8_t op = 0; op < 64; ++op) subs[op] = Subtable{op, 0, 0};
  subs[0] = Subtable{kSpecialBase, 0, 63};
  subs[1] = Subtable{kRegimmBase, 16, 31};
  return subs;
}
inline constexpr std::array<Subtable, 64> kSubs = build_subs();

// The row of a word, or null for a reserved instruction.
inline const Row* row_of(uint32_t word) {
  const Subtable& sub = kSubs[word >> 26];
  const uint8_t k = kSlotRow[sub.base + (word >> sub.shift & sub.mask)];
  return k == kInvalid ? nullptr : &kRows[k];
}

// The general register the row's instruction writes (0: none, or $zero).
constexpr uint32_t written(const Row& r, Insn i) {
  switch (r.writes) {
    case kRd: return i.rd();
    case kRt: return i.rt();
    case kRa: return regs::ra;
    default: return 0;
  }
}

// Masks of the general registers read and written, $zero left out.
constexpr uint32_t reads_mask(const Row& r, Insn i) {
  static_assert(kRs == 1 && kRt == 2, "the fields' bits shift straight into the mask");
  return ((uint32_t(r.reads & kRs) << i.rs()) | (uint32_t(r.reads >> 1 & 1) << i.rt())) & ~1u;
}
constexpr uint32_t writes_mask(const Row& r, Insn i) { return (1u << written(r, i)) & ~1u; }

// Whether a conditional branch goes to its target whatever the registers
// hold (beq r,r; blez, bgez, bgezal of $zero); j and jal always do.
constexpr bool always_taken(const Row& r, Insn i) {
  if (!r.has(kCond)) return true;
  return (r.has(kTakenIfEqual) && i.rs() == i.rt()) || (r.has(kTakenIfZero) && i.rs() == 0);
}

// Where a branch or jump at pc goes once its delay slot has run: its
// target unless that is in a register (jr, jalr), and past the slot
// unless it always goes.
struct Exits {
  bool indirect = false;
  uint32_t target = 0;  // when not indirect
  bool falls_through = false;
};
constexpr Exits exits_of(const Row& r, Insn i, uint32_t pc) {
  if (r.has(kIndirect)) return {true, 0, false};
  return {false, r.imm == Imm::Jump ? i.jump_target(pc) : i.branch_target(pc), !always_taken(r, i)};
}

// The roles of an op's fields: which of s and t it reads and whether it
// writes d.  The code generator's register use comes from these.
struct OpRoles {
  bool reads_s = false, reads_t = false, writes_d = false;
};
constexpr bool operator==(const OpRoles& a, const OpRoles& b) {
  return a.reads_s == b.reads_s && a.reads_t == b.reads_t && a.writes_d == b.writes_d;
}

// Roles of every op: each row's op reads the fields its row reads and
// writes d when the row writes; Move, made by the decoder alone, copies s
// into d; the other decoder-made ops (Li from a zero base as lui's Li,
// B, Nop, Fault, End) touch no register but d.
constexpr OpRoles roles_of_row(const Row& r) { return {(r.reads & kRs) != 0, (r.reads & kRt) != 0, r.writes != 0}; }
constexpr std::array<OpRoles, kOpCodes> build_roles() {
  std::array<OpRoles, kOpCodes> roles{};
  for (const Row& r : kRows)
    if (r.op != OpCode::Fault) roles[size_t(r.op)] = roles_of_row(r);
  roles[size_t(OpCode::Move)] = OpRoles{true, false, true};
  return roles;
}
inline constexpr std::array<OpRoles, kOpCodes> kOpRoles = build_roles();

// Rows that decode to one op agree on its registers.
constexpr bool roles_agree() {
  for (const Row& r : kRows)
    if (r.op != OpCode::Fault && !(kOpRoles[size_t(r.op)] == roles_of_row(r))) return false;
  return true;
}
static_assert(roles_agree(), "rows sharing an op disagree on its registers");

// The row an op comes from (the first, for Li): for what a handler needs
// of it at compile time (a load's size and sign).
consteval const Row& row_of_op(OpCode op) {
  for (const Row& r : kRows)
    if (r.op == op) return r;
  return kRows[0];
}

}  // namespace insn
}  // namespace r3k
