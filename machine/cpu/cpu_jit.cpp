// x86-64 code for the ops of a decoded block, assembled with Xbyak.  The
// calling convention and the host registers' roles are in cpu_jit.h.
#include "cpu/cpu_jit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <utility>

#include "cpu/cpu_block.h"
#include "r3k/regs.h"

#if defined(__x86_64__)
#include <xbyak/xbyak.h>
#endif

namespace r3k {

namespace {

// Executable memory is mapped in chunks that double from one host page up
// to this size.
constexpr size_t kMaxChunk = 64 << 10;
// Generated code one code page may hold: blocks re-decoded again and again
// (a delay slot on a changing page) must not grow it without end.
constexpr size_t kPageAllowance = 1 << 20;
// Code is placed on 16-byte boundaries, the host's preferred alignment for
// jump targets.
constexpr size_t kCodeAlign = 16;

size_t aligned_code(size_t size) { return (size + kCodeAlign - 1) & ~(kCodeAlign - 1); }

}  // namespace

JitArena::~JitArena() {
  for (const Chunk& c : chunks_) munmap(c.base, c.size);
}

size_t JitArena::growth(size_t size) const {
  const size_t len = aligned_code(size);
  if (total_ + len > kPageAllowance) return SIZE_MAX;
  if (!chunks_.empty() && chunks_.back().used + len <= chunks_.back().size) return 0;
  const size_t host_page = size_t(sysconf(_SC_PAGESIZE));
  const size_t next = chunks_.empty() ? host_page : std::min(2 * chunks_.back().size, kMaxChunk);
  return std::max(next, (len + host_page - 1) & ~(host_page - 1));
}

void* JitArena::add(const uint8_t* code, size_t size) {
  const size_t len = aligned_code(size);
  const size_t more = growth(size);
  if (more == SIZE_MAX) return nullptr;
  if (more) {
    void* p = mmap(nullptr, more, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    chunks_.push_back(Chunk{static_cast<uint8_t*>(p), more, 0});
    mapped_ += more;
  }
  Chunk* c = &chunks_.back();
  if (mprotect(c->base, c->size, PROT_READ | PROT_WRITE) != 0) return nullptr;
  uint8_t* at = c->base + c->used;
  std::memcpy(at, code, size);
  if (mprotect(c->base, c->size, PROT_READ | PROT_EXEC) != 0) return nullptr;
  c->used += len;
  total_ += len;
  return at;
}

bool JitArena::patch(uint8_t* rel32, const void* target) {
  const uintptr_t host_page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t lo = uintptr_t(rel32) & ~(host_page - 1);
  const uintptr_t hi = (uintptr_t(rel32) + 4 + host_page - 1) & ~(host_page - 1);
  void* page = reinterpret_cast<void*>(lo);
  if (mprotect(page, hi - lo, PROT_READ | PROT_WRITE) != 0) return false;
  const int32_t rel = int32_t(static_cast<const uint8_t*>(target) - (rel32 + 4));
  std::memcpy(rel32, &rel, 4);
  return mprotect(page, hi - lo, PROT_READ | PROT_EXEC) == 0;
}

#if defined(__x86_64__)

bool jit_available() { return true; }

namespace {

using Xbyak::Address;
using Xbyak::Label;
using Xbyak::Operand;
using Xbyak::Reg32;
using Xbyak::Reg64;

// A region holds at most this many blocks and ops.
constexpr uint32_t kRegionBlocks = 8;
constexpr uint32_t kRegionOps = 128;
// Largest code a region may need (each op at most about 70 bytes, plus an
// exit of about 40 per op and the ways out): generation into a buffer of
// this size never runs out, and fails cleanly if it ever did.
constexpr size_t kMaxRegionCode = 64 << 10;

constexpr int32_t frame_at(size_t offset) { return int32_t(offset); }
constexpr int32_t kNext = frame_at(offsetof(JitFrame, next));
constexpr int32_t kHi = frame_at(offsetof(JitFrame, hi));
constexpr int32_t kLo = frame_at(offsetof(JitFrame, lo));
constexpr int32_t kPending = frame_at(offsetof(JitFrame, pending));
constexpr int32_t kFuel = frame_at(offsetof(JitFrame, fuel));
constexpr int32_t kCodeGen = frame_at(offsetof(JitFrame, code_gen));
constexpr int32_t kExitBlock = frame_at(offsetof(JitFrame, exit_block));
constexpr int32_t kExitOp = frame_at(offsetof(JitFrame, exit_op));
constexpr int32_t kFillRead = frame_at(offsetof(JitFrame, fill_read));
constexpr int32_t kFillWrite = frame_at(offsetof(JitFrame, fill_write));
constexpr int32_t tlb_at(bool write) { return frame_at(write ? offsetof(JitFrame, write) : offsetof(JitFrame, read)); }
constexpr int32_t kTlbTag = frame_at(offsetof(JitTlb, tag));
constexpr int32_t kTlbBias = frame_at(offsetof(JitTlb, bias));
constexpr int32_t kExitLink = frame_at(offsetof(JitFrame, exit_link));
constexpr int32_t kSyscall = frame_at(offsetof(JitFrame, syscall));
static_assert(offsetof(JitFrame, r) == 0, "a syscall hook is handed the frame as the guest registers");
// Offset of a field of target t in a JitLink.
constexpr int32_t target_at(uint32_t t, size_t field) {
  return int32_t(offsetof(JitLink, target) + t * sizeof(JitLink::Target) + field);
}
// The pending-load record is stored with one 16-bit move of its bytes.
uint16_t pending_word(const PendingLoad& p) { return std::bit_cast<uint16_t>(p); }

// Offsets of the fast-path pointer arrays in a second-level table (not a
// standard-layout type, so measured on an instance).
int32_t table_offset(bool write) {
  const L2Table& t = AddressSpace::Impl::empty_table();
  auto* base = reinterpret_cast<const char*>(&t);
  return int32_t((write ? reinterpret_cast<const char*>(t.wr) : reinterpret_cast<const char*>(t.rd)) - base);
}

// The guest registers an op reads and writes ($zero and the sink left out).
struct OpRegs {
  uint64_t reads = 0, writes = 0;
};
OpRegs regs_of(const Op& o) {
  auto bit = [](uint32_t r) { return r == 0 || r == kSink ? uint64_t{0} : uint64_t{1} << r; };
  const insn::OpRoles& r = insn::kOpRoles[size_t(o.code)];
  return {(r.reads_s ? bit(o.s) : 0) | (r.reads_t ? bit(o.t) : 0), r.writes_d ? bit(o.d) : 0};
}

// Saves the host's callee-saved registers, sets up rbp, r15 and r14, calls
// a block's code and hands the fuel back; and the page cache's fill
// routines (see cpu_jit.h).
class EntryThunk : public Xbyak::CodeGenerator {
 public:
  using Fn = void (*)(JitFrame* frame, L2Table* const* l1, uint64_t fuel, const void* code);
  EntryThunk() : CodeGenerator(4096, Xbyak::DontSetProtectRWE) {
    // Room before the entry: a sanitizer checking a called function's
    // signature reads the bytes just before it.
    for (size_t i = 0; i < kCodeAlign; ++i) int3();
    fn_ = reinterpret_cast<Fn>(const_cast<uint8_t*>(getCurr()));
    for (const Reg64& r : {rbp, rbx, r12, r13, r14, r15}) push(r);
    sub(rsp, 8);  // keeps the stack 16-byte aligned at the call below
    mov(rbp, rdi);
    mov(r15, rsi);
    mov(r14, rdx);
    call(rcx);
    mov(qword[rbp + kFuel], r14);
    add(rsp, 8);
    for (const Reg64& r : {r15, r14, r13, r12, rbx, rbp}) pop(r);
    ret();
    fill_read_ = fill(false);
    fill_write_ = fill(true);
    end_ = getCurr();
    setProtectModeRE();
  }
  Fn fn() const { return fn_; }
  void tell(CodeListener& listener) const {
    const auto* fn = reinterpret_cast<const uint8_t*>(fn_);
    const auto* read = static_cast<const uint8_t*>(fill_read_);
    const auto* write = static_cast<const uint8_t*>(fill_write_);
    listener.shared_code(fn, size_t(read - fn), "entry-thunk");
    listener.shared_code(read, size_t(write - read), "page-cache-fill-read");
    listener.shared_code(write, size_t(end_ - write), "page-cache-fill-write");
  }
  const void* fill_read() const { return fill_read_; }
  const void* fill_write() const { return fill_write_; }

 private:
  const void* fill(bool write) {
    align(kCodeAlign);
    const void* at = getCurr();
    Label none;
    mov(ecx, eax);
    shr(ecx, kPageBits + kL2Bits);
    mov(rdx, qword[r15 + rcx * 8]);
    mov(ecx, eax);
    shr(ecx, kPageBits);
    and_(ecx, kL2Size - 1);
    mov(rdx, qword[rdx + rcx * 8 + table_offset(write)]);
    test(rdx, rdx);
    jz(none);
    mov(ecx, eax);
    and_(ecx, ~(kPageSize - 1));
    sub(rdx, rcx);
    mov(ecx, eax);
    shr(ecx, kPageBits);
    mov(dword[rbp + r10 * 4 + tlb_at(write) + kTlbTag], ecx);
    mov(qword[rbp + r10 * 8 + tlb_at(write) + kTlbBias], rdx);
    test(rsp, rsp);  // the stack pointer is never zero: ZF clear
    L(none);
    ret();
    return at;
  }

  Fn fn_ = nullptr;
  const void* fill_read_ = nullptr;
  const void* fill_write_ = nullptr;
  const uint8_t* end_ = nullptr;
};

const EntryThunk& entry_thunk() {
  static const EntryThunk thunk;
  return thunk;
}

// Generates a region: a head block and the blocks on its page it moves on
// to (already decoded, chainable), so that inside the region moving on is a
// fuel test and a jump, and the cached registers stay where they are.
class RegionCompiler : public Xbyak::CodeGenerator {
 public:
  RegionCompiler(const std::vector<Block*>& blocks, uint8_t* buffer, size_t size);
  void compile();
  void place(uint8_t* at);
  void tell(CodeListener& listener, const uint8_t* at) const;

 private:
  // Guest registers.
  void allocate();
  bool cached(uint32_t g) const { return g != kSink && (cached_ >> g & 1); }
  const Operand& rm(uint32_t g) const {
    return cached(g) ? static_cast<const Operand&>(host_[g]) : static_cast<const Operand&>(slot_[g]);
  }
  Reg32 value(uint32_t g, const Reg32& scratch);
  Reg32 target(uint32_t g, const Reg32& scratch) const { return cached(g) ? host_[g] : scratch; }
  void commit(uint32_t g, const Reg32& v);
  void put(uint32_t g, const Reg32& v);
  void write_back();
  void read_cached();

  // Ops.
  bool op(uint32_t k);
  void alu(const Op& o, void (CodeGenerator::*fn)(const Operand&, const Operand&), bool commutes);
  void alu_imm(const Op& o, void (CodeGenerator::*fn)(const Operand&, uint32_t));
  void set_if(const Op& o, bool imm, void (CodeGenerator::*setcc)(const Operand&));
  void shift(const Op& o, bool variable, void (CodeGenerator::*fn)(const Operand&, const Xbyak::Reg8&),
             void (CodeGenerator::*fn_imm)(const Operand&, int));
  void trapping(const Op& o, bool imm, bool subtract, uint32_t k);
  void hilo(const Op& o);
  void divide(const Op& o, bool is_signed, uint32_t k);
  void address(const Op& o);
  void translate(uint32_t size, bool write, uint32_t k);
  void fills();
  void load(const Op& o, uint32_t size, bool is_signed, uint32_t k);
  void store(const Op& o, uint32_t size, uint32_t k);
  void aligned_word(const Op& o, bool write, uint32_t k);
  void mask(bool high);
  void load_partial(const Op& o, bool left, uint32_t k);
  void store_partial(const Op& o, bool left, uint32_t k);
  void branch(const Op& o, void (CodeGenerator::*cmov)(const Xbyak::Reg&, const Operand&), bool against_zero);
  void syscall(uint32_t k);

  // Leaving and moving on.
  struct Member {
    Block* block = nullptr;
    size_t offset = 0;        // where its code starts (the head's: at 0)
    Label entry;              // its ops (the head's: past the register loads)
    std::vector<Label> exit;  // per op: leave before it
    std::vector<bool> used;
    Label complete, complete_written, fall_through, taken;
  };
  Label& exit_before(uint32_t k);
  int member_at(uint32_t pc) const;
  uint32_t links_needed() const;
  void end();
  Label& unlinked(JitLink& link, bool fuel_taken);
  void move_on(uint32_t target, Label& miss);
  void exits(Member& m, Label& record);

  std::vector<Member> members_;
  Member* m_ = nullptr;  // the member being generated
  Block* b_ = nullptr;   // its block
  JitCode& code_;        // the head's: the region's code and links
  uint32_t links_used_ = 0;
  size_t tail_ = 0;  // where the code shared by the members starts
  uint64_t cached_ = 0;
  Reg32 host_[kSink + 1];
  std::vector<Address> slot_;
  struct Miss {
    Label miss, back;
    bool write;
    Member* member;
    uint32_t k, slot;
  };
  uint32_t sites_[2] = {};  // accesses generated so far, reads and writes
  std::vector<Miss> misses_;
  struct Stub {
    Label at;
    JitLink* link;
    bool fuel_taken;
    Member* member;
  };
  std::deque<Stub> stubs_;                            // labels jumped to must not move
  std::vector<std::pair<JitLink*, uint32_t>> jumps_;  // direct jumps' rel32 offsets
};

RegionCompiler::RegionCompiler(const std::vector<Block*>& blocks, uint8_t* buffer, size_t size)
    : CodeGenerator(size, buffer), members_(blocks.size()), code_(blocks[0]->jit) {
  for (size_t i = 0; i < blocks.size(); ++i) {
    Member& m = members_[i];
    m.block = blocks[i];
    m.exit.resize(m.block->n + 1);
    m.used.assign(m.block->n + 1, false);
  }
}

// The guest registers the region uses most (at least twice) get host
// registers for all of it: loaded at its entry, stored back at every exit.
void RegionCompiler::allocate() {
  static const Reg32 kPool[] = {Xbyak::util::ebx, Xbyak::util::esi,  Xbyak::util::edi, Xbyak::util::r8d,
                                Xbyak::util::r9d, Xbyak::util::r12d, Xbyak::util::r13d};
  uint32_t uses[kSink + 1] = {};
  for (const Member& m : members_) {
    for (uint32_t k = 0; k < m.block->n; ++k) {
      const OpRegs r = regs_of(m.block->ops[k]);
      for (uint32_t g = 1; g < kSink; ++g) uses[g] += (r.reads >> g & 1) + (r.writes >> g & 1);
    }
  }
  for (const Reg32& h : kPool) {
    uint32_t best = 0;
    for (uint32_t g = 1; g < kSink; ++g)
      if (!(cached_ >> g & 1) && uses[g] >= 2 && uses[g] > uses[best]) best = g;
    if (!best) break;
    cached_ |= uint64_t{1} << best;
    host_[best] = h;
  }
  for (uint32_t g = 0; g <= kSink; ++g) slot_.push_back(dword[rbp + int32_t(4 * g)]);
}

// A register holding g's value: its host register, or scratch loaded.
Reg32 RegionCompiler::value(uint32_t g, const Reg32& scratch) {
  if (cached(g)) return host_[g];
  mov(scratch, slot_[g]);
  return scratch;
}

// g's value was computed into v (target(g, ...)): the frame gets it unless
// g lives in a host register.
void RegionCompiler::commit(uint32_t g, const Reg32& v) {
  if (g != kSink && !cached(g)) mov(slot_[g], v);
}

// Sets g from v.
void RegionCompiler::put(uint32_t g, const Reg32& v) {
  if (g == kSink) return;
  if (cached(g)) {
    if (host_[g].getIdx() != v.getIdx()) mov(host_[g], v);
  } else {
    mov(slot_[g], v);
  }
}

// Stores the cached registers into the frame (all were loaded at the
// region's entry, so each holds its guest register's value).
void RegionCompiler::write_back() {
  for (uint32_t g = 1; g < kSink; ++g)
    if (cached(g)) mov(slot_[g], host_[g]);
}

// Loads the cached registers from the frame.
void RegionCompiler::read_cached() {
  for (uint32_t g = 1; g < kSink; ++g)
    if (cached(g)) mov(host_[g], slot_[g]);
}

// ---- ops -----------------------------------------------------------------------

void RegionCompiler::alu(const Op& o, void (CodeGenerator::*fn)(const Operand&, const Operand&), bool commutes) {
  if (cached(o.d) && o.d == o.s) {
    (this->*fn)(host_[o.d], rm(o.t));
  } else if (cached(o.d) && o.d == o.t && commutes) {
    (this->*fn)(host_[o.d], rm(o.s));
  } else if (cached(o.d) && o.d != o.t) {
    mov(host_[o.d], rm(o.s));
    (this->*fn)(host_[o.d], rm(o.t));
  } else {
    mov(eax, rm(o.s));
    (this->*fn)(eax, rm(o.t));
    put(o.d, eax);
  }
}

void RegionCompiler::alu_imm(const Op& o, void (CodeGenerator::*fn)(const Operand&, uint32_t)) {
  const Reg32 d = target(o.d, eax);
  if (!(cached(o.d) && o.d == o.s)) mov(d, rm(o.s));
  (this->*fn)(d, o.imm);
  commit(o.d, d);
}

void RegionCompiler::set_if(const Op& o, bool imm, void (CodeGenerator::*setcc)(const Operand&)) {
  const Reg32 s = value(o.s, eax);
  xor_(edx, edx);
  if (imm) cmp(s, o.imm);
  else cmp(s, rm(o.t));
  (this->*setcc)(dl);
  put(o.d, edx);
}

void RegionCompiler::shift(const Op& o, bool variable, void (CodeGenerator::*fn)(const Operand&, const Xbyak::Reg8&),
                           void (CodeGenerator::*fn_imm)(const Operand&, int)) {
  if (variable) mov(ecx, rm(o.s));  // before d changes: d may be s
  const Reg32 d = target(o.d, eax);
  if (!(cached(o.d) && o.d == o.t)) mov(d, rm(o.t));
  if (variable) (this->*fn)(d, cl);  // the host masks the count to 5 bits, as MIPS does
  else if (o.imm) (this->*fn_imm)(d, int(o.imm));
  commit(o.d, d);
}

// add/addi/sub: overflow leaves before the op.
void RegionCompiler::trapping(const Op& o, bool imm, bool subtract, uint32_t k) {
  mov(eax, rm(o.s));
  if (imm) add(eax, o.imm);
  else if (subtract) sub(eax, rm(o.t));
  else add(eax, rm(o.t));
  jo(exit_before(k), T_NEAR);
  put(o.d, eax);
}

// The moves to and from HI and LO, and the multiplications.
void RegionCompiler::hilo(const Op& o) {
  const bool hi = o.code == OpCode::Mfhi || o.code == OpCode::Mthi;
  switch (o.code) {
    case OpCode::Mfhi:
    case OpCode::Mflo: {
      const Reg32 d = target(o.d, eax);
      mov(d, dword[rbp + (hi ? kHi : kLo)]);
      commit(o.d, d);
      break;
    }
    case OpCode::Mthi:
    case OpCode::Mtlo: mov(dword[rbp + (hi ? kHi : kLo)], value(o.s, eax)); break;
    default:
      mov(eax, rm(o.s));
      o.code == OpCode::Mult ? imul(rm(o.t)) : mul(rm(o.t));  // edx:eax
      mov(dword[rbp + kLo], eax);
      mov(dword[rbp + kHi], edx);
      break;
  }
}

// Division by zero, and INT_MIN / -1 (a host trap), go to the interpreter,
// which gives the R3000's results.
void RegionCompiler::divide(const Op& o, bool is_signed, uint32_t k) {
  mov(ecx, rm(o.t));
  test(ecx, ecx);
  jz(exit_before(k), T_NEAR);
  mov(eax, rm(o.s));
  if (is_signed) {
    Label fine;
    cmp(ecx, -1);
    jne(fine);
    cmp(eax, 0x80000000u);
    je(exit_before(k), T_NEAR);
    L(fine);
    cdq();
    idiv(ecx);
  } else {
    xor_(edx, edx);
    div(ecx);
  }
  mov(dword[rbp + kLo], eax);
  mov(dword[rbp + kHi], edx);
}

// eax = the guest address r[s] + imm.
void RegionCompiler::address(const Op& o) {
  if (cached(o.s)) {
    lea(eax, ptr[host_[o.s].cvt64() + int32_t(o.imm)]);
  } else {
    mov(eax, slot_[o.s]);
    if (o.imm) add(eax, o.imm);
  }
}

// From the guest address in eax: rdx such that [rdx + rax] is its host
// byte, from the page cache or its fill routine; off the fast path (no
// pointer, or not size-aligned) it leaves before op k.
void RegionCompiler::translate(uint32_t size, bool write, uint32_t k) {
  if (size > 1) {
    test(al, size - 1);
    jnz(exit_before(k), T_NEAR);
  }
  // Each access of a region has a slot of its own (while there are enough),
  // so the host page is read without waiting for the address.
  const uint32_t slot = sites_[write]++ % JitTlb::kSlots;
  Label miss, found;
  mov(ecx, eax);
  shr(ecx, kPageBits);
  cmp(ecx, dword[rbp + tlb_at(write) + kTlbTag + int32_t(4 * slot)]);
  jne(miss, T_NEAR);
  mov(rdx, qword[rbp + tlb_at(write) + kTlbBias + int32_t(8 * slot)]);
  L(found);
  misses_.push_back(Miss{std::move(miss), found, write, m_, k, slot});
}

// The cache misses, out of the way of the straight code.
void RegionCompiler::fills() {
  for (Miss& m : misses_) {
    L(m.miss);
    mov(r10d, m.slot);
    call(qword[rbp + (m.write ? kFillWrite : kFillRead)]);
    m_ = m.member;
    jz(exit_before(m.k), T_NEAR);
    jmp(m.back, T_NEAR);
  }
}

void RegionCompiler::load(const Op& o, uint32_t size, bool is_signed, uint32_t k) {
  address(o);
  translate(size, false, k);
  if (o.d == kSink) return;  // the access could not fail any more: nothing to keep
  const Reg32 d = target(o.d, eax);
  switch (size) {
    case 1: is_signed ? movsx(d, byte[rdx + rax]) : movzx(d, byte[rdx + rax]); break;
    case 2:
      movzx(d, word[rdx + rax]);
      rol(d.cvt16(), 8);  // big-endian
      if (is_signed) movsx(d, d.cvt16());
      break;
    default:
      mov(d, dword[rdx + rax]);
      bswap(d);
      break;
  }
  commit(o.d, d);
}

void RegionCompiler::store(const Op& o, uint32_t size, uint32_t k) {
  address(o);
  translate(size, true, k);
  mov(ecx, rm(o.t));
  switch (size) {
    case 1: mov(byte[rdx + rax], cl); break;
    case 2:
      rol(cx, 8);
      mov(word[rdx + rax], cx);
      break;
    default:
      bswap(ecx);
      mov(dword[rdx + rax], ecx);
      break;
  }
}

// For lwl/lwr/swl/swr: rdx = the host address of the aligned word holding
// the guest address, eax = that word, cl = 8 * the address's byte offset k.
void RegionCompiler::aligned_word(const Op& o, bool write, uint32_t k) {
  address(o);
  translate(1, write, k);
  mov(ecx, eax);
  and_(ecx, 3);
  shl(ecx, 3);
  and_(eax, ~3u);
  add(rdx, rax);
  mov(eax, dword[rdx]);
  bswap(eax);
}

// r10d = the bits below bit cl, or (high) from bit 32 - cl up.
void RegionCompiler::mask(bool high) {
  if (high) {
    mov(r10d, -1);
    shr(r10d, cl);
    not_(r10d);
  } else {
    mov(r10d, 1);
    shl(r10d, cl);
    dec(r10d);
  }
}

// lwl/lwr merge the bytes of the aligned word into the register: with
// k = the address's byte offset, lwl puts the word's bytes k..3 at the top
// and keeps the register's low 8k bits; lwr puts bytes 0..k at the bottom
// and keeps the register's top 8(3-k) bits.
void RegionCompiler::load_partial(const Op& o, bool left, uint32_t k) {
  aligned_word(o, false, k);
  if (left) {
    shl(eax, cl);
  } else {
    xor_(ecx, 24);  // cl = 8(3-k)
    shr(eax, cl);
  }
  mask(!left);  // the register bits kept
  and_(r10d, rm(o.t));
  or_(eax, r10d);
  put(o.d, eax);
}

// swl/swr write the register's bytes into the aligned word: swl its top
// bytes into bytes k..3 (the word keeps its top 8k bits), swr its low
// bytes into bytes 0..k (the word keeps its low 8(3-k) bits).
void RegionCompiler::store_partial(const Op& o, bool left, uint32_t k) {
  aligned_word(o, true, k);
  if (!left) xor_(ecx, 24);  // cl = 8(3-k)
  mask(left);
  and_(eax, r10d);
  mov(r10d, rm(o.t));
  left ? shr(r10d, cl) : shl(r10d, cl);
  or_(eax, r10d);
  bswap(eax);
  mov(dword[rdx], eax);
}

// r11d = the taken target when the condition holds, else the fall-through.
void RegionCompiler::branch(const Op& o, void (CodeGenerator::*cmov)(const Xbyak::Reg&, const Operand&),
                            bool against_zero) {
  if (against_zero || o.t == regs::zero) {
    cmp(rm(o.s), 0);
  } else {
    const Reg32 s = value(o.s, eax);
    cmp(s, rm(o.t));
  }
  mov(r11d, b_->end_pc());
  mov(ecx, o.imm);
  (this->*cmov)(r11d, ecx);
}

// Emits op k; false when the rest of the block is the interpreter's.
bool RegionCompiler::op(uint32_t k) {
  const Op& o = b_->ops[k];
  using C = CodeGenerator;
  switch (o.code) {
    case OpCode::Nop: break;
    case OpCode::Li: mov(rm(o.d), o.imm); break;
    case OpCode::Move: cached(o.d) ? mov(host_[o.d], rm(o.s)) : put(o.d, value(o.s, eax)); break;
    case OpCode::Sll: shift(o, false, &C::shl, &C::shl); break;
    case OpCode::Srl: shift(o, false, &C::shr, &C::shr); break;
    case OpCode::Sra: shift(o, false, &C::sar, &C::sar); break;
    case OpCode::Sllv: shift(o, true, &C::shl, &C::shl); break;
    case OpCode::Srlv: shift(o, true, &C::shr, &C::shr); break;
    case OpCode::Srav: shift(o, true, &C::sar, &C::sar); break;
    case OpCode::Mfhi:
    case OpCode::Mflo:
    case OpCode::Mthi:
    case OpCode::Mtlo:
    case OpCode::Mult:
    case OpCode::Multu: hilo(o); break;
    case OpCode::Div: divide(o, true, k); break;
    case OpCode::Divu: divide(o, false, k); break;
    case OpCode::Add: trapping(o, false, false, k); break;
    case OpCode::Sub: trapping(o, false, true, k); break;
    case OpCode::Addi: trapping(o, true, false, k); break;
    case OpCode::Addu: alu(o, &C::add, true); break;
    case OpCode::Subu: alu(o, &C::sub, false); break;
    case OpCode::And: alu(o, &C::and_, true); break;
    case OpCode::Or: alu(o, &C::or_, true); break;
    case OpCode::Xor: alu(o, &C::xor_, true); break;
    case OpCode::Nor: {
      alu(o, &C::or_, true);
      const Reg32 d = target(o.d, eax);
      if (!cached(o.d)) mov(d, slot_[o.d]);
      not_(d);
      commit(o.d, d);
      break;
    }
    case OpCode::Slt: set_if(o, false, &C::setl); break;
    case OpCode::Sltu: set_if(o, false, &C::setb); break;
    case OpCode::Slti: set_if(o, true, &C::setl); break;
    case OpCode::Sltiu: set_if(o, true, &C::setb); break;
    case OpCode::Addiu:
      if (cached(o.d) && cached(o.s) && o.d != o.s) lea(host_[o.d], ptr[host_[o.s].cvt64() + int32_t(o.imm)]);
      else alu_imm(o, &C::add);
      break;
    case OpCode::Andi: alu_imm(o, &C::and_); break;
    case OpCode::Ori: alu_imm(o, &C::or_); break;
    case OpCode::Xori: alu_imm(o, &C::xor_); break;

    case OpCode::Lb: load(o, 1, true, k); break;
    case OpCode::Lbu: load(o, 1, false, k); break;
    case OpCode::Lh: load(o, 2, true, k); break;
    case OpCode::Lhu: load(o, 2, false, k); break;
    case OpCode::Lw: load(o, 4, false, k); break;
    case OpCode::Lwl: load_partial(o, true, k); break;
    case OpCode::Lwr: load_partial(o, false, k); break;
    case OpCode::Sb: store(o, 1, k); break;
    case OpCode::Sh: store(o, 2, k); break;
    case OpCode::Sw: store(o, 4, k); break;
    case OpCode::Swl: store_partial(o, true, k); break;
    case OpCode::Swr: store_partial(o, false, k); break;

    case OpCode::Beq: branch(o, &C::cmove, false); break;
    case OpCode::Bne: branch(o, &C::cmovne, false); break;
    case OpCode::Blez: branch(o, &C::cmovle, true); break;
    case OpCode::Bgtz: branch(o, &C::cmovg, true); break;
    case OpCode::Bltz: branch(o, &C::cmovl, true); break;
    case OpCode::Bgez: branch(o, &C::cmovge, true); break;
    case OpCode::Bltzal:
    case OpCode::Bgezal:
      // The condition is read before the link is written (rs may be ra).
      branch(o, o.code == OpCode::Bltzal ? &C::cmovl : &C::cmovge, true);
      mov(eax, b_->end_pc());
      put(regs::ra, eax);
      break;
    case OpCode::B:
    case OpCode::J: mov(r11d, o.imm); break;
    case OpCode::Jal:
      mov(eax, b_->end_pc());
      put(regs::ra, eax);
      mov(r11d, o.imm);
      break;
    case OpCode::Jr: mov(r11d, rm(o.s)); break;
    case OpCode::Jalr:
      mov(r11d, rm(o.s));  // before the link, in case rd == rs
      mov(eax, o.imm);
      put(o.d, eax);
      break;

    case OpCode::End: end(); return false;
    case OpCode::Syscall: syscall(k); break;
    case OpCode::Fault: jmp(exit_before(k), T_NEAR); return false;
  }
  return true;
}

// A syscall goes to the frame's hook with every guest register in the
// frame; served, the block goes on; else (or with no hook) the code leaves
// before it, as before a fault.
void RegionCompiler::syscall(uint32_t k) {
  Label& leave = exit_before(k);
  const bool branched = k > m_->block->branch_index();  // a delay slot: r11d is where the block goes
  mov(rax, qword[rbp + kSyscall]);
  test(rax, rax);
  jz(leave, T_NEAR);
  write_back();
  if (branched) mov(dword[rbp + kNext], r11d);
  mov(rdi, qword[rax + int32_t(offsetof(SyscallHook, context))]);
  mov(rsi, rbp);  // the guest registers open the frame
  sub(rsp, 8);    // the stack 16-byte aligned at the call, as the ABI wants
  call(qword[rax + int32_t(offsetof(SyscallHook, serve))]);
  add(rsp, 8);
  // The call clobbered the caller-saved host registers, and the hook may
  // have answered in any guest register the region caches.
  read_cached();
  if (branched) mov(r11d, dword[rbp + kNext]);
  test(al, al);
  jz(leave, T_NEAR);
}

// ---- leaving and moving on -----------------------------------------------------

Label& RegionCompiler::exit_before(uint32_t k) {
  m_->used[k] = true;
  return m_->exit[k];
}

// The member that starts at pc and b_ may move on to; -1 if none.
int RegionCompiler::member_at(uint32_t pc) const {
  for (size_t i = 0; i < members_.size(); ++i)
    if (members_[i].block->start == pc) return may_chain(*b_, *members_[i].block) ? int(i) : -1;
  return -1;
}

// Ways out of the region: one per jr/jalr, one per static successor that
// is not a member it moves on to.
uint32_t RegionCompiler::links_needed() const {
  uint32_t n = 0;
  for (const Member& m : members_) {
    const Block& b = *m.block;
    n += b.indirect ? 1 : b.next.count;
    for (uint32_t i = 0; i < b.next.count; ++i)
      for (const Member& to : members_)
        if (to.block->start == b.next.pc[i] && may_chain(b, *to.block)) --n;
  }
  return n;
}

// A completed block moves on while more fuel is left than its length: to a
// member of the region by a jump, else through a link the dispatcher makes.
void RegionCompiler::end() {
  const Successors& next = b_->next;
  if (next.count == 0 && !b_->indirect) {
    jmp(m_->complete, T_NEAR);
    return;
  }
  cmp(r14, b_->n);
  jbe(m_->complete, T_NEAR);
  if (b_->indirect) {
    JitLink& link = code_.links[links_used_++];
    link.indirect = true;
    write_back();
    mov(rcx, reinterpret_cast<uintptr_t>(&link));
    for (uint32_t t = 0; t < JitLink::kTargets; ++t) {
      Label miss;
      cmp(r11d, dword[rcx + target_at(t, offsetof(JitLink::Target, pc))]);
      jne(miss, T_NEAR);
      move_on(t, miss);
      L(miss);
    }
    jmp(unlinked(link, false), T_NEAR);
    return;
  }
  for (uint32_t i = 0; i < next.count; ++i) {
    Label other;
    if (next.count > 1 && i == 0) {
      cmp(r11d, next.pc[0]);
      jne(other, T_NEAR);
    }
    if (const int j = member_at(next.pc[i]); j >= 0) {
      // Inside the region the registers stay where they are.
      sub(r14, b_->n);
      mov(word[rbp + kPending], pending_word(b_->exit.load));
      jmp(members_[size_t(j)].entry, T_NEAR);
    } else {
      JitLink& link = code_.links[links_used_++];
      link.target[0].pc = next.pc[i];
      write_back();
      if ((next.pc[i] >> kPageBits) == (b_->start >> kPageBits)) {
        // A direct jump, at first to a stub that gives the fuel back.
        sub(r14, b_->n);
        mov(word[rbp + kPending], pending_word(b_->exit.load));
        jmp(unlinked(link, true), T_NEAR);
        jumps_.push_back({&link, uint32_t(getSize() - 4)});
      } else {
        Label miss;
        mov(rcx, reinterpret_cast<uintptr_t>(&link));
        move_on(0, miss);
        L(miss);
        jmp(unlinked(link, false), T_NEAR);
      }
    }
    L(other);
  }
}

// A way out not yet linked: a stub that gives back the fuel taken (if
// fuel_taken), names the link in the frame for the dispatcher to make, and
// leaves as the block completed.
Label& RegionCompiler::unlinked(JitLink& link, bool fuel_taken) {
  stubs_.push_back(Stub{Label(), &link, fuel_taken, m_});
  return stubs_.back().at;
}

// With rcx at a link: on into its target's code if that was made in this
// code generation, else to miss.
void RegionCompiler::move_on(uint32_t target, Label& miss) {
  mov(rax, qword[rbp + kCodeGen]);
  cmp(rax, qword[rcx + target_at(target, offsetof(JitLink::Target, gen))]);
  jne(miss, T_NEAR);
  sub(r14, b_->n);
  mov(word[rbp + kPending], pending_word(b_->exit.load));
  jmp(qword[rcx + target_at(target, offsetof(JitLink::Target, code))]);
}

// A member's exits: each stores the cached registers, where the block goes
// and the exit record, and returns to the entry thunk.
void RegionCompiler::exits(Member& m, Label& record) {
  Block& b = *m.block;
  for (uint32_t k = 0; k < b.n; ++k) {
    if (!m.used[k]) continue;
    L(m.exit[k]);
    write_back();
    mov(eax, k);
    jmp(k > b.branch_index() ? m.taken : m.fall_through, T_NEAR);
  }
  L(m.complete);
  write_back();
  L(m.complete_written);
  mov(eax, b.n);
  jmp(b.has_delay ? m.taken : m.fall_through, T_NEAR);
  L(m.fall_through);  // the branch has not run: the block goes to its end
  mov(dword[rbp + kNext], b.end_pc());
  mov(rcx, reinterpret_cast<uintptr_t>(&b));
  jmp(record, T_NEAR);
  L(m.taken);  // the branch has run: r11d says where
  mov(dword[rbp + kNext], r11d);
  mov(rcx, reinterpret_cast<uintptr_t>(&b));
  jmp(record, T_NEAR);
}

// The direct jumps of links, once the code is at `at`.
void RegionCompiler::place(uint8_t* at) {
  for (auto [link, offset] : jumps_) link->jump = at + offset;
}

void RegionCompiler::compile() {
  allocate();
  // Never moved after: the code holds their addresses.
  code_.link_count = links_needed();
  code_.links = std::make_unique<JitLink[]>(code_.link_count);
  read_cached();
  for (Member& m : members_) {
    m_ = &m;
    b_ = m.block;
    if (&m != &members_[0]) m.offset = getSize();
    L(m.entry);
    for (uint32_t k = 0; k <= b_->n; ++k)
      if (!op(k)) break;
  }
  tail_ = getSize();
  fills();
  for (Stub& st : stubs_) {
    L(st.at);
    if (st.fuel_taken) add(r14, st.member->block->n);
    mov(rax, reinterpret_cast<uintptr_t>(st.link));
    mov(qword[rbp + kExitLink], rax);
    jmp(st.member->complete_written, T_NEAR);
  }
  Label record;
  for (Member& m : members_) exits(m, record);
  L(record);
  mov(dword[rbp + kExitOp], eax);
  mov(qword[rbp + kExitBlock], rcx);
  ret();
}

// Where each member's code and the members' shared tail lie, once the
// code is at `at`.
void RegionCompiler::tell(CodeListener& listener, const uint8_t* at) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    const size_t end = i + 1 < members_.size() ? members_[i + 1].offset : tail_;
    listener.guest_code(at + members_[i].offset, end - members_[i].offset, members_[i].block->start, false);
  }
  listener.guest_code(at + tail_, getSize() - tail_, members_[0].block->start, true);
}

// The head, then the blocks on its page it moves on to, already decoded
// and chainable, within the region's limits.
std::vector<Block*> region_of(Block& head, CodePage& page) {
  std::vector<Block*> region{&head};
  uint32_t ops = head.n;
  for (size_t i = 0; i < region.size(); ++i) {
    const Block& m = *region[i];
    for (uint32_t j = 0; j < m.next.count; ++j) {
      const uint32_t pc = m.next.pc[j];
      if ((pc >> kPageBits) != (head.start >> kPageBits) || (pc & 3)) continue;
      Block* s = page.blocks[page_offset(pc) / 4].get();
      if (!s || std::find(region.begin(), region.end(), s) != region.end() || !may_chain(m, *s) ||
          ops + s->n > kRegionOps || region.size() >= kRegionBlocks)
        continue;
      region.push_back(s);
      ops += s->n;
    }
  }
  return region;
}

}  // namespace

