// The kernel behind the syscall trap: processes, their ids and parents,
// their descriptors, the 33 calls (one declaration each, in calls.cpp;
// their handlers grouped by family in their own units), blocking and
// waking, the deliberate misbehaviours, and the record of everything the
// guest asked for.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "r3k/abi.h"
#include "r3k/cpu.h"
#include "r3k/faults.h"
#include "r3k/files.h"
#include "r3k/fs.h"
#include "r3k/memory.h"
#include "r3k/options.h"
#include "r3k/trace.h"

namespace r3k {

class Console;
class Kernel;
struct ConsoleInput;

struct ProcessInfo {
  uint32_t pid = 0, ppid = 0;  // ppid: the parent at creation
  bool exited = false;         // by _exit (or by returning past a guest call)
  int32_t status = 0;          // the full exit word
  std::optional<Fault> fault;  // killed by this fault
  uint64_t insns = 0;
  // Calls made, by number; the last counts numbers outside the table.
  // Counted with Options::stats or record.
  std::array<uint64_t, kSyscallCount + 1> calls{};
  // The path of the program the last execv loaded, as the guest gave it
  // (empty: still the program it started with).
  std::string program;
  bool budget_killed = false;  // killed when the instruction budget ran out
  int signal = 0;              // killed by this signal from outside (the debugger)
  // Why it was killed, as its report line says it after the signal name:
  // the fault described with the code it hit and the likely cause.
  std::string report;
  bool ended() const { return exited || fault || budget_killed || signal; }
  // The signal that killed it, 0 if it exited.
  int kill_signal() const;
};

// The program a process runs, as its fault reports see it; the machine
// makes one for each image it loads (the first program, and each execv).
class Program {
 public:
  virtual ~Program() = default;
  // Names the code at an address ("deref+0x8"); empty when it cannot.
  virtual std::string code_name(uint32_t addr) const = 0;
  // The calls that led to pc, innermost first, at most max, from the
  // process's registers there (ra_live: ra still holds the return address
  // of pc's function) and its memory.
  virtual std::vector<CallSite> callers(const uint32_t* gpr, uint32_t pc, bool ra_live, const AddressSpace& space,
                                        size_t max) const = 0;
};

// A program loaded for execv, ready to replace the caller's; or why not
// (err: ENOEXEC for what the loader refuses, ENOMEM for the limits).
struct ExecImage {
  Err err = kEOK;
  std::string why;  // the loader's one line
  std::unique_ptr<AddressSpace> space;
  CpuState state;  // at the entry, with the arguments in place
  uint32_t heap_start = 0;
  uint32_t share_lo = 0, share_hi = 0;  // what --shared-fork shares: the image's data and bss
  std::shared_ptr<const Program> program;
};
// Loads an executable's bytes (path: as the guest named it) with argv as
// the new program's arguments, into a new address space on the machine's
// host memory.
using ExecLoader = std::function<ExecImage(std::span<const uint8_t> elf, const std::string& path,
                                           const std::vector<std::string>& argv)>;

enum class ProcState : uint8_t { Runnable, Blocked, Zombie, Reaped };

// What a process blocked in a call waits for.  Its registers still hold
// the call (v0 the number, a0-a3 the arguments, pc past the syscall) until
// the call completes: the kernel serves it again whenever what it waits on
// may have changed, and answers it then.
struct WaitOn {
  enum class Kind : uint8_t { Nothing, Child, AnyChild, PipeRead, PipeWrite, Console };
  Kind kind = Kind::Nothing;
  uint32_t pid = 0;              // Child: the one waited for
  int32_t fd = -1;               // PipeRead, PipeWrite, Console: the descriptor
  const void* object = nullptr;  // PipeRead, PipeWrite: the pipe
  uint32_t done = 0;             // PipeWrite: bytes of the call already written
  // "waits for child 3", "waits in read(3) on a pipe"
  std::string describe() const;
};

struct Process {
  Process();
  ~Process();
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
  WaitOn wait;  // while Blocked
  FileTable files;
  uint32_t brk_start = 0, brk = 0;      // the heap: sbrk moves brk, never below brk_start
  uint32_t share_lo = 0, share_hi = 0;  // what --shared-fork shares: the image's data and bss
  // The current directory: a canonical guest path, as chdir gave it.
  std::string cwd = "/";
  std::shared_ptr<const Program> program;  // what it runs, for its fault reports
  uint32_t execs = 0;                      // images loaded by execv so far
  size_t info = 0;                         // index into Kernel::infos()
  Kernel* kernel = nullptr;                // that runs it: its CPU's syscall hook serves calls there
};

// Why the kernel ended the whole run itself; Machine::run exits with code.
struct MachineEnd {
  int exit_code = 0;
  std::string message;  // its one line, "r3krun: ..."
};
// Exit statuses of a run ended by reboot (RB_REBOOT, RB_HALT, RB_POWEROFF)
// and by a deadlock.
inline constexpr int kExitReboot[3] = {120, 121, 122};
inline constexpr int kExitDeadlock = 123;

class Kernel {
 public:
  explicit Kernel(const Options& options);
  ~Kernel();

