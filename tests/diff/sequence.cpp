#include "diff/sequence.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <random>

#include "r3k/cpu.h"
#include "support/mips_encode.h"

namespace r3k::diff {

namespace {

using namespace enc;

constexpr uint32_t bit(uint32_t r) { return 1u << r; }

// ---- what an instruction does, as far as the hazards are concerned --------
// Written here from the instruction set, not taken from r3krun, so that the
// generator does not share r3krun's mistakes.

uint32_t op_of(uint32_t w) { return w >> 26; }
uint32_t rs_of(uint32_t w) { return (w >> 21) & 31; }
uint32_t rt_of(uint32_t w) { return (w >> 16) & 31; }
uint32_t funct_of(uint32_t w) { return w & 63; }

bool is_load(uint32_t w) {
  uint32_t op = op_of(w);
  return op == 0x20 || op == 0x21 || op == 0x22 || op == 0x23 || op == 0x24 || op == 0x25 || op == 0x26;
}
bool is_partial_load(uint32_t w) { return op_of(w) == 0x22 || op_of(w) == 0x26; }
bool is_mf(uint32_t w) { return op_of(w) == 0 && (funct_of(w) == 0x10 || funct_of(w) == 0x12); }
bool writes_hilo(uint32_t w) {
  if (op_of(w) != 0) return false;
  uint32_t f = funct_of(w);
  return f == 0x11 || f == 0x13 || (f >= 0x18 && f <= 0x1b);
}

// General registers the instruction reads.
uint32_t reads(uint32_t w) {
  uint32_t op = op_of(w), rs = bit(rs_of(w)), rt = bit(rt_of(w)), m = 0;
  switch (op) {
    case 0x00:
      switch (funct_of(w)) {
        case 0x00:
        case 0x02:
        case 0x03: m = rt; break;  // shifts by sa
        case 0x08:
        case 0x09:
        case 0x11:
        case 0x13: m = rs; break;  // jr jalr mthi mtlo
        case 0x0c:
        case 0x0d:
        case 0x10:
        case 0x12: m = 0; break;  // syscall break mfhi mflo
        default: m = rs | rt; break;
      }
      break;
    case 0x01:
    case 0x06:
    case 0x07: m = rs; break;  // regimm, blez, bgtz
    case 0x02:
    case 0x03:
    case 0x0f: m = 0; break;  // j jal lui
    case 0x04:
    case 0x05: m = rs | rt; break;
    case 0x22:
    case 0x26: m = rs | rt; break;  // lwl lwr merge into rt
    default:
      m = op >= 0x28 ? rs | rt : rs;  // stores read the value too
      break;
  }
  return m & ~1u;
}

// Hazard context: what the next instruction executed must respect.
struct Ctx {
  uint32_t forbid = 0;  // registers it must not read
  int merge_reg = -1;   // an lwl/lwr into this register may still read it
  int hilo_block = 0;   // instructions that still must not write HI/LO

