// Pre-decoded basic blocks: the CPU decodes a run of instructions once
// (through the delay slot of the branch that ends it), checks the hazards
// that are visible inside the run, and caches the result on the page.
//
// The rules at block boundaries live here, each in one function that the
// decoder, the interpreter's dispatcher and the code generator all call:
// which hazard a block meets on entry (entry_hazard), the R3000 state after
// its first k ops (state_after), whether one block may run straight after
// another without a look from the dispatcher (may_chain), and which fault a
// failed access is (fault_kind).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cpu/cpu_jit.h"
#include "memory/address_space_impl.h"
#include "r3k/cpu.h"

namespace r3k {

// Fields of a MIPS instruction word.
struct Insn {
  uint32_t word;
  uint32_t op() const { return word >> 26; }
  uint32_t rs() const { return (word >> 21) & 31; }
  uint32_t rt() const { return (word >> 16) & 31; }
  uint32_t rd() const { return (word >> 11) & 31; }
  uint32_t shamt() const { return (word >> 6) & 31; }
  uint32_t funct() const { return word & 63; }
  uint32_t imm() const { return word & 0xffff; }
  uint32_t simm() const { return uint32_t(int32_t(int16_t(word & 0xffff))); }
  uint32_t target() const { return word & 0x03ffffff; }
  // Where a branch at pc goes when taken, and where a j/jal at pc goes.
  uint32_t branch_target(uint32_t pc) const { return pc + 4 + (simm() << 2); }
  uint32_t jump_target(uint32_t pc) const { return ((pc + 4) & 0xf0000000u) | (target() << 2); }
};

// Real primary opcode numbers.
// clang-format off
enum Opcode : uint32_t {
  kSpecial = 0x00, kRegimm = 0x01, kJ = 0x02, kJal = 0x03, kBeq = 0x04, kBne = 0x05,
  kBlez = 0x06, kBgtz = 0x07, kAddi = 0x08, kAddiu = 0x09, kSlti = 0x0a, kSltiu = 0x0b,
  kAndi = 0x0c, kOri = 0x0d, kXori = 0x0e, kLui = 0x0f,
  kLb = 0x20, kLh = 0x21, kLwl = 0x22, kLw = 0x23, kLbu = 0x24, kLhu = 0x25, kLwr = 0x26,
  kSb = 0x28, kSh = 0x29, kSwl = 0x2a, kSw = 0x2b, kSwr = 0x2e,
};

// Real SPECIAL function numbers.
enum Funct : uint32_t {
  kSll = 0x00, kSrl = 0x02, kSra = 0x03, kSllv = 0x04, kSrlv = 0x06, kSrav = 0x07,
  kJr = 0x08, kJalr = 0x09, kSyscall = 0x0c, kBreak = 0x0d,
  kMfhi = 0x10, kMthi = 0x11, kMflo = 0x12, kMtlo = 0x13,
  kMult = 0x18, kMultu = 0x19, kDiv = 0x1a, kDivu = 0x1b,
  kAdd = 0x20, kAddu = 0x21, kSub = 0x22, kSubu = 0x23,
  kAnd = 0x24, kOr = 0x25, kXor = 0x26, kNor = 0x27, kSlt = 0x2a, kSltu = 0x2b,
};

// Real REGIMM rt numbers.
enum RegimmOp : uint32_t { kBltz = 0x00, kBgez = 0x01, kBltzal = 0x10, kBgezal = 0x11 };
// clang-format on

// What the decoder knows about one instruction, independent of the pc.
struct InsnInfo {
  bool valid = false;    // a MIPS-I instruction
  bool branch = false;   // has a delay slot
  bool load = false;     // sets up a load delay on load_dest
  bool partial = false;  // lwl/lwr
  bool writes_hilo = false;
  bool reads_hilo = false;  // mfhi/mflo: starts the HI/LO guard
  bool ends_block = false;  // syscall/break: nothing after it runs in order
  uint8_t load_dest = 0;
  uint32_t reads = 0;  // mask of general registers read
};
InsnInfo insn_info(uint32_t word);

// The registers an instruction (word, info = insn_info(word)) reads that
// would see a stale value of the previous instruction's load: the load-delay
// rule, for the decoder, the entry check and the static scan alike.  An
// lwl/lwr merging into the register the previous lwl/lwr loaded is the one
// sanctioned reader (its base is not).
uint32_t hazard_reads(const InsnInfo& info, uint32_t word, bool after_partial);

// Register index 32 is a write sink: destinations of $zero are redirected
// there so that $zero never changes and no op has to test for it.
inline constexpr uint8_t kSink = kGprCount;

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

// d is the destination (or link register), s and t the sources as the
// instruction names them, imm a pre-extended immediate, shift amount or
// absolute branch target.
struct Op {
  OpCode code;
  uint8_t d, s, t;
  uint32_t imm;
};
static_assert(sizeof(Op) == 8);

// The op that raises a fault where it stands: reg for a load-delay hazard,
// fetch and addr for an instruction that cannot be fetched.
Op fault_op(FaultKind kind, uint32_t reg = 0, bool fetch = false, uint32_t addr = 0);

// The R3000 strictness one instruction leaves for the next ones: carried
// from block to block and across stops (CpuState keeps it in between).
struct Carry {
  PendingLoad load;        // register loaded by the instruction just run
  uint8_t hilo_guard = 0;  // instructions still forbidden to write HI/LO
  bool clean() const { return !load.reg && !hilo_guard; }
};

// Where a block's static successors go: a branch's target and its fall
// through, or one of them.  Indirect jumps have none.
struct Successors {
  uint32_t pc[2] = {};
  uint32_t count = 0;
};

struct Block {
  uint32_t start = 0;
  uint32_t n = 0;          // ops, delay slot included
  bool has_delay = false;  // the last op sits in a branch delay slot
  bool spill = false;      // that delay slot is on the next page
  bool cached = false;     // lives in a CodePage (else: scratch, never linked)
  bool indirect = false;   // ends in jr/jalr
  // Entry checks against the previous block's trailing load and mfhi/mflo.
  uint32_t first_reads = 0;          // after an ordinary load
  uint32_t first_reads_partial = 0;  // after an lwl/lwr (a merging pair is fine)
  bool writes_hilo_at[2] = {};       // op 0 / op 1 writes HI or LO
  Carry exit;                        // after running the whole block from a clean entry
  Successors next;                   // static successors
  // Successors on the same page the dispatcher has met, found again
  // without a page-table walk (they live and die with this block), and
  // whether may_chain allows moving on to them.
  struct Met {
    uint32_t pc = 0;
    bool chains = false;
    Block* block = nullptr;  // null: an empty slot
  } met[2];
  // The met successor at pc that this block may move on to, if any.
  Block* chains_to(uint32_t pc) const {
    if (met[0].pc == pc && met[0].block) return met[0].chains ? met[0].block : nullptr;
    if (met[1].pc == pc && met[1].block) return met[1].chains ? met[1].block : nullptr;
    return nullptr;
  }
  // n ops, then End, and the n instruction words (for fault reports and
  // the carry): the block's own, or the tail of a block that starts
  // before it on its page and decoded to the same ops from there on.
  const Op* ops = nullptr;
  const uint32_t* raw = nullptr;
  std::unique_ptr<std::byte[]> own;  // what ops and raw point into when they are the block's own
  JitCode jit;                       // generated code, once the block is hot

