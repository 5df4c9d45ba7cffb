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
#include "cpu/insn_table.h"
#include "memory/address_space_impl.h"
#include "r3k/cpu.h"

namespace r3k {

// What the decoder knows about one instruction, independent of the pc.
// (Bit-fields: the decoder copies it per instruction.)
struct InsnInfo {
  bool valid : 1 = false;    // a MIPS-I instruction
  bool branch : 1 = false;   // has a delay slot
  bool load : 1 = false;     // sets up a load delay on load_dest
  bool partial : 1 = false;  // lwl/lwr
  bool writes_hilo : 1 = false;
  bool reads_hilo : 1 = false;  // mfhi/mflo: starts the HI/LO guard
  bool ends_block : 1 = false;  // syscall/break: nothing after it runs in order
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

// The HI/LO rule: an instruction that writes HI or LO may not run within
// two instructions after mfhi/mflo.  The guard counts the instructions
// still forbidden to; the decoder, the entry check, the dispatcher and the
// static scan all keep it with these.
inline constexpr uint8_t kHiLoWindow = 2;
// The guard after n instructions that do not read HI/LO.
constexpr uint8_t hilo_guard_passed(uint8_t guard, uint32_t n) { return guard > n ? uint8_t(guard - n) : 0; }
// The guard after an instruction (info = insn_info of it) ran under guard.
constexpr uint8_t hilo_guard_after(const InsnInfo& info, uint8_t guard) {
  return info.reads_hilo ? kHiLoWindow : hilo_guard_passed(guard, 1);
}
// Whether the k-th instruction from now (0: the next) may not write HI/LO.
constexpr bool hilo_forbidden(uint8_t guard, uint32_t k) { return hilo_guard_passed(guard, k) != 0; }
// Whether the instruction breaks the rule under guard.
constexpr bool hilo_hazard(const InsnInfo& info, uint8_t guard) { return info.writes_hilo && hilo_forbidden(guard, 0); }
// The guard a CpuState set from outside holds, as the rule can leave it.
constexpr uint8_t hilo_guard_of(uint8_t stored) { return std::min(stored, kHiLoWindow); }
// The guard an instruction that neither reads nor writes HI/LO (a
// branch) ran under, from the one it left: one more if any was left; else
// 0, which is the same to it as 1.
constexpr uint8_t hilo_guard_before(uint8_t after) {
  return after ? uint8_t(std::min<uint32_t>(after + 1u, kHiLoWindow)) : 0;
}

// Register index 32 is a write sink: destinations of $zero are redirected
// there so that $zero never changes and no op has to test for it.
inline constexpr uint8_t kSink = kGprCount;

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
  uint32_t first_reads = 0;               // after an ordinary load
  uint32_t first_reads_partial = 0;       // after an lwl/lwr (a merging pair is fine)
  bool writes_hilo_at[kHiLoWindow] = {};  // op 0 / op 1 writes HI or LO
  Carry exit;                             // after running the whole block from a clean entry
  Successors next;                        // static successors
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
  // Op 0 is no mfhi/mflo where op 1 writes HI/LO (the decoder made op 1 a fault).
  static_assert(kHiLoWindow == 2, "one entry hazard per op of the window");
  for (uint32_t k = 0; k < kHiLoWindow; ++k)
    if (b.writes_hilo_at[k] && hilo_forbidden(in.hilo_guard, k))
      return k ? EntryHazard::HiLoSecond : EntryHazard::HiLoFirst;
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
