// Turning guest instruction words into pre-decoded blocks.
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

// Translates one valid instruction at pc.
Op translate(uint32_t word, uint32_t pc) {
  Insn i{word};
  uint32_t rs = i.rs(), rt = i.rt(), rd = i.rd();
  uint32_t branch_target = i.branch_target(pc);
  switch (i.op()) {
    case kSpecial:
      switch (i.funct()) {
        case kSll: return rd ? make(OpCode::Sll, rd, 0, rt, i.shamt()) : make(OpCode::Nop);
        case kSrl: return rd ? make(OpCode::Srl, rd, 0, rt, i.shamt()) : make(OpCode::Nop);
        case kSra: return rd ? make(OpCode::Sra, rd, 0, rt, i.shamt()) : make(OpCode::Nop);
        case kSllv: return rd ? make(OpCode::Sllv, rd, rs, rt) : make(OpCode::Nop);
        case kSrlv: return rd ? make(OpCode::Srlv, rd, rs, rt) : make(OpCode::Nop);
        case kSrav: return rd ? make(OpCode::Srav, rd, rs, rt) : make(OpCode::Nop);
        case kJr: return make(OpCode::Jr, 0, rs);
        case kJalr: return make(OpCode::Jalr, dest(rd), rs, 0, pc + 8);
        case kSyscall: return make(OpCode::Syscall);
        case kBreak: return fault_op(FaultKind::Break);
        case kMfhi: return make(OpCode::Mfhi, dest(rd));
        case kMthi: return make(OpCode::Mthi, 0, rs);
        case kMflo: return make(OpCode::Mflo, dest(rd));
        case kMtlo: return make(OpCode::Mtlo, 0, rs);
        case kMult: return make(OpCode::Mult, 0, rs, rt);
        case kMultu: return make(OpCode::Multu, 0, rs, rt);
        case kDiv: return make(OpCode::Div, 0, rs, rt);
        case kDivu: return make(OpCode::Divu, 0, rs, rt);
        case kAdd: return make(OpCode::Add, dest(rd), rs, rt);  // may trap even into $zero
        case kSub: return make(OpCode::Sub, dest(rd), rs, rt);
        case kAddu:
        case kOr:
          if (!rd) return make(OpCode::Nop);
          if (rt == 0) return make(OpCode::Move, rd, rs);
          if (rs == 0) return make(OpCode::Move, rd, rt);
          return make(i.funct() == kAddu ? OpCode::Addu : OpCode::Or, rd, rs, rt);
        case kSubu: return rd ? make(OpCode::Subu, rd, rs, rt) : make(OpCode::Nop);
        case kAnd: return rd ? make(OpCode::And, rd, rs, rt) : make(OpCode::Nop);
        case kXor: return rd ? make(OpCode::Xor, rd, rs, rt) : make(OpCode::Nop);
        case kNor: return rd ? make(OpCode::Nor, rd, rs, rt) : make(OpCode::Nop);
        case kSlt: return rd ? make(OpCode::Slt, rd, rs, rt) : make(OpCode::Nop);
        case kSltu: return rd ? make(OpCode::Sltu, rd, rs, rt) : make(OpCode::Nop);
      }
      break;
    case kRegimm:
      switch (rt) {
        case kBltz: return make(OpCode::Bltz, 0, rs, 0, branch_target);
        case kBgez: return rs ? make(OpCode::Bgez, 0, rs, 0, branch_target) : make(OpCode::B, 0, 0, 0, branch_target);
        case kBltzal: return make(OpCode::Bltzal, regs::ra, rs, 0, branch_target);
        case kBgezal: return make(OpCode::Bgezal, regs::ra, rs, 0, branch_target);
      }
      break;
    case kJ: return make(OpCode::J, 0, 0, 0, i.jump_target(pc));
    case kJal: return make(OpCode::Jal, regs::ra, 0, 0, i.jump_target(pc));
    case kBeq: return rs == rt ? make(OpCode::B, 0, 0, 0, branch_target) : make(OpCode::Beq, 0, rs, rt, branch_target);
    case kBne: return make(OpCode::Bne, 0, rs, rt, branch_target);
    case kBlez: return make(OpCode::Blez, 0, rs, 0, branch_target);
    case kBgtz: return make(OpCode::Bgtz, 0, rs, 0, branch_target);
    case kAddi: return make(OpCode::Addi, dest(rt), rs, 0, i.simm());
    case kAddiu:
      if (!rt) return make(OpCode::Nop);
      return rs ? make(OpCode::Addiu, rt, rs, 0, i.simm()) : make(OpCode::Li, rt, 0, 0, i.simm());
    case kSlti: return rt ? make(OpCode::Slti, rt, rs, 0, i.simm()) : make(OpCode::Nop);
    case kSltiu: return rt ? make(OpCode::Sltiu, rt, rs, 0, i.simm()) : make(OpCode::Nop);
    case kAndi: return rt ? make(OpCode::Andi, rt, rs, 0, i.imm()) : make(OpCode::Nop);
    case kOri:
      if (!rt) return make(OpCode::Nop);
      return rs ? make(OpCode::Ori, rt, rs, 0, i.imm()) : make(OpCode::Li, rt, 0, 0, i.imm());
    case kXori: return rt ? make(OpCode::Xori, rt, rs, 0, i.imm()) : make(OpCode::Nop);
    case kLui: return rt ? make(OpCode::Li, rt, 0, 0, i.imm() << 16) : make(OpCode::Nop);
    // Loads into $zero still access memory (and may fault).
    case kLb: return make(OpCode::Lb, dest(rt), rs, rt, i.simm());
    case kLh: return make(OpCode::Lh, dest(rt), rs, rt, i.simm());
    case kLwl: return make(OpCode::Lwl, dest(rt), rs, rt, i.simm());
    case kLw: return make(OpCode::Lw, dest(rt), rs, rt, i.simm());
    case kLbu: return make(OpCode::Lbu, dest(rt), rs, rt, i.simm());
    case kLhu: return make(OpCode::Lhu, dest(rt), rs, rt, i.simm());
    case kLwr: return make(OpCode::Lwr, dest(rt), rs, rt, i.simm());
    case kSb: return make(OpCode::Sb, 0, rs, rt, i.simm());
    case kSh: return make(OpCode::Sh, 0, rs, rt, i.simm());
    case kSwl: return make(OpCode::Swl, 0, rs, rt, i.simm());
    case kSw: return make(OpCode::Sw, 0, rs, rt, i.simm());
    case kSwr: return make(OpCode::Swr, 0, rs, rt, i.simm());
  }
  return fault_op(FaultKind::ReservedInstruction);
}

}  // namespace