  // The first process; the kernel takes the space and sets up a CPU with
  // the given state, and descriptors 0-2 on the console.
  Process& start(std::unique_ptr<AddressSpace> space, const CpuState& state);
  // The first process's image: where its heap starts (the page-aligned end
  // of its bss), what --shared-fork shares (its data and bss), and the
  // program its fault reports name code and callers by.
  void set_image(uint32_t heap_start, uint32_t share_lo, uint32_t share_hi, std::shared_ptr<const Program> program);
  // The guest's file tree (the empty one until set), and how execv loads a
  // program (without a loader execv fails with ENOEXEC).
  void set_tree(std::unique_ptr<fs::Tree> tree) { tree_ = std::move(tree); }
  fs::Tree& tree() { return *tree_; }
  void set_exec_loader(ExecLoader loader) { exec_loader_ = std::move(loader); }

  // Serves the call the process just trapped with (its pc is already past
  // the syscall).  The process may end or block.
  void syscall(Process& p);
  // The CPU's syscall hook (context: the Process): serves, with the
  // registers where the run keeps them, the calls that neither end, block,
  // wake, copy a process nor store to memory, so that the run goes on
  // without stopping; false for the others, which stop the run and come
  // to syscall().
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

  // Blocking.  Whether a process waits for console input, which comes
  // from outside; await_console waits up to timeout_ms (-1: for good) for
  // some and serves the readers again: true if any of them could go on.
  bool waits_on_console() const;
  bool await_console(int timeout_ms);
  // Every live process is blocked and nothing from outside can wake one:
  // one line naming each and what it waits on, and every process ends.
  void end_in_deadlock();
  // Set when reboot or a deadlock ended the whole run.
  const std::optional<MachineEnd>& machine_end() const { return machine_end_; }

  Process* first() { return first_; }
  // A process not yet reaped.
  Process* find(uint32_t pid);
  // Processes still running or blocked, in pid order.
  const std::vector<Process*>& live() const { return live_; }
  void count_insns(Process& p, uint64_t n) {
    infos_[p.info].insns += n;
    insns_ += n;
  }

  // Every process in creation order; with neither Options::record nor
  // stats only the first and those not yet reaped, so that memory stays
  // flat however many processes come and go.
  const std::vector<ProcessInfo>& infos() const { return infos_; }
  const ProcessInfo& info(const Process& p) const { return infos_[p.info]; }
  const std::vector<SyscallEvent>& events() const { return events_; }
  std::string output(int fd) const;
  // Open files of all processes together (what ENFILE limits).
  uint32_t open_files() const { return open_files_; }
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

  // Open files the whole machine may hold (ENFILE past it).
  static constexpr uint32_t kMaxOpenFiles = 1024;
  // The most a call moves through the kernel's buffer at once: longer
  // reads return what one piece gave, longer writes go piece by piece.
  static constexpr uint32_t kPiece = 64u << 10;