  uint32_t pc_of(uint32_t i) const { return start + 4 * i; }
  uint32_t end_pc() const { return start + 4 * n; }  // fall-through, and the link of a branch
  // Ops that a breakpoint may stop before (not the delay slot).
  uint32_t stoppable() const { return has_delay ? n - 1 : n; }
  // The op that branches: the decoder ends a block one op after a branch it
  // translates, and turns every other branch into a fault op; n if none.
  uint32_t branch_index() const { return has_delay ? n - 2 : n; }

  // Gives the block storage of its own holding what ops and raw show.
  void keep_own();
  // Shows the ops of `whole` from its op k on (the same page, never a block
  // with a delay slot on the next page, whose ops change in place).
  void view_tail(const Block& whole, uint32_t k);
  // Whether the block's ops and words are whole's from its op k on.
  bool is_tail_of(const Block& whole, uint32_t k) const;
  // The host memory the block holds: itself, its own ops, its links.
  uint64_t bytes() const;
};

// What an allocation of n bytes takes from the heap: glibc's chunk, n and
// an 8-byte header rounded up to 16, at least 32; nothing for none.
constexpr uint64_t heap_bytes(uint64_t n) { return n ? std::max<uint64_t>(32, (n + 8 + 15) & ~uint64_t{15}) : 0; }

// The decoder's output before it goes to a block: reused, so that a
// decode allocates nothing.
struct Decoded {
  std::vector<Op> ops;  // n ops, then End
  std::vector<uint32_t> raw;
};

// ---- rules at block boundaries --------------------------------------------

enum class EntryHazard : uint8_t {
  None,
  LoadDelay,   // op 0 reads the register the previous instruction loaded
  HiLoFirst,   // op 0 writes HI/LO within two of mfhi/mflo
  HiLoSecond,  // op 1 does: op 0 runs, then op 1 faults
};
inline EntryHazard entry_hazard(const Block& b, const Carry& in) {
  if (in.load.reg) {
    const uint32_t reads = in.load.partial ? b.first_reads_partial : b.first_reads;
    if (reads >> in.load.reg & 1) return EntryHazard::LoadDelay;
  }
  if (in.hilo_guard && b.writes_hilo_at[0]) return EntryHazard::HiLoFirst;
  if (in.hilo_guard >= 2 && b.writes_hilo_at[1]) return EntryHazard::HiLoSecond;
  return EntryHazard::None;
}

// The carry after the first k ops of b ran, entered with `in`; after the
// whole block and no HI/LO guard at entry, what the decoder worked out.
Carry state_within(const Block& b, uint32_t k, const Carry& in);
inline Carry state_after(const Block& b, uint32_t k, const Carry& in) {
  return k == b.n && !in.hilo_guard ? b.exit : state_within(b, k, in);
}

// Whether `to` may run right after `from` completes without the
// dispatcher: no HI/LO guard left, no hazard across, `to` cached and not
// needing its delay slot checked on entry.
inline bool may_chain(const Block& from, const Block& to) {
  return from.cached && to.cached && !to.spill && !from.exit.hilo_guard &&
         entry_hazard(to, from.exit) == EntryHazard::None;
}

// The fault a data access or instruction fetch that failed with e raises.
FaultKind fault_kind(MemError e);

// ---- decoding --------------------------------------------------------------

// Longest straight run decoded as one block: bounds how far run() may pass
// its budget and how much a breakpoint split has to redo.
inline constexpr uint32_t kMaxBlockOps = 64;
// Code on a page another address space can write is never cached: each
// instruction is decoded right before it runs (a branch with its delay
// slot), so a store over the next one is always seen.
inline constexpr uint32_t kUncachedBlockOps = 1;

// Decodes the block starting at pc, of at most max_ops instructions before
// a delay slot, into buf, which out's ops then show.  False, with fault
// filled in, if the first instruction cannot be fetched.
bool decode_block(AddressSpace::Impl& mem, uint32_t pc, Block& out, Decoded& buf, Fault& fault, uint32_t max_ops);

// Fetches one instruction word; MemError as for a data access, plus
// Unmapped for a page without execute permission.
MemError fetch_insn(const AddressSpace::Impl& mem, uint32_t pc, uint32_t& word);

// Decoded code of one page: its blocks by first word, and their generated
// code.  What it holds is counted against the host memory (CodeLedger):
// itself, each block (Block::bytes) and the generated code's mappings.
struct CodePage : CodeCache {
  static constexpr uint32_t kWords = kPageSize / 4;
  std::unique_ptr<Block> blocks[kWords];
  uint64_t covered[kWords / 64] = {};  // words some block was decoded from
  JitArena jit;                        // generated code of these blocks, dropped with them

  // The page itself, without blocks or generated code.
  static constexpr uint64_t own_bytes();
  void mark(const Block& b) {
    for (uint32_t w = page_offset(b.start) / 4, k = 0; k < b.n && w < kWords; ++k, ++w)
      covered[w / 64] |= uint64_t(1) << (w % 64);
  }
  bool covers(uint32_t off, uint32_t len) const override {
    for (uint32_t w = off / 4; w <= (off + len - 1) / 4 && w < kWords; ++w)
      if (covered[w / 64] >> (w % 64) & 1) return true;
    return false;
  }
  // A block starting before b on this page whose ops from some k on are
  // b's (entries inside one run of code share its ops), or null.
  const Block* whole_of(const Block& b, uint32_t& k) const;
  // b (its own ops, not yet on the page) starts right before a block that
  // is its tail: that block and those sharing its ops show b's instead
  // (entries met backwards).  The bytes given back.
  uint64_t adopt_tails(const Block& b);
};
constexpr uint64_t CodePage::own_bytes() { return heap_bytes(sizeof(CodePage)); }

}  // namespace r3k
