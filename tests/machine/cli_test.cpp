// The r3krun binary: exit statuses, the one-line reports, option parsing
// and where the guest's output and the trace go.
#include "r3k/cli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>

#include "machine/machine_util.h"
#include "r3k/faults.h"
#include "support/subprocess.h"

namespace {

using r3k::test::r3krun;
using r3k::test::Ran;

size_t lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

// The run's perf map: every line "START SIZE NAME" in hex, the shared code
// named, and a stretch of code named after `name`; removed afterwards.
void expect_perf_map(pid_t pid, const std::string& name) {
  const std::string path = "/tmp/perf-" + std::to_string(pid) + ".map";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  std::string line;
  bool named = false, thunk = false;
  for (size_t n = 0; std::getline(in, line); ++n) {
    unsigned long long start = 0, size = 0;
    int used = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%llx %llx %n", &start, &size, &used), 2) << path << ":" << n << ": " << line;
    EXPECT_TRUE(start != 0 && size != 0 && size < (1u << 20)) << line;
    const std::string what = line.substr(size_t(used));
    named |= what.rfind(name, 0) == 0;
    thunk |= what == "r3k:entry-thunk";
  }
  EXPECT_TRUE(named && thunk) << path << " names no " << name << " or no entry thunk";
  std::remove(path.c_str());
}

TEST(Cli, ExitStatusesAndOneLineReports) {
  const std::string exit_status = mtest::guest("exit_status"), debugme = mtest::guest("debugme");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* err;  // expected start of the only stderr line; empty: no stderr
    const char* out;
    std::vector<const char*> rest = {};  // a fault: in this order in the line after err, the last ending it
    const char* perf_map = nullptr;      // a name the run's perf map must have
  } cases[] = {
      {{exit_status}, 0, "", "hi\n"},
      {{exit_status, "3"}, 3, "", "hi\n"},
      {{exit_status, "-1"}, 255, "", "hi\n"},
      {{exit_status, "257"}, 1, "", "hi\n"},
      {{mtest::guest("calls_abort")}, 255, "", ""},
      {{mtest::guest("null_load")},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc",
       "",
       {" in main: lw a0,0(zero) (null pointer) (called from __start+0x", ")"}},
      // Named code, the likely cause and the callers: from the frame tables
      // (debugme is built -g) and, for the compiler runtime, which has
      // none, from the return address.
      {{debugme, "fault"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x",
       "",
       {" in deref+0x", ": lw ", " (null pointer) (called from main+0x", " <- __start+0x", ")"}},
      {{debugme, "div"},
       133,
       "r3krun: pid 2 killed by SIGTRAP: break at pc 0x",
       "",
       {" in divide+0x", ": break 0x7 (integer division by zero) (called from main+0x", " <- __start+0x", ")"}},
      {{debugme, "div64"},
       133,
       "r3krun: pid 2 killed by SIGTRAP: break at pc 0x",
       "",
       {" in __divdi3+0x", ": break 0x7 (integer division by zero) (called from main+0x", " <- __start+0x", ")"}},
      {{debugme, "ro"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x",
       "",
       {" in poke+0x", ": sw ", " (store to a read-only page) (called from main+0x", " <- __start+0x", ")"}},
      {{debugme, "stack"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x7f7f",
       "",
       {" in recurse+0x", " (stack overflow: past the 8 MiB stack) (called from recurse+0x", " <- recurse+0x",
        " <- recurse+0x", " <- recurse+0x", " <- recurse+0x", " <- recurse+0x", " <- ...)"}},
      {{debugme, "jump"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x",
       "",
       {": instruction fetch (jump to a non-executable page from jalr ", " at 0x", " in main+0x",
        ") (called from __start+0x", ")"}},
      // Stacks that cannot be trusted: no caller, or a chain cut short.
      {{mtest::guest("bad_stack")},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x",
       "",
       {" in main+0x1c: lw t1,0(zero) (null pointer)"}},
      {{mtest::guest("bad_stack"), "cycle"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x",
       "",
       {" in cycle+0x28: lw t3,0(zero) (null pointer) (called from cycle+0x30 <- cycle+0x30 <- cycle+0x30 <- "
        "cycle+0x30 <- cycle+0x30 <- cycle+0x30 <- ...)"}},
      {{mtest::guest("bad_stack"), "top", "of memory"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc 0x",
       "",
       {" in framed+0xc: lw t0,0(zero) (null pointer)"}},
      {{"--max-host-mem", "1M", mtest::guest("deep_stack"), "2000"},
       139,
       "r3krun: pid 2 killed by SIGSEGV: bad ",
       "",
       {": sb ", " (no host memory left for the page under --max-host-mem) (called from ", " <- ...)"}},
      {{"--max-host-mem", "96K", mtest::guest("deep_stack"), "10"},
       126,
       "r3krun: " R3K_GUEST_DIR "/deep_stack: no host memory for the argument list",
       ""},
      {{"--max-insns", "1e5", mtest::guest("spin")}, 137, "r3krun: instruction budget of 100000 exhausted", ""},
      {{"--perf-map", "--max-insns", "1e5", mtest::guest("spin")},
       137,
       "r3krun: instruction budget of 100000 exhausted",
       "",
       {},
       "guest:main"},
      {{}, 125, "r3krun: no program given", ""},
      {{"--bogus", exit_status}, 125, "r3krun: unknown option --bogus", ""},
      {{"--quantum", "lots", exit_status}, 125, "r3krun: --quantum: 'lots' is not a number", ""},
      {{"--sp-offset", "8", exit_status}, 125, "r3krun: --sp-offset: '8' is not a number from 0 to 7", ""},
      {{"--fail", "write", exit_status}, 125, "r3krun: --fail: bad rule 'write'", ""},
      {{"--fail", "frobnicate=EIO", exit_status}, 125, "r3krun: --fail: bad rule 'frobnicate=EIO': unknown call", ""},
      {{"--fail", "write=ENOPE", exit_status}, 125, "r3krun: --fail: bad rule 'write=ENOPE': unknown error", ""},
      {{"--wait-status=posix", exit_status}, 125, "r3krun: --wait-status: expected raw or unix", ""},
      {{"--kernel-fault", "fork-bomb", exit_status}, 125, "r3krun: --kernel-fault: no fault 'fork-bomb'", ""},
      {{"--max-mem", "0", exit_status}, 125, "r3krun: --max-mem:", ""},
      {{"--pid", "", exit_status}, 125, "r3krun: --pid: empty value", ""},
      {{"--pid", "0", exit_status}, 125, "r3krun: --pid: '0' is not a number from 1 to 2147483647", ""},
      {{"--ppid", "2147483648", exit_status}, 125, "r3krun: --ppid: '2147483648' is not a number from 1", ""},
      {{"--trace-file", "/nonexistent/t", exit_status},
       125,
       "r3krun: --trace-file: cannot open /nonexistent/t: No such file or directory",
       ""},
      {{"--gdb", "70000", exit_status}, 125, "r3krun: --gdb: '70000' is not PORT or HOST:PORT", ""},
      {{"--gdb", "::1:5", exit_status}, 125, "r3krun: --gdb: '::1:5': an IPv6 address goes in brackets", ""},
      {{"--gdb", "192.0.2.1:0", exit_status}, 125, "r3krun: --gdb: cannot listen on 192.0.2.1:0: ", ""},
      {{"--gdb", "0", "/nonexistent/prog"}, 127, "r3krun: /nonexistent/prog: cannot open", ""},
      {{"--root", "/nonexistent/dir", exit_status},
       127,
       "r3krun: --root: root directory /nonexistent/dir: No such file or directory",
       ""},
      {{"--root", R3K_RUN_BINARY, exit_status}, 127, "r3krun: --root: root directory " R3K_RUN_BINARY ": ", ""},
      {{"--max-disk", "lots", exit_status}, 125, "r3krun: --max-disk: 'lots' is not a size", ""},
      {{"--root", "/", "--max-disk", "1", exit_status}, 0, "", "hi\n"},
      // The limit that was hit, by its option.
      {{"--max-host-mem", "1p", exit_status},
       126,
       "r3krun: " R3K_GUEST_DIR "/exit_status: no host memory for the program under the limit of 4096 bytes",
       "",
       {" (--max-host-mem)"}},
      {{"--max-host-mem", "20p", exit_status},
       126,
       "r3krun: " R3K_GUEST_DIR "/exit_status: no host memory for the argument list under the limit of 81920 bytes",
       "",
       {" (--max-host-mem)"}},
      {{"--max-mem", "1p", exit_status},
       126,
       "r3krun: " R3K_GUEST_DIR "/exit_status: program needs ",
       "",
       {" pages, more than the limit of 1 pages (--max-mem)"}},
      // Text from outside stays on its one line and sends the terminal nothing.
      {{"/tmp/x\ny\033[31m"}, 127, "r3krun: /tmp/x?y?[31m: cannot open: No such file or directory", ""},
      {{"--fail", "a\nb=EIO", exit_status}, 125, "r3krun: --fail: bad rule 'a?b=EIO': unknown call 'a?b'", ""},
      {{"--result", "getpid=\r7", exit_status}, 125, "r3krun: --result: bad rule 'getpid=?7': bad value '?7'", ""},
      {{"--gdb", "\033[2J:70000", exit_status}, 125, "r3krun: --gdb: '?[2J:70000' is not PORT or HOST:PORT", ""},
      {{"/dev/null"}, 126, "r3krun: /dev/null: not a regular file", ""},
      {{"/nonexistent/prog"}, 127, "r3krun: /nonexistent/prog: cannot open: No such file or directory", ""},
      {{R3K_SOURCE_DIR}, 126, "r3krun: " R3K_SOURCE_DIR ": is a directory", ""},
      {{R3K_RUN_BINARY}, 126, "r3krun: " R3K_RUN_BINARY ": not a 32-bit ELF file", ""},
  };
  for (const Case& c : cases) {
    const Ran r = r3krun(c.args);
    const std::string what = c.args.empty() ? "(none)" : c.args.front();
    EXPECT_EQ(r.code, c.code) << what << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << what;
    if (*c.err == '\0') {
      EXPECT_EQ(r.err, "") << what;
    } else {
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << what << ": " << r.err;
      EXPECT_EQ(lines(r.err), 1u) << what << ": " << r.err;
      size_t at = 0;
      for (const char* part : c.rest) EXPECT_NE(at = r.err.find(part, at), std::string::npos) << part << "\n" << r.err;
      if (!c.rest.empty()) {
        EXPECT_TRUE(r.err.ends_with(std::string(c.rest.back()) + "\n")) << r.err;
      }
      // Every caller here is known: none is marked as only likely.
      if (const size_t chain = r.err.find(" (called from "); chain != std::string::npos) {
        EXPECT_EQ(r.err.find("? ", chain), std::string::npos) << r.err;
      }
    }
    if (c.perf_map) expect_perf_map(r.pid, c.perf_map);
  }
}

TEST(Cli, EveryOptionRefusesAnEmptyValue) {
  for (const char* name :
       {"--trace-format", "--trace-file", "--trace-strsize", "--fail",         "--result",    "--exit-returns",
        "--wait-status",  "--close-fd",   "--pid",           "--ppid",         "--sp-offset", "--quantum",
        "--seed",         "--max-procs",  "--max-mem",       "--max-host-mem", "--max-insns", "--gdb",
        "--root",         "--max-disk",   "--kernel-fault"}) {
    const char* argv[] = {"r3krun", name, "", "prog"};
    try {
      r3k::parse_command_line(4, argv);
      ADD_FAILURE() << name << " \"\" accepted";
    } catch (const r3k::UsageError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(name, 0), 0u) << e.what();
    }
  }
}

TEST(Cli, RefusesWhatIsNotAProgramWithoutReadingIt) {
  // A FIFO would block an open for reading; a big sparse file is refused
  // from its first bytes, not read whole.
  char dir[] = "/tmp/r3k-cli-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo", sparse = std::string(dir) + "/sparse";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(ftruncate(fd, 255 << 20), 0);
  close(fd);
  const Ran f = r3krun({fifo}, r3k::test::within(20));
  EXPECT_EQ(f.code, 126);
  EXPECT_EQ(f.err, "r3krun: " + fifo + ": not a regular file\n");
  const Ran s = r3krun({sparse}, r3k::test::within(20));
  EXPECT_EQ(s.code, 126);
  EXPECT_EQ(s.err, "r3krun: " + sparse + ": not an ELF file\n");
  EXPECT_TRUE(r3k::test::peak_under(s, 128 * 1024)) << "peak host memory " << s.max_rss_kib << " KiB";
  // A directory's name with a newline and a cursor movement: one line
  // that moves nothing.
  const std::string odd = std::string(dir) + "/new\nline\033[A";
  ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
  const Ran d = r3krun({odd});
  EXPECT_EQ(d.code, 126);
  EXPECT_EQ(d.err, "r3krun: " + std::string(dir) + "/new?line?[A: is a directory\n");
  rmdir(odd.c_str());
  unlink(fifo.c_str());
  unlink(sparse.c_str());
  rmdir(dir);
}

TEST(Cli, HelpAndVersion) {
  const Ran help = r3krun({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: r3krun [OPTIONS] PROGRAM [ARGS...]\n", 0), 0u) << help.out;
  EXPECT_EQ(help.out.find("Usage:", 1), std::string::npos) << "one usage line";
  const Ran version = r3krun({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("r3krun ", 0), 0u);
  EXPECT_EQ(lines(version.out), 1u);
  // The fault catalogue, one "NAME<tab>what it does" line per fault.
  const Ran faults = r3krun({"--kernel-fault", "help"});
  EXPECT_EQ(faults.code, 0);
  std::string expected;
  for (const r3k::KernelFaultInfo& f : r3k::kernel_fault_catalogue())
    expected += std::string(f.name) + "\t" + f.what + "\n";
  EXPECT_EQ(faults.out, expected);
  EXPECT_GE(lines(faults.out), 10u);
}

TEST(Cli, OptionsStopAtTheProgram) {
  // "--trace" after the program is the guest's argument, not ours.
  const Ran r = r3krun({"--pid", "5", mtest::guest("exit_status"), "--trace"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  const Ran dashes = r3krun({"--", mtest::guest("exit_status"), "4"});
  EXPECT_EQ(dashes.code, 4);
}

TEST(Cli, TraceAndStatsGoToStderr) {
  const Ran r = r3krun({"--trace", "--stats", mtest::guest("fork_wait"), "-2"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "child\nstatus -2\n");
  EXPECT_EQ(r.err.rfind("[pid 2] fork() = 3\n[pid 3] write(1, \"child\\n\", 6) = 6\n", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("[pid 2] +++ exited with 0 +++\nr3krun: pid 2, ppid 1: "), std::string::npos) << r.err;
  EXPECT_TRUE(r.err.ends_with(" instructions, exited with -2; calls: _exit 1, write 1\n")) << r.err;

  // The form alone asks for the trace.
  const Ran tsv = r3krun({"--trace-format=tsv", mtest::guest("exit_status")});
  EXPECT_EQ(tsv.err.rfind("2\t6\twrite\t00000001\t", 0), 0u) << tsv.err;
  EXPECT_EQ(lines(tsv.err), 3u);

  // To a file instead, and none of it on stderr.
  char path[] = "/tmp/r3k-trace-XXXXXX";
  close(mkstemp(path));
  const Ran file = r3krun({"--trace-file", path, mtest::guest("exit_status")});
  EXPECT_EQ(file.code, 0);
  EXPECT_EQ(file.out, "hi\n");
  EXPECT_EQ(file.err, "");
  std::ifstream in(path);
  const std::string traced{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(traced, "[pid 2] write(1, \"hi\\n\", 3) = 3\n[pid 2] _exit(0) = ?\n[pid 2] +++ exited with 0 +++\n");
  unlink(path);
}

TEST(Cli, OutputIsGatheredButKeepsItsOrder) {
  // One byte a write from the guest, one host write of them all...
  ASSERT_EQ(system("command -v strace >/dev/null 2>&1"), 0) << "strace is missing (tools/setup installs it)";
  r3k::test::How how;
  const char* asan = getenv("ASAN_OPTIONS");
  how.env = {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
  how.prefix = {"strace", "-qq", "-e", "trace=write", "-e", "signal=none", "-o", "/dev/stderr"};
  const Ran r = r3krun({R3K_PROGRAM_DIR "/tallowin"}, how);
  EXPECT_EQ(r.out, "getpid works! current pid: 2\n");
  // (A sanitizer runtime writes to pipes of its own: those are not ours.)
  std::string ours;
  for (size_t at = 0, end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1)
    if (r.err.compare(at, 8, "write(1,") == 0 || r.err.compare(at, 8, "write(2,") == 0)
      ours += r.err.substr(at, end + 1 - at);
  EXPECT_EQ(ours, "write(1, \"getpid works! current pid: 2\\n\", 29) = 29\n");

  // ...but every change of descriptor (the trace on stderr between the
  // bytes) goes out in order, as the two streams merged show.
  r3k::test::How merged;
  merged.prefix = {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
  const Ran t = r3krun({"--trace", R3K_PROGRAM_DIR "/tallowin"}, merged);
  std::string expected = "[pid 2] getpid() = 2\n";
  for (char c : std::string("getpid works! current pid: 2\n"))
    expected += std::string(1, c) + "[pid 2] write(1, " + r3k::quote_bytes(std::string(1, c), 32) + ", 1) = 1\n";
  EXPECT_EQ(t.out, expected + "[pid 2] _exit(0) = ?\n[pid 2] +++ exited with 0 +++\n");

  // Untraced, two processes taking turns on stdout and stderr: the merged
  // streams hold the bytes in the order the guests wrote them.
  r3k::Options o;
  o.quantum = 40;
  o.seed = 5;
  auto m = mtest::load("interleave", {"stderr"}, o);
  ASSERT_EQ(m->run().exit_code, 0);
  std::string written;
  for (const r3k::SyscallEvent& e : mtest::calls(*m, "write")) written += e.data;
  ASSERT_NE(written.find("PC"), std::string::npos) << "the streams should switch: " << written;
  const Ran both = r3krun({"--quantum", "40", "--seed", "5", mtest::guest("interleave"), "stderr"}, merged);
  EXPECT_EQ(both.out, written);
}

TEST(Cli, ParsesEveryOptionIntoTheMachinesSettings) {
  const char* argv[] = {"r3krun",
                        "--pid",
                        "10",
                        "--ppid",
                        "9",
                        "--sp-offset",
                        "4",
                        "--quantum",
                        "10k",
                        "--seed",
                        "77",
                        "--max-procs",
                        "3",
                        "--max-mem",
                        "2M",
                        "--max-insns",
                        "20e9",
                        "--exit-returns",
                        "2",
                        "--shared-fork",
                        "--kernel-fault",
                        "pipe-no-eof",
                        "--kernel-fault",
                        "errno-swap",
                        "--wait-status",
                        "unix",
                        "--close-fd",
                        "1",
                        "--close-fd",
                        "2",
                        "--fail",
                        "write@3:2+=EBADF",
                        "--result",
                        "getpid=-5",
                        "--null-argv",
                        "--trace-strsize",
                        "8",
                        "--no-jit",
                        "--perf-map",
                        "--max-host-mem",
                        "4G",
                        "--trace-file",
                        "t.log",
                        "--root",
                        "r:ro",
                        "--max-disk",
                        "2G",
                        "prog",
                        "--pid",
                        "x"};
  const r3k::Command c = r3k::parse_command_line(static_cast<int>(std::size(argv)), argv);
  const r3k::Options& o = c.options;
  EXPECT_EQ(c.argv, (std::vector<std::string>{"prog", "--pid", "x"}));
  EXPECT_EQ(o.first_pid, 10u);
  EXPECT_EQ(o.first_ppid, 9u);
  EXPECT_EQ(o.sp_offset, 4u);
  EXPECT_EQ(o.quantum, 10000u);
  EXPECT_EQ(o.seed, 77u);
  EXPECT_EQ(o.max_procs, 3u);
  EXPECT_EQ(o.max_mem_pages, 512u);
  EXPECT_EQ(o.max_insns, 20'000'000'000u);
  EXPECT_EQ(o.exit_returns, 2u);
  EXPECT_TRUE(o.shared_fork);
  EXPECT_EQ(o.kernel_faults, r3k::fault_bit(r3k::KernelFault::PipeNoEof) | r3k::fault_bit(r3k::KernelFault::ErrnoSwap));
  EXPECT_EQ(o.wait_status, r3k::WaitStatusForm::Unix);
  EXPECT_EQ(o.closed_fds, (std::vector<int32_t>{1, 2}));
  ASSERT_EQ(o.fail.size(), 1u);
  EXPECT_EQ(o.fail[0].call, 6u);
  EXPECT_EQ(o.fail[0].pid, 3u);
  EXPECT_EQ(o.fail[0].nth, 2u);
  EXPECT_TRUE(o.fail[0].and_later);
  EXPECT_EQ(o.fail[0].value, 26);
  ASSERT_EQ(o.result.size(), 1u);
  EXPECT_EQ(o.result[0].value, -5);
  EXPECT_FALSE(o.result[0].pid);
  EXPECT_FALSE(o.result[0].nth);
  EXPECT_TRUE(o.null_argv);
  EXPECT_EQ(o.trace_strsize, 8u);
  EXPECT_FALSE(o.jit.enabled);
  EXPECT_TRUE(o.perf_map);
  EXPECT_EQ(o.max_host_mem, uint64_t{4} << 30);
  EXPECT_EQ(c.trace_file, "t.log");
  EXPECT_EQ(o.root, "r:ro");
  EXPECT_EQ(o.max_disk, uint64_t{2} << 30);
  EXPECT_TRUE(o.trace) << "a trace file asks for the trace";
  // A budget is asked for: none by default, whatever the library's is.
  const char* bare[] = {"r3krun", "prog"};
  EXPECT_EQ(r3k::parse_command_line(2, bare).options.max_insns, r3k::kNoBudget);
}

// r3krun ("$0" "$@") run by sh with its descriptors changed by script.
r3k::test::How via_shell(const std::string& script, int extra_fd = -1) {
  r3k::test::How how;
  how.prefix = {"sh", "-c", script};
  how.extra_fd = extra_fd;
  return how;
}

TEST(Cli, HostOutputIsNeverDroppedSilently) {
  char dir[] = "/tmp/r3k-out-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string trace = std::string(dir) + "/trace", flood = mtest::guest("flood");
  int unread[2];
  ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
  close(unread[0]);  // nobody will ever read it
  const std::string full = "r3krun: standard output (fd 1): cannot write: No space left on device\n";
  struct Case {
    const char* what;
    std::string script;
    std::vector<std::string> args;
    std::string err;      // the one line, and status 74
    int extra_fd = -1;    // r3krun's descriptor 3
    bool traced = false;  // the trace on stderr too, ending in the kill
    std::string err_end;  // the line's end after a descriptor number, which depends on what r3krun inherited
  } cases[] = {
      {"full disk", "exec \"$0\" \"$@\" >/dev/full", {"--max-insns", "1e7", flood}, full, -1, false, ""},
      {"closed pipe",
       "exec \"$0\" \"$@\" >&3",
       {"--max-insns", "1e7", flood},
       "r3krun: standard output (fd 1): cannot write: Broken pipe\n",
       unread[1],
       false,
       ""},
      {"traced", "exec \"$0\" \"$@\" >/dev/full", {"--max-insns", "1e7", "--trace", flood}, full, -1, true, ""},
      {"trace file past the size limit",
       "ulimit -f 8 && exec \"$0\" \"$@\" >/dev/null",
       {"--max-insns", "1e7", "--trace-file", trace, flood, "1000000"},
       "r3krun: the trace file " + trace + " (fd ",
       -1,
       false,
       "): cannot write: File too large\n"},
      {"r3krun's own help", "exec \"$0\" \"$@\" >/dev/full", {"--help"}, full, -1, false, ""},
  };
  for (const Case& c : cases) {
    const Ran r = r3krun(c.args, via_shell(c.script, c.extra_fd));
    EXPECT_EQ(r.code, r3k::kExitOutputRefused) << c.what << "\n" << r.err.substr(0, 2000);
    if (!c.err_end.empty()) {
      EXPECT_TRUE(r.err.starts_with(c.err) && r.err.ends_with(c.err_end) && lines(r.err) == 1) << c.what << r.err;
      continue;
    }
    if (!c.traced) {
      EXPECT_EQ(r.err, c.err) << c.what;
      continue;
    }
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what;
    EXPECT_TRUE(r.err.ends_with("[pid 2] +++ killed by SIGKILL (the host refused its output) +++\n")) << c.what;
  }
  close(unread[1]);
  unlink(trace.c_str());
  rmdir(dir);

  // A non-blocking pipe whose reader comes late is waited for: every byte
  // arrives, in order.
  int late[2];
  ASSERT_EQ(pipe2(late, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(late[1], F_SETFL, O_NONBLOCK), 0);
  r3k::test::Started started = r3k::test::start({R3K_RUN_BINARY, "--max-insns", "1e9", flood, "409604"},
                                                via_shell("exec \"$0\" \"$@\" >&3", late[1]));
  close(late[1]);
  usleep(300000);
  std::string got;
  pollfd in{late[0], POLLIN, 0};
  char buf[65536];
  for (ssize_t n = 1; n > 0 && poll(&in, 1, 30000) == 1;)
    if ((n = read(late[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(late[0]);
  const Ran r = r3k::test::finish(started);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(got.size(), 409604u);
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != char('0' + i % 10)) {
      ADD_FAILURE() << "byte " << i << " is " << got[i];
      break;
    }
}

// A port r3krun --gdb waits on, from its first line (0: it did not say).
int gdb_port(r3k::test::Started& s) {
  r3k::test::read_until(s, [](const Ran& r) { return r.err.find('\n') != std::string::npos; });
  const std::string& err = s.ran.err;
  if (err.rfind("r3krun: waiting for gdb on ", 0) != 0) return 0;
  return std::atoi(err.c_str() + err.rfind(':', err.find('\n')) + 1);
}

int connect_to(const char* address, int port) {
  sockaddr_storage at{};
  socklen_t len = sizeof(sockaddr_in);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
  if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
  } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof(sockaddr_in6);
  }
  const int fd = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&at), len) != 0) {
    close(fd);
    return -1;
  }
  const timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

TEST(Cli, ClosedStandardDescriptorsStayClosedForTheGuest) {
  char path[] = "/tmp/r3k-closed-XXXXXX";
  close(mkstemp(path));
  const std::string stdout_closed = "exec \"$0\" \"$@\" >&-", stderr_closed = "exec \"$0\" \"$@\" 2>&-";
  // Else the trace file would be descriptor 1 (or 2), the guest's output in it.
  struct Case {
    std::string script;
    std::vector<std::string> args;
    std::string out;
    size_t failed_writes;  // to the closed descriptor, EBADF
  } cases[] = {
      {stdout_closed, {"--trace-file", path, "--trace-format=tsv", mtest::guest("exit_status")}, "", 1},
      {stderr_closed,
       {"--trace-file", path, "--trace-format=tsv", mtest::guest("interleave"), "stderr"},
       std::string(100, 'P'),
       100},
  };
  for (const Case& c : cases) {
    const Ran r = r3krun(c.args, via_shell(c.script));
    EXPECT_EQ(r.code, 0) << c.script << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << c.script;
    std::ifstream in(path);
    size_t failed = 0;
    for (std::string line; std::getline(in, line);) {
      EXPECT_NE(line.find('\t'), std::string::npos) << c.script << ": not a trace line: " << line;
      failed += line.find("\twrite\t0000000") != std::string::npos && line.find("\t1\t26\t") != std::string::npos;
    }
    EXPECT_EQ(failed, c.failed_writes) << c.script;
  }
  unlink(path);

  // Else the debugger's connection would be descriptor 1, the guest's
  // output inside the protocol.
  r3k::test::Started s = r3k::test::start({R3K_RUN_BINARY, "--gdb", "0", mtest::guest("exit_status")},
                                          via_shell("exec \"$0\" \"$@\" <&- >&-"));
  const int port = gdb_port(s);
  ASSERT_NE(port, 0) << s.ran.err;
  const int fd = connect_to("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "$c#63", 5), 5);
  std::string got;
  char buf[4096];
  // Up to the exit's reply, whole ("$W00#b7").
  for (ssize_t n = 1; n > 0 && (got.find("$W") == std::string::npos || got.size() < got.find("$W") + 7);)
    if ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(fd);
  EXPECT_NE(got.find("$W00#"), std::string::npos) << got;
  EXPECT_EQ(got.find("hi"), std::string::npos) << got;
  EXPECT_EQ(r3k::test::finish(s).code, 0);
}

// Descriptor 0 reads r3krun's standard input; a process waiting for it
// leaves the others running; the run's own endings have their statuses.
TEST(Cli, ConsoleInputDeadlockClockAndReboot) {
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(write(in[1], "abc\n", 4), 4);
  close(in[1]);
  r3k::test::How fed;
  fed.stdin_fd = in[0];
  const Ran cat = r3krun({mtest::guest("unix_calls"), "cat"}, fed);
  close(in[0]);
  EXPECT_EQ(cat.code, 0) << cat.err;
  EXPECT_EQ(cat.out, "abc\n4 bytes, last read 0\n");

  // Nothing to read yet: the child prints and ends meanwhile.
  ASSERT_EQ(pipe(in), 0);
  r3k::test::How waiting;
  waiting.stdin_fd = in[0];
  r3k::test::Started s = r3k::test::start({R3K_RUN_BINARY, mtest::guest("unix_calls"), "console_wait"}, waiting);
  close(in[0]);
  const bool child_ran = r3k::test::read_until(s, [](const Ran& r) { return r.out == "child done\n"; });
  EXPECT_TRUE(child_ran) << s.ran.out;
  EXPECT_EQ(write(in[1], "go\n", 3), 3);
  close(in[1]);
  const Ran after = r3k::test::finish(s);
  EXPECT_EQ(after.code, 0) << after.err;
  EXPECT_EQ(after.out, "child done\nparent read 3\n");

  const Ran dead = r3krun({"--stats", mtest::guest("unix_calls"), "deadlock"});
  EXPECT_EQ(dead.code, 123);
  EXPECT_EQ(dead.err.rfind("r3krun: deadlock: pid 2 waits for child 3, pid 3 waits in read(3) on a pipe\n", 0), 0u)
      << dead.err;
  EXPECT_NE(dead.err.find("killed by SIGKILL: deadlock: waits in read(3) on a pipe; calls: read 1\n"),
            std::string::npos)
      << dead.err;

  const Ran off = r3krun({"--clock", "1000000", "--trace", mtest::guest("unix_calls"), "poweroff"});
  EXPECT_EQ(off.code, 122) << off.err;
  EXPECT_EQ(off.out, "1000000 seconds\n");
  EXPECT_NE(off.err.find("__time([1000000], ["), std::string::npos) << off.err;
  EXPECT_NE(off.err.find("[pid 2] reboot(RB_POWEROFF) = ?\nr3krun: reboot(RB_POWEROFF) by pid 2\n"), std::string::npos)
      << off.err;
}

TEST(Cli, TraceFileNeverHarmsTheProgramOrBlocks) {
  char made[] = "/tmp/r3k-tracefile-XXXXXX";
  ASSERT_NE(mkdtemp(made), nullptr);
  const std::string dir = made, prog = dir + "/prog", alias = dir + "/alias", link = dir + "/link",
                    fifo = dir + "/fifo";
  {
    std::ifstream from(mtest::guest("exit_status"), std::ios::binary);
    std::ofstream(prog, std::ios::binary) << from.rdbuf();
  }
  ASSERT_EQ(chmod(prog.c_str(), 0755) | ::link(prog.c_str(), alias.c_str()) | symlink(prog.c_str(), link.c_str()) |
                mkfifo(fifo.c_str(), 0600),
            0);
  struct stat before {};
  stat(prog.c_str(), &before);
  const std::string traced =
      "[pid 2] write(1, \"hi\\n\", 3) = 3\n[pid 2] _exit(0) = ?\n[pid 2] +++ exited with 0 +++\n";
  struct Case {
    std::string file;
    int code;
    std::string err;
  } cases[] = {
      {prog, 125, "r3krun: --trace-file: " + prog + " is the program\n"},
      {alias, 125, "r3krun: --trace-file: " + alias + " is the program\n"},
      {link, 125, "r3krun: --trace-file: " + link + " is the program\n"},
      {fifo, 125, "r3krun: --trace-file: " + fifo + " is not a regular file or a terminal\n"},
      {dir, 125, "r3krun: --trace-file: " + dir + " is not a regular file or a terminal\n"},
      {"/dev/null", 0, ""},
      {"/dev/stderr", 0, traced},
  };
  for (const Case& c : cases) {
    const Ran r = r3krun({"--trace-file", c.file, prog}, r3k::test::within(20));
    EXPECT_EQ(r.code, c.code) << c.file << "\n" << r.err;
    EXPECT_EQ(r.err, c.err) << c.file;
    struct stat after {};
    stat(prog.c_str(), &after);
    EXPECT_EQ(after.st_size, before.st_size) << c.file;
  }
  EXPECT_EQ(r3krun({prog}).out, "hi\n");
  for (const std::string& f : {prog, alias, link, fifo}) unlink(f.c_str());
  rmdir(made);
}

TEST(Cli, GdbOffTheLoopbackWarns) {
  struct Case {
    const char* at;
    const char* connect;
    bool warns;
  } cases[] = {{"127.0.0.1:0", "127.0.0.1", false},
               {"0.0.0.0:0", "127.0.0.1", true},
               {"0:0", "127.0.0.1", true},
               {"[::1]:0", "::1", false},
               {"[::]:0", "::1", true}};
  for (const Case& c : cases) {
    r3k::test::Started s = r3k::test::start({R3K_RUN_BINARY, "--gdb", c.at, mtest::guest("exit_status")});
    const int port = gdb_port(s);
    if (port == 0 && s.ran.err.find("cannot listen") != std::string::npos) {
      r3k::test::finish(s);  // no IPv6 here
      continue;
    }
    ASSERT_NE(port, 0) << c.at << ": " << s.ran.err;
    // A connection that goes without a word ends the run.
    close(connect_to(c.connect, port));
    const Ran r = r3k::test::finish(s);
    EXPECT_EQ(r.code, 137) << c.at << "\n" << r.err;
    EXPECT_EQ(lines(r.err), c.warns ? 3u : 2u) << c.at << "\n" << r.err;
    EXPECT_EQ(r.err.find("\nr3krun: warning: --gdb ") != std::string::npos, c.warns) << c.at << "\n" << r.err;
    EXPECT_EQ(r.err.find("(no authentication)\n") != std::string::npos, c.warns) << c.at << "\n" << r.err;
  }
}

}  // namespace