 private:
  // What the call hands back: the error flag (a3), v0 and v1.  Three
  // words, so that returning one costs no partial-register stall.
  struct Answer {
    uint32_t failed = 0;
    uint32_t v0 = 0, v1 = 0;
  };
  static Answer ok(uint32_t v0) { return {0, v0, 0}; }
  static Answer ok64(int64_t v) {
    return {0, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32), static_cast<uint32_t>(v)};
  }
  static Answer error(Err e) { return {1, static_cast<uint32_t>(e), 0}; }

  // One call being served: its process, number and argument words, and
  // the event the trace and the record get.
  struct Call {
    Process& p;
    uint32_t number;
    uint32_t a[4];
    uint32_t sp;  // for a stack word (sp+16)
    SyscallEvent ev;
    bool described;  // traced or recorded: ev is filled in
  };
  // A failure with what lies behind it for the trace (a mapped host
  // error's name, the file tree's reason).
  static Answer failed(Call& c, const fs::Error& e);
  // A handler answers, or returns nothing when the process blocked
  // (block()) or ended.
  using Handler = std::optional<Answer> (Kernel::*)(Call& c);
  // Where a call may be served: in the middle of the CPU's run, or only
  // once it has stopped; or in place unless its descriptor (a0) may block.
  enum class Where : uint8_t { InPlace, Stops, InPlaceUnlessBlocking };
  // One declaration per call (calls.cpp).
  struct CallSpec {
    Sys number;
    Handler handler;
    Where where;
    CallSignature sig;
  };
  static const CallSpec kCalls[kSyscallCount];
  static const CallSpec kUnknownCall;
  static const CallSpec& spec(uint32_t number) { return number < kSyscallCount ? kCalls[number] : kUnknownCall; }
  friend const CallSignature* call_signature(uint32_t number);

  std::string callers(const Process& p, const Fault& fault) const;  // fault_report.cpp

  // Dispatch (calls.cpp).
  void serve(Process& p, uint32_t* gpr);
  bool stays_in_place(const Process& p, const uint32_t* gpr) const;
  Call make_call(Process& p, const uint32_t* gpr);
  void perform(Call& c, uint32_t* gpr);
  std::optional<Answer> injected(const Process& p, uint32_t number);
  std::optional<Answer> block(Call& c, const WaitOn& wait);
  void retry(Process& p);
  void wake(const void* object);
  void wake_process(Process& p);
  void settle();
  void capture(Call& c, bool outputs, const Answer* a);
  void reply(uint32_t* gpr, SyscallEvent& event, const Answer& a);
  void record(SyscallEvent event);
  void trace(const std::string& line);