uint32_t hazard_reads(const InsnInfo& info, uint32_t word, bool after_partial) {
  uint32_t reads = info.reads;
  Insn i{word};
  if (after_partial && info.partial && i.rs() != i.rt()) reads &= ~bit(i.rt());
  return reads;
}

InsnInfo insn_info(uint32_t word) {
  Insn i{word};
  InsnInfo r;
  uint32_t rs = bit(i.rs()), rt = bit(i.rt());
  auto set = [&](uint32_t reads) {
    r.valid = true;
    r.reads = reads & ~1u;
  };
  switch (i.op()) {
    case kSpecial:
      switch (i.funct()) {
        case kSll:
        case kSrl:
        case kSra: set(rt); break;
        case kSllv:
        case kSrlv:
        case kSrav: set(rs | rt); break;
        case kJr:
        case kJalr:
          set(rs);
          r.branch = true;
          break;
        case kSyscall:
        case kBreak:
          set(0);
          r.ends_block = true;
          break;
        case kMfhi:
        case kMflo:
          set(0);
          r.reads_hilo = true;
          break;
        case kMthi:
        case kMtlo:
          set(rs);
          r.writes_hilo = true;
          break;
        case kMult:
        case kMultu:
        case kDiv:
        case kDivu:
          set(rs | rt);
          r.writes_hilo = true;
          break;
        case kAdd:
        case kAddu:
        case kSub:
        case kSubu:
        case kAnd:
        case kOr:
        case kXor:
        case kNor:
        case kSlt:
        case kSltu: set(rs | rt); break;
      }
      break;
    case kRegimm:
      switch (i.rt()) {
        case kBltz:
        case kBgez:
        case kBltzal:
        case kBgezal:
          set(rs);
          r.branch = true;
          break;
      }
      break;
    case kJ:
    case kJal:
      set(0);
      r.branch = true;
      break;
    case kBeq:
    case kBne:
      set(rs | rt);
      r.branch = true;
      break;
    case kBlez:
    case kBgtz:
      set(rs);
      r.branch = true;
      break;
    case kAddi:
    case kAddiu:
    case kSlti:
    case kSltiu:
    case kAndi:
    case kOri:
    case kXori: set(rs); break;
    case kLui: set(0); break;
    case kLb:
    case kLh:
    case kLw:
    case kLbu:
    case kLhu:
      set(rs);
      r.load = true;
      r.load_dest = uint8_t(i.rt());
      break;
    case kLwl:
    case kLwr:
      set(rs | rt);
      r.load = r.partial = true;
      r.load_dest = uint8_t(i.rt());
      break;
    case kSb:
    case kSh:
    case kSwl:
    case kSw:
    case kSwr: set(rs | rt); break;
  }
  return r;
}

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
  InsnInfo last = insn_info(b.raw[k - 1]);
  if (last.load && last.load_dest) c.load = PendingLoad{last.load_dest, last.partial};
  if (last.reads_hilo) c.hilo_guard = 2;
  else if (k >= 2 && insn_info(b.raw[k - 2]).reads_hilo) c.hilo_guard = 1;
  else c.hilo_guard = in.hilo_guard > k ? uint8_t(in.hilo_guard - k) : 0;
  return c;
}