  bool allows(uint32_t w) const {
    uint32_t r = reads(w);
    if (merge_reg > 0 && is_partial_load(w) && int(rt_of(w)) == merge_reg && rs_of(w) != rt_of(w))
      r &= ~bit(uint32_t(merge_reg));
    if (r & forbid) return false;
    return !(writes_hilo(w) && hilo_block > 0);
  }
  Ctx after(uint32_t w) const {
    Ctx n;
    if (is_load(w) && rt_of(w) != 0) {
      n.forbid = bit(rt_of(w));
      if (is_partial_load(w)) n.merge_reg = int(rt_of(w));
    }
    n.hilo_block = is_mf(w) ? 2 : std::max(0, hilo_block - 1);
    return n;
  }
  // Two ways of reaching one instruction: it must suit both.
  void join(const Ctx& o) {
    if (merge_reg != o.merge_reg) {
      forbid |= merge_reg > 0 ? bit(uint32_t(merge_reg)) : 0;
      forbid |= o.merge_reg > 0 ? bit(uint32_t(o.merge_reg)) : 0;
      merge_reg = -1;
    }
    forbid |= o.forbid;
    hilo_block = std::max(hilo_block, o.hilo_block);
  }
};

const uint32_t kEdgeValues[] = {0,           1,           0xffffffffu, 0x7fffffffu, 0x80000000u,
                                0x00008000u, 0x00007fffu, 0x0000ffffu, 0xffff8000u, 0x80000001u,
                                0x7ffffffeu, 31,          32,          0xfffffffeu};
const int32_t kEdgeImm[] = {0, 1, -1, 0x7fff, -0x8000, 2, -2, 0x7ffe};
const uint32_t kEdgeUimm[] = {0, 1, 0xffff, 0x7fff, 0x8000, 0xfffe};
const uint32_t kEdgeShift[] = {0, 1, 31, 16, 30};

// A forward branch or jump waiting for its target: the start of the item
// that many items ahead (0: right after its delay slot), or the segment's end.
struct Pending {
  size_t at;  // index of the word to patch
  int items_left;
  enum Kind : uint8_t { Branch, Jump, LuiOri } kind;
  Ctx ctx;  // what its delay slot leaves behind
};

class Gen {
 public:
  Gen(uint64_t seed, const GenOptions& o) : rng_(seed), opts_(o) {}

  Sequence run() {
    Sequence s;
    base_ = Reg(pick_reg_from(v0, fp));
    base_val_ = kSeqData + 0x1000 + 4 * uint32_t(range(-0x200, 0x1ff));
    reserved_ = bit(base_) | 1;
    for (int i = 1; i < 32; ++i) s.gpr[i] = value();
    s.gpr[base_] = base_val_;
    s.hi = value();
    s.lo = value();
    // Often close before a page boundary, so that blocks and delay slots
    // straddle it.
    start_ = chance(50) ? kSeqCode + kPageSize - 4 * uint32_t(range(1, 160)) : kSeqCode + 4 * uint32_t(range(0, 1023));
    s.start = start_;
    s.data.resize(kSeqDataSize);
    for (auto& b : s.data) b = uint8_t(rng_());
    s.rodata.resize(kSeqRodataSize);
    for (auto& b : s.rodata) b = uint8_t(rng_());
    // Some edge words in memory too.
    for (int k = 0; k < 64; ++k) {
      uint32_t at = 4 * uint32_t(range(0, kSeqDataSize / 4 - 1)), v = value();
      for (int j = 0; j < 4; ++j) s.data[at + j] = uint8_t(v >> (24 - 8 * j));
    }

    segment(int(range(opts_.min_items, opts_.max_items)), 0);
    emit(syscall());  // the end
    s.code = code_;
    s.seed = 0;
    return s;
  }

 private:
  std::mt19937_64 rng_;
  GenOptions opts_;
  std::vector<uint32_t> code_;
  Ctx ctx_;                // after the last word, in program order
  uint32_t reserved_ = 1;  // never written: base register, loop counters, zero
  Reg base_ = s0;
  uint32_t base_val_ = 0;
  uint32_t start_ = kSeqCode;
  uint32_t keep_ = 0;                        // registers a branch's link must not overwrite
  std::vector<Pending>* pending_ = nullptr;  // of the current segment

