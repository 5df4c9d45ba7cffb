// One handler per op.  Each ends by calling the next op's handler in tail
// position, which the compiler turns into one indirect jump: the host
// predicts that jump per op, far better than one shared dispatch branch.
// A block ends at its End op, so even without tail calls the depth is
// bounded by the block's length.
#include "cpu/cpu_interp.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace r3k {

namespace {

// Per run of a block: what the handlers need besides the frame and the op,
// and how the run stopped.
struct Interp {
  L2Table* const* l1;
  AddressSpace* space;
  const uint64_t* code_gen;
  Block* block;   // the block running
  uint32_t link;  // the return address of a linking branch: the block's end
  const Op* ops;  // its op 0 (or its cut copy's), for indexes
  OpStop stop;
};

// The fuel the handlers get at a time: bounds the blocks they move on to
// before interpret() has a look, and so the stack, should the compiler not
// turn their tail calls into jumps.
constexpr uint64_t kFuelPerLook = 4096;

// Handlers return the op where the run stopped (its End, a syscall or
// fault op, or an op that left the details in Interp::stop), so that
// passing control on is a plain jump.
using Handler = const Op* (*)(RunFrame* f, const Op* o, Interp* x);

#define R3K_DECLARE(name) const Op* op_##name(RunFrame* f, const Op* o, Interp* x);
R3K_OPCODES(R3K_DECLARE)
#undef R3K_DECLARE

#define R3K_HANDLER(name) &op_##name,
const Handler kHandlers[] = {R3K_OPCODES(R3K_HANDLER)};
#undef R3K_HANDLER

#if defined(__clang__)
#define R3K_MUSTTAIL [[clang::musttail]]
#else
#define R3K_MUSTTAIL  // GCC makes these sibling calls from -O2 on
#endif
// Goes on with the op after o.
#define R3K_NEXT R3K_MUSTTAIL return kHandlers[size_t(o[1].code)](f, o + 1, x)

uint32_t index_of(const Interp* x, const Op* o) { return uint32_t(o - x->ops); }

// The rare stops of ordinary ops: the details go into x->stop.

// After an op whose memory access dropped decoded code: a store over code,
// or room made for a page the access needed.
const Op* code_changed(Interp* x, const Op* o, uint32_t addr, uint8_t bytes) {
  x->stop = OpStop{OpStop::CodeChanged, index_of(x, o)};
  x->stop.addr = addr;
  x->stop.bytes = bytes;
  return o;
}

const Op* fault_at(Interp* x, const Op* o, FaultKind kind, uint32_t addr = 0) {
  x->stop = OpStop{OpStop::Fault, index_of(x, o)};
  x->stop.fault = kind;
  x->stop.addr = addr;
  return o;
}

// ---- memory ------------------------------------------------------------------

template <uint32_t Size>
uint32_t read_be(const uint8_t* p) {
  if constexpr (Size == 1) {
    return *p;
  } else if constexpr (Size == 2) {
    return uint32_t(p[0]) << 8 | p[1];
  } else {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
  }
}

template <uint32_t Size>
void write_be(uint8_t* p, uint32_t v) {
  if constexpr (Size == 1) {
    *p = uint8_t(v);
  } else if constexpr (Size == 2) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
  } else {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
  }
}

template <uint32_t Size>
MemError checked_load(AddressSpace& space, uint32_t a, uint32_t& v) {
  if constexpr (Size == 1) return space.load8(a, v);
  if constexpr (Size == 2) return space.load16(a, v);
  return space.load32(a, v);
}

template <uint32_t Size>
MemError checked_store(AddressSpace& space, uint32_t a, uint32_t v) {
  if constexpr (Size == 1) return space.store8(a, v);
  if constexpr (Size == 2) return space.store16(a, v);
  return space.store32(a, v);
}

template <uint32_t Size, bool Signed>
uint32_t extend(uint32_t v) {
  if constexpr (!Signed) return v;
  if constexpr (Size == 1) return uint32_t(int32_t(int8_t(v)));
  return uint32_t(int32_t(int16_t(v)));
}