bool jit_compile(Block& block, CodePage& page, CodeListener* listener) {
  JitCode& code = block.jit;
  code.code = nullptr;
  std::vector<uint8_t> buffer(kMaxRegionCode);
  try {
    RegionCompiler c(region_of(block, page), buffer.data(), buffer.size());
    c.compile();
    c.ready();
    // What the code holds: its links, and the mapping it may need.
    const size_t more = page.jit.growth(c.getSize());
    const uint64_t cost = heap_bytes(uint64_t{code.link_count} * sizeof(JitLink)) + more;
    if (more != SIZE_MAX && CodeLedger::charge(page, cost)) {
      const size_t mapped = page.jit.mapped();
      // Every jump in the code is relative to it, so it runs wherever it is copied.
      code.code = page.jit.add(buffer.data(), c.getSize());
      if (code.code) c.place(static_cast<uint8_t*>(const_cast<void*>(code.code)));
      // A chunk mapped stays counted with the page, whether or not the copy went in.
      else CodeLedger::refund(page, cost - (page.jit.mapped() - mapped));
    }
    if (code.code && listener) {
      if (!std::exchange(listener->shared_told, true)) entry_thunk().tell(*listener);
      c.tell(*listener, static_cast<const uint8_t*>(code.code));
    }
  } catch (const Xbyak::Error&) {
    code.code = nullptr;
  }
  if (!code.code) {
    code.links.reset();
    code.link_count = 0;
  }
  return code.code != nullptr;
}

