// Kernel-call events and their two printed forms: strace-like lines for
// people, tab-separated lines for tools, each made by one writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "r3k/cpu.h"

namespace r3k {

struct SyscallEvent {
  uint32_t pid = 0;
  uint32_t number = 0;
  std::string name;       // "write"; "syscall_99" outside the table
  uint32_t args[4] = {};  // a0-a3 as the guest passed them
  bool failed = false;    // error flag returned in a3
  int32_t v0 = 0;         // result, or error number when failed
  uint32_t v1 = 0;
  std::string data;       // write: the bytes of the buffer (empty if unreadable), at most kMaxEventData
  bool returned = true;   // false for an _exit that ended the process
  bool injected = false;  // answered by a --fail/--result rule, not performed
};

inline constexpr uint32_t kMaxEventData = 64u << 10;

enum class TraceFormat : uint8_t { Strace, Tsv };

inline constexpr int kSigKill = 9;  // the budget's kill, and the debugger's

// "SIGSEGV" for 11; "SIG<n>" for numbers without a name here.
std::string signal_name(int signal);

// C-string literal of bytes the way strace shows them: quoted, with \n,
// \t, \", \\ and octal escapes; more than max bytes are cut and "..."
// follows the closing quote.
std::string quote_bytes(std::string_view bytes, uint32_t max, bool more_follow = false);

// The trace line (no newline) of each kind of event, in one format.
class TraceWriter {
 public:
  virtual ~TraceWriter() = default;
  virtual std::string call(const SyscallEvent& event) const = 0;
  virtual std::string exited(uint32_t pid, int32_t status) const = 0;
  // why: the fault as the report tells it.
  virtual std::string killed(uint32_t pid, const Fault& fault, std::string_view why) const = 0;
  // Killed by a signal from outside; nothing of the CPU to show.
  virtual std::string signalled(uint32_t pid, int signal, std::string_view why) const = 0;
  std::string budget_killed(uint32_t pid) const { return signalled(pid, kSigKill, "instruction budget exhausted"); }

  static std::unique_ptr<TraceWriter> make(TraceFormat format, uint32_t strsize);
};

// "[pid 2] write(1, \"0\", 1) = 1", "[pid 3] +++ exited with 0 +++",
// "[pid 2] +++ killed by SIGSEGV (<fault>) +++"; write buffers shown up
// to strsize bytes.
class StraceWriter final : public TraceWriter {
 public:
  explicit StraceWriter(uint32_t strsize) : strsize_(strsize) {}
  std::string call(const SyscallEvent& event) const override;
  std::string exited(uint32_t pid, int32_t status) const override;
  std::string killed(uint32_t pid, const Fault& fault, std::string_view why) const override;
  std::string signalled(uint32_t pid, int signal, std::string_view why) const override;

 private:
  uint32_t strsize_;
};

// Tab-separated fields; docs/r3krun.md gives the columns.
class TsvWriter final : public TraceWriter {
 public:
  std::string call(const SyscallEvent& event) const override;
  std::string exited(uint32_t pid, int32_t status) const override;
  std::string killed(uint32_t pid, const Fault& fault, std::string_view why) const override;
  std::string signalled(uint32_t pid, int signal, std::string_view why) const override;
};

}  // namespace r3k
