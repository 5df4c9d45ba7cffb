// x86-64 templates for the ops of a decoded block.  Register use: rdi
// holds the JitFrame, rsi the address space's first-level page table, r8
// the fuel (written back to the frame on the way out); eax, ecx and edx
// are scratch.  Nothing is called, so no stack frame.
#include "cpu/cpu_jit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "cpu/cpu_block.h"

namespace r3k {

namespace {

constexpr size_t kChunkSize = 64 << 10;
// Generated code one code page may hold: blocks re-decoded again and again
// (a delay slot on a changing page) must not grow it without end.
constexpr size_t kPageAllowance = 1 << 20;
// Generated code of all address spaces together (many processes with code
// on many pages): past it, blocks stay interpreted rather than use up the
// host's mappings.
constexpr size_t kHostAllowance = size_t(512) << 20;
std::atomic<size_t> g_mapped{0};

}  // namespace

JitArena::~JitArena() {
  for (const Chunk& c : chunks_) {
    munmap(c.base, c.size);
    g_mapped -= c.size;
  }
}

void* JitArena::add(const std::vector<uint8_t>& code) {
  // Code starts 16 bytes into a chunk and on 16-byte boundaries, so that a
  // sanitizer looking just before a called function reads mapped memory.
  size_t len = (code.size() + 15) & ~size_t(15);
  if (total_ + len > kPageAllowance) return nullptr;
  Chunk* c = chunks_.empty() ? nullptr : &chunks_.back();
  if (!c || c->used + len > c->size) {
    size_t size = std::max(kChunkSize, (len + 16 + 4095) & ~size_t(4095));
    if (g_mapped.fetch_add(size) + size > kHostAllowance) {
      g_mapped -= size;
      return nullptr;
    }
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      g_mapped -= size;
      return nullptr;
    }
    chunks_.push_back(Chunk{static_cast<uint8_t*>(p), size, 16});
    c = &chunks_.back();
  }
  if (mprotect(c->base, c->size, PROT_READ | PROT_WRITE) != 0) return nullptr;
  uint8_t* at = c->base + c->used;
  std::memcpy(at, code.data(), code.size());
  bool ok = mprotect(c->base, c->size, PROT_READ | PROT_EXEC) == 0;
  if (!ok) return nullptr;
  c->used += len;
  total_ += len;
  return at;
}

bool JitArena::patch(std::initializer_list<std::pair<uint8_t*, const void*>> jumps) {
  const uintptr_t host_page = uintptr_t(sysconf(_SC_PAGESIZE));
  for (auto [at, target] : jumps) {
    uintptr_t lo = uintptr_t(at) & ~(host_page - 1);
    uintptr_t hi = (uintptr_t(at) + 4 + host_page - 1) & ~(host_page - 1);
    void* page = reinterpret_cast<void*>(lo);
    if (mprotect(page, hi - lo, PROT_READ | PROT_WRITE) != 0) return false;
    int32_t rel = int32_t(reinterpret_cast<const uint8_t*>(target) - (at + 4));
    std::memcpy(at, &rel, 4);
    if (mprotect(page, hi - lo, PROT_READ | PROT_EXEC) != 0) return false;
  }
  return true;
}

bool jit_available() { return jit_supported(); }

bool jit_supported() {
#if defined(__x86_64__)
  return true;
#else
  return false;
#endif
}

