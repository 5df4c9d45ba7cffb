// The interpreter: runs the decoded ops of one block, each op's handler
// passing control straight on to the next one's (threaded through tail
// calls), until the block's End or an op that stops it.
#pragma once

#include <cstdint>

#include "cpu/cpu_block.h"
#include "cpu/run_frame.h"

namespace r3k {

// How a run of ops ended.
struct OpStop {
  enum Kind : uint8_t {
    End,          // ran through the End after the last op run
    Syscall,      // at a syscall op, which counts as run
    Fault,        // at an op that did nothing: fault kind, address, register
    CodeChanged,  // this op (done) dropped decoded code of the space, maybe this block's
  };
  Kind kind = End;
  uint32_t op = 0;  // index of that op (of the End: ops run)
  FaultKind fault{};
  uint8_t reg = 0;  // load-delay fault: the register
  bool fetch = false;
  uint32_t addr = 0;  // memory and fetch faults: the address; CodeChanged: what the op stored to
  uint8_t bytes = 0;  // CodeChanged: how many bytes it stored (0: a load, which made room)
};

// Everything the ops work on.
struct OpContext {
  RunFrame& frame;           // registers, HI, LO, next; fuel and the exit record
  AddressSpace& space;       // the checked paths
  L2Table* const* l1;        // the fast paths
  const uint64_t& code_gen;  // bumped when a store drops decoded code
  // Completed blocks move straight on to a successor the dispatcher has
  // met, as generated code does (frame.fuel, pending, exit_block), when
  // may_chain allows.  Off while blocks must come back to be counted for
  // the code generator.
  bool move_on;
};

// Runs ops[from..] of b, where `ops` is b.ops or a copy of its first ops
// with its own terminator (End, or a Fault op that stops a cut block).
// frame.next must hold where b goes unless its branch runs.  Having moved
// on, frame.exit_block is the block it stopped in.
OpStop interpret(const OpContext& ctx, Block& b, const Op* ops, uint32_t from);

}  // namespace r3k
