#include "r3k/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>

#include "r3k/console.h"
#include "r3k/debugger.h"
#include "r3k/faults.h"
#include "r3k/machine.h"

namespace r3k {
namespace {

constexpr const char* kUsage = "r3krun [OPTIONS] PROGRAM [ARGS...]";

// The one usage line, with the description under it.
class HelpFormat : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App*, std::string) const override {
    return std::string("Usage: ") + kUsage +
           "\nRuns a statically linked MIPS-I (R3000) program on the stand-in machine.\n";
  }
};

// Every option's value as given, before it is checked.
struct Texts {
  bool trace = false, stats = false, shared_fork = false, null_argv = false, no_jit = false, perf_map = false;
  std::string trace_format, trace_file, wait_status = "raw", max_mem, max_host_mem, gdb, root, max_disk;
  std::string strsize, exit_returns, pid, ppid, sp_offset, quantum, seed, max_procs, max_insns, clock;
  std::vector<std::string> fails, results, closed, kernel_faults;
};

void declare(CLI::App& app, Texts& t) {
  app.add_flag("--trace", t.trace, "Print one line per kernel call on stderr");
  app.add_option("--trace-format", t.trace_format, "strace (default) or tsv; implies --trace")->type_name("FORMAT");
  app.add_option("--trace-file", t.trace_file, "Write the trace to FILE instead of stderr; implies --trace")
      ->type_name("FILE");
  app.add_option("--trace-strsize", t.strsize, "Bytes of a buffer or path shown before \"...\" (default 32)")
      ->type_name("N");
  app.add_flag("--stats", t.stats, "Per-process summary on stderr at the end");
  app.add_option("--fail", t.fails, "CALL[@PID][:N[+]]=ERR: fail matching calls with ERR (name or number)")
      ->allow_extra_args(false)
      ->type_name("RULE");
  app.add_option("--result", t.results, "CALL[@PID][:N[+]]=VALUE: return VALUE, error flag clear, instead of the call")
      ->allow_extra_args(false)
      ->type_name("RULE");
  app.add_option("--exit-returns", t.exit_returns, "The first N _exit calls return to the guest")->type_name("N");
  app.add_flag("--shared-fork", t.shared_fork, "fork shares data and bss with the child instead of copying");
  app.add_option("--wait-status", t.wait_status, "raw (default): waitpid stores the exit word; unix: (status&0xff)<<8")
      ->type_name("FORM");
  app.add_option("--kernel-fault", t.kernel_faults,
                 "Play fault NAME of a young kernel (repeatable); 'help' lists the catalogue")
      ->allow_extra_args(false)
      ->type_name("NAME");
  app.add_option("--close-fd", t.closed,
                 "Descriptor FD of the first process starts closed: calls on it fail with EBADF")
      ->allow_extra_args(false)
      ->type_name("FD");
  app.add_option("--pid", t.pid, "Id of the first process, 1..2^31-1 (default 2)")->type_name("N");
  app.add_option("--ppid", t.ppid, "Its parent's id, also given to orphans, 1..2^31-1 (default 1)")->type_name("N");
  app.add_option("--sp-offset", t.sp_offset, "0..7 added to the 8-aligned entry sp (default 0)")->type_name("N");
  app.add_flag("--null-argv", t.null_argv, "Start with argc 0 and a null argument vector");
  app.add_option("--quantum", t.quantum, "Instructions per time slice (default 10000)")->type_name("N");
  app.add_option("--seed", t.seed, "Randomise slice lengths (1..2*quantum) with this seed")->type_name("N");
  app.add_option("--max-procs", t.max_procs, "Processes at once; fork fails with EAGAIN beyond (default 64)")
      ->type_name("N");
  app.add_option("--max-mem", t.max_mem, "Memory per process: MiB, or with K/M/G, or pages with p (default 64)")
      ->type_name("SIZE");
  app.add_option("--max-host-mem", t.max_host_mem,
                 "Host memory of all processes together, as --max-mem (default 2G); past it fork fails with ENOMEM")
      ->type_name("SIZE");
  app.add_option("--root", t.root,
                 "The guest's / is host directory DIR; DIR:ro read-only (default: an empty read-only tree)")
      ->type_name("DIR[:ro]");
  app.add_option("--max-disk", t.max_disk,
                 "Bytes the run may add to the host's disk: MiB, or with K/M/G; past it ENOSPC (default 1G or half the "
                 "free space)")
      ->type_name("SIZE");
  app.add_option("--max-insns", t.max_insns, "Instruction budget of the whole run (default: none)")->type_name("N");
  app.add_option("--clock", t.clock,
                 "__time gives a virtual clock from SECONDS since 1970, one nanosecond per guest instruction")
      ->type_name("SECONDS");
  app.add_flag("--no-jit", t.no_jit, "Interpret every instruction: no generated code for hot blocks");
  app.add_flag("--perf-map", t.perf_map, "Name the generated code for perf in /tmp/perf-PID.map");
  app.add_option("--gdb", t.gdb, "Wait for gdb on [HOST:]PORT (default host 127.0.0.1) before the first instruction")
      ->type_name("[HOST:]PORT");
}