namespace {

// Host registers by their encoding numbers.
enum Reg : uint8_t { RAX = 0, RCX = 1, RDX = 2, RSI = 6, RDI = 7 };
// Condition codes, as in Jcc and SETcc.
enum Cond : uint8_t { O = 0, B = 2, E = 4, NE = 5, BE = 6, S = 8, NS = 9, L = 0xc, GE = 0xd, LE = 0xe, G = 0xf };
// The /digit of the 0x81 (immediate) group and the 0xf7 group.
enum Group : uint8_t {
  kAluAdd = 0, kAluOr = 1, kAluAnd = 4, kAluSub = 5, kAluXor = 6, kAluCmp = 7,  // 0x81
  kHostNot = 2, kHostMul = 4, kHostImul = 5, kHostDiv = 6, kHostIdiv = 7,        // 0xf7
  kShiftLeft = 4, kShiftRight = 5, kShiftArith = 7,                              // 0xc1, 0xd3
};
// Opcodes of "op r32, r/m32".
enum RegMem : uint8_t { kAddRM = 0x03, kOrRM = 0x0b, kAndRM = 0x23, kSubRM = 0x2b, kXorRM = 0x33, kCmpRM = 0x3b };

constexpr int32_t kNext = offsetof(JitFrame, next);
constexpr int32_t kFuel = offsetof(JitFrame, fuel);
// Blocks that move on to another enter it past its first instruction,
// which takes the fuel from the caller.
constexpr size_t kChainEntry = 3;
constexpr int32_t kChain = offsetof(JitFrame, chain);
constexpr int32_t kHi = offsetof(JitFrame, hi);
constexpr int32_t kLo = offsetof(JitFrame, lo);
constexpr int32_t reg_at(uint32_t r) { return int32_t(4 * r); }

class Emitter {
 public:
  explicit Emitter(const Block& b) : block(b) {}
  const Block& block;
  std::vector<uint8_t> out;

  void byte(uint32_t b) { out.push_back(uint8_t(b)); }
  void bytes(std::initializer_list<uint8_t> bs) { out.insert(out.end(), bs); }
  void imm32(uint32_t v) {
    for (int k = 0; k < 4; ++k) byte(v >> (8 * k));
  }
  // ModRM for [rdi + disp] with reg in the reg field.
  void frame(uint8_t reg, int32_t disp) {
    if (disp >= -128 && disp < 128) {
      byte(0x40 | reg << 3 | RDI);
      byte(uint32_t(disp));
    } else {
      byte(0x80 | reg << 3 | RDI);
      imm32(uint32_t(disp));
    }
  }
  void load(uint8_t reg, int32_t disp) { byte(0x8b), frame(reg, disp); }     // mov r32, [rdi+disp]
  void store(int32_t disp, uint8_t reg) { byte(0x89), frame(reg, disp); }    // mov [rdi+disp], r32
  void store_imm(int32_t disp, uint32_t v) { byte(0xc7), frame(0, disp), imm32(v); }
  void op_mem(uint8_t opcode, uint8_t reg, int32_t disp) { byte(opcode), frame(reg, disp); }
  void op_imm(uint8_t group, uint8_t reg, uint32_t v) { bytes({0x81, uint8_t(0xc0 | group << 3 | reg)}), imm32(v); }
  void shift_imm(uint8_t group, uint8_t reg, uint32_t n) {
    if (n) bytes({0xc1, uint8_t(0xc0 | group << 3 | reg), uint8_t(n)});
  }
  void shift_cl(uint8_t group, uint8_t reg) { bytes({0xd3, uint8_t(0xc0 | group << 3 | reg)}); }
  void unary(uint8_t group, uint8_t reg) { bytes({0xf7, uint8_t(0xc0 | group << 3 | reg)}); }
  void unary_mem(uint8_t group, int32_t disp) { byte(0xf7), frame(group, disp); }
  void mov_imm(uint8_t reg, uint32_t v) { byte(0xb8 + reg), imm32(v); }
  void zero(uint8_t reg) { bytes({0x31, uint8_t(0xc0 | reg << 3 | reg)}); }  // xor r32, r32
  void setcc(uint8_t cc, uint8_t reg) { bytes({0x0f, uint8_t(0x90 | cc), uint8_t(0xc0 | reg)}); }
  void ret() { byte(0xc3); }
  // rel32 jump or conditional jump to a place not yet known: returns the
  // offset just past the field.
  size_t jump() {
    byte(0xe9);
    imm32(0);
    return out.size();
  }
  void point(size_t site, size_t target) {
    uint32_t rel = uint32_t(target - site);
    std::memcpy(out.data() + site - 4, &rel, 4);
  }

  // A forward jump over a short stretch: returns where to patch.
  size_t skip_if(uint8_t cc) {
    bytes({uint8_t(0x70 | cc), 0});
    return out.size();
  }
  void land(size_t from) { out[from - 1] = uint8_t(out.size() - from); }

