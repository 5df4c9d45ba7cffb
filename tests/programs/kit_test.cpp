// The check kit on r3krun: every check passes on the reference kernel
// under several schedules, and every fault of --kernel-fault's catalogue
// makes a named check fail (the kit catches all of them).
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "machine/machine_util.h"
#include "programs/run.h"
#include "r3k/faults.h"

namespace r3k::test {
namespace {

struct KitRun {
  std::string out;
  int status = -1;  // the program's exit status; -1: it did not exit
  std::vector<std::string> passed, failed;
};

// A root of its own with the kit copied to /kit, as a kernel developer
// would put it on a disk; the programs must leave it as they found it.
struct KitRoot {
  mtest::TempDir dir;
  KitRoot() { std::filesystem::copy(std::string(R3K_TARGET_DIR) + "/kit", dir.path / "kit"); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path)) names.push_back(e.path().filename());
    return names;
  }
};

// Runs one program of the kit as /kit/NAME (argv after it) inside a
// fresh root, on a virtual clock so that every run of a row is the same.
KitRun run_kit(const std::string& name, Options o, std::vector<std::string> args = {}, std::string missing = "") {
  KitRoot root;
  if (!missing.empty()) std::filesystem::remove(root.dir.path / "kit" / missing);
  o.root = root.dir.str();
  o.clock = 1750000000;
  o.max_insns = 6'000'000'000;
  Machine m(o);
  args.insert(args.begin(), "/kit/" + name);
  m.load_file((root.dir.path / "kit" / name).string(), args);
  m.run();
  KitRun r;
  r.out = m.output(1);
  const ProcessInfo& first = m.processes().at(0);
  if (first.exited) r.status = first.status;
  if (!o.kernel_faults) {
    EXPECT_EQ(root.entries(), std::vector<std::string>{"kit"}) << name << " left something behind";
  }
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("PASS ", 0) == 0) r.passed.push_back(line.substr(5));
    if (line.rfind("FAIL ", 0) == 0) r.failed.push_back(line.substr(5, line.find(':') - 5));
  }
  return r;
}

// Each program with the fewest checks it must report.
struct Family {
  const char* program;
  size_t checks;
};
const Family kFamilies[] = {{"procs", 35},  {"files", 50}, {"names", 50},  {"pipes", 25},
                            {"memory", 20}, {"time", 12},  {"badargs", 35}};

TEST(Kit, EveryCheckPassesOnTheReferenceKernel) {
  struct Schedule {
    std::optional<uint64_t> seed;
    uint64_t quantum;
  };
  size_t total = 0;
  for (const Schedule& s : {Schedule{std::nullopt, 10000}, Schedule{1, 300}, Schedule{77, 2000}}) {
    for (const Family& f : kFamilies) {
      SCOPED_TRACE(std::string(f.program) + " seed " + (s.seed ? std::to_string(*s.seed) : "none"));
      Options o;
      o.seed = s.seed;
      o.quantum = s.quantum;
      const KitRun r = run_kit(f.program, o);
      EXPECT_TRUE(r.failed.empty()) << r.out;
      EXPECT_GE(r.passed.size(), f.checks);
      EXPECT_EQ(r.status, 0);
      if (!s.seed) total += r.passed.size();
    }
  }
  EXPECT_GT(total, 60u);
}

// runall runs them all by fork + execv and sums each up in a table row,
// "NAME PASSED FAILED RESULT": every program passes, or one is hit by a
// fault (its checks fail) or missing from the kit (execv fails: 127).
TEST(Kit, RunallTablesEveryProgram) {
  struct Scenario {
    const char* fault;
    const char* missing;
    const char* hit;  // the program that does not pass, and its result
    const char* result;
  };
  for (const Scenario& s : {Scenario{"", "", "", ""}, Scenario{"sbrk-garbage", "", "memory", "exit 1"},
                            Scenario{"", "time", "time", "exit 127"}}) {
    SCOPED_TRACE(std::string(s.fault) + s.missing);
    Options o;
    if (*s.fault) o.kernel_faults = fault_bit(*parse_kernel_fault(s.fault));
    const KitRun r = run_kit("runall", o, {"/kit"}, s.missing);
    EXPECT_EQ(r.status, *s.hit ? 1 : 0) << r.out;
    for (const Family& f : kFamilies) {
      const size_t at = r.out.find("\n" + std::string(f.program) + " ");
      ASSERT_NE(at, std::string::npos) << f.program << r.out;
      std::istringstream row(r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1));
      std::string name, result;
      size_t passed = 0, failed = 0;
      row >> name >> passed >> failed;
      std::getline(row >> std::ws, result);
      const bool hit = name == s.hit;
      EXPECT_GE(passed, hit && !*s.fault ? 0 : f.checks - (hit ? 5 : 0)) << name;
      EXPECT_EQ(failed > 0, hit && *s.fault) << name;
      EXPECT_EQ(result, hit ? s.result : "exit 0") << name;
    }
    EXPECT_NE(r.out.find(*s.hit ? "\n6 of 7 programs passed\n" : "\n7 of 7 programs passed\n"), std::string::npos);
  }
}

// Each fault and a check of the program that must fail under it.
struct Catch {
  const char* fault;
  const char* program;
  const char* check;
};
const Catch kCatches[] = {
    {"shared-fork", "memory", "fork-data-copied"},
    {"exit-returns", "memory", "exit-ends-process"},
    {"fork-parent-pid", "procs", "fork-returns-child-pid"},
    {"fork-drops-fds", "pipes", "pipe-inherited-by-child"},
    {"fork-copies-offsets", "files", "fork-shares-offset"},
    {"waitpid-early", "procs", "waitpid-waits-for-exit"},
    {"wait-status-zero", "procs", "waitpid-status-42"},
    {"orphan-keeps-ppid", "procs", "orphan-new-parent"},
    {"sbrk-garbage", "memory", "sbrk-new-memory-zeroed"},
    {"sbrk-returns-new", "memory", "sbrk-grow-returns-old-break"},
    {"pipe-no-eof", "pipes", "pipe-eof-when-writers-gone"},
    {"read-efault-takes", "badargs", "read-efault-takes-nothing"},
    {"errno-swap", "badargs", "write-efault"},
    {"time-halves-swapped", "time", "time-before-2100"},
    {"lseek-low-word", "files", "lseek-64-bit"},
    {"read-eof-garbage", "files", "read-at-eof"},
    {"getdirentry-skips-last", "names", "getdirentry-all-in-order"},
    {"execv-drops-args", "procs", "execv-arguments"},
};

TEST(Kit, EveryKernelFaultFailsANamedCheck) {
  std::set<std::string> caught;
  for (const Catch& c : kCatches) {
    SCOPED_TRACE(std::string(c.fault) + " in " + c.program);
    const auto fault = parse_kernel_fault(c.fault);
    ASSERT_TRUE(fault.has_value());
    Options o;
    o.kernel_faults = fault_bit(*fault);
    const KitRun r = run_kit(c.program, o);
    EXPECT_NE(std::find(r.failed.begin(), r.failed.end(), c.check), r.failed.end()) << r.out;
    EXPECT_NE(r.status, 0);
    caught.insert(c.fault);
  }
  // A fault added to the catalogue needs a row here: the kit must catch it.
  for (const KernelFaultInfo& f : kernel_fault_catalogue()) EXPECT_TRUE(caught.count(f.name)) << f.name;
}

}  // namespace
}  // namespace r3k::test
