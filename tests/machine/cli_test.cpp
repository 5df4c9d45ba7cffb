// The r3krun binary: exit statuses, the one-line reports, option parsing
// and where the guest's output and the trace go.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "machine/machine_util.h"
#include "r3k/cli.h"
#include "support/subprocess.h"

namespace {

using r3k::test::Ran;
using r3k::test::r3krun;

size_t lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(Cli, ExitStatusesAndOneLineReports) {
  const std::string exit_status = mtest::guest("exit_status");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* err;  // expected start of the only stderr line; empty: no stderr
    const char* out;
  } cases[] = {
      {{exit_status}, 0, "", "hi\n"},
      {{exit_status, "3"}, 3, "", "hi\n"},
      {{exit_status, "-1"}, 255, "", "hi\n"},
      {{exit_status, "257"}, 1, "", "hi\n"},
      {{mtest::guest("calls_abort")}, 255, "", ""},
      {{mtest::guest("null_load")}, 139, "r3krun: pid 2 killed by SIGSEGV: bad address 0x00000000 at pc", ""},
      {{"--max-insns", "1e5", mtest::guest("spin")}, 137, "r3krun: instruction budget of 100000 exhausted", ""},
      {{}, 125, "r3krun: no program given", ""},
      {{"--bogus", exit_status}, 125, "r3krun: unknown option --bogus", ""},
      {{"--quantum", "lots", exit_status}, 125, "r3krun: --quantum: 'lots' is not a number", ""},
      {{"--sp-offset", "8", exit_status}, 125, "r3krun: --sp-offset: '8' is not a number from 0 to 7", ""},
      {{"--fail", "write", exit_status}, 125, "r3krun: --fail: bad rule 'write'", ""},
      {{"--fail", "frobnicate=EIO", exit_status}, 125, "r3krun: --fail: bad rule 'frobnicate=EIO': unknown call", ""},
      {{"--fail", "write=ENOPE", exit_status}, 125, "r3krun: --fail: bad rule 'write=ENOPE': unknown error", ""},
      {{"--wait-status=posix", exit_status}, 125, "r3krun: --wait-status: expected raw or unix", ""},
      {{"--max-mem", "0", exit_status}, 125, "r3krun: --max-mem:", ""},
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
    }
  }
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
  EXPECT_TRUE(r.err.ends_with(" instructions, exited with -2\n")) << r.err;

  const Ran tsv = r3krun({"--trace", "--trace-format=tsv", mtest::guest("exit_status")});
  EXPECT_EQ(tsv.err.rfind("2\t6\twrite\t00000001\t", 0), 0u) << tsv.err;
  EXPECT_EQ(lines(tsv.err), 3u);
}

TEST(Cli, ParsesEveryOptionIntoTheMachinesSettings) {
  const char* argv[] = {"r3krun", "--pid", "10", "--ppid", "9", "--sp-offset", "4", "--quantum", "10k", "--seed",
                        "77", "--max-procs", "3", "--max-mem", "2M", "--max-insns", "20e9", "--exit-returns", "2",
                        "--shared-fork", "--wait-status", "unix", "--close-fd", "1", "--close-fd", "2", "--fail",
                        "write@3:2+=EBADF", "--result", "getpid=-5", "--null-argv", "--trace-strsize", "8", "--no-jit", "prog",
                        "--pid", "x"};
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
  EXPECT_EQ(o.result[0].nth, 0u);
  EXPECT_TRUE(o.null_argv);
  EXPECT_EQ(o.trace_strsize, 8u);
  EXPECT_FALSE(o.jit.enabled);
}

}  // namespace
