// The code generator for hot blocks (x86-64 hosts only), on the Xbyak
// assembler.  A hot block gets the code of a region: itself and the blocks
// of its page it moves on to (already decoded, and may_chain allows), up to
// eight blocks.  Each op becomes host code; whatever is
// not the plain case (a fault op, a syscall the kernel does not serve in
// place, a memory access off the fast path, an overflow, a division the
// host cannot do) leaves the generated code before that op has any effect,
// and the interpreter runs the block on from there: every rare path, fault
// report and count stays the interpreter's.
//
// Calling convention between generated code and C++ (the one place it is
// written down):
//
//   Entry.  C++ calls jit_enter(frame, window, fuel, block.jit.code).  The
//   entry thunk saves the host's callee-saved registers, sets up the
//   registers below and `call`s the block's code; every exit of generated
//   code is a `ret` back into the thunk, which stores the fuel into the
//   frame and returns.  Generated code calls nothing but the syscall
//   hook (below).
//
//   Host registers inside generated code (named by role in jit_regs.h):
//     rbp   the RunFrame: guest registers, HI, LO and the exit record
//     r15   the address space's window (Window::base)
//     r14   fuel: instructions the generated code may still start
//     r11d  the block's next pc, from its branch on (see RunFrame::next)
//     rbx rsi rdi r8 r9 r12 r13   guest registers cached within one region
//     rax rcx rdx r10            scratch
//   A region loads its cached guest registers at its entry and stores them
//   at every exit and before moving on to another region's code: between
//   regions, and whenever C++ looks, the frame holds every guest register.
//
//   Memory.  A load or store reaches the guest's byte at r15 + its 32-bit
//   address, in the address space's window, which shows each page with
//   the access its page table's fast-path pointers allow and nothing else.
//   A misaligned address leaves before the op by a jnz; every access is
//   placed right after a `jnz rel32` to that way out (for a byte, after a
//   `test al, 0` that never takes it), so that when the window refuses it
//   (unmapped, protected, a page holding code for a store, outside user
//   space) the host's fault handler (jit_fault.cpp) resumes the code at
//   the jnz's target: the op leaves before it has any effect.  The
//   window cannot change while generated code runs (every path that could
//   change it leaves first).
//
//   Syscall.  With a hook in RunFrame::syscall (else it leaves before the
//   op), a syscall stores the cached registers (and r11d into
//   RunFrame::next when it sits in a delay slot) and calls
//   hook->serve(hook->context, frame) by the C ABI, the guest registers
//   being the frame's first words, with rsp 16-byte aligned.  The call
//   clobbers the caller-saved host registers, so the cached registers and
//   r11d are loaded again.  True: the call was served and the block goes
//   on (its End moves on as any block's); false: the hook did nothing and
//   the code leaves before the syscall, which then stops the run.  The
//   hook never changes the page table or memory, so the window and
//   the code generation stay valid.
//
//   Moving on.  A block that completes goes on to its successor without
//   returning when more fuel is left than its own length, which it then
//   takes off, storing the load-delay state it leaves (RunFrame::pending):
//     - to a member of its region: a jump, the registers staying in place;
//     - else through a JitLink, a way out of the region that the dispatcher
//       makes the first time it sees the block completed there (the code
//       names the link in RunFrame::exit_link when it leaves by it
//       unmade).  A static target on the same page is reached by a direct
//       jump patched in (pages are dropped whole, so it never outlives its
//       target); any other target, static or, for jr/jalr, the last two
//       met (an inline cache keyed on the pc), through the link read in
//       place, valid only in the address space's code generation it was
//       made in (RunFrame::code_gen): no decoded code dropped since.
//
//   Exit.  The frame's exit record names the block and the op index where
//   the interpreter goes on: the block's op count when it completed,
//   otherwise the op it left before, none of whose effects happened.
//   RunFrame::next is then where that block goes (its fall-through until
//   its branch says otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cpu/code_arena.h"
#include "cpu/run_frame.h"

namespace r3k {

class CodeListener;
struct Block;
struct CodePage;
struct L2Table;

// One way out of a region's code into another block's code: static, one
// target; for jr/jalr, an inline cache of the last two targets met,
// replaced in turn.  A target holds only in the address space's code
// generation it was made in; a static target on the same page is reached by
// a direct jump patched in instead.
struct JitLink {
  // Never a generation an address space reaches: the target is not made.
  static constexpr uint64_t kUnlinked = ~uint64_t{0};
  static constexpr uint32_t kTargets = 2;
  struct Target {
    const void* code = nullptr;
    uint64_t gen = kUnlinked;
    uint32_t pc = 0;
  } target[kTargets];
  bool indirect = false;
  uint32_t victim = 0;      // inline cache: the target to replace next
  uint8_t* jump = nullptr;  // same page: the rel32 of the direct jump
};

// A block's generated code (of the region it heads) and its ways out.
struct JitCode {
  const void* code = nullptr;  // entry, once generated
  uint32_t heat = 0;           // complete runs so far without code
  bool failed = false;         // generation refused: stay interpreted
  // Read by the code in place, so never moved once it is generated.
  uint32_t link_count = 0;
  std::unique_ptr<JitLink[]> links;
};

// Generates the code of the region block heads on its page (block.jit),
// counting what it holds against the host memory, which may drop other
// pages' code to make room (never this page's); false when it cannot (no
// code generator on this host, no room, or the page's allowance spent).
// The listener, when there is one, is told where the code went.
bool jit_compile(Block& block, CodePage& page, CodeListener* listener = nullptr);

// Makes the way out `link`, by which generated code left when `from`
// completed towards to.start, lead into to's code if may_chain(from, to)
// holds; valid while the code generation is gen.  The link's code lives in
// arena.
void jit_link(JitLink& link, const Block& from, const Block& to, uint64_t gen, JitArena& arena);

// Runs generated code from `code` (a block's entry) until it leaves; the
// frame then holds the exit record and the fuel left.
void jit_enter(RunFrame& frame, uint8_t* window, uint64_t fuel, const void* code);

}  // namespace r3k
