// What a fault report says beyond the fault itself: the function the
// faulting instruction lies in, the likely cause where the machine can
// know it from the fault, the page table and its own limits, and the
// calls that led there.
#include <cstdio>

#include "r3k/kernel.h"

namespace r3k {
namespace {

// The code of `break` that the compiler's check (and the runtime's 64-bit
// division) executes before dividing by zero.
constexpr uint32_t kBreakDivideByZero = 7;
// Accesses this far below the stack's grow region are taken for a frame
// that ran past the stack's end.
constexpr uint32_t kStackSlack = 1u << 20;

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

uint32_t word_at(const AddressSpace& space, uint32_t addr) {
  uint8_t b[4] = {};
  if (addr > kUserEnd - 4 || !space.peek(addr, b, 4)) return 0;
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

}  // namespace

// " (called from A <- B <- ...)", innermost first, as gdb's backtrace
// lists frames; each caller named at its call instruction, "? " before
// one that is likely rather than known.  Empty when no caller is found.
std::string Kernel::callers(const Process& p, const Fault& f) const {
  if (!p.program) return {};
  const AddressSpace& space = *p.space;
  uint32_t pc = f.pc;
  // A call that already linked took ra from the function it is in: in a
  // call's delay slot, or at the bad target of a call (whose function the
  // report names at the call).  A fetch fault after any other jump has
  // left its function's frame behind.
  bool ra_live = !(f.in_delay_slot && f.pc >= 4 && links_ra(word_at(space, f.pc - 4)));
  if (f.fetch) {
    if (f.from_pc == 0 || !links_ra(word_at(space, f.from_pc))) return {};
    pc = f.from_pc;
    ra_live = false;
  }
  const auto chain = p.program->callers(p.cpu->state().gpr, pc, ra_live, space, kReportedCallers + 1);
  if (chain.empty()) return {};
  std::string text = " (called from ";
  for (size_t i = 0; i < chain.size() && i < kReportedCallers; ++i) {
    const std::string name = p.program->code_name(chain[i].pc);
    text += (i ? " <- " : "") + std::string(chain[i].sure ? "" : "? ") + (name.empty() ? hex8(chain[i].pc) : name);
  }
  return text + (chain.size() > kReportedCallers ? " <- ...)" : ")");
}

std::string Kernel::explain(const Process& p, const Fault& f) const {
  const AddressSpace& space = *p.space;
  // By the symbols of the program it runs now (after an execv, the new one's).
  auto where = [&](uint32_t pc) { return p.program ? p.program->code_name(pc) : std::string(); };
  const uint32_t stack_lo = kUserEnd - opts_.stack_size;
  std::string cause;
  if (f.fetch) {
    const uint8_t prot = f.pc < kUserEnd ? space.prot(f.pc) : uint8_t{kProtNone};
    cause = f.pc >= kUserEnd ? "outside user space"
            : f.pc & 3       ? "to an unaligned address"
            : prot == 0      ? "to an unmapped address"
                             : "to a non-executable page";
    if (f.from_pc != 0) {
      uint8_t b[4];
      const std::string jump =
          space.peek(f.from_pc, b, 4)
              ? disassemble(uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3], f.from_pc)
              : "a jump";
      const std::string from = where(f.from_pc);
      cause = "jump " + cause + " from " + jump + " at " + hex8(f.from_pc) + (from.empty() ? "" : " in " + from);
    } else {
      cause = "ran " + cause;
    }
    return f.describe({}, cause) + callers(p, f);
  }
  switch (f.kind) {
    case FaultKind::Break:
      if ((f.insn >> 16 & 0x3ff) == kBreakDivideByZero && (f.insn >> 6 & 0x3ff) == 0)
        cause = "integer division by zero";
      break;
    case FaultKind::AddressError:
      cause = f.addr >= kUserEnd ? "address outside user space" : "unaligned address";
      break;
    case FaultKind::BadAddress: {
      const uint8_t prot = space.prot(f.addr);
      const bool store = f.store();
      if (prot == kProtNone && f.addr < kPageSize) {
        cause = "null pointer";
      } else if (store && prot != kProtNone && !(prot & kProtWrite)) {
        cause = "store to a read-only page";
      } else if (store && (prot & kProtWrite)) {
        cause = "no host memory left for the page under --max-host-mem";
      } else if (prot == kProtNone && f.addr >= stack_lo) {
        cause = "stack overflow: the stack cannot grow under the memory limit of " + std::to_string(space.max_pages()) +
                " pages";
      } else if (prot == kProtNone && f.addr < stack_lo && stack_lo - f.addr <= kStackSlack) {
        const uint32_t size = opts_.stack_size;
        cause = "stack overflow: past the " +
                (size % (1u << 20) ? std::to_string(size >> 10) + " KiB" : std::to_string(size >> 20) + " MiB") +
                " stack";
      }
      break;
    }
    default: break;
  }
  return f.describe(where(f.pc), cause) + callers(p, f);
}

}  // namespace r3k