// Counts, ids and sizes: one line each, the same checks for all.
void apply_numbers(const CLI::App& app, const Texts& t, Options& o) {
  struct Number {
    const char* name;
    const std::string& text;
    uint64_t min, max;
    std::function<void(uint64_t)> set;
  };
  const Number numbers[] = {
      {"--trace-strsize", t.strsize, 0, kMaxEventData, [&](uint64_t v) { o.trace_strsize = uint32_t(v); }},
      {"--exit-returns", t.exit_returns, 0, UINT32_MAX, [&](uint64_t v) { o.exit_returns = uint32_t(v); }},
      {"--pid", t.pid, 1, kMaxPid, [&](uint64_t v) { o.first_pid = uint32_t(v); }},
      {"--ppid", t.ppid, 1, kMaxPid, [&](uint64_t v) { o.first_ppid = uint32_t(v); }},
      {"--sp-offset", t.sp_offset, 0, 7, [&](uint64_t v) { o.sp_offset = uint32_t(v); }},
      {"--quantum", t.quantum, 1, UINT64_MAX, [&](uint64_t v) { o.quantum = v; }},
      {"--seed", t.seed, 0, UINT64_MAX, [&](uint64_t v) { o.seed = v; }},
      {"--max-procs", t.max_procs, 1, UINT32_MAX, [&](uint64_t v) { o.max_procs = uint32_t(v); }},
      {"--max-insns", t.max_insns, 0, UINT64_MAX, [&](uint64_t v) { o.max_insns = v; }},
      {"--clock", t.clock, 0, uint64_t{1} << 62, [&](uint64_t v) { o.clock = int64_t(v); }},
  };
  for (const Number& n : numbers) {
    if (app.count(n.name) == 0) continue;
    const auto v = parse_count(n.text);
    if (!v || *v < n.min || *v > n.max)
      throw UsageError(std::string(n.name) + ": '" + n.text + "' is not a number from " + std::to_string(n.min) +
                       " to " + std::to_string(n.max));
    n.set(*v);
  }
  if (app.count("--max-mem")) {
    const auto pages = parse_memory_pages(t.max_mem);
    if (!pages) throw UsageError("--max-mem: '" + t.max_mem + "' is not a size up to 2G (64, 512K, 2G, 300p)");
    o.max_mem_pages = *pages;
  }
  if (app.count("--max-host-mem")) {
    const auto bytes = parse_size(t.max_host_mem);
    if (!bytes) throw UsageError("--max-host-mem: '" + t.max_host_mem + "' is not a size (512, 4G, 300p)");
    o.max_host_mem = *bytes;
  }
  if (app.count("--max-disk")) {
    const auto bytes = parse_size(t.max_disk);
    if (!bytes) throw UsageError("--max-disk: '" + t.max_disk + "' is not a size (512, 4G, 300p)");
    o.max_disk = *bytes;
  }
  if (app.count("--root")) {
    if (t.root.empty()) throw UsageError("--root: expected a directory");
    o.root = t.root;
  }
}

void apply(const CLI::App& app, const Texts& t, Command& cmd) {
  Options& o = cmd.options;
  o.max_insns = kNoBudget;  // a budget is for runaway guests in tests, asked for
  // Asking for a trace's form or place asks for the trace.
  o.trace = t.trace || app.count("--trace-format") || app.count("--trace-file");
  o.stats = t.stats;
  o.shared_fork = t.shared_fork;
  o.null_argv = t.null_argv;
  if (t.no_jit) o.jit.enabled = false;
  o.perf_map = t.perf_map;
  cmd.trace_file = t.trace_file;
  if (app.count("--gdb")) {
    std::string why;
    cmd.gdb = gdb::parse_endpoint(t.gdb, &why);
    if (!cmd.gdb) throw UsageError("--gdb: " + why);
  }
  if (t.trace_format == "tsv") o.trace_format = TraceFormat::Tsv;
  else if (app.count("--trace-format") && t.trace_format != "strace")
    throw UsageError("--trace-format: expected strace or tsv, not '" + t.trace_format + "'");
  if (t.wait_status == "unix") o.wait_status = WaitStatusForm::Unix;
  else if (t.wait_status != "raw") throw UsageError("--wait-status: expected raw or unix, not '" + t.wait_status + "'");
  for (const auto& [texts, rules, is_error, name] :
       {std::tuple(&t.fails, &o.fail, true, "--fail"), std::tuple(&t.results, &o.result, false, "--result")}) {
    for (const std::string& text : *texts) {
      std::string why;
      auto rule = parse_call_rule(text, is_error, &why);
      if (!rule) throw UsageError(std::string(name) + ": " + why);
      rules->push_back(*rule);
    }
  }
  for (const std::string& name : t.kernel_faults) {
    const auto fault = parse_kernel_fault(name);
    if (!fault) throw UsageError("--kernel-fault: no fault '" + name + "' (--kernel-fault help lists them)");
    o.kernel_faults |= fault_bit(*fault);
  }
  for (const std::string& text : t.closed) {
    auto fd = parse_integer(text);
    if (!fd || *fd < INT32_MIN || *fd > INT32_MAX) throw UsageError("--close-fd: '" + text + "' is not a descriptor");
    o.closed_fds.push_back(static_cast<int32_t>(*fd));
  }
  apply_numbers(app, t, o);
}

}  // namespace