// A fast path through the page table's host pointers; the address
// space's own checks, out of line, otherwise.
template <uint32_t Size, bool Signed>
[[gnu::noinline, gnu::cold]] const Op* load_checked(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm, v;
  const uint64_t gen = *x->code_gen;
  if (MemError e = checked_load<Size>(*x->space, a, v); e != MemError::None) return fault_at(x, o, fault_kind(e), a);
  f->r[o->d] = extend<Size, Signed>(v);
  if (*x->code_gen != gen) return code_changed(x, o, a, 0);
  R3K_NEXT;
}

template <uint32_t Size, bool Signed>
[[gnu::always_inline]] inline const Op* load(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm;
  uint8_t* p = x->l1[l1_index(a)]->rd[l2_index(a)];
  if (!p || (a & (Size - 1))) [[unlikely]] {
    R3K_MUSTTAIL return load_checked<Size, Signed>(f, o, x);
  }
  f->r[o->d] = extend<Size, Signed>(read_be<Size>(p + page_offset(a)));
  R3K_NEXT;
}

template <uint32_t Size>
[[gnu::noinline, gnu::cold]] const Op* store_checked(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm;
  const uint64_t gen = *x->code_gen;
  if (MemError e = checked_store<Size>(*x->space, a, f->r[o->t]); e != MemError::None)
    return fault_at(x, o, fault_kind(e), a);
  if (*x->code_gen != gen) return code_changed(x, o, a, Size);
  R3K_NEXT;
}

template <uint32_t Size>
[[gnu::always_inline]] inline const Op* store(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm;
  uint8_t* p = x->l1[l1_index(a)]->wr[l2_index(a)];
  if (!p || (a & (Size - 1))) [[unlikely]] {
    R3K_MUSTTAIL return store_checked<Size>(f, o, x);
  }
  write_be<Size>(p + page_offset(a), f->r[o->t]);
  R3K_NEXT;
}

// The bytes lwl/lwr/swl/swr move, big-endian: k is the address's byte
// offset in its word, w the aligned memory word, v the register.
uint32_t merge_lwl(uint32_t w, uint32_t v, uint32_t k) { return (w << (8 * k)) | (v & ((1u << (8 * k)) - 1)); }
uint32_t merge_lwr(uint32_t w, uint32_t v, uint32_t k) {
  uint32_t sh = 8 * (3 - k);
  return (w >> sh) | (v & ~(0xffffffffu >> sh));
}
// Writes the swl/swr bytes into the 4-byte word at q.
void write_swl(uint8_t* q, uint32_t v, uint32_t k) {
  for (uint32_t j = k; j < 4; ++j) q[j] = uint8_t(v >> (24 - 8 * (j - k)));
}
void write_swr(uint8_t* q, uint32_t v, uint32_t k) {
  for (uint32_t j = 0; j <= k; ++j) q[j] = uint8_t(v >> (8 * (k - j)));
}

template <bool Left>
[[gnu::always_inline]] inline const Op* load_partial(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm, aligned = a & ~3u, w;
  uint8_t* p = x->l1[l1_index(a)]->rd[l2_index(a)];
  bool changed = false;
  if (p) [[likely]] {
    w = read_be<4>(p + page_offset(aligned));
  } else {
    const uint64_t gen = *x->code_gen;
    if (MemError e = x->space->load32(aligned, w); e != MemError::None) return fault_at(x, o, fault_kind(e), a);
    changed = *x->code_gen != gen;
  }
  f->r[o->d] = Left ? merge_lwl(w, f->r[o->t], a & 3) : merge_lwr(w, f->r[o->t], a & 3);
  if (changed) [[unlikely]]
    return code_changed(x, o, a, 0);
  R3K_NEXT;
}

