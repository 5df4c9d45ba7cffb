// The emitters of loads and stores: the window's guard, the byte swaps
// between the guest's big-endian words and the host's, lwl/lwr/swl/swr.
#if defined(__x86_64__)

#include "cpu/jit_compiler.h"

namespace r3k::jit {

// eax = the guest address r[s] + imm.
void RegionCompiler::address(const Op& o) {
  if (cached(o.s)) {
    lea(eax, ptr[host_[o.s].cvt64() + int32_t(o.imm)]);
  } else {
    mov(eax, slot_[o.s]);
    if (o.imm) add(eax, o.imm);
  }
}

// Leaves before op k unless the guest address in `at` (its low bits are
// enough) is aligned for an access of size bytes, by a jnz the access the
// caller places right after it also leaves through when the window
// refuses it (see cpu_jit.h).
void RegionCompiler::guard(uint32_t size, uint32_t k, const Reg32& at) {
  test(at.cvt8(), size - 1);  // a byte: never taken
  jnz(exit_before(k), T_NEAR);
}

// Where an access of size bytes at r[s] + imm reaches in the window, after
// the guard that leaves before op k on a misaligned address: the guest
// register plus the offset, added in 64 bits (the guard zones around the
// window fault where the guest's sum would wrap), unless the offset makes
// the alignment the register's alone cannot tell.
Xbyak::RegExp RegionCompiler::access(const Op& o, uint32_t size, uint32_t k) {
  const auto imm = int32_t(o.imm);
  if ((uint32_t(imm) & (size - 1)) != 0) {
    address(o);
    guard(size, k);
    return kWindow + rax;
  }
  const Reg32 base = cached(o.s) ? host_[o.s] : eax;
  if (!cached(o.s)) mov(eax, slot_[o.s]);
  guard(size, k, base);
  return kWindow + base.cvt64() + imm;
}

void RegionCompiler::load(const Op& o, uint32_t size, bool is_signed, uint32_t k) {
  // A load into $zero still checks its address, in a scratch register.
  const Reg32 d = o.d == kSink ? ecx : target(o.d, eax);
  const Xbyak::RegExp at = access(o, size, k);
  switch (size) {
    case 1: is_signed ? movsx(d, byte[at]) : movzx(d, byte[at]); break;
    case 2:
      movzx(d, word[at]);
      rol(d.cvt16(), kByteBits);  // big-endian
      if (is_signed) movsx(d, d.cvt16());
      break;
    default:
      if (host_has(Xbyak::util::Cpu::tMOVBE)) {
        movbe(d, dword[at]);
      } else {
        mov(d, dword[at]);
        bswap(d);
      }
      break;
  }
  if (o.d != kSink) commit(o.d, d);
}

void RegionCompiler::store(const Op& o, uint32_t size, uint32_t k) {
  if (size == 4 && host_has(Xbyak::util::Cpu::tMOVBE)) {
    const Reg32 v = value(o.t, ecx);
    movbe(dword[access(o, size, k)], v);
    return;
  }
  mov(ecx, rm(o.t));
  if (size == 2) rol(cx, kByteBits);
  if (size == 4) bswap(ecx);
  const Xbyak::RegExp at = access(o, size, k);
  switch (size) {
    case 1: mov(byte[at], cl); break;
    case 2: mov(word[at], cx); break;
    default: mov(dword[at], ecx); break;
  }
}

// For lwl/lwr/swl/swr: rdx = the host address of the aligned word holding
// the guest address, eax = that word, cl = 8 * the address's byte offset k.
void RegionCompiler::aligned_word(const Op& o, uint32_t k) {
  address(o);
  mov(ecx, eax);
  and_(ecx, kByteOffsetMask);
  shl(ecx, kBitsPerByteLog2);
  and_(eax, ~kByteOffsetMask);
  lea(rdx, ptr[kWindow + rax]);
  guard(1, k);
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
  aligned_word(o, k);
  if (left) {
    shl(eax, cl);
  } else {
    xor_(ecx, kLastByteBits);  // cl = 8(3-k)
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
  aligned_word(o, k);
  if (!left) xor_(ecx, kLastByteBits);  // cl = 8(3-k)
  mask(left);
  and_(eax, r10d);
  mov(r10d, rm(o.t));
  left ? shr(r10d, cl) : shl(r10d, cl);
  or_(eax, r10d);
  bswap(eax);
  guard(1, k);  // the word was readable; it may still refuse the store
  mov(dword[rdx], eax);
}

}  // namespace r3k::jit

#endif
