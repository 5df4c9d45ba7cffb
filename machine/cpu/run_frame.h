// The frame a running CPU works on, shared by the interpreter and the code
// generator, which reach its fields by offset (cpu/jit_regs.h).
#pragma once
#include <cstdint>

namespace r3k {

struct Block;
struct JitLink;
struct SyscallHook;

// The load-delay state one instruction leaves: the register it loaded
// (0: none) and whether by lwl/lwr, after which an lwl/lwr on the same
// register may follow.
struct PendingLoad {
  uint8_t reg = 0;
  bool partial = false;
};

// Guest state while a CPU runs, as the interpreter and generated code both
// see it (nothing is copied when one hands over to the other).
struct RunFrame {
  uint32_t r[33];  // general registers and the $zero write sink
  uint32_t hi, lo;
  uint32_t next;  // where the running block goes
  // Load-delay state left by the last block that moved on to another.
  PendingLoad pending;
  // Instructions generated code may still start, as it left them: a block
  // moves on to its successor only while more than its own length is left,
  // and takes that length off when it does; 0 keeps every run to one block.
  uint64_t fuel;
  // The address space's code generation when generated code was entered
  // (it cannot change inside: a store over code leaves generated code).
  uint64_t code_gen;
  // Exit record: the block where generated code stopped and the op the
  // interpreter goes on from; the link it left by unmade, else null.
  Block* exit_block;
  uint32_t exit_op;
  JitLink* exit_link;
  // Serves a syscall in place (see Cpu::set_syscall_hook); null when every
  // syscall stops the run.
  const SyscallHook* syscall;
  // Slices of a lone process run back to back: where the fuel runs out at
  // a block's end, generated code may start a fresh slice of `period`
  // instructions from there (as the scheduler would) while `refills` last,
  // counting the fuel so given in fuel_added.
  uint64_t period;
  uint64_t fuel_added;
  uint32_t refills;
};

}  // namespace r3k