  int64_t range(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng_); }
  bool chance(int percent) { return range(0, 99) < percent; }
  template <typename T, size_t N>
  T pick(const T (&a)[N]) {
    return a[range(0, N - 1)];
  }
  uint32_t value() { return chance(60) ? pick(kEdgeValues) : uint32_t(rng_()); }
  int32_t simm() { return chance(50) ? pick(kEdgeImm) : int32_t(range(-0x8000, 0x7fff)); }
  uint32_t uimm() { return chance(50) ? pick(kEdgeUimm) : uint32_t(range(0, 0xffff)); }
  uint32_t shamt() { return chance(60) ? pick(kEdgeShift) : uint32_t(range(0, 31)); }
  uint32_t pick_reg_from(int lo, int hi) { return uint32_t(range(lo, hi)); }
  Reg src() { return Reg(range(zero, ra)); }  // anything, the base register included
  // A destination: never a reserved register; $zero now and then.
  Reg dst() {
    if (chance(3)) return zero;
    for (;;) {
      Reg r = Reg(range(at, ra));
      if (!(reserved_ & bit(r))) return r;
    }
  }
  Reg dst_nonzero() {
    for (;;) {
      Reg r = dst();
      if (r != zero) return r;
    }
  }

  void emit(uint32_t w) {
    code_.push_back(w);
    ctx_ = ctx_.after(w);
  }

  // Commits the words if each suits its place; false (nothing emitted) if not.
  bool try_emit(const std::vector<uint32_t>& ws, Ctx start) {
    Ctx c = start;
    for (uint32_t w : ws) {
      if (!c.allows(w)) return false;
      c = c.after(w);
    }
    for (uint32_t w : ws) code_.push_back(w);
    ctx_ = c;
    return true;
  }

  // ---- straight-line instructions ------------------------------------------

  uint32_t alu() {
    Reg d = dst(), s = src(), t = src();
    switch (range(0, 9)) {
      case 0: return add(d, s, t);
      case 1: return addu(d, s, t);
      case 2: return sub(d, s, t);
      case 3: return subu(d, s, t);
      case 4: return and_(d, s, t);
      case 5: return or_(d, s, t);
      case 6: return xor_(d, s, t);
      case 7: return nor(d, s, t);
      case 8: return slt(d, s, t);
      default: return sltu(d, s, t);
    }
  }
  uint32_t alu_imm() {
    Reg d = dst(), s = src();
    switch (range(0, 7)) {
      case 0: return addi(d, s, simm());
      case 1: return addiu(d, s, simm());
      case 2: return slti(d, s, simm());
      case 3: return sltiu(d, s, simm());
      case 4: return andi(d, s, uimm());
      case 5: return ori(d, s, uimm());
      case 6: return xori(d, s, uimm());
      default: return lui(d, uimm());
    }
  }
  uint32_t shift() {
    Reg d = dst(), t = src(), s = src();
    switch (range(0, 5)) {
      case 0: return sll(d, t, shamt());
      case 1: return srl(d, t, shamt());
      case 2: return sra(d, t, shamt());
      case 3: return sllv(d, t, s);
      case 4: return srlv(d, t, s);
      default: return srav(d, t, s);
    }
  }
  uint32_t hilo_move() {
    switch (range(0, 3)) {
      case 0: return mfhi(dst());
      case 1: return mflo(dst());
      case 2: return mthi(src());
      default: return mtlo(src());
    }
  }
  uint32_t multiply() { return chance(50) ? mult(src(), src()) : multu(src(), src()); }

  // An address in the data area for an access of `size` bytes, aligned to
  // `align`.
  uint32_t data_addr(uint32_t size, uint32_t align) {
    uint32_t a = kSeqData + uint32_t(range(0, kSeqDataSize - size));
    return a & ~(align - 1);
  }
  int32_t off_from_base(uint32_t addr) { return int32_t(addr - base_val_); }

