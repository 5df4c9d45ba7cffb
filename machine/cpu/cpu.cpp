// The execution loop: find (or decode) the block at pc, check the hazards
// that cross into it from the previous block, run its ops, repeat.
#include "r3k/cpu.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "cpu/cpu_block.h"
#include "cpu/cpu_jit.h"

namespace r3k {

struct Cpu::Impl {
  std::vector<uint32_t> breakpoints;  // sorted, unique
  Block scratch;                      // for code on pages that cannot cache it
  std::vector<Op> partial;            // the first ops of a block cut short
  JitConfig jit = jit_defaults();
};

JitConfig& jit_defaults() {
  static JitConfig config;
  return config;
}

Cpu::Cpu(AddressSpace* space) : space_(space), impl_(std::make_unique<Impl>()) {}
Cpu::~Cpu() = default;

void Cpu::set_jit(const JitConfig& config) { impl_->jit = config; }
const JitConfig& Cpu::jit() const { return impl_->jit; }

void Cpu::set_space(AddressSpace* space) { space_ = space; }

void Cpu::add_breakpoint(uint32_t addr) {
  if (addr & 3) return;  // no instruction starts there
  auto& bp = impl_->breakpoints;
  auto it = std::lower_bound(bp.begin(), bp.end(), addr);
  if (it == bp.end() || *it != addr) bp.insert(it, addr);
}

void Cpu::clear_breakpoints() { impl_->breakpoints.clear(); }

namespace {

inline uint32_t be32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline void put_be32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

FaultKind mem_fault_kind(MemError e) {
  return e == MemError::Unaligned || e == MemError::KernelSpace ? FaultKind::AddressError
                                                                : FaultKind::BadAddress;
}

// Load-delay and HI/LO guard state after the first k ops of b ran, entered
// with the given state.  The fast path uses the block's precomputed exit.
void state_after(const Block& b, uint32_t k, uint8_t& load_reg, bool& load_partial,
                 uint8_t& guard) {
  if (k == 0) return;
  InsnInfo last = insn_info(b.raw[k - 1]);
  load_reg = last.load ? last.load_dest : 0;
  load_partial = load_reg && last.partial;
  if (last.reads_hilo)
    guard = 2;
  else if (k >= 2 && insn_info(b.raw[k - 2]).reads_hilo)
    guard = 1;
  else
    guard = guard > k ? uint8_t(guard - k) : 0;
}

// The bytes lwl/lwr/swl/swr move, big-endian: k is the address's byte
// offset in its word, w the aligned memory word, v the register.
inline uint32_t merge_lwl(uint32_t w, uint32_t v, uint32_t k) {
  return (w << (8 * k)) | (v & ((1u << (8 * k)) - 1));
}
inline uint32_t merge_lwr(uint32_t w, uint32_t v, uint32_t k) {
  uint32_t sh = 8 * (3 - k);
  return (w >> sh) | (v & ~(0xffffffffu >> sh));
}
// Writes the swl/swr bytes into the 4-byte word at q.
inline void write_swl(uint8_t* q, uint32_t v, uint32_t k) {
  for (uint32_t j = k; j < 4; ++j) q[j] = uint8_t(v >> (24 - 8 * (j - k)));
}
inline void write_swr(uint8_t* q, uint32_t v, uint32_t k) {
  for (uint32_t j = 0; j <= k; ++j) q[j] = uint8_t(v >> (8 * (k - j)));
}

}  // namespace

// Cross-jumping would merge the ops' dispatch jumps into one, which the
// host predicts far worse than one jump per op.
__attribute__((optimize("no-crossjumping"))) Stop Cpu::run(uint64_t budget) {
  Stop stop;
  stop.reason = StopReason::Budget;
  if (budget == 0) return stop;

  Impl& self = *impl_;
  AddressSpace& space = *space_;
  AddressSpace::Impl& mem = space.impl();
  mem.collect_garbage();
  L2Table* const* const l1 = mem.l1;

  JitFrame frame;
  uint32_t* const r = frame.r;
  std::memcpy(r, state_.gpr, sizeof state_.gpr);
  r[0] = 0;
  r[kSink] = 0;
  uint32_t& hi = frame.hi;
  uint32_t& lo = frame.lo;
  hi = state_.hi;
  lo = state_.lo;
  const bool jit = self.jit.enabled && jit_supported();
  const uint32_t hot_after = self.jit.hot_after;
  uint32_t pc = state_.pc;
  uint8_t load_reg = state_.load_reg < 32 ? state_.load_reg : 0;
  bool load_partial = state_.load_partial;
  uint8_t guard = std::min<uint8_t>(state_.hilo_guard, 2);
  uint64_t executed = 0;
  bool resuming = true;  // the first instruction of a run ignores breakpoints
  const bool no_breakpoints = self.breakpoints.empty();
  Block* b = nullptr;    // the block that ran last, while its links are valid
  Block* linkable = nullptr;  // completed in generated code, its successor not yet linked

  // Fault bookkeeping, filled in before jumping to fault.
  FaultKind fkind{};
  uint32_t fop = 0;       // index of the faulting op in b
  uint32_t faddr = 0;
  uint8_t freg = 0;
  bool ffetch = false;

  for (;;) {
    if (executed >= budget) break;

    // ---- find the block -------------------------------------------------
    Block* nb = nullptr;
    if (b) nb = b->link_pc[0] == pc ? b->link[0] : b->link_pc[1] == pc ? b->link[1] : nullptr;
    if (!nb) {
      L2Table* t = mem.table(pc);
      auto* page = static_cast<CodePage*>(t->code[l2_index(pc)].get());
      if (page && !(pc & 3)) nb = page->blocks[page_offset(pc) / 4].get();
      if (!nb) {
        auto fresh = std::make_unique<Block>();
        Fault ff;
        bool cache = pc < kUserEnd && mem.is_mapped(pc) && mem.code_cacheable(pc);
        Block& target = cache ? *fresh : self.scratch;
        if (!decode_block(mem, pc, target, ff, cache ? kMaxBlockOps : kUncachedBlockOps)) {
          stop.reason = StopReason::Fault;
          stop.fault = ff;
          break;
        }
        if (cache) {
          if (!page) {
            auto made = std::make_unique<CodePage>();
            page = made.get();
            t->code[l2_index(pc)] = std::move(made);
            mem.refresh(pc);  // stores to this page must now see the code
          }
          page->mark(*fresh);
          fresh->cached = true;
          nb = fresh.get();
          page->blocks[page_offset(pc) / 4] = std::move(fresh);
        } else {
          nb = &self.scratch;
        }
      }
      if (b && b->cached && nb->cached && (b->start >> kPageBits) == (pc >> kPageBits)) {
        int slot = b->link_pc[0] == 1 ? 0 : 1;
        b->link_pc[slot] = pc;
        b->link[slot] = nb;
      }
    }
    b = nb;

    if (b->spill) {
      // The delay slot lives on the next page, which may have changed.
      uint32_t dpc = b->pc_of(b->n - 1), w = 0;
      MemError e = fetch_insn(mem, dpc, w);
      const Op& slot = b->ops[b->n - 1];
      bool was_ok = slot.code != OpCode::Fault || !slot.t;
      if ((e == MemError::None) != was_ok || (was_ok && w != b->raw.back())) {
        Fault ff;
        if (!decode_block(mem, pc, *b, ff, b->cached ? kMaxBlockOps : kUncachedBlockOps)) {
          stop.reason = StopReason::Fault;
          stop.fault = ff;
          break;
        }
        b->cached = b != &self.scratch;
      }
    }

    // ---- breakpoints, hazards from the previous block --------------------
    uint32_t limit = b->n;
    bool hilo_at_1 = false;
    if (!no_breakpoints) [[unlikely]] {
      uint32_t from = resuming ? b->start + 4 : b->start;
      uint32_t to = b->start + 4 * b->stoppable();
      auto it = std::lower_bound(self.breakpoints.begin(), self.breakpoints.end(), from);
      if (it != self.breakpoints.end() && *it < to) {
        limit = (*it - b->start) / 4;
        if (limit == 0) {
          stop.reason = StopReason::Breakpoint;
          break;
        }
      }
    }
    if (load_reg | guard) [[unlikely]] {
      uint32_t reads = load_partial ? b->first_reads_partial : b->first_reads;
      if (load_reg && (reads >> load_reg & 1)) {
        fkind = FaultKind::LoadDelayHazard;
        fop = 0;
        freg = load_reg;
        goto fault;
      }
      if (guard && (b->hilo_first & 1)) {
        fkind = FaultKind::HiLoHazard;
        fop = 0;
        goto fault;
      }
      if (guard >= 2 && (b->hilo_first & 2) && limit >= 2) {
        limit = 1;  // op 0 runs, then op 1 faults
        hilo_at_1 = true;
      }
    }
    resuming = false;

    // ---- run ------------------------------------------------------------
    {
      // Threaded dispatch: every op jumps straight to the next one's code;
      // End closes the block.  A block cut short runs from a copy of its
      // first ops with its own End.
      static const void* const kDispatch[] = {
#define R3K_LABEL(name) &&op_##name,
          R3K_OPCODES(R3K_LABEL)
#undef R3K_LABEL
      };
      const Op* ops = b->ops.data();
      if (limit != b->n) [[unlikely]] {
        self.partial.assign(ops, ops + limit);
        self.partial.push_back(Op{OpCode::EndPartial, 0, 0, 0, 0});
        ops = self.partial.data();
      }
      const Op* o = ops;
      uint32_t next = b->start + 4 * limit;
      uint32_t i = 0;
      MemError err = MemError::None;
#define NEXT goto* kDispatch[size_t((++o)->code)]
#define OP(name) op_##name:
      if (limit != b->n) goto* kDispatch[size_t(o->code)];

    whole_block:
      // Generated code runs the block as far as it can; the interpreter
      // goes on from the op where it stopped (to the End when it finished).
      if (jit && b->cached) {
        CodePage* page = nullptr;
        if ((!b->jit && !b->jit_failed && b->heat++ >= hot_after) || linkable) [[unlikely]] {
          page = static_cast<CodePage*>(mem.table(b->start)->code[l2_index(b->start)].get());
          if (page && !b->jit && !b->jit_failed) b->jit_failed = !jit_compile(*b, page->jit);
          // The block that just completed in generated code towards this
          // one jumps here directly from now on.
          if (page && linkable && b->jit) jit_link(*linkable, *b, page->jit);
        }
        linkable = nullptr;
        if (JitFn fn = b->jit) {
          // Chaining only from a clean start: no HI/LO guard, no breakpoints.
          const uint64_t fuel = no_breakpoints && !guard ? budget - executed : 0;
          JitExit x = fn(&frame, l1, fuel);
          if (frame.fuel != fuel) {
            // Blocks completed and moved on: they are counted, and their
            // state is what the chained block started with.
            executed += fuel - frame.fuel;
            guard = 0;
            load_reg = uint8_t(frame.chain);
            load_partial = frame.chain >> 8;
            b = x.block;
            limit = b->n;
            ops = b->ops.data();
          }
          o = ops + x.op;
          next = frame.next;
          if (x.op == b->n && b->jit_edge[0].pc != 1) linkable = b;
        }
      }
      goto* kDispatch[size_t(o->code)];

      OP(Nop) NEXT;
      OP(Li) r[o->d] = o->imm; NEXT;
      OP(Move) r[o->d] = r[o->s]; NEXT;
      OP(Sll) r[o->d] = r[o->t] << o->imm; NEXT;
      OP(Srl) r[o->d] = r[o->t] >> o->imm; NEXT;
      OP(Sra) r[o->d] = uint32_t(int32_t(r[o->t]) >> o->imm); NEXT;
      OP(Sllv) r[o->d] = r[o->t] << (r[o->s] & 31); NEXT;
      OP(Srlv) r[o->d] = r[o->t] >> (r[o->s] & 31); NEXT;
      OP(Srav) r[o->d] = uint32_t(int32_t(r[o->t]) >> (r[o->s] & 31)); NEXT;
      OP(Mfhi) r[o->d] = hi; NEXT;
      OP(Mflo) r[o->d] = lo; NEXT;
      OP(Mthi) hi = r[o->s]; NEXT;
      OP(Mtlo) lo = r[o->s]; NEXT;
      OP(Mult) {
        int64_t p = int64_t(int32_t(r[o->s])) * int32_t(r[o->t]);
        lo = uint32_t(p);
        hi = uint32_t(uint64_t(p) >> 32);
      }
      NEXT;
      OP(Multu) {
        uint64_t p = uint64_t(r[o->s]) * r[o->t];
        lo = uint32_t(p);
        hi = uint32_t(p >> 32);
      }
      NEXT;
      OP(Div) {
        // Division by zero leaves what the R3000's divider produces:
        // LO = -1 for a non-negative dividend, +1 for a negative one,
        // HI = the dividend.  INT_MIN / -1 gives LO = INT_MIN, HI = 0.
        int32_t n = int32_t(r[o->s]), d = int32_t(r[o->t]);
        if (d == 0) {
          lo = n >= 0 ? 0xffffffffu : 1u;
          hi = uint32_t(n);
        } else if (n == INT32_MIN && d == -1) {
          lo = 0x80000000u;
          hi = 0;
        } else {
          lo = uint32_t(n / d);
          hi = uint32_t(n % d);
        }
      }
      NEXT;
      OP(Divu) {
        uint32_t n = r[o->s], d = r[o->t];
        if (d == 0) {  // all-ones quotient, the dividend as remainder
          lo = 0xffffffffu;
          hi = n;
        } else {
          lo = n / d;
          hi = n % d;
        }
      }
      NEXT;
      OP(Add) {
        int32_t v;
        if (__builtin_add_overflow(int32_t(r[o->s]), int32_t(r[o->t]), &v)) goto overflow;
        r[o->d] = uint32_t(v);
      }
      NEXT;
      OP(Sub) {
        int32_t v;
        if (__builtin_sub_overflow(int32_t(r[o->s]), int32_t(r[o->t]), &v)) goto overflow;
        r[o->d] = uint32_t(v);
      }
      NEXT;
      OP(Addi) {
        int32_t v;
        if (__builtin_add_overflow(int32_t(r[o->s]), int32_t(o->imm), &v)) goto overflow;
        r[o->d] = uint32_t(v);
      }
      NEXT;
      OP(Addu) r[o->d] = r[o->s] + r[o->t]; NEXT;
      OP(Subu) r[o->d] = r[o->s] - r[o->t]; NEXT;
      OP(And) r[o->d] = r[o->s] & r[o->t]; NEXT;
      OP(Or) r[o->d] = r[o->s] | r[o->t]; NEXT;
      OP(Xor) r[o->d] = r[o->s] ^ r[o->t]; NEXT;
      OP(Nor) r[o->d] = ~(r[o->s] | r[o->t]); NEXT;
      OP(Slt) r[o->d] = int32_t(r[o->s]) < int32_t(r[o->t]); NEXT;
      OP(Sltu) r[o->d] = r[o->s] < r[o->t]; NEXT;
      OP(Addiu) r[o->d] = r[o->s] + o->imm; NEXT;
      OP(Slti) r[o->d] = int32_t(r[o->s]) < int32_t(o->imm); NEXT;
      OP(Sltiu) r[o->d] = r[o->s] < o->imm; NEXT;
      OP(Andi) r[o->d] = r[o->s] & o->imm; NEXT;
      OP(Ori) r[o->d] = r[o->s] | o->imm; NEXT;
      OP(Xori) r[o->d] = r[o->s] ^ o->imm; NEXT;

      // Loads and stores: a fast path through the page table's host
      // pointers, the address space's own checks otherwise.
#define R3K_LOAD(CODE, SIZE, FAST, SLOW_FN, EXTEND)            \
  OP(CODE) {                                                 \
    uint32_t a = r[o->s] + o->imm;                           \
    uint8_t* p = l1[l1_index(a)]->rd[l2_index(a)];           \
    if (p && !(a & (SIZE - 1))) [[likely]] {                 \
      r[o->d] = EXTEND(FAST(p + page_offset(a)));            \
    } else {                                                 \
      uint32_t v;                                            \
      if ((err = space.SLOW_FN(a, v)) != MemError::None) {   \
        faddr = a;                                           \
        goto mem_fault;                                      \
      }                                                      \
      r[o->d] = EXTEND(v);                                   \
    }                                                        \
  }                                                          \
  NEXT;
#define R3K_BYTE(p) (*(p))
#define R3K_SEXT8(v) uint32_t(int32_t(int8_t(v)))
#define R3K_SEXT16(v) uint32_t(int32_t(int16_t(v)))
#define R3K_ZEXT(v) uint32_t(v)
      R3K_LOAD(Lb, 1, R3K_BYTE, load8, R3K_SEXT8)
      R3K_LOAD(Lbu, 1, R3K_BYTE, load8, R3K_ZEXT)
      R3K_LOAD(Lh, 2, be16, load16, R3K_SEXT16)
      R3K_LOAD(Lhu, 2, be16, load16, R3K_ZEXT)
      R3K_LOAD(Lw, 4, be32, load32, R3K_ZEXT)
#undef R3K_LOAD
#undef R3K_BYTE
#undef R3K_SEXT8
#undef R3K_SEXT16
#undef R3K_ZEXT
      OP(Lwl)
      OP(Lwr) {
        uint32_t a = r[o->s] + o->imm, aligned = a & ~3u, w;
        uint8_t* p = l1[l1_index(a)]->rd[l2_index(a)];
        if (p) [[likely]] {
          w = be32(p + page_offset(aligned));
        } else if ((err = space.load32(aligned, w)) != MemError::None) {
          faddr = a;
          goto mem_fault;
        }
        r[o->d] = o->code == OpCode::Lwl ? merge_lwl(w, r[o->t], a & 3)
                                         : merge_lwr(w, r[o->t], a & 3);
      }
      NEXT;

#define R3K_STORE(CODE, SIZE, WRITE, SLOW_FN)                  \
  OP(CODE) {                                                 \
    uint32_t a = r[o->s] + o->imm, v = r[o->t];              \
    uint8_t* p = l1[l1_index(a)]->wr[l2_index(a)];           \
    if (p && !(a & (SIZE - 1))) [[likely]] {                 \
      WRITE(p + page_offset(a), v);                          \
    } else {                                                 \
      uint64_t gen = mem.code_gen;                           \
      if ((err = space.SLOW_FN(a, v)) != MemError::None) {   \
        faddr = a;                                           \
        goto mem_fault;                                      \
      }                                                      \
      if (mem.code_gen != gen) goto code_changed;            \
    }                                                        \
  }                                                          \
  NEXT;
#define R3K_PUT8(p, v) (*(p) = uint8_t(v))
#define R3K_PUT16(p, v) ((p)[0] = uint8_t((v) >> 8), (p)[1] = uint8_t(v))
      R3K_STORE(Sb, 1, R3K_PUT8, store8)
      R3K_STORE(Sh, 2, R3K_PUT16, store16)
      R3K_STORE(Sw, 4, put_be32, store32)
#undef R3K_STORE
#undef R3K_PUT8
#undef R3K_PUT16
      OP(Swl)
      OP(Swr) {
        uint32_t a = r[o->s] + o->imm, v = r[o->t], k = a & 3;
        bool left = o->code == OpCode::Swl;
        uint8_t* p = l1[l1_index(a)]->wr[l2_index(a)];
        if (p) [[likely]] {
          uint8_t* q = p + page_offset(a & ~3u);
          left ? write_swl(q, v, k) : write_swr(q, v, k);
        } else {
          // Byte by byte through the checked path: the bytes share a page,
          // so the first decides for all.
          uint8_t q[4];
          uint32_t aligned = a & ~3u, first = left ? k : 0, last = left ? 3 : k;
          left ? write_swl(q, v, k) : write_swr(q, v, k);
          uint64_t gen = mem.code_gen;
          for (uint32_t j = first; j <= last; ++j) {
            if ((err = space.store8(aligned + j, q[j])) != MemError::None) {
              faddr = a;
              goto mem_fault;
            }
          }
          if (mem.code_gen != gen) goto code_changed;
        }
      }
      NEXT;

      OP(Beq) if (r[o->s] == r[o->t]) next = o->imm; NEXT;
      OP(Bne) if (r[o->s] != r[o->t]) next = o->imm; NEXT;
      OP(Blez) if (int32_t(r[o->s]) <= 0) next = o->imm; NEXT;
      OP(Bgtz) if (int32_t(r[o->s]) > 0) next = o->imm; NEXT;
      OP(Bltz) if (int32_t(r[o->s]) < 0) next = o->imm; NEXT;
      OP(Bgez) if (int32_t(r[o->s]) >= 0) next = o->imm; NEXT;
      // The link is written whether or not the branch is taken, and before
      // the delay slot runs (which sees it).  The delay slot is always the
      // block's last op, so the link is the address after the block.
      OP(Bltzal) {
        bool taken = int32_t(r[o->s]) < 0;
        r[31] = b->start + 4 * b->n;
        if (taken) next = o->imm;
      }
      NEXT;
      OP(Bgezal) {
        bool taken = int32_t(r[o->s]) >= 0;
        r[31] = b->start + 4 * b->n;
        if (taken) next = o->imm;
      }
      NEXT;
      OP(B)
      OP(J) next = o->imm; NEXT;
      OP(Jal) r[31] = b->start + 4 * b->n; next = o->imm; NEXT;
      OP(Jr) next = r[o->s]; NEXT;
      OP(Jalr) {
        uint32_t target = r[o->s];  // read before the link, in case rd == rs
        r[o->d] = o->imm;
        next = target;
      }
      NEXT;
      OP(Syscall) {
        i = uint32_t(o - ops) + 1;
        executed += i;
        pc = next;  // syscall ends its block: next is the resume address
        state_after(*b, i, load_reg, load_partial, guard);
        stop.reason = StopReason::Syscall;
        break;
      }
      OP(Fault) {
        fkind = FaultKind(o->d);
        freg = o->s;
        ffetch = o->t;
        faddr = o->imm;
        fop = uint32_t(o - ops);
        goto fault;
      }
#undef NEXT
#undef OP

    op_End:
      // Ran the whole block.
      executed += b->n;
      pc = next;
      if (guard) [[unlikely]]
        guard = std::max<uint8_t>(b->exit_guard, guard > b->n ? uint8_t(guard - b->n) : 0);
      else
        guard = b->exit_guard;
      load_reg = b->exit_load_reg;
      load_partial = b->exit_load_partial;
      // Chain straight into a linked successor when nothing needs a look.
      if (executed < budget && !guard && no_breakpoints) [[likely]] {
        Block* nb = b->link_pc[0] == pc ? b->link[0] : b->link_pc[1] == pc ? b->link[1] : nullptr;
        if (nb && !nb->spill &&
            !(load_reg &&
              ((load_partial ? nb->first_reads_partial : nb->first_reads) >> load_reg & 1))) {
          b = nb;
          limit = b->n;
          ops = o = b->ops.data();
          next = b->start + 4 * limit;
          goto whole_block;
        }
      }
      continue;

    op_EndPartial:
      if (hilo_at_1) {
        fkind = FaultKind::HiLoHazard;
        fop = 1;
        goto fault;
      }
      executed += limit;
      pc = next;
      state_after(*b, limit, load_reg, load_partial, guard);
      continue;

    code_changed:
      // A store rewrote decoded code, possibly this very block: leave it
      // and decode afresh from the next instruction.
      i = uint32_t(o - ops) + 1;
      executed += i;
      pc = i == limit ? next : b->pc_of(i);
      state_after(*b, i, load_reg, load_partial, guard);
      b = linkable = nullptr;
      mem.collect_garbage();
      continue;

    mem_fault:
      fkind = mem_fault_kind(err);
      fop = uint32_t(o - ops);
      goto fault;

    overflow:
      fkind = FaultKind::Overflow;
      fop = uint32_t(o - ops);
      goto fault;
    }

  fault:
    // The faulting op's effects are not done; the ones before it are.
    executed += fop;
    state_after(*b, fop, load_reg, load_partial, guard);
    pc = b->pc_of(fop);
    stop.reason = StopReason::Fault;
    stop.fault = Fault{};
    stop.fault.kind = fkind;
    stop.fault.pc = pc;
    stop.fault.insn = ffetch ? 0 : b->raw[fop];
    stop.fault.addr = ffetch || fkind == FaultKind::AddressError || fkind == FaultKind::BadAddress
                          ? faddr
                          : pc;
    stop.fault.in_delay_slot = b->has_delay && fop == b->n - 1;
    stop.fault.fetch = ffetch;
    stop.fault.reg = fkind == FaultKind::LoadDelayHazard ? freg : 0;
    break;
  }

  std::memcpy(state_.gpr, r, sizeof state_.gpr);
  state_.hi = hi;
  state_.lo = lo;
  state_.pc = pc;
  state_.load_reg = load_reg;
  state_.load_partial = load_partial;
  state_.hilo_guard = guard;
  stop.executed = executed;
  mem.collect_garbage();
  return stop;
}

}  // namespace r3k
