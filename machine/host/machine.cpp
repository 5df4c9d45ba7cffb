#include "r3k/machine.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "host/perf_map.h"
#include "r3k/console.h"
#include "r3k/fs.h"
#include "r3k/scheduler.h"

namespace r3k {
namespace {

// Room for argument strings and vector at entry; a real kernel's limit is
// of the same order.
constexpr uint64_t kMaxArgBytes = 1u << 20;

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The heap starts at the page-aligned end of the highest segment: the bss.
uint32_t heap_start(const ElfImage& image) {
  uint64_t end = 0;
  for (const Segment& seg : image.segments()) end = std::max(end, uint64_t{seg.vaddr} + seg.memsz);
  return static_cast<uint32_t>((end + kPageSize - 1) & ~uint64_t{kPageSize - 1});
}

}  // namespace

// A loaded image as its process's fault reports see it.
class ImageProgram final : public Program {
 public:
  explicit ImageProgram(ElfImage image) : image_(std::move(image)) {}
  const ElfImage& image() const { return image_; }

  // The symbol addr lies in and its offset ("main+0x40"); empty when none.
  std::string code_name(uint32_t addr) const override {
    const auto at = image_.symbols().locate(addr);
    if (!at) return std::string();
    // The file's bytes: keep the name one line of reasonable length.
    constexpr size_t kMaxName = 200;
    return printable(at->name, kMaxName) + (at->offset ? "+" + hex(at->offset) : "");
  }
  std::vector<CallSite> callers(const uint32_t* gpr, uint32_t pc, bool ra_live, const AddressSpace& space,
                                size_t max) const override {
    // Made at the first fault: a run without one reads no frame table.
    if (!unwinder_) unwinder_ = std::make_unique<Unwinder>(image_);
    return unwinder_->callers(gpr, pc, ra_live, space, max);
  }