  // A load or store of the data area through the base register.
  uint32_t mem_op(uint32_t addr, int kind, Reg r) {
    int32_t off = off_from_base(addr);
    switch (kind) {
      case 0: return lb(r, off, base_);
      case 1: return lbu(r, off, base_);
      case 2: return lh(r, off, base_);
      case 3: return lhu(r, off, base_);
      case 4: return lw(r, off, base_);
      case 5: return lwl(r, off, base_);
      case 6: return lwr(r, off, base_);
      case 7: return sb(r, off, base_);
      case 8: return sh(r, off, base_);
      case 9: return sw(r, off, base_);
      case 10: return swl(r, off, base_);
      default: return swr(r, off, base_);
    }
  }
  static uint32_t size_of(int kind) {
    static const uint32_t sizes[] = {1, 1, 2, 2, 4, 1, 1, 1, 2, 4, 1, 1};
    return sizes[kind];
  }
  uint32_t memory() {
    int kind = int(range(0, 11));
    uint32_t size = size_of(kind);
    bool store = kind >= 7;
    uint32_t a = data_addr(size, size);
    if (!store && chance(15)) a = kSeqRodata + (a - kSeqData) % (kSeqRodataSize - 3);
    return mem_op(a & ~(size - 1), kind, store ? src() : dst());
  }

  // One instruction that may sit anywhere: in a delay slot too.
  uint32_t single() {
    switch (range(0, 99) / 10) {
      case 0:
      case 1: return alu();
      case 2: return alu_imm();
      case 3: return shift();
      case 4: return hilo_move();
      case 5: return multiply();
      case 6:
      case 7:
      case 8: return memory();
      default:
        if (opts_.faults && chance(10)) return break_(uint32_t(range(0, 1023)));
        return alu_imm();
    }
  }

  // Several instructions that belong together (only the first is a target).
  std::vector<uint32_t> group() {
    switch (range(0, 9)) {
      case 0: {  // a divisor made non-zero just before, then a division
        Reg d = dst_nonzero();
        uint32_t set;
        switch (range(0, 4)) {
          case 0: set = ori(d, d, 1u << range(0, 15)); break;
          case 1: set = addiu(d, zero, chance(50) ? -1 : int32_t(range(1, 0x7fff))); break;
          case 2: set = lui(d, uint32_t(range(1, 0xffff))); break;
          case 3: set = nor(d, zero, zero); break;
          default: set = ori(d, d, 0x8000); break;
        }
        Reg n = chance(80) ? src() : d;
        return {set, chance(50) ? div(n, d) : divu(n, d)};
      }
      case 1: {  // mfhi/mflo read back after a multiply or divide
        Reg a = src(), b = src();
        return {chance(50) ? mult(a, b) : multu(a, b), mfhi(dst()), mflo(dst())};
      }
      case 2: {  // an unaligned word: lwl/lwr pair on one register, either order
        uint32_t a = data_addr(4, 1);
        Reg r = dst();
        uint32_t l = lwl(r, off_from_base(a), base_), rr = lwr(r, off_from_base(a + 3), base_);
        return chance(50) ? std::vector<uint32_t>{l, rr} : std::vector<uint32_t>{rr, l};
      }
      case 3: {  // and the matching store pair
        uint32_t a = data_addr(4, 1);
        Reg r = src();
        return {swl(r, off_from_base(a), base_), swr(r, off_from_base(a + 3), base_)};
      }
      case 4: {  // another base register, derived from the base
        Reg b = dst_nonzero();
        int32_t k = int32_t(range(-0x100, 0x100)) * 4;
        int kind = int(range(0, 11));
        uint32_t size = size_of(kind);
        uint32_t a = data_addr(size, size);
        int32_t off = int32_t(a - (base_val_ + uint32_t(k)));
        Reg r = kind >= 7 ? src() : dst();
        uint32_t w = mem_op(a, kind, r);
        w = (w & ~(0x1fu << 21 | 0xffffu)) | uint32_t(b) << 21 | (uint32_t(off) & 0xffff);
        return {addiu(b, base_, k), w};
      }
      case 5: {  // an edge value built in a register
        Reg d = dst_nonzero();
        uint32_t v = pick(kEdgeValues);
        return {lui(d, v >> 16), ori(d, d, v & 0xffff)};
      }
      case 6: {  // a read-modify-write of one data word
        uint32_t a = data_addr(4, 4);
        Reg r = dst_nonzero();
        return {lw(r, off_from_base(a), base_), nop(), addiu(r, r, simm()), sw(r, off_from_base(a), base_)};
      }
      case 7:
        if (opts_.faults && chance(40)) return fault_probe();
        [[fallthrough]];
      default: return {single(), single()};
    }
  }

