// A template code generator for hot blocks (x86-64 hosts only): each op of
// a decoded block becomes a fixed piece of host code working on the guest
// registers in a JitFrame.  Whatever is not the plain case (a fault op, a
// syscall, a memory access off the fast path, an overflow, a division the
// host cannot do) leaves the generated code before that op has any effect,
// returning its index, and the interpreter runs the block on from there:
// every rare path, fault report and count stays the interpreter's.
//
// A block that completes jumps straight into the generated code of its
// successor on the same page (pages are dropped whole, so such a jump
// never outlives its target) when the budget allows and no hazard or
// breakpoint needs a look; the link is made the first time the
// dispatcher sees that transition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace r3k {

struct Block;
struct L2Table;

// Guest state as generated code sees it (the interpreter works on the same
// frame, so nothing is copied at the switch).
struct JitFrame {
  uint32_t r[33];   // general registers and the $zero write sink
  uint32_t hi, lo;
  uint32_t next;    // where the running block goes (its fall-through end
                    // until a branch says otherwise)
  // Instructions the generated code may still run, as it left them: a
  // block moves on to its successor only while more than its own length is
  // left, and takes that length off when it does.  Passed in at the call;
  // 0 keeps every run to one block.
  uint64_t fuel;
  // Load-delay state left by the last block that moved on: the register
  // and 0x100 for lwl/lwr.
  uint32_t chain;
};

// Where generated code stopped: op index `op` of `block` (its op count
// when the block completed) is where the interpreter goes on.
struct JitExit {
  uint64_t op;
  Block* block;
};
using JitFn = JitExit (*)(JitFrame* frame, L2Table* const* l1, uint64_t fuel);

// A possible successor of a block's generated code: its pc, and where
// the jump to it is patched in.
struct JitEdge {
  uint32_t pc = 1;        // 1: no edge
  bool linked = false;
  uint32_t main_site = 0;  // offsets in the code: rel32 of the taken test's jump,
  uint32_t edge_at = 0;    // the edge's code (fuel, chain state),
  uint32_t edge_site = 0;  // rel32 of its jump to the successor
};

// Executable memory of one code page's blocks, freed with the page's
// decoded code.  Written with the pages writable and not executable, then
// switched to executable and not writable.
class JitArena {
 public:
  JitArena() = default;
  ~JitArena();
  JitArena(const JitArena&) = delete;
  JitArena& operator=(const JitArena&) = delete;

  // Copies code in; null when it does not fit the page's allowance.
  void* add(const std::vector<uint8_t>& code);
  // Rewrites rel32 jump fields of code already added (each an address and
  // the absolute target).
  bool patch(std::initializer_list<std::pair<uint8_t*, const void*>> jumps);

 private:
  struct Chunk {
    uint8_t* base;
    size_t size, used;
  };
  std::vector<Chunk> chunks_;
  size_t total_ = 0;
};

// Whether this host can run generated code at all.
bool jit_supported();

// Generates the block's code into the arena (block.jit and its edges);
// false when it cannot.
bool jit_compile(Block& block, JitArena& arena);

// Makes from's generated code jump straight into to's when from completes
// towards to.start, if that is exact: same page, no hazard across, to not
// needing the per-run delay-slot check.
void jit_link(Block& from, const Block& to, JitArena& arena);

}  // namespace r3k