Command parse_command_line(int argc, const char* const* argv) {
  CLI::App app{"", "r3krun"};
  app.formatter(std::make_shared<HelpFormat>());
  app.prefix_command();  // options end at the program name
  app.footer(
      "Exit status: the first process's status & 0xff; 128+signal if a fault killed it;\n"
      "137 when --max-insns runs out; 120, 121, 122 after reboot(RB_REBOOT, RB_HALT, RB_POWEROFF);\n"
      "123 when every process waits for another (a deadlock); 125 bad usage; 126 not a runnable MIPS-I ELF;\n"
      "127 cannot open; 74 the host refused output (a full disk, a closed pipe); 70 an internal error of r3krun.");
  app.set_version_flag("--version", "r3krun " R3K_VERSION);
  Texts t;
  declare(app, t);

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::reverse(args.begin(), args.end());  // CLI11 takes them last to first
  Command cmd;
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    Console::host().write(1, app.help());
    Console::host().flush();
    cmd.help = true;
    return cmd;
  } catch (const CLI::CallForVersion& e) {
    Console::host().line(1, e.what());
    Console::host().flush();
    cmd.help = true;
    return cmd;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  if (std::find(t.kernel_faults.begin(), t.kernel_faults.end(), "help") != t.kernel_faults.end()) {
    for (const KernelFaultInfo& f : kernel_fault_catalogue())
      Console::host().line(1, std::string(f.name) + "\t" + f.what);
    Console::host().flush();
    cmd.help = true;
    return cmd;
  }
  // An empty value is a mistake, never "not given".
  for (const CLI::Option* opt : app.get_options())
    for (const std::string& value : opt->results())
      if (value.empty() && opt->get_expected_min() > 0) throw UsageError(opt->get_name() + ": empty value");

  cmd.argv = app.remaining();
  if (!cmd.argv.empty() && cmd.argv.front() == "--") cmd.argv.erase(cmd.argv.begin());
  if (cmd.argv.empty()) throw UsageError(std::string("no program given (usage: ") + kUsage + ")");
  if (cmd.argv.front().size() > 1 && cmd.argv.front()[0] == '-') throw UsageError("unknown option " + cmd.argv.front());
  apply(app, t, cmd);
  return cmd;
}

namespace {

// One line of r3krun's own; what came from outside in it (a path, an
// option's value) is made printable.
void say(const std::string& line) {
  Console::host().line(2, "r3krun: " + printable(line));
  Console::host().flush();
}

// Descriptors 0-2 closed when r3krun starts are held open (on /dev/null,
// or else on a descriptor that takes nothing), so that nothing r3krun opens
// (the trace file, the debugger's connection) gets their numbers and the
// guest's output with them.  Returns them: the guest finds them closed, as
// --close-fd makes them, and r3krun's own output to them goes nowhere.
std::vector<int32_t> hold_closed_standard_descriptors() {
  std::vector<int32_t> closed;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/dev/null", O_RDWR | O_NOCTTY);
    if (held < 0) held = ::open("/", O_PATH | O_DIRECTORY);
    if (held >= 0 && held != fd) {  // the lowest free number is fd itself, unless something else took it
      ::dup2(held, fd);
      ::close(held);
    }
    closed.push_back(fd);
  }
  return closed;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// What a trace may go to besides a regular file: a terminal or /dev/null.
// Other devices are not even opened: opening some does something to them.
bool trace_device(const struct stat& st) {
  if (!S_ISCHR(st.st_mode)) return false;
  const unsigned kind = major(st.st_rdev), unit = minor(st.st_rdev);
  return (kind == 1 && unit == 3) || kind == 4 || (kind == 5 && unit <= 1) || (kind >= 136 && kind <= 143);
}

// The --trace-file, opened once the program has been read: never the
// program itself (same file: its truncation would destroy it), never
// something an open or a write could block on for good (a FIFO, a socket).
// r3krun's own standard output or error (/dev/stderr) is used as it is.
// Returns the descriptor, or -1 with *why.
int open_trace_file(const std::string& path, const ElfImage& program, std::string* why) {
  auto is_program = [&](const struct stat& st) {
    if (program.file_id() != ElfImage::FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)}) return false;
    *why = path + " is the program";
    return true;
  };
  auto refuses = [&](const struct stat& st) {
    if (is_program(st)) return true;
    if (S_ISREG(st.st_mode) || trace_device(st)) return false;
    *why = path + " is not a regular file or a terminal";
    return true;
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (is_program(st)) return -1;
    for (const int own : {1, 2}) {
      struct stat mine {};
      if (::fstat(own, &mine) == 0 && same_file(st, mine)) return own;
    }
    if (refuses(st)) return -1;
  } else if (errno != ENOENT) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  // Not truncated before it is known to be a regular file that is not the
  // program (the path may have changed since).
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || refuses(st) || (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0)) {
    if (why->empty()) *why = "cannot open " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  Console::host().name(fd, "the trace file " + printable(path));
  return fd;
}