  // A load or store of any width through base b at off.
  uint32_t any_access(Reg b, int32_t off) {
    static const uint32_t ops[] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x28, 0x29, 0x2a, 0x2b, 0x2e};
    uint32_t op = pick(ops);
    return itype(op, b, op >= 0x28 ? src() : dst(), off);
  }

  // An access that must fault the same way on both sides.
  std::vector<uint32_t> fault_probe() {
    switch (range(0, 6)) {
      case 0: {  // unaligned halfword or word
        int kind = int(range(0, 4));
        static const int kinds[] = {2, 3, 4, 8, 9};
        uint32_t size = size_of(kinds[kind]);
        uint32_t a = data_addr(size, 1) | 1;
        bool store = kinds[kind] >= 7;
        return {mem_op(a, kinds[kind], store ? src() : dst())};
      }
      case 1: {  // unmapped
        Reg b = dst_nonzero();
        return {lui(b, 0x2000), any_access(b, int32_t(range(0, 0x40)) * 4 + int32_t(range(0, 3)))};
      }
      case 2: {  // outside user space, or just over its top
        Reg b = dst_nonzero();
        static const uint32_t hi[] = {0x8000, 0xa000, 0x8010};
        if (chance(30)) return {lui(b, 0x7fff), ori(b, b, 0xfff8), any_access(b, 8 + int32_t(range(0, 7)))};
        return {lui(b, pick(hi)), any_access(b, int32_t(range(0, 0x40)) * 4 + int32_t(range(0, 3)))};
      }
      case 3: {  // a store into the read-only page
        Reg b = dst_nonzero();
        uint32_t a = kSeqRodata + 4 * uint32_t(range(0, kSeqRodataSize / 4 - 1));
        return {lui(b, a >> 16), sw(src(), int32_t(a & 0xffff), b)};
      }
      case 4: {  // encodings reserved on both sides
        static const uint32_t words[] = {0x0000000e, 0x0000003f, 0xfc000000};
        uint32_t w = pick(words);
        if (w == 0xfc000000) w |= uint32_t(rng_()) & 0x03ffffff;  // op 0x3f whatever its fields
        return {w};
      }
      case 5: {  // a jump to nowhere: unaligned or unmapped (the sequence ends there)
        // Not to an odd address: the reference takes bit 0 as a switch to
        // MIPS16 code, which an R3000 does not have.
        Reg x = dst_nonzero();
        uint32_t target = chance(50) ? start_ + 4 * uint32_t(range(0, 8)) + 2 : 0x20000000;
        return {lui(x, target >> 16), ori(x, x, target & 0xffff), jr(x), nop()};
      }
      default: return {add(dst(), src(), src())};  // perhaps an overflow
    }
  }

  // ---- control flow ----------------------------------------------------------

  // The delay slot of the branch just emitted; for a backward branch it
  // must leave nothing behind that its target could trip over.
  void delay_slot(bool backward) {
    for (int tries = 0; tries < 50; ++tries) {
      uint32_t w = single();
      if (backward && (is_load(w) || is_mf(w))) continue;
      if (try_emit({w}, ctx_)) return;
    }
    emit(nop());
  }