template <bool Left>
[[gnu::always_inline]] inline const Op* store_partial(RunFrame* f, const Op* o, Interp* x) {
  uint32_t a = f->r[o->s] + o->imm, v = f->r[o->t], k = a & 3;
  uint8_t* p = x->l1[l1_index(a)]->wr[l2_index(a)];
  if (p) [[likely]] {
    uint8_t* q = p + page_offset(a & ~3u);
    Left ? write_swl(q, v, k) : write_swr(q, v, k);
    R3K_NEXT;
  }
  // Byte by byte through the checked path: the bytes share a page, so the
  // first decides for all.
  uint8_t q[4];
  uint32_t aligned = a & ~3u, first = Left ? k : 0, last = Left ? 3 : k;
  Left ? write_swl(q, v, k) : write_swr(q, v, k);
  const uint64_t gen = *x->code_gen;
  for (uint32_t j = first; j <= last; ++j)
    if (MemError e = x->space->store8(aligned + j, q[j]); e != MemError::None) return fault_at(x, o, fault_kind(e), a);
  if (*x->code_gen != gen) return code_changed(x, o, aligned, 4);
  R3K_NEXT;
}

}  // namespace

// ---- the handlers ------------------------------------------------------------

#define R3K_OP(name) const Op* op_##name(RunFrame* f, const Op* o, Interp* x)
#define R3K_SIMPLE(name, effect) \
  R3K_OP(name) {                 \
    effect;                      \
    R3K_NEXT;                    \
  }