// ---- decoding --------------------------------------------------------------

namespace {

// The static successors of a decoded block, from the op that ends it.
void find_successors(Block& b) {
  if (b.has_delay) {
    const Op& branch = b.ops[b.branch_index()];
    switch (branch.code) {
      case OpCode::Beq:
      case OpCode::Bne:
      case OpCode::Blez:
      case OpCode::Bgtz:
      case OpCode::Bltz:
      case OpCode::Bgez:
      case OpCode::Bltzal:
      case OpCode::Bgezal:
        b.next.pc[b.next.count++] = branch.imm;
        if (branch.imm != b.end_pc()) b.next.pc[b.next.count++] = b.end_pc();
        break;
      case OpCode::B:
      case OpCode::J:
      case OpCode::Jal: b.next.pc[b.next.count++] = branch.imm; break;
      case OpCode::Jr:
      case OpCode::Jalr: b.indirect = true; break;
      default: break;
    }
    return;
  }
  // A syscall served in place goes on past it.
  if (b.ops[b.n - 1].code != OpCode::Fault) b.next.pc[b.next.count++] = b.end_pc();
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
  InsnInfo prev;        // of the op before the current one, if any
  uint32_t mf_age = 3;  // ops since the last mfhi/mflo in this block (3: none)
  bool in_delay = false;
  for (;;) {
    uint32_t at = pc + 4 * out.n;
    InsnInfo info = insn_info(word);
    // A branch whose delay slot is on the next page starts a block of its
    // own: the slot is fetched afresh at every entry of that block, and no
    // store can run between that fetch and the slot.
    if (info.branch && !in_delay && out.n > 0 && page_offset(at + 4) == 0) break;
    Op op;
    if (!info.valid) {
      op = fault_op(FaultKind::ReservedInstruction);
    } else if (in_delay && info.branch) {
      op = fault_op(FaultKind::BranchInDelaySlot);
    } else if (prev.load && prev.load_dest && (hazard_reads(info, word, prev.partial) & bit(prev.load_dest))) {
      op = fault_op(FaultKind::LoadDelayHazard, prev.load_dest);
    } else if (info.writes_hilo && mf_age < 2) {
      op = fault_op(FaultKind::HiLoHazard);
    } else {
      op = translate(word, at);
    }
    bool faults = op.code == OpCode::Fault;
    if (out.n == 0) {
      out.first_reads = hazard_reads(info, word, false);
      out.first_reads_partial = hazard_reads(info, word, true);
    }
    if (out.n < 2 && info.writes_hilo && !faults) out.writes_hilo_at[out.n] = true;
    buf.ops.push_back(op);
    buf.raw.push_back(word);
    ++out.n;
    mf_age = info.reads_hilo ? 0 : mf_age + 1;
    prev = info;

    if (in_delay) {
      out.has_delay = true;
      break;
    }
    if (faults || info.ends_block) break;
    uint32_t next = at + 4;
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
