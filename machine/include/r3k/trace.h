// Kernel-call events and their two printed forms: strace-like lines for
// people, tab-separated lines for tools, each made by one writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/signals.h"

namespace r3k {

struct SyscallEvent {
  uint32_t pid = 0;
  uint32_t number = 0;
  std::string name;       // "write"; "syscall_99" outside the table
  uint32_t args[4] = {};  // a0-a3 as the guest passed them
  bool failed = false;    // error flag returned in a3
  int32_t v0 = 0;         // result, or error number when failed
  uint32_t v1 = 0;
  // The guest memory the call's arguments point at, one item per such
  // argument in order (see CallSignature): data is the first (write's
  // bytes, a path, the bytes read, struct stat, pipe's two words, lseek's
  // stack word), more the others (a second path, execv's strings).  What
  // a call reads is taken before it runs, what it stores after it
  // succeeded; at most kMaxEventData bytes each.
  std::string data;
  std::vector<std::string> more;
  uint32_t missing = 0;  // bit i: item i could not be read (or was not stored): shown as its address
  uint32_t cut = 0;      // bit i: item i holds only the first bytes of what the call moved
  // What lies behind a failure, when more than its number: the host error a
  // file call's error was mapped from ("EACCES"), or the reason of the file
  // tree or the loader ("read-only tree").  Empty otherwise.
  std::string why;
  bool returned = true;   // false for an _exit that ended the process
  bool injected = false;  // answered by a --fail/--result rule, not performed
  const std::string& item(size_t i) const { return i == 0 ? data : more[i - 1]; }
};

// How the trace shows each argument of a call, in strace's notation.
enum class ArgKind : uint8_t {
  Int,          // signed decimal
  UInt,         // unsigned decimal: a length
  Hex,          // 0x...
  Ptr,          // an address: 0x..., NULL for 0
  Path,         // a NUL-terminated string the call reads: quoted
  InBuf,        // bytes the call reads, as many as the next argument says: quoted
  OutBuf,       // bytes the call stores, as many as it returns: quoted after the call
  Argv,         // a NULL-terminated vector of strings: ["a", "b"]
  OpenFlags,    // O_WRONLY|O_CREAT|O_TRUNC
  Mode,         // octal (open's only with O_CREAT)
  WaitOptions,  // 0, WNOHANG
  Off64,        // a 64-bit value in this register (high word) and the next
  Whence,       // SEEK_SET, SEEK_CUR, SEEK_END: the stack word at sp+16
  StatOut,      // struct stat the call stores: {st_mode=S_IFREG|0644, st_size=12, ...}
  PipeOut,      // the two descriptors pipe stores: [3, 4]
  TimeOut,      // a time_t the call stores: [1700000000], or NULL
  NsecOut,      // an unsigned long the call stores: [250], or NULL
  RebootCode,   // RB_REBOOT, RB_HALT, RB_POWEROFF
};
enum class RetKind : uint8_t { Dec, Hex, Dec64 };  // Dec64: v0 high word, v1 low word
struct ArgSpec {
  ArgKind kind;
  uint8_t word;  // 0-3: a0-a3; 4: the stack word at sp+16
};
struct CallSignature {
  uint8_t count = 0;
  ArgSpec args[3] = {};
  RetKind ret = RetKind::Dec;
};
// The signature of call 0..32; null outside the table.
const CallSignature* call_signature(uint32_t number);
// Whether the kind reads or writes guest memory (an item of the event).
bool is_memory_arg(ArgKind kind);
// What the kind is shown as after a call: true for what the call stores.
bool is_output_arg(ArgKind kind);

inline constexpr uint32_t kMaxEventData = 64u << 10;

enum class TraceFormat : uint8_t { Strace, Tsv };

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
  std::string budget_killed(uint32_t pid) const { return signalled(pid, kSIGKILL, "instruction budget exhausted"); }

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