namespace {

R3K_OP(Nop) { R3K_NEXT; }
R3K_SIMPLE(Li, f->r[o->d] = o->imm)
R3K_SIMPLE(Move, f->r[o->d] = f->r[o->s])
R3K_SIMPLE(Sll, f->r[o->d] = f->r[o->t] << o->imm)
R3K_SIMPLE(Srl, f->r[o->d] = f->r[o->t] >> o->imm)
R3K_SIMPLE(Sra, f->r[o->d] = uint32_t(int32_t(f->r[o->t]) >> o->imm))
R3K_SIMPLE(Sllv, f->r[o->d] = f->r[o->t] << (f->r[o->s] & 31))
R3K_SIMPLE(Srlv, f->r[o->d] = f->r[o->t] >> (f->r[o->s] & 31))
R3K_SIMPLE(Srav, f->r[o->d] = uint32_t(int32_t(f->r[o->t]) >> (f->r[o->s] & 31)))
R3K_SIMPLE(Mfhi, f->r[o->d] = f->hi)
R3K_SIMPLE(Mflo, f->r[o->d] = f->lo)
R3K_SIMPLE(Mthi, f->hi = f->r[o->s])
R3K_SIMPLE(Mtlo, f->lo = f->r[o->s])
R3K_OP(Mult) {
  int64_t p = int64_t(int32_t(f->r[o->s])) * int32_t(f->r[o->t]);
  f->lo = uint32_t(p);
  f->hi = uint32_t(uint64_t(p) >> 32);
  R3K_NEXT;
}
R3K_OP(Multu) {
  uint64_t p = uint64_t(f->r[o->s]) * f->r[o->t];
  f->lo = uint32_t(p);
  f->hi = uint32_t(p >> 32);
  R3K_NEXT;
}
R3K_OP(Div) {
  // Division by zero leaves what the R3000's divider produces: LO = -1 for
  // a non-negative dividend, +1 for a negative one, HI = the dividend.
  // INT_MIN / -1 gives LO = INT_MIN, HI = 0.
  int32_t n = int32_t(f->r[o->s]), d = int32_t(f->r[o->t]);
  if (d == 0) {
    f->lo = n >= 0 ? 0xffffffffu : 1u;
    f->hi = uint32_t(n);
  } else if (n == INT32_MIN && d == -1) {
    f->lo = 0x80000000u;
    f->hi = 0;
  } else {
    f->lo = uint32_t(n / d);
    f->hi = uint32_t(n % d);
  }
  R3K_NEXT;
}
R3K_OP(Divu) {
  uint32_t n = f->r[o->s], d = f->r[o->t];
  f->lo = d ? n / d : 0xffffffffu;  // by zero: all-ones quotient, the dividend as remainder
  f->hi = d ? n % d : n;
  R3K_NEXT;
}
R3K_OP(Add) {
  int32_t v;
  if (__builtin_add_overflow(int32_t(f->r[o->s]), int32_t(f->r[o->t]), &v)) return fault_at(x, o, FaultKind::Overflow);
  f->r[o->d] = uint32_t(v);
  R3K_NEXT;
}
R3K_OP(Sub) {
  int32_t v;
  if (__builtin_sub_overflow(int32_t(f->r[o->s]), int32_t(f->r[o->t]), &v)) return fault_at(x, o, FaultKind::Overflow);
  f->r[o->d] = uint32_t(v);
  R3K_NEXT;
}
R3K_OP(Addi) {
  int32_t v;
  if (__builtin_add_overflow(int32_t(f->r[o->s]), int32_t(o->imm), &v)) return fault_at(x, o, FaultKind::Overflow);
  f->r[o->d] = uint32_t(v);
  R3K_NEXT;
}
R3K_SIMPLE(Addu, f->r[o->d] = f->r[o->s] + f->r[o->t])
R3K_SIMPLE(Subu, f->r[o->d] = f->r[o->s] - f->r[o->t])
R3K_SIMPLE(And, f->r[o->d] = f->r[o->s] & f->r[o->t])
R3K_SIMPLE(Or, f->r[o->d] = f->r[o->s] | f->r[o->t])
R3K_SIMPLE(Xor, f->r[o->d] = f->r[o->s] ^ f->r[o->t])
R3K_SIMPLE(Nor, f->r[o->d] = ~(f->r[o->s] | f->r[o->t]))
R3K_SIMPLE(Slt, f->r[o->d] = int32_t(f->r[o->s]) < int32_t(f->r[o->t]))
R3K_SIMPLE(Sltu, f->r[o->d] = f->r[o->s] < f->r[o->t])
R3K_SIMPLE(Addiu, f->r[o->d] = f->r[o->s] + o->imm)
R3K_SIMPLE(Slti, f->r[o->d] = int32_t(f->r[o->s]) < int32_t(o->imm))
R3K_SIMPLE(Sltiu, f->r[o->d] = f->r[o->s] < o->imm)
R3K_SIMPLE(Andi, f->r[o->d] = f->r[o->s] & o->imm)
R3K_SIMPLE(Ori, f->r[o->d] = f->r[o->s] | o->imm)
R3K_SIMPLE(Xori, f->r[o->d] = f->r[o->s] ^ o->imm)

// Sizes and signs as the instruction table has them.
#define R3K_LOAD(name)                                            \
  R3K_OP(name) {                                                  \
    constexpr const insn::Row& r = insn::row_of_op(OpCode::name); \
    return load<r.size, r.has(insn::kSigned)>(f, o, x);           \
  }
#define R3K_STORE(name) \
  R3K_OP(name) { return store<insn::row_of_op(OpCode::name).size>(f, o, x); }
R3K_LOAD(Lb)
R3K_LOAD(Lbu)
R3K_LOAD(Lh)
R3K_LOAD(Lhu)
R3K_LOAD(Lw)
R3K_OP(Lwl) { return load_partial<true>(f, o, x); }
R3K_OP(Lwr) { return load_partial<false>(f, o, x); }
R3K_STORE(Sb)
R3K_STORE(Sh)
R3K_STORE(Sw)
R3K_OP(Swl) { return store_partial<true>(f, o, x); }
R3K_OP(Swr) { return store_partial<false>(f, o, x); }

// A branch sets where the block goes after its delay slot (the block's
// last op).  A linking one writes the link whether or not it is taken,
// before the delay slot runs (which sees it).
R3K_SIMPLE(Beq, if (f->r[o->s] == f->r[o->t]) f->next = o->imm)
R3K_SIMPLE(Bne, if (f->r[o->s] != f->r[o->t]) f->next = o->imm)
R3K_SIMPLE(Blez, if (int32_t(f->r[o->s]) <= 0) f->next = o->imm)
R3K_SIMPLE(Bgtz, if (int32_t(f->r[o->s]) > 0) f->next = o->imm)
R3K_SIMPLE(Bltz, if (int32_t(f->r[o->s]) < 0) f->next = o->imm)
R3K_SIMPLE(Bgez, if (int32_t(f->r[o->s]) >= 0) f->next = o->imm)
R3K_OP(Bltzal) {
  bool taken = int32_t(f->r[o->s]) < 0;  // before the link: rs may be ra
  f->r[regs::ra] = x->link;
  if (taken) f->next = o->imm;
  R3K_NEXT;
}
R3K_OP(Bgezal) {
  bool taken = int32_t(f->r[o->s]) >= 0;
  f->r[regs::ra] = x->link;
  if (taken) f->next = o->imm;
  R3K_NEXT;
}
R3K_SIMPLE(B, f->next = o->imm)
R3K_SIMPLE(J, f->next = o->imm)
R3K_OP(Jal) {
  f->r[regs::ra] = x->link;
  f->next = o->imm;
  R3K_NEXT;
}
R3K_SIMPLE(Jr, f->next = f->r[o->s])
R3K_OP(Jalr) {
  uint32_t target = f->r[o->s];  // before the link, in case rd == rs
  f->r[o->d] = o->imm;
  f->next = target;
  R3K_NEXT;
}

// A syscall the hook serves is done and the block goes on; otherwise it
// stops, as a fault does, where it stands: interpret() reads the details
// off the op.
R3K_OP(Syscall) {
  (void)x;
  if (const SyscallHook* h = f->syscall; h && h->serve(h->context, f->r)) R3K_NEXT;
  return o;
}
R3K_OP(Fault) {
  (void)f, (void)x;
  return o;
}
// A block that ran whole moves straight on to a successor the dispatcher
// has met, while the fuel lasts and may_chain allows, as generated code
// does: the fuel and the exit record in the frame say how far it got.
R3K_OP(End) {
  Block& b = *x->block;
  if (f->fuel <= b.n || o != b.ops + b.n) return o;  // not a cut copy's
  Block* next = b.chains_to(f->next);
  if (!next) return o;
  f->fuel -= b.n;
  f->pending = b.exit.load;
  x->block = next;
  o = x->ops = next->ops;
  x->link = f->next = next->end_pc();
  R3K_MUSTTAIL return kHandlers[size_t(o->code)](f, o, x);
}

}  // namespace

