// The stand-in machine as one object: load a program, run it (all of it,
// under a debugger, or to a place) and look at registers and memory
// afterwards.  This is what r3krun's command line drives; tests call guest
// functions through it (tests/support/guest_calls.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/elf.h"
#include "r3k/kernel.h"
#include "r3k/options.h"
#include "r3k/trace.h"
#include "r3k/unwind.h"

namespace r3k {

class Scheduler;
class PerfMap;
class ImageProgram;

// The exit status of a run that the instruction budget ended: 128 + SIGKILL.
inline constexpr int kExitBudget = killed_status(kSIGKILL);
// The exit status of a run whose output the host refused for good (a full
// disk, a closed pipe, an I/O error): sysexits' EX_IOERR.
inline constexpr int kExitOutputRefused = 74;

// Why the first process stopped for a debugger (Machine::debug_run).
struct DebugHalt {
  enum class Why : uint8_t {
    Breakpoint,   // at one of its CPU's breakpoints, not yet executed
    Step,         // after the one instruction asked for
    Fault,        // at a faulting instruction, not killed (yet): fault says what; in a
                  // delay slot the state is back at its branch (Cpu::back_to_branch)
    Interrupted,  // interrupted() said so
    Ended,        // it has ended: processes() says how
  };
  Why why{};
  Fault fault{};
};

struct RunResult {
  // As r3krun exits: the first process's status & 0xff, 128 + signal when
  // a fault killed it, 137 when the instruction budget ran out, 120-122
  // after a reboot call, 123 after a deadlock, 74 when the host refused
  // r3krun's output (Console::refusal()).
  int exit_code = 0;
  std::string message;  // the limit or fault line behind exit_code, empty if none
};

class Machine {
 public:
  // The largest stack; the 16 MiB below it are never the stack, so a
  // driver may map a scratch area of its own there.
  static constexpr uint32_t kMaxStackSize = 16u << 20;

