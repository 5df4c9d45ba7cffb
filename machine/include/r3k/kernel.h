// The small kernel behind the syscall trap: processes, their ids and
// parents, the six implemented calls, the deliberate misbehaviours, and
// the record of everything the guest asked for.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "r3k/abi.h"
#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "r3k/options.h"
#include "r3k/trace.h"

namespace r3k {

class Console;
class Kernel;

struct ProcessInfo {
  uint32_t pid = 0, ppid = 0;  // ppid: the parent at creation
  bool exited = false;         // by _exit (or by returning past a guest call)
  int32_t status = 0;          // the full exit word
  std::optional<Fault> fault;  // killed by this fault
  uint64_t insns = 0;
  bool budget_killed = false;  // killed when the instruction budget ran out
  int signal = 0;              // killed by this signal from outside (the debugger)
  // Why it was killed, as its report line says it after the signal name:
  // the fault described with the code it hit and the likely cause.
  std::string report;
  bool ended() const { return exited || fault || budget_killed || signal; }
  // The signal that killed it, 0 if it exited.
  int kill_signal() const;
};

// Names the code at an address ("deref+0x8"); empty when it cannot.
using CodeNamer = std::function<std::string(uint32_t addr)>;
// The calls that led to pc, innermost first, at most max, from the
// process's registers there (ra_live: ra still holds the return address
// of pc's function) and its memory.
using CallerWalker = std::function<std::vector<CallSite>(const uint32_t* gpr, uint32_t pc, bool ra_live,
                                                         const AddressSpace& space, size_t max)>;

enum class ProcState : uint8_t { Runnable, Blocked, Zombie, Reaped };

struct Process {
  uint32_t pid = 0;
  uint32_t ppid = 0;  // current parent (orphans are handed on)
  // The parent is outside the machine (the first process, and orphans
  // handed to its parent's id): nobody here may wait for this process,
  // even if some process happens to have that id.
  bool outside_parent = false;
  ProcState state = ProcState::Runnable;
  // Declared before cpu, so the CPU goes first when a process is freed.
  std::unique_ptr<AddressSpace> space;
  std::unique_ptr<Cpu> cpu;
  uint32_t wait_pid = 0, wait_addr = 0;  // while Blocked in waitpid
  uint32_t wait_args[4] = {};
  size_t info = 0;           // index into Kernel::infos()
  Kernel* kernel = nullptr;  // that runs it: its CPU's syscall hook serves calls there
};

class Kernel {
 public:
  explicit Kernel(const Options& options);
  ~Kernel();

  // The first process; the kernel takes the space and sets up a CPU with
  // the given state.
  Process& start(std::unique_ptr<AddressSpace> space, const CpuState& state);
  // Where fork's --shared-fork quirk shares pages: the image's data and bss.
  void set_shared_range(uint32_t lo, uint32_t hi) { share_lo_ = lo, share_hi_ = hi; }
  // How fault reports name the code (the program's symbols).
  void set_code_namer(CodeNamer namer) { namer_ = std::move(namer); }
  // How fault reports find the callers (from the program's frame tables).
  void set_caller_walker(CallerWalker walker) { walker_ = std::move(walker); }

  // Serves the call the process just trapped with (its pc is already past
  // the syscall).  The process may end or block.
  void syscall(Process& p);
  // The CPU's syscall hook (context: the Process): serves, with the
  // registers where the run keeps them, the calls that neither end, block
  // nor copy a process, so that the run goes on without stopping; false
  // for the others, which stop the run and come to syscall().
  static bool serve_in_place(void* process, uint32_t* gpr) noexcept;
  // Ends a process: by a fault, by returning from its top frame, or by
  // running out of instructions.
  void kill(Process& p, const Fault& fault);
  // By a signal from outside: the debugger's kill, or a signal it delivers
  // (the process has no handlers).  quiet: a trace line only, no report.
  void kill_by_signal(Process& p, int signal, const std::string& why, bool quiet = false);
  void end_by_return(Process& p, int32_t status);
  void kill_everything_for_budget(uint64_t budget);
  // Frees the processes reaped since the last call (all but the first,
  // which keeps its memory and registers for tests to look at).  Until
  // then a reaped process stays valid, so callers may look at it after
  // the call that ended it.
  void release_reaped();

