// Turning guest instruction words into pre-decoded blocks.
#include <array>
#include <cstring>

#include "cpu/cpu_block.h"
#include "r3k/regs.h"

namespace r3k {

namespace {

constexpr uint32_t bit(uint32_t r) { return 1u << r; }

uint8_t dest(uint32_t r) { return r ? uint8_t(r) : kSink; }

Op make(OpCode code, uint32_t d = 0, uint32_t s = 0, uint32_t t = 0, uint32_t imm = 0) {
  return Op{code, uint8_t(d), uint8_t(s), uint8_t(t), imm};
}

uint32_t immediate(const insn::Row& row, Insn i, uint32_t pc) {
  switch (row.imm) {
    case insn::Imm::Zero: return 0;
    case insn::Imm::Shamt: return i.shamt();
    case insn::Imm::Signed: return i.simm();
    case insn::Imm::Unsigned: return i.imm();
    case insn::Imm::Upper: return i.imm() << 16;
    case insn::Imm::Branch: return i.branch_target(pc);
    case insn::Imm::Jump: return i.jump_target(pc);
    case insn::Imm::Link: return pc + 8;
  }
  return 0;
}

// Translates one valid instruction at pc: its row's op, or the simpler op
// a form of it amounts to.
Op translate(const insn::Row& row, uint32_t word, uint32_t pc) {
  using namespace insn;
  if (row.op == OpCode::Fault) return fault_op(FaultKind::Break);
  const Insn i{word};
  const uint32_t d = written(row, i);
  // Writing $zero is all some instructions do; the overflow trap, a
  // load's access (which may fault), a branch and reading HI/LO are more.
  if (row.writes && d == 0 && !row.has(kTraps | kLoad | kBranch | kReadsHiLo)) return make(OpCode::Nop);
  // A load names rt as t too: lwl/lwr merge into it.
  Op op = make(row.op, row.writes ? dest(d) : 0, row.reads & kRs ? i.rs() : 0,
               row.reads & kRt || row.has(kLoad) ? i.rt() : 0, immediate(row, i, pc));
  switch (row.alias) {
    case Alias::Plain: break;
    case Alias::AsMove:
      if (i.rt() == 0) return make(OpCode::Move, d, i.rs());
      if (i.rs() == 0) return make(OpCode::Move, d, i.rt());
      break;
    case Alias::AsLi:
      if (i.rs() == 0) op = make(OpCode::Li, d, 0, 0, op.imm);
      break;
    case Alias::AsB:
      if (always_taken(row, i)) op = make(OpCode::B, 0, 0, 0, op.imm);
      break;
  }
  return op;
}

// The pc-independent facts of each row as InsnInfo has them, made once.
constexpr std::array<InsnInfo, insn::kRowCount> build_row_info() {
  using namespace insn;
  std::array<InsnInfo, kRowCount> info{};
  for (uint32_t k = 0; k < kRowCount; ++k) {
    const Row& row = kRows[k];
    InsnInfo& r = info[k];
    r.valid = true;
    r.branch = row.has(kBranch);
    r.load = row.has(kLoad);
    r.partial = row.has(kLoad) && row.has(kPartial);
    r.writes_hilo = row.has(kWritesHiLo);
    r.reads_hilo = row.has(kReadsHiLo);
    r.ends_block = row.has(kEndsBlock);
  }
  return info;
}
constexpr std::array<InsnInfo, insn::kRowCount> kRowInfo = build_row_info();

[[gnu::always_inline]] inline InsnInfo info_of(const insn::Row* row, uint32_t word) {
  if (!row) return InsnInfo{};
  const Insn i{word};
  InsnInfo r = kRowInfo[size_t(row - insn::kRows)];
  r.load_dest = r.load ? uint8_t(i.rt()) : 0;
  r.reads = insn::reads_mask(*row, i);
  return r;
}

}  // namespace

uint32_t hazard_reads(const InsnInfo& info, uint32_t word, bool after_partial) {
  uint32_t reads = info.reads;
  Insn i{word};
  if (after_partial && info.partial && i.rs() != i.rt()) reads &= ~bit(i.rt());
  return reads;
}

InsnInfo insn_info(uint32_t word) { return info_of(insn::row_of(word), word); }

MemError fetch_insn(const AddressSpace::Impl& mem, uint32_t pc, uint32_t& word) {
  if (pc & 3) return MemError::Unaligned;
  if (pc >= kUserEnd) return MemError::KernelSpace;
  const L2Table* t = mem.table(pc);
  uint32_t i = l2_index(pc);
  if (!t->page[i] || !(t->prot[i] & kProtExec)) return MemError::Unmapped;
  uint32_t v;
  std::memcpy(&v, t->page[i]->bytes + page_offset(pc), 4);
  word = __builtin_bswap32(v);
  return MemError::None;
}

Op fault_op(FaultKind kind, uint32_t reg, bool fetch, uint32_t addr) {
  return make(OpCode::Fault, uint32_t(kind), reg, fetch ? 1 : 0, addr);
}

// ---- rules at block boundaries ---------------------------------------------

FaultKind fault_kind(MemError e) {
  return e == MemError::Unaligned || e == MemError::KernelSpace ? FaultKind::AddressError : FaultKind::BadAddress;
}

Carry state_within(const Block& b, uint32_t k, const Carry& in) {
  if (k == 0) return in;
  Carry c;
  const InsnInfo last = insn_info(b.raw[k - 1]);
  if (last.load && last.load_dest) c.load = PendingLoad{last.load_dest, last.partial};
  // Only the last kHiLoWindow ops can have left a guard of their own.
  const uint32_t from = k > kHiLoWindow ? k - kHiLoWindow : 0;
  c.hilo_guard = hilo_guard_passed(in.hilo_guard, from);
  for (uint32_t j = from; j + 1 < k; ++j) c.hilo_guard = hilo_guard_after(insn_info(b.raw[j]), c.hilo_guard);
  c.hilo_guard = hilo_guard_after(last, c.hilo_guard);
  return c;
}

// ---- decoding --------------------------------------------------------------

namespace {

// The static successors of a decoded block, from the instruction that
// ends it.
void find_successors(Block& b) {
  if (b.has_delay) {
    const uint32_t k = b.branch_index();
    const insn::Exits e = insn::exits_of(*insn::row_of(b.raw[k]), Insn{b.raw[k]}, b.pc_of(k));
    b.indirect = e.indirect;
    if (!e.indirect) b.next.pc[b.next.count++] = e.target;
    if (e.falls_through && e.target != b.end_pc()) b.next.pc[b.next.count++] = b.end_pc();
    return;
  }
  // A syscall served in place goes on past it.
  if (b.ops[b.n - 1].code != OpCode::Fault) b.next.pc[b.next.count++] = b.end_pc();
}

// The op for the instruction word at pc, after prev (invalid: none) under
// the HI/LO guard, in a delay slot or not.
Op decode_op(uint32_t word, const insn::Row* row, const InsnInfo& info, uint32_t pc, const InsnInfo& prev,
             uint8_t hilo_guard, bool in_delay) {
  if (!row) return fault_op(FaultKind::ReservedInstruction);
  if (in_delay && info.branch) return fault_op(FaultKind::BranchInDelaySlot);
  if (prev.load && prev.load_dest && (hazard_reads(info, word, prev.partial) & bit(prev.load_dest)))
    return fault_op(FaultKind::LoadDelayHazard, prev.load_dest);
  if (hilo_hazard(info, hilo_guard)) return fault_op(FaultKind::HiLoHazard);
  return translate(*row, word, pc);
}

}  // namespace

bool decode_block(AddressSpace::Impl& mem, uint32_t pc, Block& out, Decoded& buf, Fault& fault, uint32_t max_ops) {
  out = Block{};
  out.start = pc;
  buf.ops.clear();
  buf.raw.clear();
  uint32_t word;
  if (MemError e = fetch_insn(mem, pc, word); e != MemError::None) {
    fault = Fault{};
    fault.kind = fault_kind(e);
    fault.pc = fault.addr = pc;
    fault.fetch = true;
    return false;
  }
  InsnInfo prev;  // of the op before the current one, if any
  uint8_t hilo_guard = 0;
  bool in_delay = false;
  for (;;) {
    const uint32_t at = pc + 4 * out.n;
    const insn::Row* row = insn::row_of(word);
    const InsnInfo info = info_of(row, word);
    // A branch whose delay slot is on the next page starts a block of its
    // own: the slot is fetched afresh at every entry of that block, and no
    // store can run between that fetch and the slot.
    if (info.branch && !in_delay && out.n > 0 && page_offset(at + 4) == 0) break;
    const Op op = decode_op(word, row, info, at, prev, hilo_guard, in_delay);
    const bool faults = op.code == OpCode::Fault;
    if (out.n == 0) {
      out.first_reads = hazard_reads(info, word, false);
      out.first_reads_partial = hazard_reads(info, word, true);
    }
    if (out.n < kHiLoWindow && info.writes_hilo && !faults) out.writes_hilo_at[out.n] = true;
    buf.ops.push_back(op);
    buf.raw.push_back(word);
    ++out.n;
    hilo_guard = hilo_guard_after(info, hilo_guard);
    prev = info;

    if (in_delay) {
      out.has_delay = true;
      break;
    }
    if (faults || info.ends_block) break;
    const uint32_t next = at + 4;
    if (info.branch) {
      in_delay = true;
      if (page_offset(next) == 0) out.spill = true;
    } else if (page_offset(next) == 0 || out.n >= max_ops) {
      break;
    }
    if (MemError e = fetch_insn(mem, next, word); e != MemError::None) {
      // Only reachable through the branch, so it faults only if run.
      buf.ops.push_back(fault_op(fault_kind(e), 0, true, next));
      buf.raw.push_back(0);
      ++out.n;
      out.has_delay = true;
      break;
    }
  }
  buf.ops.push_back(make(OpCode::End));
  out.ops = buf.ops.data();
  out.raw = buf.raw.data();
  out.exit = state_within(out, out.n, Carry{});
  find_successors(out);
  return true;
}

// ---- storage -----------------------------------------------------------------

namespace {

size_t ops_size(uint32_t n) { return (n + 1) * sizeof(Op); }
size_t raw_size(uint32_t n) { return n * sizeof(uint32_t); }

}  // namespace

void Block::keep_own() {
  auto mine = std::make_unique<std::byte[]>(ops_size(n) + raw_size(n));
  std::memcpy(mine.get(), ops, ops_size(n));
  std::memcpy(mine.get() + ops_size(n), raw, raw_size(n));
  own = std::move(mine);
  ops = reinterpret_cast<const Op*>(own.get());
  raw = reinterpret_cast<const uint32_t*>(own.get() + ops_size(n));
}

void Block::view_tail(const Block& whole, uint32_t k) {
  own.reset();
  ops = whole.ops + k;
  raw = whole.raw + k;
}

bool Block::is_tail_of(const Block& whole, uint32_t k) const {
  return !whole.spill && k < whole.n && whole.n - k == n && std::memcmp(ops, whole.ops + k, ops_size(n)) == 0 &&
         std::memcmp(raw, whole.raw + k, raw_size(n)) == 0;
}

uint64_t Block::bytes() const {
  return heap_bytes(sizeof(Block)) + (own ? heap_bytes(ops_size(n) + raw_size(n)) : 0) +
         heap_bytes(uint64_t{jit.link_count} * sizeof(JitLink));
}

uint64_t CodePage::adopt_tails(const Block& b) {
  const uint32_t w = page_offset(b.start) / 4;
  Block* next = w + 1 < kWords ? blocks[w + 1].get() : nullptr;
  if (!next || !next->own || next->spill || !next->is_tail_of(b, 1)) return 0;
  // Those sharing next's ops first (they start after it), then next.
  const Op* shared = next->ops;
  for (uint32_t k = b.n - 1; k >= 1; --k) {
    Block* tail = w + k < kWords ? blocks[w + k].get() : nullptr;
    if (tail && tail->ops == shared + (k - 1)) {
      const uint64_t before = tail->bytes();
      tail->view_tail(b, k);
      if (tail == next) return before - tail->bytes();
    }
  }
  return 0;
}

const Block* CodePage::whole_of(const Block& b, uint32_t& k) const {
  const uint32_t w = page_offset(b.start) / 4;
  for (uint32_t back = 1; back <= std::min(w, kMaxBlockOps); ++back) {
    const Block* whole = blocks[w - back].get();
    if (whole && whole->n > back) {
      k = back;
      return b.is_tail_of(*whole, back) ? whole : nullptr;
    }
  }
  return nullptr;
}

}  // namespace r3k
