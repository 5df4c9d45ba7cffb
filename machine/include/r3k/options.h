// How a machine is set up: process entry, scheduling, limits, the
// deliberate kernel misbehaviours used to test programs, and output.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "r3k/trace.h"

namespace r3k {

// One --fail or --result rule: CALL[@PID][:N[+]]=VALUE.
struct CallRule {
  uint32_t call = 0;            // call number; need not be a known one
  std::optional<uint32_t> pid;  // only calls of this process
  std::optional<uint64_t> nth;  // only the n-th matching call (1-based); none: every one
  bool and_later = false;       // the n-th and all later ones
  int32_t value = 0;            // error number (--fail) or result (--result)

  // Whether the rule applies to the count-th matching call (1-based).
  bool applies(uint64_t count) const { return !nth || count == *nth || (and_later && count > *nth); }
};

enum class WaitStatusForm : uint8_t { Raw, Unix };

// Process ids stay positive as the guest reads them (a signed word).
inline constexpr uint32_t kMaxPid = 0x7fffffffu;

// An instruction budget no run reaches: none.
inline constexpr uint64_t kNoBudget = UINT64_MAX;

struct Options {
  // Process entry.  Ids are 1..kMaxPid.
  uint32_t first_pid = 2;
  uint32_t first_ppid = 1;         // also the parent orphans are handed to
  uint32_t sp_offset = 0;          // 0..7 added to an 8-aligned entry sp
  bool null_argv = false;          // enter with argc 0 and a null vector
  uint32_t stack_size = 8u << 20;  // demand-zero region below the top of user space

  // Scheduling.
  uint64_t quantum = 10000;      // instructions per slice
  std::optional<uint64_t> seed;  // slices uniformly 1..2*quantum, seeded
  // A lone process runs its slices back to back, the machine looking
  // around only every so many (the same run, faster); off to compare.
  bool back_to_back = true;

  // The code generator for hot blocks (--no-jit turns it off).
  JitConfig jit = jit_defaults();
  // Calls that neither end, block nor copy a process (write, getpid, ...)
  // are served where the CPU stands, without stopping its run; off, every
  // call stops it first.  Either way every result, count and line is the
  // same; only the speed differs.
  bool in_place_calls = true;

  // Limits.
  uint32_t max_procs = 64;                            // processes not yet reaped
  uint32_t max_mem_pages = (64u << 20) >> 12;         // per process, mapped (touched or not)
  uint64_t max_host_mem = HostMemory::kDefaultLimit;  // bytes of host memory, all processes together
  // Of it, what decoded and generated code may hold; 0: a quarter.
  uint64_t max_code_mem = 0;
  // Instructions of all processes together.  The library's default bounds
  // the tests that rely on it; r3krun runs without a budget (kNoBudget)
  // unless --max-insns asks for one.
  uint64_t max_insns = 20'000'000'000;

  // Kernel misbehaviours.  Fail rules are looked at before result rules;
  // the first rule that applies decides.
  std::vector<CallRule> fail;
  std::vector<CallRule> result;
  uint32_t exit_returns = 0;  // the first N _exit calls return
  bool shared_fork = false;   // fork shares data and bss instead of copying
  WaitStatusForm wait_status = WaitStatusForm::Raw;
  std::vector<int32_t> closed_fds;  // descriptors the first process starts without
  // Faults of the catalogue (r3k/faults.h), a fault_bit() each; those the
  // options above play are set there too (shared_fork, exit_returns).
  uint32_t kernel_faults = 0;

  // The guest's file tree: "DIR" makes the host directory DIR its "/",
  // "DIR:ro" read-only (fs::Tree::open_root); empty: an empty, read-only
  // tree, so that no host file is reachable.
  std::string root;
  // Bytes the run may add to the host's disk (--max-disk); none: the file
  // tree's default (fs::kDefaultMaxDisk or half the free space).
  std::optional<uint64_t> max_disk;
  // stat, lstat and fstat store inode numbers in the order the run first
  // saw each file (1, 2, ...), device 1 and times 0, so that two runs on
  // copies of one tree store the same bytes (tests and fuzzing compare
  // runs).  Types, sizes, modes and link counts stay the host's.
  bool stable_stat = false;

  // The console's input (descriptor 0): this host descriptor (r3krun: its
  // standard input), read without ever blocking the machine; -1: at its
  // end from the start.
  int input_fd = -1;
  // __time: the host's clock, or (set) a virtual one starting at these
  // seconds since 1970 and advancing one nanosecond per guest instruction
  // of all processes together, so that runs repeat.
  std::optional<int64_t> clock;

  // Output.
  bool echo = false;  // copy guest writes to host fds 1 and 2 (through Console::host())
  bool trace = false;
  TraceFormat trace_format = TraceFormat::Strace;
  uint32_t trace_strsize = 32;  // bytes of a write shown before "..."
  // Receives each trace line (with its newline); else the host descriptor
  // trace_fd gets them, through Console::host().
  std::function<void(std::string_view)> trace_sink;
  int trace_fd = 2;
  bool stats = false;  // per-process summary on stderr after run()
  // Write perf's map of generated code, /tmp/perf-PID.map (host/perf_map.h).
  bool perf_map = false;
  bool diagnostics = false;  // fault and limit lines on stderr as they happen
  // Keep events(), output(), and every process in processes() (else only
  // the first and those not yet reaped).
  bool record = true;
  uint64_t capture_limit = 16u << 20;  // bytes of output() kept, all fds together
};

// Parsers shared by the command line and tests.  Each returns nullopt and
// sets *why on a malformed text.
std::optional<CallRule> parse_call_rule(std::string_view text, bool value_is_error, std::string* why);
std::optional<int32_t> parse_error(std::string_view text);          // "EBADF" or a number
std::optional<int64_t> parse_integer(std::string_view text);        // decimal, 0x hex, sign
std::optional<uint64_t> parse_count(std::string_view text);         // 123, 20e9, 10k, 5M
std::optional<uint64_t> parse_size(std::string_view text);          // bytes: 64 (MiB), 512K, 1G, 300p
std::optional<uint32_t> parse_memory_pages(std::string_view text);  // the same in pages, at most all of user space

}  // namespace r3k