// Waits for the debugger's connection and serves it.
int debug(Machine& machine, const gdb::Endpoint& at) {
  std::optional<gdb::Listener> listener;
  try {
    listener.emplace(at);
  } catch (const std::runtime_error& e) {
    say(e.what());
    return kExitUsage;
  }
  say("waiting for gdb on " + listener->address());
  if (!listener->loopback())
    say("warning: --gdb " + listener->address() +
        " is not a loopback address: whoever connects first controls the program (no authentication)");
  gdb::Connection conn(listener->accept());
  listener.reset();
  serve_debugger(machine, conn);
  return 0;
}

// The run itself, once the command line is understood.
int run(Command& cmd) {
  std::optional<ElfImage> image;
  try {
    image.emplace(ElfImage::read_file(cmd.argv.front()));
  } catch (const LoadError& e) {
    say(e.what());
    return e.kind() == LoadError::Kind::CannotOpen ? kExitCannotOpen : kExitNotRunnable;
  }
  if (!cmd.trace_file.empty()) {
    std::string why;
    cmd.options.trace_fd = open_trace_file(cmd.trace_file, *image, &why);
    if (cmd.options.trace_fd < 0) {
      say("--trace-file: " + why);
      return kExitUsage;
    }
  }
  struct Closer {
    int fd;
    ~Closer() {
      Console::host().flush();
      if (fd > 2) ::close(fd);
    }
  } closer{cmd.options.trace_fd};
  cmd.options.echo = true;
  cmd.options.input_fd = 0;  // the console reads r3krun's standard input
  cmd.options.diagnostics = true;
  cmd.options.record = false;  // nothing reads events or output back: keep memory flat
  std::optional<Machine> made;
  try {
    made.emplace(cmd.options);
  } catch (const std::invalid_argument& e) {
    say(e.what());
    return kExitUsage;
  } catch (const fs::SetupError& e) {
    say(std::string("--root: ") + e.what());
    return kExitCannotOpen;
  }
  Machine& machine = *made;
  try {
    machine.load(std::move(*image), cmd.argv);
  } catch (const LoadError& e) {
    say(e.what());
    return kExitNotRunnable;
  }
  if (cmd.gdb)
    if (const int status = debug(machine, *cmd.gdb); status != 0) return status;
  return machine.run().exit_code;
}

int run_parsed(int argc, const char* const* argv, const std::vector<int32_t>& closed) {
  try {
    Command cmd = parse_command_line(argc, argv);
    if (cmd.help) return 0;
    for (const int32_t fd : closed)
      if (std::find(cmd.options.closed_fds.begin(), cmd.options.closed_fds.end(), fd) == cmd.options.closed_fds.end())
        cmd.options.closed_fds.push_back(fd);
    return run(cmd);
  } catch (const UsageError& e) {
    say(e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    say(std::string("internal error: ") + e.what());
    return kExitInternal;
  }
}

}  // namespace

int run_command_line(int argc, const char* const* argv) {
  // Before anything is opened.
  const std::vector<int32_t> closed = hold_closed_standard_descriptors();
  for (const int32_t fd : closed) Console::host().discard(fd);
  // A closed pipe on our stdout, or a trace past the file size limit, is a
  // refused write (EPIPE, EFBIG), reported as any other, not a signal that
  // ends us without a word.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const int status = run_parsed(argc, argv, closed);
  Console::host().flush();
  // Whatever the run said, output that did not arrive makes it a failure.
  return Console::host().report_refusal() ? kExitOutputRefused : status;
}

}  // namespace r3k
