// The emitters of loads and stores: the fast map's lookup, the byte swaps
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

// From the guest address in eax: rdx such that [rdx + rax] is its host
// byte, from the address space's fast map; off the fast path (no pointer,
// not size-aligned, outside user space) it leaves before op k.
void RegionCompiler::translate(uint32_t size, bool write, uint32_t k) {
  if (host_has(Xbyak::util::Cpu::tBMI2)) {
    rorx(ecx, eax, FastMap::kRotate);
  } else {
    mov(ecx, eax);
    ror(ecx, FastMap::kRotate);
  }
  and_(ecx, FastMap::mask(size));
  mov(rdx, qword[kFastMap + rcx * kFastEntryBytes + (write ? kFastWrite : 0)]);
  test(rdx, rdx);
  jz(exit_before(k), T_NEAR);
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
      rol(d.cvt16(), kByteBits);  // big-endian
      if (is_signed) movsx(d, d.cvt16());
      break;
    default:
      if (host_has(Xbyak::util::Cpu::tMOVBE)) {
        movbe(d, dword[rdx + rax]);
      } else {
        mov(d, dword[rdx + rax]);
        bswap(d);
      }
      break;
  }
  commit(o.d, d);
}

void RegionCompiler::store(const Op& o, uint32_t size, uint32_t k) {
  address(o);
  translate(size, true, k);
  if (size == 4 && host_has(Xbyak::util::Cpu::tMOVBE)) {
    movbe(dword[rdx + rax], value(o.t, ecx));
    return;
  }
  mov(ecx, rm(o.t));
  switch (size) {
    case 1: mov(byte[rdx + rax], cl); break;
    case 2:
      rol(cx, kByteBits);
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
  and_(ecx, kByteOffsetMask);
  shl(ecx, kBitsPerByteLog2);
  and_(eax, ~kByteOffsetMask);
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
  aligned_word(o, true, k);
  if (!left) xor_(ecx, kLastByteBits);  // cl = 8(3-k)
  mask(left);
  and_(eax, r10d);
  mov(r10d, rm(o.t));
  left ? shr(r10d, cl) : shl(r10d, cl);
  or_(eax, r10d);
  bswap(eax);
  mov(dword[rdx], eax);
}

}  // namespace r3k::jit

#endif