 private:
  ElfImage image_;
  mutable std::unique_ptr<Unwinder> unwinder_;
};

Machine::Machine(Options options) : opts_(std::move(options)) {
  if (opts_.sp_offset > 7)
    throw std::invalid_argument("sp offset must be 0..7, not " + std::to_string(opts_.sp_offset));
  if (opts_.quantum == 0) throw std::invalid_argument("quantum must be at least 1");
  if (opts_.max_procs == 0) throw std::invalid_argument("process limit must be at least 1");
  if (opts_.max_mem_pages == 0) throw std::invalid_argument("memory limit must be at least one page");
  if (opts_.max_host_mem == 0) throw std::invalid_argument("host memory limit must be at least one byte");
  if (opts_.stack_size < kPageSize || opts_.stack_size % kPageSize != 0 || opts_.stack_size > kMaxStackSize)
    throw std::invalid_argument("stack size must be whole pages, at most " + std::to_string(kMaxStackSize >> 20) +
                                " MiB");
  if (opts_.perf_map) perf_map_ = std::make_unique<PerfMap>();
  // Opened before anything runs, so that a bad --root stops the run at once.
  if (!opts_.root.empty()) tree_ = fs::Tree::open_root(opts_.root, opts_.max_disk);
}

Machine::~Machine() = default;

void Machine::load_file(const std::string& path, std::vector<std::string> argv) {
  load(ElfImage::read_file(path), std::move(argv));
}

void Machine::load_image(std::span<const uint8_t> elf, std::vector<std::string> argv, std::string name) {
  load(ElfImage::parse(elf, name), std::move(argv));
}

void Machine::load(ElfImage image, std::vector<std::string> argv) {
  if (kernel_) throw std::logic_error("a program is already loaded");
  check_fits(image);
  host_ = std::make_shared<HostMemory>(opts_.max_host_mem, opts_.max_code_mem);
  auto program = std::make_shared<ImageProgram>(std::move(image));
  const ElfImage& img = program->image();
  Placed placed = place(img, argv, !opts_.null_argv);
  program_ = program;
  image_ = &img;
  entry_sp_ = placed.state.gpr[regs::sp];
  if (perf_map_) {
    perf_map_->set_namer([this](uint32_t addr) { return code_name(addr); });
    opts_.jit.listener = perf_map_.get();
  }
  kernel_ = std::make_unique<Kernel>(opts_);
  kernel_->start(std::move(placed.space), placed.state);
  const auto [lo, hi] = img.writable_range();
  kernel_->set_image(heap_start(img), lo, hi, program_);
  kernel_->set_tree(tree_ ? std::move(tree_) : fs::Tree::empty());
  kernel_->set_exec_loader([this](std::span<const uint8_t> elf, const std::string& path,
                                  const std::vector<std::string>& args) { return load_exec(elf, path, args); });
  scheduler_ = std::make_unique<Scheduler>(opts_.quantum, opts_.seed);
}

void Machine::check_fits(const ElfImage& image) const {
  const uint32_t stack_lo = kUserEnd - opts_.stack_size;
  for (const Segment& s : image.segments())
    if (uint64_t{s.vaddr} + s.memsz > stack_lo)
      throw LoadError(LoadError::Kind::NotRunnable,
                      image.name() + ": segment at " + hex(s.vaddr) + " reaches into the stack at " + hex(stack_lo));
}

Machine::Placed Machine::place(const ElfImage& image, const std::vector<std::string>& argv, bool with_argv) {
  Placed placed;
  placed.space = std::make_unique<AddressSpace>(opts_.max_mem_pages, host_);
  image.load_into(*placed.space);
  placed.space->set_grow_region(kUserEnd - opts_.stack_size, kUserEnd);
  placed.state = entry_state(image, *placed.space, argv, with_argv);
  return placed;
}

// execv's program, in a space of its own: what the loader refuses is
// ENOEXEC, what the limits refuse ENOMEM; the caller changes only once
// this has succeeded.
ExecImage Machine::load_exec(std::span<const uint8_t> elf, const std::string& path,
                             const std::vector<std::string>& argv) {
  ExecImage out;
  std::shared_ptr<ImageProgram> program;
  try {
    ElfImage image = ElfImage::parse(elf, path);
    check_fits(image);
    program = std::make_shared<ImageProgram>(std::move(image));
  } catch (const LoadError& e) {
    out.err = kENOEXEC;
    out.why = e.what();
    return out;
  }
  const ElfImage& img = program->image();
  try {
    Placed placed = place(img, argv, true);
    out.space = std::move(placed.space);
    out.state = placed.state;
  } catch (const LoadError& e) {
    out.err = kENOMEM;
    out.why = e.what();
    return out;
  }
  out.heap_start = heap_start(img);
  std::tie(out.share_lo, out.share_hi) = img.writable_range();
  out.program = std::move(program);
  return out;
}

// The symbol addr lies in and its offset ("main+0x40"); empty when none.
std::string Machine::code_name(uint32_t addr) const { return program_ ? program_->code_name(addr) : std::string(); }

CpuState Machine::entry_state(const ElfImage& image, AddressSpace& space, const std::vector<std::string>& argv,
                              bool with_argv) {
  CpuState st{};
  st.pc = image.entry();
  uint32_t base = kUserEnd - 16;
  if (with_argv) {
    // Strings at the top, the vector (NULL-terminated) below them, sp below that.
    uint64_t bytes = 0;
    for (const std::string& a : argv) bytes += a.size() + 1;
    bytes += 4 * (uint64_t{argv.size()} + 1) + 64;
    if (bytes > kMaxArgBytes)
      throw LoadError(LoadError::Kind::NotRunnable,
                      image.name() + ": argument list too long (" + std::to_string(bytes) + " bytes)");
    uint64_t strings_size = 0;
    for (const std::string& a : argv) strings_size += a.size() + 1;
    const uint32_t strings = static_cast<uint32_t>((kUserEnd - 16 - strings_size) & ~uint64_t{7});
    const uint32_t vector = (strings - 4 * static_cast<uint32_t>(argv.size() + 1)) & ~7u;
    base = vector - 16;
    const uint32_t lo = base & ~(kPageSize - 1);
    auto no_host_memory = [&] {
      return LoadError(LoadError::Kind::NotRunnable,
                       image.name() + ": no host memory for the argument list under the limit of " +
                           std::to_string(space.host().limit()) + " bytes (--max-host-mem)");
    };
    if (!space.map(lo, kUserEnd - lo, kProtRead | kProtWrite)) {
      // Past the page limit, or else the host cap would not hold the tables.
      uint32_t fresh = 0;
      for (uint64_t a = lo; a < kUserEnd; a += kPageSize) fresh += space.prot(static_cast<uint32_t>(a)) == kProtNone;
      if (uint64_t{space.mapped_pages()} + fresh > space.max_pages())
        throw LoadError(LoadError::Kind::NotRunnable, image.name() +
                                                          ": no memory left for the argument list under the limit of " +
                                                          std::to_string(space.max_pages()) + " pages (--max-mem)");
      throw no_host_memory();
    }
    std::vector<uint8_t> words(4 * (argv.size() + 1), 0);
    uint32_t at = strings;
    bool written = true;
    for (size_t i = 0; i < argv.size(); ++i) {
      written &= space.poke(at, argv[i].c_str(), static_cast<uint32_t>(argv[i].size() + 1));
      put32(&words[4 * i], at);
      at += static_cast<uint32_t>(argv[i].size() + 1);
    }
    // Under a small host cap the pages may not be had: never start with a
    // vector of zeros.
    if (!written || !space.poke(vector, words.data(), static_cast<uint32_t>(words.size()))) throw no_host_memory();
    st.gpr[regs::a0] = static_cast<uint32_t>(argv.size());
    st.gpr[regs::a1] = vector;
  }
  st.gpr[regs::sp] = base + opts_.sp_offset;
  return st;
}

Process& Machine::first_process() {
  if (!kernel_) throw std::logic_error("no program loaded");
  return *kernel_->first();
}

bool Machine::drive(Goal goal) {
  // Processes reaped on the way are freed here and at every round.
  struct Release {
    Kernel& kernel;
    ~Release() { kernel.release_reaped(); }
  } release{*kernel_};
  for (;;) {
    const std::optional<bool> done = slice_.proc ? run_slice(goal) : start_slice(goal);
    if (done) return *done;
  }
}

// Between slices: ends the drive when its goal is out of reach, else
// picks the next process (or waits, or ends a deadlock).
std::optional<bool> Machine::start_slice(Goal goal) {
  const bool debugging = goal == Goal::FirstHalts;
  kernel_->release_reaped();
  Console::host().tick();
  if (output_refused()) return std::nullopt;
  if (goal != Goal::AllEnded && kernel_->info(*kernel_->first()).ended())
    return debugging && halt(DebugHalt::Why::Ended);
  const auto& live = kernel_->live();
  if (live.empty()) return false;
  if (total_ >= opts_.max_insns) {
    budget_hit_ = true;
    kernel_->kill_everything_for_budget(opts_.max_insns);
    return std::nullopt;
  }
  // Console input, which comes from outside, wakes its readers.
  if (kernel_->waits_on_console()) kernel_->await_console(0);
  Process* next = scheduler_->pick(live);
  if (next == nullptr) {
    // Every process is blocked: only the console can wake one, else
    // nothing ever will.
    if (kernel_->waits_on_console()) kernel_->await_console(debugging ? kPollMillis : -1);
    else kernel_->end_in_deadlock();
    if (debugging && (*interrupted_)()) return halt(DebugHalt::Why::Interrupted);
    return std::nullopt;
  }
  slice_ = Slice{next, std::min(scheduler_->slice(), opts_.max_insns - total_), false};
  // A lone process would be picked again for a slice of the same length
  // and nothing between would differ: it runs on through up to
  // kLoneRefills more of them (the budget not in reach) before the machine
  // looks around again.
  const uint64_t per_slice = (opts_.max_insns - total_) / (kLoneRefills + 2);
  if (live.size() == 1 && !debugging && opts_.back_to_back && scheduler_->fixed() && per_slice > slice_.left &&
      per_slice - slice_.left > kMaxOvershoot)
    slice_ = Slice{next, slice_.left, false, slice_.left, kLoneRefills};
  return std::nullopt;
}

// The slice's process runs until the slice is used up, the process
// blocks or ends, or the goal is reached.
std::optional<bool> Machine::run_slice(Goal goal) {
  Process* p = slice_.proc;
  const bool debugging = goal == Goal::FirstHalts;
  const bool watched = debugging && p == kernel_->first();
  while ((slice_.left > 0 || slice_.owed) && p->state == ProcState::Runnable) {
    if (debugging)
      if (const auto done = before_run(watched)) return done;
    // Under a debugger, runs of at most kPollInsns: they end between
    // blocks, where the longer run would have gone on alike.
    const uint64_t budget = std::min(std::max<uint64_t>(slice_.left, slice_.owed), debugging ? kPollInsns : UINT64_MAX);
    const bool step = watched && step_;
    // Back to back only while it is alone (until it forks).
    const Refills refills = kernel_->live().size() == 1 ? Refills{slice_.period, slice_.refills} : Refills{};
    Stop stop = step ? p->cpu->step() : p->cpu->run(budget, refills);
    const bool at_trap =
        stop.reason == StopReason::Fault && stop.fault.kind == FaultKind::Break && trap_ && stop.fault.pc == *trap_;
    // A fault in a delay slot stops the debugger at its branch, which runs
    // again on resume: undone, it is not counted either (unless the fault
    // then ends the process, kill_first).
    rewound_ = watched && stop.reason == StopReason::Fault && !at_trap && stop.executed > 0 &&
               p->cpu->back_to_branch(stop.fault);
    if (rewound_) --stop.executed;
    slice_.owed = false;
    total_ += stop.executed;
    kernel_->count_insns(*p, stop.executed);
    slice_.left = stop.refilled ? stop.left : slice_.left - std::min(slice_.left, stop.executed);
    slice_.refills -= stop.refilled;
    if (output_refused()) return std::nullopt;  // a call stopped for it is not served
    if (const auto done = after_stop(goal, *p, stop, at_trap, step)) return done;
  }
  slice_.proc = nullptr;
  return std::nullopt;
}

// Under a debugger, before each run of the slice's process: an interrupt,
// a step whose call has returned, a breakpoint where the process stands.
std::optional<bool> Machine::before_run(bool watched) {
  if (total_ - polled_at_ >= kPollInsns) {
    polled_at_ = total_;
    if ((*interrupted_)()) return halt(DebugHalt::Why::Interrupted);
  }
  if (!watched) return std::nullopt;
  // A step over a call that blocked ends here, the call returned.
  if (step_blocked_) return halt(DebugHalt::Why::Step);
  // A run never stops at its first instruction: the debugger's breakpoint
  // there is checked here, unless the process resumes from it.
  const Cpu& cpu = *slice_.proc->cpu;
  if (!std::exchange(resume_, false) && cpu.has_breakpoint(cpu.state().pc)) return halt(DebugHalt::Why::Breakpoint);
  return std::nullopt;
}

// The goal's test of one stop of the slice's process: serves its call or
// ends it by its fault unless the goal is reached there.
std::optional<bool> Machine::after_stop(Goal goal, Process& p, const Stop& stop, bool at_trap, bool step) {
  const bool first = &p == kernel_->first();
  const bool watched = goal == Goal::FirstHalts && first;
  switch (stop.reason) {
    case StopReason::Syscall:
      kernel_->syscall(p);
      // A call that blocks goes on while the others run.
      if (step && p.state == ProcState::Runnable) return halt(DebugHalt::Why::Step);
      if (step) step_blocked_ = p.state == ProcState::Blocked;
      return std::nullopt;
    case StopReason::Fault:
      if (at_trap) {
        if (first && goal == Goal::FirstAtTrap) return true;
        kernel_->end_by_return(p, static_cast<int32_t>(p.cpu->state().gpr[regs::v0]));
      } else if (watched) {
        return halt(DebugHalt::Why::Fault, stop.fault);
      } else {
        kernel_->kill(p, stop.fault);
      }
      return std::nullopt;
    case StopReason::Breakpoint:
      // Stopped inside a block, maybe past the slice: the block ends in it.
      slice_.owed = p.cpu->stopped_inside_block();
      if (watched) return halt(DebugHalt::Why::Breakpoint);
      p.cpu->clear_breakpoints();
      if (first && goal == Goal::FirstAtBreakpoint) return true;
      return std::nullopt;
    default:
      if (!step) return std::nullopt;
      slice_.owed = p.cpu->stopped_inside_block();
      return halt(DebugHalt::Why::Step);
  }
}

// Once the host refuses output for good, nothing the guests write can
// arrive any more: every process is ended (trace lines say why), and the
// run ends with kExitOutputRefused.  True the first time.
bool Machine::output_refused() {
  if (refused_ || !Console::host().refusal()) return false;
  refused_ = true;
  if (opts_.diagnostics) Console::host().report_refusal();
  for (Process* p : std::vector<Process*>(kernel_->live()))
    kernel_->kill_by_signal(*p, kSIGKILL, "the host refused its output", true);
  slice_.proc = nullptr;
  return true;
}

bool Machine::halt(DebugHalt::Why why, const Fault& fault) {
  halt_ = DebugHalt{why, fault};
  step_blocked_ = false;
  return true;
}

DebugHalt Machine::debug_run(bool step, const std::function<bool()>& interrupted) {
  step_ = step;
  rewound_ = false;
  // Stopped inside a call (interrupted while it blocked): a step ends once
  // it has returned.
  step_blocked_ = step && first_process().state == ProcState::Blocked;
  resume_ = true;
  interrupted_ = &interrupted;
  drive(Goal::FirstHalts);
  interrupted_ = nullptr;
  step_ = false;
  return halt_;
}

const ProcessInfo& Machine::first_info() const {
  if (!kernel_) throw std::logic_error("no program loaded");
  return kernel_->info(*kernel_->first());
}

void Machine::kill_first(int signal, const std::string& why, bool all) {
  Process& first = first_process();
  if (!kernel_->info(first).ended()) kernel_->kill_by_signal(first, signal, why);
  if (all)
    for (Process* p : std::vector<Process*>(kernel_->live())) kernel_->kill_by_signal(*p, signal, why, true);
  if (slice_.proc && slice_.proc->state != ProcState::Runnable) slice_.proc = nullptr;
  kernel_->release_reaped();
}

void Machine::kill_first(const Fault& fault) {
  Process& first = first_process();
  if (kernel_->info(first).ended()) return;
  // Its branch ran before the fault, as without a debugger.
  if (std::exchange(rewound_, false)) {
    ++total_;
    kernel_->count_insns(first, 1);
  }
  if (slice_.proc == &first) slice_.proc = nullptr;
  kernel_->kill(first, fault);
}

RunResult Machine::run() {
  Process& first = first_process();
  drive(Goal::AllEnded);
  if (opts_.stats)
    for (const std::string& line : stats_lines()) Console::host().line(2, line);
  Console::host().flush();
  RunResult r;
  const ProcessInfo& info = kernel_->info(first);
  if (Console::host().refusal()) {
    // Lost output outweighs any status: a run whose output did not all
    // arrive did not succeed, whatever its processes said.
    r.exit_code = kExitOutputRefused;
    r.message = Console::host().refusal_line();
    if (opts_.diagnostics) Console::host().report_refusal();
  } else if (const auto& end = kernel_->machine_end()) {
    r.exit_code = end->exit_code;
    r.message = end->message;
  } else if (budget_hit_) {
    r.exit_code = kExitBudget;
    r.message = "r3krun: instruction budget of " + std::to_string(opts_.max_insns) + " exhausted";
  } else if (const int sig = info.kill_signal()) {
    r.exit_code = killed_status(sig);
    r.message = Kernel::kill_line(first.pid, sig, info.report);
  } else {
    r.exit_code = info.status & 0xff;
  }
  return r;
}

std::optional<uint32_t> Machine::symbol(std::string_view name) const {
  return image_ != nullptr ? image_->symbol(name) : std::nullopt;
}

bool Machine::run_until(uint32_t pc) {
  Process& first = first_process();
  if (kernel_->info(first).ended()) return false;
  first.cpu->add_breakpoint(pc);
  slice_.proc = nullptr;  // the driver's steps start slices afresh
  const bool hit = drive(Goal::FirstAtBreakpoint);
  first.cpu->clear_breakpoints();
  return hit;
}

bool Machine::run_to_trap() {
  if (!trap_) throw std::logic_error("no return trap set");
  first_process();  // throws before anything is loaded
  slice_.proc = nullptr;
  return drive(Goal::FirstAtTrap);
}

CpuState& Machine::regs() { return first_process().cpu->state(); }

AddressSpace& Machine::space() { return *first_process().space; }

const AddressSpace& Machine::space() const {
  if (!kernel_) throw std::logic_error("no program loaded");
  return *kernel_->first()->space;
}

const std::vector<SyscallEvent>& Machine::events() const {
  static const std::vector<SyscallEvent> none;
  return kernel_ ? kernel_->events() : none;
}

std::string Machine::output(int fd) const { return kernel_ ? kernel_->output(fd) : std::string{}; }

const std::vector<ProcessInfo>& Machine::processes() const {
  static const std::vector<ProcessInfo> none;
  return kernel_ ? kernel_->infos() : none;
}

const std::vector<std::string>& Machine::diagnostics() const {
  static const std::vector<std::string> none;
  return kernel_ ? kernel_->diagnostics() : none;
}

const ElfImage& Machine::image() const {
  if (image_ == nullptr) throw std::logic_error("no program loaded");
  return *image_;
}

std::vector<std::string> Machine::stats_lines() const {
  std::vector<std::string> lines;
  for (const ProcessInfo& p : processes()) {
    std::string how;
    if (const int sig = p.kill_signal()) how = "killed by " + signal_name(sig) + ": " + p.report;
    else if (p.exited) how = "exited with " + std::to_string(p.status);
    else how = "still running";
    std::string calls;
    for (uint32_t n = 0; n <= kSyscallCount; ++n) {
      if (p.calls[n] == 0) continue;
      const std::string name = n < kSyscallCount ? std::string(syscall_name(n)) : "other";
      calls += (calls.empty() ? "" : ", ") + name + " " + std::to_string(p.calls[n]);
    }
    lines.push_back("r3krun: pid " + std::to_string(p.pid) + ", ppid " + std::to_string(p.ppid) + ": " +
                    std::to_string(p.insns) + " instructions, " + how + "; calls: " + (calls.empty() ? "none" : calls));
  }
  return lines;
}

}  // namespace r3k
