// The three programs end to end through the r3krun command line, as a
// user runs them: what reaches the host's stdout and stderr, and the exit
// status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/run.h"
#include "support/subprocess.h"

namespace r3k::test {
namespace {

TEST(ProgramCli, RunsEachProgramEndToEnd) {
  const std::string q = program("quendle"), t = program("tallowin"), m = program("marrowick");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
    bool out_any_order = false;
  };
  const Case cases[] = {
      {{q}, 0, "00\n", q + ": Starting.\n" + q + ": Complete.\n"},
      {{"--seed", "7", "--quantum", "50", q, "-w"}, 0, "00\n", q + ": Starting.\n" + q + ": Complete.\n", true},
      {{q, "-x"}, 1, "", q + ": usage: quendle [-w]\n"},
      {{"--fail", "fork=4", q}, 1, "0\n", q + ": Starting.\n" + q + ": fork: Out of memory\n" + q + ": Complete.\n"},
      {{"--result", "getpid@3:2+=42", "--wait-status", "unix", q},
       1,
       "00\n",
       q + ": Starting.\n" + q + ": pid mismatch (42, should be 3) - your vm is broken!\n" + q + ": pid 3: exit 256\n" +
           q + ": Complete.\n"},
      {{"--shared-fork", q},
       1,
       "00",
       q + ": Starting.\n" + q + ": pid mismatch (2, should be 3) - your vm is broken!\n",
       true},
      {{"--close-fd", "2", q}, 0, "00\n", ""},
      {{"--null-argv", q}, 0, "00\n", "(program name unknown): Starting.\n(program name unknown): Complete.\n"},
      {{t}, 0, "getpid works! current pid: 2\n", ""},
      {{"--pid", "7", t, "x", "y"}, 0, "getpid works! current pid: 7\n", ""},
      {{"--fail", "getpid=EIO", t}, 1, "", t + ": getpid: Input/output error\n"},
      {{"--result", "getpid=-1", t}, 1, "", t + ": getpid: Operation succeeded\n"},
      {{m}, 0, "getppid works! current parent pid: 1\n", ""},
      {{"--fail", "getppid=5", m}, 1, "", m + ": getppid: Input/output error\n"},
  };
  for (const Case& c : cases) {
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    SCOPED_TRACE(cmd);
    const Ran o = r3krun(c.args);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(c.out_any_order ? sorted(o.out) : o.out, c.out_any_order ? sorted(c.out) : c.out);
    EXPECT_EQ(o.err, c.err);
  }
}

}  // namespace
}  // namespace r3k::test