  // A conditional branch, jump, or register jump forward; prefix words go
  // before it, and a given delay-slot word instead of a random one.
  void forward_branch(std::vector<uint32_t> prefix = {}, uint32_t forced_delay = 1) {
    std::vector<uint32_t> setup;
    uint32_t br;
    Pending::Kind kind = Pending::Branch;
    Reg r = src(), t = src();
    switch (range(0, 11)) {
      case 0: br = beq(r, chance(30) ? r : t, 0); break;
      case 1: br = bne(r, chance(30) ? r : t, 0); break;
      case 2: br = beq(r, zero, 0); break;
      case 3: br = blez(r, 0); break;
      case 4: br = bgtz(r, 0); break;
      case 5: br = bltz(r, 0); break;
      case 6: br = bgez(r, 0); break;
      case 7:
      case 8: {
        if (reserved_ & bit(ra)) return;
        if (r == ra) r = zero;  // ra as the tested register is undefined
        br = chance(50) ? bltzal(r, 0) : bgezal(r, 0);
        break;
      }
      case 9:
        if (reserved_ & bit(ra)) return;
        br = chance(50) ? j(0) : jal(0);
        kind = Pending::Jump;
        break;
      default: {  // jr / jalr through a register loaded with the target
        Reg x = dst_nonzero();
        if (keep_ & bit(x)) return;
        setup = {lui(x, 0), ori(x, x, 0)};
        kind = Pending::LuiOri;
        if (chance(50)) {
          br = jr(x);
        } else {
          Reg link = chance(70) ? ra : dst();
          if (link == x || (keep_ & bit(link))) link = zero;
          br = jalr(link, x);
        }
        break;
      }
    }
    setup.push_back(br);
    setup.insert(setup.begin(), prefix.begin(), prefix.end());
    if (forced_delay != 1 && !ctx_.after(setup.back()).allows(forced_delay)) return;
    if (!try_emit(setup, ctx_)) return;
    size_t at = code_.size() - (kind == Pending::LuiOri ? 3 : 1);
    size_t br_at = code_.size() - 1;
    if (forced_delay != 1) {
      emit(forced_delay);
    } else {
      delay_slot(false);
    }
    Ctx after_delay = ctx_;
    uint32_t d = code_.back();
    if (kind == Pending::Branch && chance(8) && !is_load(d) && !is_mf(d)) {
      // Back onto its own delay slot, which then runs a second time.
      code_[br_at] = (code_[br_at] & 0xffff0000u);
      return;
    }
    pending_->push_back(Pending{at, int(range(0, 3)), kind, after_delay});
  }

  void patch(const Pending& p, size_t target_index) {
    uint32_t target = start_ + 4 * uint32_t(target_index);
    switch (p.kind) {
      case Pending::Branch: {
        int32_t off = int32_t(target_index) - int32_t(p.at + 1);
        code_[p.at] = (code_[p.at] & 0xffff0000u) | (uint32_t(off) & 0xffff);
        break;
      }
      case Pending::Jump: code_[p.at] = (code_[p.at] & 0xfc000000u) | ((target >> 2) & 0x03ffffff); break;
      case Pending::LuiOri:
        code_[p.at] = (code_[p.at] & 0xffff0000u) | (target >> 16);
        code_[p.at + 1] = (code_[p.at + 1] & 0xffff0000u) | (target & 0xffff);
        break;
    }
  }

  // A counted loop: counter set, body, decrement, branch back.
  void loop(int depth) {
    uint32_t free_regs = 0;
    for (uint32_t r = v0; r < ra; ++r)
      if (!(reserved_ & bit(r))) free_regs |= bit(r);
    if (!free_regs) return;
    Reg c;
    do c = Reg(range(v0, fp));
    while (!(free_regs & bit(c)));
    if (!try_emit({addiu(c, zero, int32_t(range(1, 3)))}, ctx_)) return;
    reserved_ |= bit(c);
    size_t body = code_.size();
    segment(int(range(1, 6)), depth + 1);
    emit(addiu(c, c, -1));
    emit(bne(c, zero, int32_t(body) - int32_t(code_.size() + 1)));
    delay_slot(true);
    reserved_ &= ~bit(c);
  }

