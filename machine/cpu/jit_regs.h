// The host registers generated code gives a role, the frame's fields and
// the sizes its code relies on, by name: the one list the entry thunk, the
// register allocation, the emitters and the exits all use (the calling
// convention they follow is written down in cpu_jit.h).  x86-64 only.
#pragma once

#include <xbyak/xbyak.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "cpu/cpu_jit.h"
#include "cpu/jump_cache.h"

namespace r3k::jit {

using Xbyak::Operand;
using Xbyak::Reg32;
using Xbyak::Reg64;

// Set up by the entry thunk and kept through all of generated code.
inline constexpr Reg64 kFrame{Operand::RBP};   // the RunFrame
inline constexpr Reg64 kWindow{Operand::R15};  // the address space's Window::base
inline constexpr Reg64 kFuel{Operand::R14};    // instructions the code may still start
// The running block's next pc, from its branch on (RunFrame::next).
inline constexpr Reg32 kNextPc{Operand::R11D};
// Guest registers cached within one region, handed out in this order.
inline constexpr Reg32 kCachePool[] = {Reg32(Operand::EBX), Reg32(Operand::ESI), Reg32(Operand::EDI),
                                       Reg32(Operand::R8D), Reg32(Operand::R9D), Reg32(Operand::R12D),
                                       Reg32(Operand::R13D)};
// Scratch: rax rcx rdx r10, used under Xbyak's names because x86 fixes
// their jobs (cl counts a shift, edx:eax multiplies and divides, al is a
// call's bool).  By convention eax holds a memory op's guest address, rcx
// a JitLink on the way out.

// The host's callee-saved registers the entry thunk keeps, in push order.
inline constexpr Reg64 kCalleeSaved[] = {Reg64(Operand::RBP), Reg64(Operand::RBX), Reg64(Operand::R12),
                                         Reg64(Operand::R13), Reg64(Operand::R14), Reg64(Operand::R15)};
// The C ABI's first four integer arguments (System V).
inline constexpr Reg64 kArg0{Operand::RDI};
inline constexpr Reg64 kArg1{Operand::RSI};
inline constexpr Reg64 kArg2{Operand::RDX};
inline constexpr Reg64 kArg3{Operand::RCX};
// What a `call` leaves rsp off 16-byte alignment by (its return address):
// taken off again before each call generated code makes.
inline constexpr int kCallPad = 8;

// Largest code a region may need (each op at most about 70 bytes, plus an
// exit of about 40 per op and the ways out): generation into a buffer of
// this size never runs out, and fails cleanly if it ever did.
inline constexpr size_t kMaxRegionCode = 64 << 10;
// The entry thunk's buffer.
inline constexpr size_t kThunkCode = 4096;

// The frame's fields, as offsets from kFrame.
constexpr int32_t frame_at(size_t offset) { return int32_t(offset); }
inline constexpr int32_t kNext = frame_at(offsetof(RunFrame, next));
inline constexpr int32_t kHi = frame_at(offsetof(RunFrame, hi));
inline constexpr int32_t kLo = frame_at(offsetof(RunFrame, lo));
inline constexpr int32_t kPending = frame_at(offsetof(RunFrame, pending));
inline constexpr int32_t kFuelLeft = frame_at(offsetof(RunFrame, fuel));
inline constexpr int32_t kCodeGen = frame_at(offsetof(RunFrame, code_gen));
inline constexpr int32_t kExitBlock = frame_at(offsetof(RunFrame, exit_block));
inline constexpr int32_t kExitOp = frame_at(offsetof(RunFrame, exit_op));
inline constexpr int32_t kExitLink = frame_at(offsetof(RunFrame, exit_link));
inline constexpr int32_t kSyscall = frame_at(offsetof(RunFrame, syscall));
inline constexpr int32_t kPeriod = frame_at(offsetof(RunFrame, period));
inline constexpr int32_t kFuelAdded = frame_at(offsetof(RunFrame, fuel_added));
inline constexpr int32_t kRefills = frame_at(offsetof(RunFrame, refills));
static_assert(offsetof(RunFrame, r) == 0, "a syscall hook is handed the frame as the guest registers");
// A guest register's slot in the frame: r[g].
inline constexpr int32_t kSlotBytes = int32_t(sizeof(RunFrame::r[0]));
constexpr int32_t slot_at(uint32_t g) { return int32_t(kSlotBytes * g); }

// Offset of a field of target t in a JitLink.
constexpr int32_t target_at(uint32_t t, size_t field) {
  return int32_t(offsetof(JitLink, target) + t * sizeof(JitLink::Target) + field);
}
// The pending-load record is stored with one 32-bit move of its bytes and
// the padding after them (a 16-bit immediate would stall the decoder).
inline uint32_t pending_word(const PendingLoad& p) { return std::bit_cast<uint16_t>(p); }
static_assert(offsetof(RunFrame, fuel) >= offsetof(RunFrame, pending) + 4);

// Guest words: 4 bytes of 8 bits, at a multiple of 4.
inline constexpr uint32_t kByteOffsetMask = 3;  // a byte's offset in its word
inline constexpr uint32_t kBitsPerByteLog2 = 3;
inline constexpr int kByteBits = 8;               // a halfword rotated by it swaps its bytes
inline constexpr uint32_t kLastByteBits = 8 * 3;  // 8 * the last byte's offset
inline constexpr uint32_t kInt32Min = 0x80000000u;

// The JumpCache's index is the pc's word number, kept scaled by the word
// size (its low two bits are zero), and scaled once more into an entry.
inline constexpr uint32_t kPcAlignBits = 2;
inline constexpr int kJumpEntryScale = int(sizeof(JumpCache::Entry) >> kPcAlignBits);

}  // namespace r3k::jit