  // A jump to the exit stub of op k, patched once the stubs are laid out.
  void exit_if(uint8_t cc, uint32_t k) {
    bytes({0x0f, uint8_t(0x80 | cc)});
    imm32(0);
    fixups.push_back({out.size(), k});
  }
  // Leaves with op k of this block as the place to go on from.
  void leave(uint32_t k) {
    bytes({0x4c, 0x89}), frame(0, kFuel);  // mov [rdi+fuel], r8
    mov_imm(RAX, k);
    bytes({0x48, 0xba});  // mov rdx, imm64
    uint64_t p = reinterpret_cast<uintptr_t>(&block);
    for (int i = 0; i < 8; ++i) byte(uint32_t(p >> (8 * i)));
    ret();
  }

  void finish(uint32_t ops) {
    std::vector<size_t> stub(ops + 1, 0);
    for (auto [at, k] : fixups) {
      if (!stub[k]) {
        stub[k] = out.size();
        leave(k);
      }
      point(at, stub[k]);
    }
  }

 private:
  struct Fixup {
    size_t at;  // just past the rel32
    uint32_t k;
  };
  std::vector<Fixup> fixups;
};

// Offsets of the fast-path pointer arrays in a second-level table.
int32_t table_offset(bool write) {
  L2Table& t = AddressSpace::Impl::empty_table();
  auto* base = reinterpret_cast<const char*>(&t);
  return int32_t((write ? reinterpret_cast<const char*>(t.wr) : reinterpret_cast<const char*>(t.rd)) - base);
}

// eax = r[s] + imm; rdx = host page of eax, or a jump to k's exit when
// there is none or eax is not size-aligned; then eax = offset in the page.
void locate(Emitter& e, const Op& o, uint32_t size, bool write, uint32_t k) {
  e.load(RAX, reg_at(o.s));
  if (o.imm) e.op_imm(kAluAdd, RAX, o.imm);
  if (size > 1) {
    e.bytes({0xa8, uint8_t(size - 1)});  // test al, size-1
    e.exit_if(NE, k);
  }
  e.bytes({0x89, 0xc1});                  // mov ecx, eax
  e.shift_imm(kShiftRight, RCX, kPageBits + kL2Bits);
  e.bytes({0x48, 0x8b, 0x14, 0xce});      // mov rdx, [rsi + rcx*8]
  e.bytes({0x89, 0xc1});                  // mov ecx, eax
  e.shift_imm(kShiftRight, RCX, kPageBits);
  e.op_imm(kAluAnd, RCX, kL2Size - 1);
  e.bytes({0x48, 0x8b, 0x94, 0xca});      // mov rdx, [rdx + rcx*8 + disp32]
  e.imm32(uint32_t(table_offset(write)));
  e.bytes({0x48, 0x85, 0xd2});            // test rdx, rdx
  e.exit_if(E, k);
  e.op_imm(kAluAnd, RAX, kPageSize - 1);
}

// Successors a completed block can go to without the dispatcher: static
// branch targets and the fall-through, on the block's own page.
void find_edges(Block& b) {
  b.jit_edge[0] = b.jit_edge[1] = JitEdge{};
  // With a HI/LO guard still running, the next block needs its checks.
  if (b.exit_guard) return;
  uint32_t targets[2] = {1, 1};
  const Op* last = nullptr;
  for (uint32_t k = 0; k < b.n; ++k)
    if (insn_info(b.raw[k]).branch) last = &b.ops[k];
  const uint32_t fall = b.start + 4 * b.n;
  if (!last) {
    targets[0] = fall;
  } else {
    switch (last->code) {
      case OpCode::Beq: case OpCode::Bne: case OpCode::Blez: case OpCode::Bgtz:
      case OpCode::Bltz: case OpCode::Bgez: case OpCode::Bltzal: case OpCode::Bgezal:
        targets[0] = last->imm;
        targets[1] = fall;
        break;
      case OpCode::B: case OpCode::J: case OpCode::Jal: targets[0] = last->imm; break;
      default: break;  // jr, jalr: known only when run
    }
  }
  for (int i = 0, n = 0; i < 2; ++i) {
    uint32_t t = targets[i];
    if (t == 1 || (t >> kPageBits) != (b.start >> kPageBits)) continue;
    if (n == 1 && b.jit_edge[0].pc == t) continue;
    b.jit_edge[n++].pc = t;
  }
}

// Whether to may run right after from without the dispatcher's look:
// no load-delay hazard across, and no delay slot on another page to check.
bool may_follow(const Block& from, const Block& to) {
  if (to.spill || !to.cached) return false;
  uint32_t reads = from.exit_load_partial ? to.first_reads_partial : to.first_reads;
  return !(from.exit_load_reg && (reads >> from.exit_load_reg & 1));
}

// The end of a completed block: on to a linked successor while the fuel
// lasts, else back to the dispatcher.
void emit_end(Emitter& e, Block& b, uint32_t k) {
  if (b.jit_edge[0].pc == 1) {
    e.leave(k);
    return;
  }
  e.bytes({0x49, 0x83, 0xf8, uint8_t(k)});  // cmp r8, n
  size_t out_of_fuel = e.skip_if(BE);
  e.load(RAX, kNext);
  size_t mains[2] = {};
  for (int i = 0; i < 2 && b.jit_edge[i].pc != 1; ++i) {
    e.byte(0x3d), e.imm32(b.jit_edge[i].pc);  // cmp eax, pc
    size_t skip = e.skip_if(NE);
    mains[i] = e.jump();
    e.land(skip);
  }
  e.land(out_of_fuel);
  size_t leave_at = e.out.size();
  e.leave(k);
  for (int i = 0; i < 2 && b.jit_edge[i].pc != 1; ++i) {
    JitEdge& edge = b.jit_edge[i];
    e.point(mains[i], leave_at);  // until linked
    edge.main_site = uint32_t(mains[i]);
    edge.edge_at = uint32_t(e.out.size());
    e.bytes({0x49, 0x83, 0xe8, uint8_t(k)});  // sub r8, n
    e.store_imm(kChain, uint32_t(b.exit_load_reg) | (b.exit_load_partial ? 0x100u : 0u));
    edge.edge_site = uint32_t(e.jump());
    e.point(edge.edge_site, leave_at);
    if (edge.pc == b.start && may_follow(b, b)) {
      // A loop on itself: linked from the start.
      e.point(edge.main_site, edge.edge_at);
      e.point(edge.edge_site, kChainEntry);
      edge.linked = true;
    }
  }
}

// Emits op k; false when the rest of the block is the interpreter's.
bool emit_op(Emitter& e, Block& b, uint32_t k) {
  const Op& o = b.ops[k];
  const int32_t d = reg_at(o.d), s = reg_at(o.s), t = reg_at(o.t);
  const uint32_t link = b.start + 4 * b.n;
  auto binary = [&](uint8_t opcode) {
    e.load(RAX, s);
    e.op_mem(opcode, RAX, t);
    e.store(d, RAX);
  };
  auto with_imm = [&](uint8_t group) {
    e.load(RAX, s);
    e.op_imm(group, RAX, o.imm);
    e.store(d, RAX);
  };
  auto compare = [&](uint8_t cc, bool imm) {
    e.zero(RDX);
    e.load(RAX, s);
    if (imm)
      e.op_imm(kAluCmp, RAX, o.imm);
    else
      e.op_mem(kCmpRM, RAX, t);
    e.setcc(cc, RDX);
    e.store(d, RDX);
  };
  auto shift = [&](uint8_t group, bool variable) {
    e.load(RAX, t);
    if (variable) {
      e.load(RCX, s);
      e.shift_cl(group, RAX);  // the host masks the count to 5 bits, as MIPS does
    } else {
      e.shift_imm(group, RAX, o.imm);
    }
    e.store(d, RAX);
  };
  // Taken when the condition holds: next = target.
  auto branch_unless = [&](uint8_t not_taken) {
    size_t skip = e.skip_if(not_taken);
    e.store_imm(kNext, o.imm);
    e.land(skip);
  };
  auto overflowing = [&](uint8_t opcode_or_group, bool imm) {
    e.load(RAX, s);
    if (imm)
      e.op_imm(opcode_or_group, RAX, o.imm);
    else
      e.op_mem(opcode_or_group, RAX, t);
    e.exit_if(O, k);
    e.store(d, RAX);
  };

  switch (o.code) {
    case OpCode::Nop: break;
    case OpCode::Li: e.store_imm(d, o.imm); break;
    case OpCode::Move: e.load(RAX, s), e.store(d, RAX); break;
    case OpCode::Sll: shift(kShiftLeft, false); break;
    case OpCode::Srl: shift(kShiftRight, false); break;
    case OpCode::Sra: shift(kShiftArith, false); break;
    case OpCode::Sllv: shift(kShiftLeft, true); break;
    case OpCode::Srlv: shift(kShiftRight, true); break;
    case OpCode::Srav: shift(kShiftArith, true); break;
    case OpCode::Mfhi: e.load(RAX, kHi), e.store(d, RAX); break;
    case OpCode::Mflo: e.load(RAX, kLo), e.store(d, RAX); break;
    case OpCode::Mthi: e.load(RAX, s), e.store(kHi, RAX); break;
    case OpCode::Mtlo: e.load(RAX, s), e.store(kLo, RAX); break;
    case OpCode::Mult:
    case OpCode::Multu:
      e.load(RAX, s);
      e.unary_mem(o.code == OpCode::Mult ? kHostImul : kHostMul, t);  // edx:eax = eax * [t]
      e.store(kLo, RAX);
      e.store(kHi, RDX);
      break;
    case OpCode::Div:
    case OpCode::Divu: {
      // Division by zero, and INT_MIN / -1 (a host trap), go to the
      // interpreter, which gives the R3000's results.
      e.load(RCX, t);
      e.bytes({0x85, 0xc9});  // test ecx, ecx
      e.exit_if(E, k);
      e.load(RAX, s);
      if (o.code == OpCode::Div) {
        e.bytes({0x83, 0xf9, 0xff});  // cmp ecx, -1
        size_t skip = e.skip_if(NE);
        e.op_imm(kAluCmp, RAX, 0x80000000u);
        e.exit_if(E, k);
        e.land(skip);
        e.byte(0x99);  // cdq
        e.unary(kHostIdiv, RCX);
      } else {
        e.zero(RDX);
        e.unary(kHostDiv, RCX);
      }
      e.store(kLo, RAX);
      e.store(kHi, RDX);
      break;
    }
    case OpCode::Add: overflowing(kAddRM, false); break;
    case OpCode::Sub: overflowing(kSubRM, false); break;
    case OpCode::Addi: overflowing(kAluAdd, true); break;
    case OpCode::Addu: binary(kAddRM); break;
    case OpCode::Subu: binary(kSubRM); break;
    case OpCode::And: binary(kAndRM); break;
    case OpCode::Or: binary(kOrRM); break;
    case OpCode::Xor: binary(kXorRM); break;
    case OpCode::Nor:
      e.load(RAX, s);
      e.op_mem(kOrRM, RAX, t);
      e.unary(kHostNot, RAX);
      e.store(d, RAX);
      break;
    case OpCode::Slt: compare(L, false); break;
    case OpCode::Sltu: compare(B, false); break;
    case OpCode::Addiu: with_imm(kAluAdd); break;
    case OpCode::Slti: compare(L, true); break;
    case OpCode::Sltiu: compare(B, true); break;
    case OpCode::Andi: with_imm(kAluAnd); break;
    case OpCode::Ori: with_imm(kAluOr); break;
    case OpCode::Xori: with_imm(kAluXor); break;

    case OpCode::Lb:
    case OpCode::Lbu:
      locate(e, o, 1, false, k);
      e.bytes({0x0f, uint8_t(o.code == OpCode::Lb ? 0xbe : 0xb6), 0x04, 0x02});  // movsx/movzx eax, byte [rdx+rax]
      e.store(d, RAX);
      break;
    case OpCode::Lh:
    case OpCode::Lhu:
      locate(e, o, 2, false, k);
      e.bytes({0x0f, 0xb7, 0x04, 0x02});  // movzx eax, word [rdx+rax]
      e.bytes({0x66, 0xc1, 0xc0, 0x08});  // rol ax, 8: big-endian
      if (o.code == OpCode::Lh) e.bytes({0x0f, 0xbf, 0xc0});  // movsx eax, ax
      e.store(d, RAX);
      break;
    case OpCode::Lw:
      locate(e, o, 4, false, k);
      e.bytes({0x8b, 0x04, 0x02});  // mov eax, [rdx+rax]
      e.bytes({0x0f, 0xc8});        // bswap eax
      e.store(d, RAX);
      break;
    case OpCode::Sb:
      locate(e, o, 1, true, k);
      e.load(RCX, t);
      e.bytes({0x88, 0x0c, 0x02});  // mov [rdx+rax], cl
      break;
    case OpCode::Sh:
      locate(e, o, 2, true, k);
      e.load(RCX, t);
      e.bytes({0x66, 0xc1, 0xc1, 0x08});  // rol cx, 8
      e.bytes({0x66, 0x89, 0x0c, 0x02});  // mov [rdx+rax], cx
      break;
    case OpCode::Sw:
      locate(e, o, 4, true, k);
      e.load(RCX, t);
      e.bytes({0x0f, 0xc9});        // bswap ecx
      e.bytes({0x89, 0x0c, 0x02});  // mov [rdx+rax], ecx
      break;

    case OpCode::Beq:
      e.load(RAX, s);
      e.op_mem(kCmpRM, RAX, t);
      branch_unless(NE);
      break;
    case OpCode::Bne:
      e.load(RAX, s);
      e.op_mem(kCmpRM, RAX, t);
      branch_unless(E);
      break;
    case OpCode::Blez:
    case OpCode::Bgtz:
    case OpCode::Bltz:
    case OpCode::Bgez: {
      e.byte(0x83), e.frame(kAluCmp, s), e.byte(0);  // cmp dword [rdi+s], 0
      uint8_t not_taken = o.code == OpCode::Blez ? G : o.code == OpCode::Bgtz ? LE : o.code == OpCode::Bltz ? GE : L;
      branch_unless(not_taken);
      break;
    }
    case OpCode::Bltzal:
    case OpCode::Bgezal:
      // The condition is read before the link is written (rs may be ra).
      e.load(RAX, s);
      e.store_imm(reg_at(31), link);
      e.bytes({0x85, 0xc0});  // test eax, eax
      branch_unless(o.code == OpCode::Bltzal ? NS : S);
      break;
    case OpCode::B:
    case OpCode::J: e.store_imm(kNext, o.imm); break;
    case OpCode::Jal:
      e.store_imm(reg_at(31), link);
      e.store_imm(kNext, o.imm);
      break;
    case OpCode::Jr: e.load(RAX, s), e.store(kNext, RAX); break;
    case OpCode::Jalr:
      e.load(RAX, s);  // before the link, in case rd == rs
      e.store_imm(d, o.imm);
      e.store(kNext, RAX);
      break;

    case OpCode::End:
      emit_end(e, b, k);
      return false;
    default:  // syscall, fault, lwl/lwr/swl/swr: the interpreter's
      e.leave(k);
      return false;
  }
  return true;
}

}  // namespace

