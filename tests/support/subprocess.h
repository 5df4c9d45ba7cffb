// Runs the r3krun binary (or another program, such as gdb) as a user would:
// arguments in, both output streams, exit status, wall time and peak
// memory out.  Standard input is /dev/null unless How says otherwise.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace r3k::test {

struct Ran {
  int code = -1;  // exit status, or 1000 + signal
  std::string out, err;
  double seconds = 0;
  long max_rss_kib = 0;     // peak host memory, see peak_under
  long parent_rss_kib = 0;  // the test process's own peak when it forked
  pid_t pid = -1;
};

// Whether the child's own peak host memory stayed under `kib`.  Linux counts
// the forking process's peak into a child's: above that, the figure is the
// child's own; at or below it, so was the child's own peak.
inline bool peak_under(const Ran& r, long kib) { return r.max_rss_kib < std::max(kib, r.parent_rss_kib + 1); }

struct How {
  std::string cwd;                                       // run there (default: here)
  int extra_fd = -1;                                     // handed to r3krun as its descriptor 3
  int stdin_fd = -1;                                     // its standard input (else /dev/null)
  std::vector<std::string> prefix;                       // e.g. strace and its options
  std::vector<std::pair<std::string, std::string>> env;  // set for r3krun
  int timeout_s = 60;                                    // then killed: 1000 + SIGKILL
};

inline How within(int seconds) {
  How h;
  h.timeout_s = seconds;
  return h;
}

// A program started and not yet waited for, with what it wrote so far.
struct Started {
  pid_t pid = -1;
  std::array<pollfd, 2> fds{};
  int open = 0;
  Ran ran;
  std::chrono::steady_clock::time_point start, deadline;
};

// args[0] is looked up in PATH.
inline Started start(std::vector<std::string> args, const How& how = {}) {
  args.insert(args.begin(), how.prefix.begin(), how.prefix.end());
  Started s;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return s;
  s.start = std::chrono::steady_clock::now();
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  s.ran.parent_rss_kib = self.ru_maxrss;
  s.deadline = s.start + std::chrono::seconds(how.timeout_s);
  s.pid = fork();
  if (s.pid == 0) {
    const int in = how.stdin_fd >= 0 ? how.stdin_fd : open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (how.extra_fd >= 0) dup2(how.extra_fd, 3);  // dup2 clears close-on-exec
    if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(98);
    for (const auto& [name, value] : how.env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(99);
  }
  close(out[1]);
  close(err[1]);
  s.fds = {{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  s.open = 2;
  return s;
}

// Collects the output until done(what came so far) holds (true), both
// streams end or the deadline passes (false; then the program is killed).
template <typename Done>
bool read_until(Started& s, Done done) {
  while (!done(s.ran)) {
    if (s.open == 0) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(s.deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(s.pid, SIGKILL);
      return false;
    }
    poll(s.fds.data(), s.fds.size(), static_cast<int>(left.count()));
    for (size_t i = 0; i < 2; ++i) {
      if (s.fds[i].fd < 0 || !(s.fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(s.fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(s.fds[i].fd);
        s.fds[i].fd = -1;
        --s.open;
      } else {
        (i == 0 ? s.ran.out : s.ran.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  return true;
}

// Everything to the end, then the status.
inline Ran finish(Started& s) {
  if (s.pid < 0) return {};
  read_until(s, [](const Ran&) { return false; });
  for (auto& f : s.fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  rusage usage{};
  wait4(s.pid, &status, 0, &usage);
  Ran& r = s.ran;
  r.pid = s.pid;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
  r.max_rss_kib = usage.ru_maxrss;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return r;
}

inline Ran run(std::vector<std::string> args, const How& how = {}) {
  Started s = start(std::move(args), how);
  return finish(s);
}

// r3krun has no instruction budget unless asked: every run a test starts
// gets one (unless it sets its own), so a runaway guest ends with 137
// instead of at the test's timeout.
inline constexpr const char* kTestBudget = "20e9";

inline Ran r3krun(std::vector<std::string> args, const How& how = {}) {
  if (std::find(args.begin(), args.end(), "--max-insns") == args.end())
    args.insert(args.begin(), {"--max-insns", kTestBudget});
  args.insert(args.begin(), R3K_RUN_BINARY);
  return run(std::move(args), how);
}

}  // namespace r3k::test