  Process* first() { return first_; }
  // A process not yet reaped.
  Process* find(uint32_t pid);
  // Processes still running or blocked, in pid order.
  const std::vector<Process*>& live() const { return live_; }
  void count_insns(Process& p, uint64_t n) { infos_[p.info].insns += n; }

  // Every process in creation order; with neither Options::record nor
  // stats only the first and those not yet reaped, so that memory stays
  // flat however many processes come and go.
  const std::vector<ProcessInfo>& infos() const { return infos_; }
  const ProcessInfo& info(const Process& p) const { return infos_[p.info]; }
  const std::vector<SyscallEvent>& events() const { return events_; }
  std::string output(int fd) const;
  // Every "r3krun: ..." line about faults and limits so far.
  const std::vector<std::string>& diagnostics() const { return diagnostics_; }
  void diagnose(const std::string& line);
  // "r3krun: pid 2 killed by SIGSEGV: <why>"
  static std::string kill_line(uint32_t pid, int signal, std::string_view why);
  // The fault as its report tells it: with the code it hit and its likely
  // cause (fault_report.cpp).
  std::string explain(const Process& p, const Fault& fault) const;
  // Most callers a report names; beyond them it says " <- ...".
  static constexpr size_t kReportedCallers = 6;

 private:
  // What the call hands back: the error flag (a3), v0 and v1.  Three
  // words, so that returning one costs no partial-register stall.
  struct Answer {
    uint32_t failed = 0;
    uint32_t v0 = 0, v1 = 0;
  };
  static Answer ok(uint32_t v0) { return {0, v0, 0}; }
  static Answer error(Err e) { return {1, static_cast<uint32_t>(e), 0}; }

  std::string callers(const Process& p, const Fault& fault) const;  // fault_report.cpp
  Process& add_process(std::unique_ptr<Process> p);
  std::optional<uint32_t> free_pid();
  void serve(Process& p, uint32_t* gpr);
  std::optional<Answer> injected(const Process& p, uint32_t number);
  bool serve_exit(Process& p, SyscallEvent& ev);
  Answer do_fork(Process& p);
  std::optional<Answer> do_waitpid(Process& p, const uint32_t* args);
  Answer do_write(Process& p, const uint32_t* args);
  bool write_in_place(Process& p, uint32_t* gpr);
  bool writable_fd(int32_t fd) const;
  std::string read_for_trace(const Process& p, uint32_t addr, uint32_t len) const;
  Answer complete_wait(Process& parent, Process& child, uint32_t addr);
  void end(Process& p);
  void hand_on_children(const Process& p);
  void reap(Process& p);
  void reply(uint32_t* gpr, SyscallEvent& event, const Answer& a);
  void record(SyscallEvent event);
  void trace(const std::string& line);

  const Options opts_;  // a copy: the kernel may outlive the caller's options
  const bool keep_history_;
  const bool has_rules_;                         // any --fail or --result
  std::unique_ptr<TraceWriter> tracer_;          // null without --trace
  Console& console_;                             // the host's descriptors
  const bool lean_write_;                        // writes need neither trace, record nor rules
  const uint32_t open_fds_;                      // bit fd set for the guest's writable descriptors
  std::vector<std::unique_ptr<Process>> procs_;  // not yet freed, in creation order
  Process* first_ = nullptr;
  std::map<uint32_t, Process*> by_pid_;  // not yet reaped
  std::vector<Process*> live_;
  std::vector<Process*> zombies_;
  std::vector<Process*> reaped_;  // freed by release_reaped()
  std::vector<ProcessInfo> infos_;
  std::vector<SyscallEvent> events_;
  std::vector<std::string> diagnostics_;
  std::array<std::string, 3> outputs_;
  uint64_t captured_ = 0;
  uint32_t next_pid_ = 0;  // where the search for a free pid starts
  uint32_t unreaped_ = 0;  // live plus zombies: what --max-procs limits
  uint32_t exits_returned_ = 0;
  std::vector<uint64_t> fail_counts_, result_counts_;
  uint32_t share_lo_ = 0, share_hi_ = 0;
  std::exception_ptr failure_;  // thrown by a call served in place, for syscall()
  CodeNamer namer_;
  CallerWalker walker_;
};

}  // namespace r3k