void jit_enter(JitFrame& frame, L2Table* const* l1, uint64_t fuel, const void* code) {
  const EntryThunk& thunk = entry_thunk();
  std::fill(std::begin(frame.read.tag), std::end(frame.read.tag), JitTlb::kEmpty);
  std::fill(std::begin(frame.write.tag), std::end(frame.write.tag), JitTlb::kEmpty);
  frame.fill_read = thunk.fill_read();
  frame.fill_write = thunk.fill_write();
  frame.exit_link = nullptr;
  thunk.fn()(&frame, l1, fuel, code);
}

#else  // no code generator on this host

bool jit_available() { return false; }
bool jit_compile(Block&, CodePage&, CodeListener*) { return false; }
void jit_enter(JitFrame&, L2Table* const*, uint64_t, const void*) {}

#endif

void jit_link(JitLink& link, const Block& from, const Block& to, uint64_t gen, JitArena& arena) {
  if (!to.jit.code || !may_chain(from, to)) return;
  if (link.indirect) {
    // An inline cache of the last targets met, replaced in turn.
    for (const JitLink::Target& t : link.target)
      if (t.pc == to.start && t.gen == gen) return;
    link.target[link.victim] = JitLink::Target{to.jit.code, gen, to.start};
    link.victim = (link.victim + 1) % JitLink::kTargets;
    return;
  }
  JitLink::Target& t = link.target[0];
  if (t.pc != to.start || t.code == to.jit.code) return;
  if (link.jump && !arena.patch(link.jump, to.jit.code)) return;  // same page: the direct jump
  t.code = to.jit.code;
  t.gen = gen;
}

}  // namespace r3k
