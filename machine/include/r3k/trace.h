// Kernel-call events and their two printed forms: strace-like lines for
// people, tab-separated lines for tools.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "r3k/cpu.h"

namespace r3k {

struct SyscallEvent {
  uint32_t pid = 0;
  uint32_t number = 0;
  std::string name;        // "write"; "syscall_99" outside the table
  uint32_t args[4] = {};   // a0-a3 as the guest passed them
  bool failed = false;     // error flag returned in a3
  int32_t v0 = 0;          // result, or error number when failed
  uint32_t v1 = 0;
  std::string data;        // write: the bytes of the buffer (empty if unreadable), at most kMaxEventData
  bool returned = true;    // false for an _exit that ended the process
  bool injected = false;   // answered by a --fail/--result rule, not performed
};

inline constexpr uint32_t kMaxEventData = 64u << 10;

// "SIGSEGV" for 11; "SIG<n>" for numbers without a name here.
std::string signal_name(int signal);

// C-string literal of bytes the way strace shows them: quoted, with \n,
// \t, \", \\ and octal escapes; more than max bytes are cut and "..."
// follows the closing quote.
std::string quote_bytes(std::string_view bytes, uint32_t max, bool more_follow = false);

// "[pid 2] write(1, \"0\", 1) = 1" (no newline).
std::string format_call(const SyscallEvent& event, uint32_t strsize);
// "[pid 3] +++ exited with 0 +++"
std::string format_exit(uint32_t pid, int32_t status);
// "[pid 2] +++ killed by SIGSEGV (<what>) +++"
std::string format_kill(uint32_t pid, int signal, std::string_view what);

// Tab-separated forms (no newline); machine/README.md gives the columns.
std::string format_call_tsv(const SyscallEvent& event);
std::string format_exit_tsv(uint32_t pid, int32_t status);
std::string format_fault_tsv(uint32_t pid, const Fault& fault);
std::string format_budget_kill_tsv(uint32_t pid);

}  // namespace r3k
