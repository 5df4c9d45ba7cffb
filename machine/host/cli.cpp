#include "r3k/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#include "r3k/machine.h"

namespace r3k {
namespace {

constexpr int kExitUsage = 125, kExitNotRunnable = 126, kExitCannotOpen = 127;

template <typename T>
T number(const std::string& option, const std::string& text, uint64_t max) {
  auto v = parse_count(text);
  if (!v || *v > max)
    throw UsageError(option + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
  return static_cast<T>(*v);
}

void say(const std::string& line) {
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

Command parse_command_line(int argc, const char* const* argv) {
  CLI::App app{"r3krun [OPTIONS] PROGRAM [ARGS...]\n"
               "Runs a statically linked MIPS-I (R3000) program on the stand-in machine.",
               "r3krun"};
  app.prefix_command();  // options end at the program name
  app.footer("Exit status: the first process's status & 0xff; 128+signal if a fault killed it;\n"
             "137 when --max-insns runs out; 125 bad usage; 126 not a runnable MIPS-I ELF; 127 cannot open.");

  bool trace = false, stats = false, shared_fork = false, null_argv = false, no_jit = false;
  std::string trace_format = "strace", wait_status = "raw";
  std::string strsize, exit_returns, pid, ppid, sp_offset, quantum, seed, max_procs, max_mem, max_insns;
  std::vector<std::string> fails, results, closed;

  app.add_flag("--trace", trace, "Print one line per kernel call on stderr");
  app.add_option("--trace-format", trace_format, "strace (default) or tsv")->type_name("FORMAT");
  app.add_option("--trace-strsize", strsize, "Bytes of a write shown before \"...\" (default 32)")->type_name("N");
  app.add_flag("--stats", stats, "Per-process summary on stderr at the end");
  app.add_option("--fail", fails, "CALL[@PID][:N[+]]=ERR: fail matching calls with ERR (name or number)")
      ->allow_extra_args(false)->type_name("RULE");
  app.add_option("--result", results, "CALL[@PID][:N[+]]=VALUE: return VALUE, error flag clear, instead of the call")
      ->allow_extra_args(false)->type_name("RULE");
  app.add_option("--exit-returns", exit_returns, "The first N _exit calls return to the guest")->type_name("N");
  app.add_flag("--shared-fork", shared_fork, "fork shares data and bss with the child instead of copying");
  app.add_option("--wait-status", wait_status, "raw (default): waitpid stores the exit word; unix: (status&0xff)<<8")->type_name("FORM");
  app.add_option("--close-fd", closed, "Descriptor FD is closed: writes to it fail with EBADF")->allow_extra_args(false)->type_name("FD");
  app.add_option("--pid", pid, "Id of the first process (default 2)")->type_name("N");
  app.add_option("--ppid", ppid, "Its parent's id, also given to orphans (default 1)")->type_name("N");
  app.add_option("--sp-offset", sp_offset, "0..7 added to the 8-aligned entry sp (default 0)")->type_name("N");
  app.add_flag("--null-argv", null_argv, "Start with argc 0 and a null argument vector");
  app.add_option("--quantum", quantum, "Instructions per time slice (default 10000)")->type_name("N");
  app.add_option("--seed", seed, "Randomise slice lengths (1..2*quantum) with this seed")->type_name("N");
  app.add_option("--max-procs", max_procs, "Processes at once; fork fails with EAGAIN beyond (default 64)")->type_name("N");
  app.add_option("--max-mem", max_mem, "Memory per process: MiB, or with K/M/G, or pages with p (default 64)")->type_name("SIZE");
  app.add_option("--max-insns", max_insns, "Instruction budget of the whole run (default 20e9)")->type_name("N");
  app.add_flag("--no-jit", no_jit, "Interpret every instruction: no generated code for hot blocks");

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::reverse(args.begin(), args.end());  // CLI11 takes them last to first
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help() << std::flush;
    Command cmd;
    cmd.help = true;
    return cmd;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }

  Command cmd;
  cmd.argv = app.remaining();
  if (!cmd.argv.empty() && cmd.argv.front() == "--") cmd.argv.erase(cmd.argv.begin());
  if (cmd.argv.empty()) throw UsageError("no program given (usage: r3krun [OPTIONS] PROGRAM [ARGS...])");
  if (cmd.argv.front().size() > 1 && cmd.argv.front()[0] == '-')
    throw UsageError("unknown option " + cmd.argv.front());

  Options& o = cmd.options;
  o.trace = trace;
  o.stats = stats;
  o.shared_fork = shared_fork;
  o.null_argv = null_argv;
  if (no_jit) o.jit.enabled = false;
  if (trace_format == "tsv") o.trace_format = TraceFormat::Tsv;
  else if (trace_format != "strace") throw UsageError("--trace-format: expected strace or tsv, not '" + trace_format + "'");
  if (wait_status == "unix") o.wait_status = WaitStatusForm::Unix;
  else if (wait_status != "raw") throw UsageError("--wait-status: expected raw or unix, not '" + wait_status + "'");
  for (const std::string& text : fails) {
    std::string why;
    auto rule = parse_call_rule(text, true, &why);
    if (!rule) throw UsageError("--fail: " + why);
    o.fail.push_back(*rule);
  }
  for (const std::string& text : results) {
    std::string why;
    auto rule = parse_call_rule(text, false, &why);
    if (!rule) throw UsageError("--result: " + why);
    o.result.push_back(*rule);
  }
  for (const std::string& text : closed) {
    auto fd = parse_integer(text);
    if (!fd || *fd < INT32_MIN || *fd > INT32_MAX) throw UsageError("--close-fd: '" + text + "' is not a descriptor");
    o.closed_fds.push_back(static_cast<int32_t>(*fd));
  }
  if (!strsize.empty()) o.trace_strsize = number<uint32_t>("--trace-strsize", strsize, kMaxEventData);
  if (!exit_returns.empty()) o.exit_returns = number<uint32_t>("--exit-returns", exit_returns, UINT32_MAX);
  if (!pid.empty()) o.first_pid = number<uint32_t>("--pid", pid, UINT32_MAX);
  if (!ppid.empty()) o.first_ppid = number<uint32_t>("--ppid", ppid, UINT32_MAX);
  if (!sp_offset.empty()) o.sp_offset = number<uint32_t>("--sp-offset", sp_offset, 7);
  if (!quantum.empty()) {
    o.quantum = number<uint64_t>("--quantum", quantum, UINT64_MAX);
    if (o.quantum == 0) throw UsageError("--quantum: must be at least 1");
  }
  if (!seed.empty()) o.seed = number<uint64_t>("--seed", seed, UINT64_MAX);
  if (!max_procs.empty()) {
    o.max_procs = number<uint32_t>("--max-procs", max_procs, UINT32_MAX);
    if (o.max_procs == 0) throw UsageError("--max-procs: must be at least 1");
  }
  if (!max_mem.empty()) {
    auto pages = parse_memory_pages(max_mem);
    if (!pages) throw UsageError("--max-mem: '" + max_mem + "' is not a size (64, 512K, 2G, 300p)");
    o.max_mem_pages = *pages;
  }
  if (!max_insns.empty()) o.max_insns = number<uint64_t>("--max-insns", max_insns, UINT64_MAX);
  return cmd;
}

int run_command_line(int argc, const char* const* argv) {
  // A closed pipe on our stdout must not kill us mid-run.
  std::signal(SIGPIPE, SIG_IGN);
  Command cmd;
  try {
    cmd = parse_command_line(argc, argv);
  } catch (const UsageError& e) {
    say(std::string("r3krun: ") + e.what());
    return kExitUsage;
  }
  if (cmd.help) return 0;
  cmd.options.echo = true;
  cmd.options.diagnostics = true;
  cmd.options.record = false;  // nothing reads events or output back: keep memory flat
  try {
    Machine machine(cmd.options);
    try {
      machine.load_file(cmd.argv.front(), cmd.argv);
    } catch (const LoadError& e) {
      say(std::string("r3krun: ") + e.what());
      return e.kind() == LoadError::Kind::CannotOpen ? kExitCannotOpen : kExitNotRunnable;
    }
    return machine.run().exit_code;
  } catch (const std::invalid_argument& e) {
    say(std::string("r3krun: ") + e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    say(std::string("r3krun: internal error: ") + e.what());
    return kExitUsage;
  }
}

}  // namespace r3k
