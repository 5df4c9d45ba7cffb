// Runs one of the three real check programs on a fresh machine and keeps
// what tests look at: output, per-process call traces, exit words.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/calls.h"
#include "support/guest_calls.h"

namespace r3k::test {

inline std::string program(const std::string& name) { return std::string(R3K_PROGRAM_DIR) + "/" + name; }

struct ProgramRun {
  std::unique_ptr<TestMachine> m;
  RunResult result;

  std::string out() const { return m->output(1); }
  std::string err() const { return m->output(2); }
  std::vector<std::string> trace(uint32_t pid) const { return trace_of(*m, pid); }
  std::vector<std::string> first_trace() const { return trace_of(*m, procs().at(0).pid); }
  const std::vector<ProcessInfo>& procs() const { return m->processes(); }
};

// argv[0] is the program's path, as r3krun passes it, unless given.
inline ProgramRun run_program(const std::string& name, std::vector<std::string> args, Options o = {},
                              std::optional<std::string> argv0 = std::nullopt) {
  ProgramRun r{std::make_unique<TestMachine>(std::move(o)), {}};
  args.insert(args.begin(), argv0 ? *argv0 : program(name));
  r.m->load_file(program(name), args);
  r.result = r.m->run();
  return r;
}

// Every process ended by _exit with these statuses, in creation order.
inline void expect_statuses(const ProgramRun& r, const std::vector<int32_t>& statuses) {
  const auto& procs = r.procs();
  ASSERT_EQ(procs.size(), statuses.size());
  for (size_t i = 0; i < procs.size(); ++i) {
    SCOPED_TRACE("process " + std::to_string(procs[i].pid));
    EXPECT_FALSE(procs[i].fault.has_value()) << procs[i].fault->describe();
    EXPECT_FALSE(procs[i].budget_killed);
    EXPECT_TRUE(procs[i].exited);
    EXPECT_EQ(procs[i].status, statuses[i]);
  }
  EXPECT_TRUE(r.m->diagnostics().empty());
}

inline std::string sorted(std::string s) {
  std::sort(s.begin(), s.end());
  return s;
}

}  // namespace r3k::test