  // Throws std::invalid_argument for options out of range.
  explicit Machine(Options options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // argv is the whole vector, argv[0] included.  Throws LoadError.
  void load_file(const std::string& path, std::vector<std::string> argv);
  void load_image(std::span<const uint8_t> elf, std::vector<std::string> argv, std::string name = "image");
  // An image already read (r3krun reads the program before it opens
  // anything else).
  void load(ElfImage image, std::vector<std::string> argv);

  // Until every process has ended or the instruction budget runs out.
  RunResult run();
  std::optional<uint32_t> symbol(std::string_view name) const;
  // ---- The first process run to a place, by a driver of its own ----
  // Every process runs as under run() until the first one reaches pc (not
  // yet run); false if it ended first.
  bool run_until(uint32_t pc);
  // A break instruction at addr returns a call a driver made: the first
  // process stopping there ends run_to_trap(), any other one (a child
  // forked inside the call) ends as if its main had returned v0.
  void set_return_trap(uint32_t addr) { trap_ = addr; }
  // Every process runs as under run() until the first one stops at the
  // return trap (true) or ends (false).
  bool run_to_trap();

  CpuState& regs();       // the first process
  AddressSpace& space();  // the first process's memory
  const AddressSpace& space() const;

  const std::vector<SyscallEvent>& events() const;    // every kernel call so far, in order
  std::string output(int fd) const;                   // bytes actually written to fd 1 or 2
  const std::vector<ProcessInfo>& processes() const;  // in creation order

  const Options& options() const { return opts_; }
  const ElfImage& image() const;
  uint32_t entry_sp() const { return entry_sp_; }
  uint64_t total_insns() const { return total_; }
  // What the processes' memory and decoded code hold of the host, all
  // together (null before a program is loaded).
  const HostMemory* host_memory() const { return host_.get(); }
  // ---- The first process under a debugger (r3krun --gdb) ----
  // Runs every process as run() does until the first one stops (see
  // DebugHalt).  step: it stops after its next instruction (a branch with
  // its delay slot; a call that blocks once it has returned, the others
  // running meanwhile).  interrupted() is asked at least every kPollInsns
  // instructions.  Slices keep the lengths and the order run() gives them:
  // a stop inside one resumes it where it stopped, and the instruction the
  // first process stopped at is never stopped at again before it has run,
  // so run() after a session goes on exactly as without a debugger.
  static constexpr uint64_t kPollInsns = 1u << 20;
  // How long a machine whose processes all wait for console input waits
  // for it at a time under a debugger, between looks at interrupted().
  static constexpr int kPollMillis = 50;
  // Slices a lone process runs back to back after its first, between the
  // machine's looks at the console's output and the other processes.
  static constexpr uint32_t kLoneRefills = 99;
  // The most a run passes its budget by, finishing a block.
  static constexpr uint64_t kMaxOvershoot = 64;
  DebugHalt debug_run(bool step, const std::function<bool()>& interrupted);
  Cpu& first_cpu() { return *first_process().cpu; }
  // Blocked in a call (stopped by an interrupt while waiting): the call
  // answers in v0, v1 and a3 when it returns.
  bool first_blocked() { return first_process().state == ProcState::Blocked; }
  const ProcessInfo& first_info() const;
  // Ends the first process killed by signal, for why; all: every other
  // process too (reported by trace lines only).
  void kill_first(int signal, const std::string& why, bool all);
  // Ends it by the fault it stopped at, as without a debugger.
  void kill_first(const Fault& fault);

  // Every fault and limit line so far, as r3krun prints them.
  const std::vector<std::string>& diagnostics() const;
  // One line per process: pid, ppid, instructions, how it ended.
  std::vector<std::string> stats_lines() const;

 private:
  // What a drive runs for, each a test at the first process's stops:
  // every process ended (run), the first at a breakpoint (run_until) or
  // at the return trap (run_to_trap), or any halt a debugger sees (debug_run: a step,
  // a breakpoint, a fault, an interrupt, its end).
  enum class Goal : uint8_t { AllEnded, FirstAtBreakpoint, FirstAtTrap, FirstHalts };
  // One process's turn: what is left of it, and whether the process
  // stopped inside a block (for a breakpoint or a step), which that block
  // finishes in this slice whatever is left.
  struct Slice {
    Process* proc = nullptr;  // none: between slices
    uint64_t left = 0;
    bool owed = false;
    // More slices of the same length the process may run back to back
    // while it is the only one (see Refills).
    uint64_t period = 0;
    uint32_t refills = 0;
  };
  // Each returns the drive's result once its goal is reached or out of
  // reach, else nullopt.
  bool drive(Goal goal);
  std::optional<bool> start_slice(Goal goal);
  std::optional<bool> run_slice(Goal goal);
  std::optional<bool> before_run(bool watched);
  std::optional<bool> after_stop(Goal goal, Process& p, const Stop& stop, bool at_trap, bool step);
  bool output_refused();
  bool halt(DebugHalt::Why why, const Fault& fault = {});
  // A program placed in an address space of its own, its arguments on the
  // stack: the first one, and each one execv loads.  Throws LoadError.
  struct Placed {
    std::unique_ptr<AddressSpace> space;
    CpuState state;
  };
  void check_fits(const ElfImage& image) const;
  Placed place(const ElfImage& image, const std::vector<std::string>& argv, bool with_argv);
  CpuState entry_state(const ElfImage& image, AddressSpace& space, const std::vector<std::string>& argv,
                       bool with_argv);
  ExecImage load_exec(std::span<const uint8_t> elf, const std::string& path, const std::vector<std::string>& argv);
  Process& first_process();
  std::string code_name(uint32_t addr) const;

  Options opts_;
  std::shared_ptr<const ImageProgram> program_;  // the first program
  const ElfImage* image_ = nullptr;              // its image
  std::unique_ptr<fs::Tree> tree_;               // the guest's files, until the kernel takes them
  std::shared_ptr<HostMemory> host_;
  std::unique_ptr<PerfMap> perf_map_;  // outlives the kernel, whose CPUs tell it of their code
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<Scheduler> scheduler_;
  uint64_t total_ = 0;
  bool budget_hit_ = false;
  bool refused_ = false;          // the host refused output: every process was ended
  std::optional<uint32_t> trap_;  // set_return_trap
  uint32_t entry_sp_ = 0;
  Slice slice_;  // the slice in progress
  // Under a debugger (debug_run): what it asked for and why it stopped.
  bool step_ = false;
  bool resume_ = false;  // the first process's next run starts where it stopped
  // The step's instruction was a call that blocked: the step ends when
  // the first process runs next.
  bool step_blocked_ = false;
  // The first process stopped at the branch of a fault in its delay slot
  // (Cpu::back_to_branch), the branch not counted.
  bool rewound_ = false;
  const std::function<bool()>* interrupted_ = nullptr;
  uint64_t polled_at_ = 0;
  DebugHalt halt_;
};

}  // namespace r3k
