// The three programs end to end through the r3krun command line, as a
// user runs them: what reaches the host's stdout and stderr, and the exit
// status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "programs/run.h"

namespace r3k::test {
namespace {

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// r3krun with these arguments, stdout and stderr into files, no stdin.
Outcome r3krun(const std::vector<std::string>& args) {
  char dir_template[] = "/tmp/r3k_cli_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string out_path = std::string(dir) + "/out", err_path = std::string(dir) + "/err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> all{R3K_RUN_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, R3K_RUN_BINARY, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  Outcome o;
  int status = 0;
  if (rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) o.code = WEXITSTATUS(status);
  o.out = slurp(out_path);
  o.err = slurp(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  rmdir(dir);
  return o;
}

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
      {{"--fail", "fork=4", q}, 0, "0\n", q + ": Starting.\n" + q + ": fork: Out of memory\n" + q + ": Complete.\n"},
      {{"--result", "getpid@3:2+=42", "--wait-status", "unix", q}, 0, "00\n",
       q + ": Starting.\n" + q + ": pid mismatch (3, should be 42) - your vm is broken!\n" + q +
           ": pid 3: exit 256\n" + q + ": Complete.\n"},
      {{"--shared-fork", q}, 1, "00", q + ": Starting.\n" + q + ": pid mismatch (3, should be 2) - your vm is broken!\n",
       true},
      {{"--close-fd", "2", q}, 0, "00\n", ""},
      {{"--null-argv", q}, 0, "00\n", "(program name unknown): Starting.\n(program name unknown): Complete.\n"},
      {{t}, 0, "getpid works! current pid: 2\n", ""},
      {{"--pid", "7", t, "x", "y"}, 0, "getpid works! current pid: 7\n", ""},
      {{m}, 0, "getppid works! current parent pid: 1\n", ""},
      {{"--fail", "getppid=5", m}, 0, "getppid works! current parent pid: -1\n", ""},
  };
  for (const Case& c : cases) {
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    SCOPED_TRACE(cmd);
    const Outcome o = r3krun(c.args);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(c.out_any_order ? sorted(o.out) : o.out, c.out_any_order ? sorted(c.out) : c.out);
    EXPECT_EQ(o.err, c.err);
  }
}

}  // namespace
}  // namespace r3k::test