bool jit_compile(Block& block, JitArena& arena) {
  block.jit = nullptr;
  if (!jit_supported()) return false;
  find_edges(block);
  Emitter e(block);
  e.out.reserve(64 * block.n + 128);
  e.bytes({0x49, 0x89, 0xd0});  // mov r8, rdx: the fuel, kept in r8 throughout
  static_assert(kChainEntry == 3);
  e.store_imm(kNext, block.start + 4 * block.n);
  for (uint32_t k = 0; k <= block.n; ++k)
    if (!emit_op(e, block, k)) break;
  e.finish(block.n);
  void* code = arena.add(e.out);
  if (!code) {
    block.jit_edge[0] = block.jit_edge[1] = JitEdge{};
    return false;
  }
  block.jit = reinterpret_cast<JitFn>(code);
  return true;
}

void jit_link(Block& from, const Block& to, JitArena& arena) {
  if (!from.jit || !to.jit || !may_follow(from, to)) return;
  auto* base = reinterpret_cast<uint8_t*>(from.jit);
  for (JitEdge& edge : from.jit_edge) {
    if (edge.pc != to.start || edge.linked) continue;
    edge.linked = arena.patch({{base + edge.edge_site - 4, reinterpret_cast<const uint8_t*>(to.jit) + kChainEntry},
                               {base + edge.main_site - 4, base + edge.edge_at}});
  }
}

}  // namespace r3k
