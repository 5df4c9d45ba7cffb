// The catalogue of kernel faults r3krun can play (--kernel-fault NAME):
// mistakes a young kernel typically makes, each selectable by name, so
// that a check kit can be shown to catch every one of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace r3k {

enum class KernelFault : uint8_t {
  SharedFork,         // fork shares data and bss (Options::shared_fork)
  ExitReturns,        // the first _exit returns (Options::exit_returns)
  ForkParentPid,      // fork gives the parent its own pid
  ForkDropsFds,       // the child gets descriptors 0-2 only
  ForkCopiesOffsets,  // parent and child each move their own file offset
  WaitpidEarly,       // waitpid answers a running child at once
  WaitStatusZero,     // waitpid stores 0 for every child
  OrphanKeepsPpid,    // an orphan's getppid names its ended parent
  SbrkGarbage,        // growth gives dirty pages
  SbrkReturnsNew,     // sbrk returns the new break
  PipeNoEof,          // a read of an empty pipe with no writer waits for good
  ReadEfaultTakes,    // a read into a bad buffer still takes the pipe's bytes
  ErrnoSwap,          // EBADF and EFAULT swapped
  TimeHalvesSwapped,  // __time's 64-bit result with its words swapped
  LseekLowWord,       // lseek and ftruncate drop the offset's high word
  ReadEofGarbage,     // a read at the end of a file returns junk
  DirSkipsLast,       // getdirentry never gives a directory's last entry
  ExecvDropsArgs,     // execv passes argv[0] only
  Count
};

struct KernelFaultInfo {
  KernelFault fault;
  const char* name;  // as --kernel-fault takes it
  const char* what;  // one line for --kernel-fault help
};

// Every fault, in the order of the enum.
std::span<const KernelFaultInfo> kernel_fault_catalogue();
std::optional<KernelFault> parse_kernel_fault(std::string_view name);

inline constexpr uint32_t fault_bit(KernelFault f) { return uint32_t{1} << static_cast<unsigned>(f); }

}  // namespace r3k
