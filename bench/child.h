// Runs a program as a child with its standard output collected, and times
// it: wall time, and CPU time as the kernel accounts it to the child (all
// threads, user and system).
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct ChildRun {
  double wall = 0, cpu = 0;
  int status = -1;  // exit status, or -1 if it did not exit
  std::string output;
};

inline ChildRun run_child(std::vector<std::string> args) {
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipe_fd[1], 1);
  posix_spawn_file_actions_addclose(&fa, pipe_fd[0]);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ChildRun t;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipe_fd[1]);
  if (rc != 0) {
    close(pipe_fd[0]);
    throw std::runtime_error("cannot start " + args[0]);
  }
  char buf[1 << 16];
  for (ssize_t n; (n = read(pipe_fd[0], buf, sizeof buf)) > 0;) t.output.append(buf, size_t(n));
  close(pipe_fd[0]);
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) throw std::runtime_error("wait4 failed");
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
  t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return t;
}

}  // namespace bench