#undef R3K_LOAD
#undef R3K_STORE
#undef R3K_SIMPLE
#undef R3K_OP
#undef R3K_NEXT
#undef R3K_MUSTTAIL

OpStop interpret(const OpContext& ctx, Block& b, const Op* ops, uint32_t from) {
  RunFrame& f = ctx.frame;
  // Fuel held back from the handlers: all of it unless they may move on.
  uint64_t reserve = ctx.move_on ? f.fuel - std::min(f.fuel, kFuelPerLook) : f.fuel;
  f.fuel -= reserve;
  Interp x{ctx.l1, &ctx.space, &ctx.code_gen, &b, b.end_pc(), ops, {}};
  const Op* at = kHandlers[size_t(ops[from].code)](&f, ops + from, &x);
  while (at->code == OpCode::End && ctx.move_on && reserve) {
    const uint64_t more = std::min(reserve, kFuelPerLook), before = f.fuel + more;
    f.fuel = before;
    reserve -= more;
    at = op_End(&f, at, &x);
    if (f.fuel == before) break;  // it did not move on: not for want of fuel
  }
  f.fuel += reserve;
  f.exit_block = x.block;
  const uint32_t k = uint32_t(at - x.ops);
  switch (at->code) {
    case OpCode::End: return OpStop{OpStop::End, k};
    case OpCode::Syscall: return OpStop{OpStop::Syscall, k};
    case OpCode::Fault: return OpStop{OpStop::Fault, k, FaultKind(at->d), at->s, at->t != 0, at->imm};
    default: return x.stop;
  }
}

}  // namespace r3k