  // Processes (proc_calls.cpp).
  std::optional<Answer> do_exit(Call& c);
  std::optional<Answer> do_execv(Call& c);
  std::optional<Answer> do_fork(Call& c);
  std::optional<Answer> do_waitpid(Call& c);
  std::optional<Answer> do_getpid(Call& c);
  std::optional<Answer> do_getppid(Call& c);
  std::optional<Answer> do_reboot(Call& c);
  Process* zombie_child(const Process& parent, uint32_t pid);
  bool has_child(const Process& parent, uint32_t pid);
  Answer complete_wait(Process& parent, Process& child, uint32_t addr);
  // Descriptors (descriptors.cpp).
  std::optional<Answer> do_read(Call& c);
  std::optional<Answer> do_write(Call& c);
  std::optional<Answer> do_close(Call& c);
  std::optional<Answer> do_dup2(Call& c);
  std::optional<Answer> do_lseek(Call& c);
  std::optional<Answer> do_fsync(Call& c);
  std::optional<Answer> do_ftruncate(Call& c);
  std::optional<Answer> do_fstat(Call& c);
  std::optional<Answer> do_ioctl(Call& c);
  bool write_in_place(Process& p, uint32_t* gpr);
  Answer write_console(int host_fd, const Process& p, uint32_t addr, uint32_t len);
  std::optional<Answer> write_file(Call& c, OpenFile& f, uint32_t addr, uint32_t len);
  void open_console(Process& p);
  // Takes a new descriptor for f: the lowest free one, EMFILE/ENFILE past the limits.
  std::optional<uint32_t> install(Process& p, std::shared_ptr<OpenFile> f, Err* err);
  // Drops one reference to an open file; the last one closes it, which
  // may wake processes waiting on it.
  void drop(std::shared_ptr<OpenFile> f);
  void close_all(Process& p);
  // Pipes (pipes.cpp).
  std::optional<Answer> do_pipe(Call& c);
  // Memory (memory_calls.cpp).
  std::optional<Answer> do_sbrk(Call& c);
  // Time (time_calls.cpp).
  std::optional<Answer> do_time(Call& c);
  // Files (file_calls.cpp): opening, host files and directories.
  std::optional<Answer> do_open(Call& c);
  std::optional<Answer> do_getdirentry(Call& c);
  std::optional<Answer> read_file(Call& c, OpenFile& f, uint32_t addr, uint32_t len);
  // Options::stable_stat's numbering, for what stat and fstat store.
  void stabilize(GuestStat& st);
  // Names (names.cpp).
  std::optional<Answer> do_stat(Call& c);
  std::optional<Answer> do_lstat(Call& c);
  std::optional<Answer> stat_path(Call& c, bool follow);
  std::optional<Answer> do_remove(Call& c);
  std::optional<Answer> do_rename(Call& c);
  std::optional<Answer> do_link(Call& c);
  std::optional<Answer> do_mkdir(Call& c);
  std::optional<Answer> do_rmdir(Call& c);
  std::optional<Answer> do_symlink(Call& c);
  std::optional<Answer> do_readlink(Call& c);
  std::optional<Answer> do_chdir(Call& c);
  std::optional<Answer> do_getcwd(Call& c);
  std::optional<Answer> do_sync(Call& c);
  std::optional<Answer> no_such_call(Call& c);
  // The catalogue's faults (faults.cpp): the call as a faulty kernel
  // serves it, bent before its handler or after.
  std::optional<Answer> serve_faulty(Call& c);
  std::optional<Answer> fault_before(Call& c);
  void fault_after(Call& c, Answer& a);
  bool faulty(KernelFault f) const { return (opts_.kernel_faults & fault_bit(f)) != 0; }
  static Options with_faults(Options o);
  struct OwnOffset {
    std::weak_ptr<OpenFile> file;
    uint64_t offset = 0;
  };
  std::map<std::pair<uint32_t, const OpenFile*>, OwnOffset> own_offsets_;  // fork-copies-offsets
  uint64_t& own_offset(uint32_t pid, const std::shared_ptr<OpenFile>& f);
  // execv (exec.cpp).
  void replace_image(Process& p, ExecImage image, const std::string& path);

  // Processes (kernel.cpp).
  Process& add_process(std::unique_ptr<Process> p);
  void attach_cpu(Process& p);
  std::optional<uint32_t> free_pid();
  void end(Process& p);
  void hand_on_children(const Process& p);
  void reap(Process& p);
  void end_machine(int exit_code, const std::string& line, const std::function<std::string(const Process&)>& why);

  const Options opts_;  // a copy: the kernel may outlive the caller's options
  const bool keep_history_;
  const bool has_rules_;                         // any --fail or --result
  std::unique_ptr<TraceWriter> tracer_;          // null without --trace
  Console& console_;                             // the host's descriptors
  const bool lean_write_;                        // writes need neither trace, record, counts nor rules
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
  uint32_t open_files_ = 0;
  uint64_t insns_ = 0;                        // all processes together: the virtual clock
  std::vector<Process*> woken_;               // to serve again, by settle()
  int busy_ = 0;                              // inside a call or settle(): wake-ups wait
  std::vector<uint8_t> piece_;                // the kernel's buffer, kPiece bytes once used
  std::shared_ptr<ConsoleInput> console_in_;  // what descriptor 0 reads
  std::optional<MachineEnd> machine_end_;
  std::exception_ptr failure_;  // thrown by a call served in place, for syscall()
  std::unique_ptr<fs::Tree> tree_;
  ExecLoader exec_loader_;
  // Options::stable_stat: inode numbers in the order files were first seen.
  std::map<std::pair<uint64_t, uint32_t>, uint64_t> stable_inodes_;
};

}  // namespace r3k