  // Items until n are placed; then every branch still waiting lands on
  // the instruction after the segment.
  void segment(int n, int depth) {
    std::vector<Pending> mine;
    std::vector<Pending>* outer = pending_;
    pending_ = &mine;
    for (int i = 0; i < n; ++i) {
      // Branches whose target is this item: it must suit their paths too.
      Ctx c = ctx_;
      for (Pending& p : mine)
        if (p.items_left == 0) c.join(p.ctx);
      ctx_ = c;
      size_t start = code_.size();
      item(depth);
      if (code_.size() == start) {
        // Nothing fitted: a nop keeps the targets honest.
        emit(nop());
      }
      for (auto it = mine.begin(); it != mine.end();) {
        if (it->at >= start) {  // placed by this very item
          ++it;
          continue;
        }
        if (it->items_left-- == 0) {
          patch(*it, start);
          it = mine.erase(it);
        } else {
          ++it;
        }
      }
    }
    Ctx c = ctx_;
    for (Pending& p : mine) {
      c.join(p.ctx);
      patch(p, code_.size());
    }
    ctx_ = c;
    pending_ = outer;
  }

  // A code word read and stored back unchanged: nothing changes for the
  // program, but r3krun drops the decoded code on the page (perhaps the
  // very block running), which must not change anything either.
  void rewrite() {
    // Neither register may be a link register of the branch.
    Reg x = dst_nonzero(), y = dst_nonzero();
    if (x == y || x == ra || y == ra) return;
    keep_ = bit(x) | bit(y);
    uint32_t a = start_ + 4 * uint32_t(range(0, int64_t(code_.size()) + 40));
    int32_t off = int16_t(a & 0xffff);
    std::vector<uint32_t> ws = {lui(x, (a - uint32_t(off)) >> 16), lw(y, off, x), nop()};
    if (chance(50)) {
      ws.push_back(sw(y, off, x));
      try_emit(ws, ctx_);
    } else {
      forward_branch(ws, sw(y, off, x));  // the store in the delay slot
    }
    keep_ = 0;
  }

  void item(int depth) {
    int roll = int(range(0, 99));
    if (roll < 12) {
      forward_branch();
    } else if (roll < 16 && depth < 2) {
      loop(depth);
    } else if (roll < 18) {
      try_emit({syscall(uint32_t(range(0, 0xfffff)))}, ctx_);
    } else if (roll < 21) {
      rewrite();
    } else if (roll < 22) {
      // A long straight run: blocks are cut at a length limit.
      for (int k = int(range(20, 90)); k > 0; --k)
        for (int tries = 0; tries < 20; ++tries)
          if (try_emit({single()}, ctx_)) break;
    } else if (roll < 45) {
      for (int tries = 0; tries < 20; ++tries)
        if (try_emit(group(), ctx_)) return;
    } else {
      for (int tries = 0; tries < 20; ++tries)
        if (try_emit({single()}, ctx_)) return;
    }
  }
};

}  // namespace

Sequence generate(uint64_t seed, const GenOptions& opts) {
  Sequence s = Gen(seed, opts).run();
  s.seed = seed;
  return s;
}

std::string Sequence::listing() const {
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "sequence of seed %" PRIu64 ":\n", seed);
  out += line;
  for (size_t i = 0; i < code.size(); ++i) {
    uint32_t pc = start + 4 * uint32_t(i);
    std::snprintf(line, sizeof line, "  %08" PRIx32 ":  %08" PRIx32 "  %s\n", pc, code[i],
                  disassemble(code[i], pc).c_str());
    out += line;
  }
  out += "  registers:";
  for (int i = 1; i < 32; ++i) {
    std::snprintf(line, sizeof line, "%s r%d=0x%08" PRIx32, i % 8 == 1 ? "\n   " : "", i, gpr[i]);
    out += line;
  }
  std::snprintf(line, sizeof line, "\n    hi=0x%08" PRIx32 " lo=0x%08" PRIx32 "\n", hi, lo);
  out += line;
  return out;
}

}  // namespace r3k::diff
