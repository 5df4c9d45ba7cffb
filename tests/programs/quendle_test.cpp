// quendle, the real binary, on r3krun under chosen kernels: its output,
// every kernel call of each process in order, and each exit status (1 for
// a check that failed or could not be made).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/run.h"

namespace r3k::test {
namespace {

const std::string kName = program("quendle");
constexpr size_t kGetpids = 801;  // the one after the fork and 800 checks

// The value getpid just gave, then the one remembered after the fork.
Runs mismatch(int32_t seen, int32_t kept) {
  return Runs("pid mismatch (") + Runs::dec(seen) + ", should be " + Runs::dec(kept) + ") - your vm is broken!";
}
std::string mismatch_text(int32_t seen, int32_t kept) {
  return "pid mismatch (" + std::to_string(seen) + ", should be " + std::to_string(kept) + ") - your vm is broken!";
}
Runs child_exit(int32_t pid, int32_t word) { return Runs("pid ") + Runs::dec(pid) + ": exit " + Runs::dec(word); }
std::string line(const std::string& name, const std::string& msg) { return name + ": " + msg + "\n"; }

// The parent up to and including its checks: Starting., fork, '0'.
Calls parent_start(const std::string& name, const std::string& fork_line, int err = 0) {
  Calls c;
  c.report(name, "Starting.", std::nullopt, err).line(fork_line).out("0");
  return c;
}
Calls& finish(Calls& c, const std::string& name, int32_t status = 0, int err = 0) {
  return c.out("\n").report(name, "Complete.", std::nullopt, err).exit(status);
}
Calls normal_parent(const std::string& name, bool wait, int err = 0) {
  Calls c = parent_start(name, "fork() = 3", err);
  c.line("getpid() = 2", kGetpids);
  if (wait) c.line("waitpid(3, 0) = 3");
  return finish(c, name, 0, err);
}
Calls normal_child() {
  Calls c;
  c.out("0").line("getpid() = 3", kGetpids).exit(0);
  return c;
}

// Counts of getpid calls left out: for kernels whose timing decides when a
// process notices.
std::vector<std::string> loosened(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (std::string l : lines) {
    if (l.rfind("getpid()", 0) == 0 && l.find(" x") != std::string::npos) l.erase(l.find(" x"));
    if (out.empty() || out.back() != l) out.push_back(l);
  }
  return out;
}

struct Case {
  std::string what;
  std::vector<std::string> args;
  Options opts;
  Calls parent;
  std::optional<Calls> child;  // none: the fork made no child
  std::string out;
  bool out_any_order;  // two processes write it unordered
  std::string err;
  std::vector<int32_t> statuses;
  bool loose = false;  // getpid counts depend on timing
};

std::vector<Case> kernel_cases() {
  const std::string& n = kName;
  std::vector<Case> cases;
  const std::string started = line(n, "Starting."), completed = line(n, "Complete.");

  cases.push_back({"well-behaved kernel",
                   {},
                   {},
                   normal_parent(n, true),
                   normal_child(),
                   "00\n",
                   false,
                   started + completed,
                   {0, 0}});
  cases.push_back({"-w: no waitpid",
                   {"-w"},
                   {},
                   normal_parent(n, false),
                   normal_child(),
                   "00\n",
                   true,
                   started + completed,
                   {0, 0}});

  // fork failing: one process, one '0', its error text, status 1.
  struct ForkFailure {
    std::string what;
    Options opts;
    std::string fork_line, text;
  };
  Options one_proc;
  one_proc.max_procs = 1;
  const ForkFailure fork_failures[] = {
      {"fork fails with 4", with_rules({fail("fork=4")}), "fork() E4", "Out of memory"},
      {"fork fails with 11", with_rules({fail("fork=11")}), "fork() E11", "Try again later"},
      {"fork fails with 99", with_rules({fail("fork=99")}), "fork() E99", "Unknown error number"},
      {"process limit", one_proc, "fork() E11", "Try again later"},
      // Negative with the flag clear: errno is still 0 from start-up.
      {"fork returns -5, flag clear", with_rules({}, {answer("fork=-5")}), "fork() = -5", "Operation succeeded"},
  };
  for (const ForkFailure& f : fork_failures) {
    for (bool wait : {true, false}) {
      Calls p;
      p.report(n, "Starting.").line(f.fork_line).report(n, "fork", f.text).out("0").line("getpid() = 2", kGetpids);
      finish(p, n, 1);
      cases.push_back({f.what + (wait ? "" : ", -w"),
                       wait ? std::vector<std::string>{} : std::vector<std::string>{"-w"},
                       f.opts,
                       p,
                       std::nullopt,
                       "0\n",
                       false,
                       started + line(n, "fork: " + f.text) + completed,
                       {1}});
    }
  }

  {  // fork answering 0 in the parent: it takes itself for the child.
    Calls p;
    p.report(n, "Starting.").line("fork() = 0").out("0").line("getpid() = 2", kGetpids).exit(0);
    cases.push_back({"fork returns 0, flag clear",
                     {},
                     with_rules({}, {answer("fork=0")}),
                     p,
                     std::nullopt,
                     "0",
                     false,
                     started,
                     {0}});
  }

  // waitpid failing: its text, then still the newline and Complete.; 1.
  struct WaitFailure {
    std::string what;
    Options opts;
    std::string wait_line, text;
  };
  const WaitFailure wait_failures[] = {
      {"waitpid fails with 1", with_rules({fail("waitpid=1")}), "waitpid(3, 0) E1", "Invalid argument"},
      {"waitpid fails with 13", with_rules({fail("waitpid=13")}), "waitpid(3, 0) E13", "Unimplemented feature"},
      {"waitpid returns -1, flag clear", with_rules({}, {answer("waitpid=-1")}), "waitpid(3, 0) = -1",
       "Operation succeeded"},
  };
  for (const WaitFailure& w : wait_failures) {
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 2", kGetpids).line(w.wait_line).report(n, "waitpid", w.text);
    finish(p, n, 1);
    cases.push_back({w.what,
                     {},
                     w.opts,
                     p,
                     normal_child(),
                     "00\n",
                     true,
                     started + line(n, "waitpid: " + w.text) + completed,
                     {1, 0}});
  }

  {  // A waitpid that claims success without storing: the status word is
     // the local that last held the copy of mypid, 2.
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 2", kGetpids).line("waitpid(3, 0) = 3").report(n, child_exit(3, 2));
    finish(p, n, 1);
    cases.push_back({"waitpid succeeds without storing",
                     {},
                     with_rules({}, {answer("waitpid=3")}),
                     p,
                     normal_child(),
                     "00\n",
                     true,
                     started + line(n, "pid 3: exit 2") + completed,
                     {1, 0}});
  }

  // The child sees its id change at its first check and exits 1; the
  // parent reports the status word exactly as the kernel stored it, and
  // exits 1 too.
  for (bool unix_form : {false, true}) {
    Options o = with_rules({}, {answer("getpid@3:2+=42")});
    if (unix_form) o.wait_status = WaitStatusForm::Unix;
    const int32_t word = unix_form ? 256 : 1;
    Calls c;
    c.out("0").line("getpid() = 3").line("getpid() = 42").report(n, mismatch(42, 3)).exit(1);
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 2", kGetpids).line("waitpid(3, 0) = 3").report(n, child_exit(3, word));
    finish(p, n, 1);
    cases.push_back(
        {std::string("child exits 1, ") + (unix_form ? "unix" : "raw") + " status word",
         {},
         o,
         p,
         c,
         "00\n",
         false,
         started + line(n, mismatch_text(42, 3)) + line(n, "pid 3: exit " + std::to_string(word)) + completed,
         {1, 1}});
  }

  // getpid of the parent changing its answer: the 801 calls before
  // waitpid are the one after the fork and 800 checks; the failed check's
  // own answer is the line's first number, and no call follows it.
  struct Change {
    std::string rule;
    std::vector<std::pair<int32_t, size_t>> answers;  // value, times
    int32_t seen, kept;                               // the mismatch line's numbers
  };
  const Change changes[] = {
      {"getpid@2:2+=99", {{2, 1}, {99, 1}}, 99, 2},
      {"getpid@2:2=99", {{2, 1}, {99, 1}}, 99, 2},      // a one-off change
      {"getpid@2:801=99", {{2, 800}, {99, 1}}, 99, 2},  // the 800th check
      {"getpid@2:1=99", {{99, 1}, {2, 1}}, 2, 99},      // mypid itself is wrong
  };
  for (const Change& ch : changes) {
    Calls p = parent_start(n, "fork() = 3");
    for (const auto& [value, times] : ch.answers) p.line("getpid() = " + std::to_string(value), times);
    p.report(n, mismatch(ch.seen, ch.kept)).exit(1);
    cases.push_back({ch.rule,
                     {},
                     with_rules({}, {answer(ch.rule)}),
                     p,
                     normal_child(),
                     "00",
                     true,
                     started + line(n, mismatch_text(ch.seen, ch.kept)),
                     {1, 0}});
  }
  // One call past the last check: never made, so nothing changes.
  cases.push_back({"getpid@2:802=99",
                   {},
                   with_rules({}, {answer("getpid@2:802=99")}),
                   normal_parent(n, true),
                   normal_child(),
                   "00\n",
                   false,
                   started + completed,
                   {0, 0}});
  {  // The child's last check fails, once.
    Calls c;
    c.out("0").line("getpid() = 3", 800).line("getpid() = 5").report(n, mismatch(5, 3)).exit(1);
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 2", kGetpids).line("waitpid(3, 0) = 3").report(n, child_exit(3, 1));
    finish(p, n, 1);
    cases.push_back({"getpid@3:801=5",
                     {},
                     with_rules({}, {answer("getpid@3:801=5")}),
                     p,
                     c,
                     "00\n",
                     false,
                     started + line(n, mismatch_text(5, 3)) + line(n, "pid 3: exit 1") + completed,
                     {1, 1}});
  }
  {  // The same wrong id everywhere is consistent: nothing to report.
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 7", kGetpids).line("waitpid(3, 0) = 3");
    finish(p, n);
    Calls c;
    c.out("0").line("getpid() = 7", kGetpids).exit(0);
    cases.push_back({"getpid always 7",
                     {},
                     with_rules({}, {answer("getpid=7")}),
                     p,
                     c,
                     "00\n",
                     false,
                     started + completed,
                     {0, 0}});
  }

  {  // Shared data and bss: the child's store of its id overwrites the
     // parent's mypid while the parent is still checking.
    Options o;
    o.shared_fork = true;
    Calls p = parent_start(n, "fork() = 3");
    p.line("getpid() = 2").report(n, mismatch(2, 3)).exit(1);
    cases.push_back(
        {"shared fork", {}, o, p, normal_child(), "00", true, started + line(n, mismatch_text(2, 3)), {1, 0}, true});
  }

  // Descriptor 2 closed: every report write fails, nothing else changes.
  for (bool wait : {true, false}) {
    Options o;
    o.closed_fds = {2};
    cases.push_back({std::string("stderr closed") + (wait ? "" : ", -w"),
                     wait ? std::vector<std::string>{} : std::vector<std::string>{"-w"},
                     o,
                     normal_parent(n, wait, 26),
                     normal_child(),
                     "00\n",
                     !wait,
                     "",
                     {0, 0}});
  }
  {  // Descriptor 1 closed: putchar's failures are not looked at.
    Options o;
    o.closed_fds = {1};
    Calls p;
    p.report(n, "Starting.").line("fork() = 3").out("0", 26).line("getpid() = 2", kGetpids).line("waitpid(3, 0) = 3");
    p.out("\n", 26).report(n, "Complete.").exit(0);
    Calls c;
    c.out("0", 26).line("getpid() = 3", kGetpids).exit(0);
    cases.push_back({"stdout closed", {}, o, p, c, "", false, started + completed, {0, 0}});
  }
  return cases;
}

TEST(ProgramQuendle, UnderChosenKernels) {
  for (const Case& c : kernel_cases()) {
    SCOPED_TRACE(c.what);
    ProgramRun r = run_program("quendle", c.args, c.opts);
    auto tidy = [&](const std::vector<std::string>& l) { return c.loose ? loosened(l) : l; };
    EXPECT_EQ(tidy(r.trace(2)), tidy(c.parent.folded()));
    if (c.child) {
      EXPECT_EQ(tidy(r.trace(3)), tidy(c.child->folded()));
    }
    EXPECT_EQ(c.out_any_order ? sorted(r.out()) : r.out(), c.out_any_order ? sorted(c.out) : c.out);
    EXPECT_EQ(r.err(), c.err);
    expect_statuses(r, c.statuses);
    if (c.child) {
      ASSERT_EQ(r.procs().size(), 2u);
      EXPECT_EQ(r.procs()[1].ppid, 2u);
    }
    EXPECT_EQ(r.result.exit_code, c.statuses[0] & 0xff);
  }
}

// Descriptor 2 closed: errno ends up holding the failed writes' EBADF.
TEST(ProgramQuendle, ClosedStandardErrorLeavesEbadfInErrno) {
  Options o;
  o.closed_fds = {2};
  ProgramRun r = run_program("quendle", {}, o);
  EXPECT_EQ(r.m->read32(*r.m->symbol("errno")), 26u);
}

TEST(ProgramQuendle, UsageErrorsReportOnlyTheUsageLineAndExit1) {
  const std::vector<std::vector<std::string>> arg_lists = {
      {"-w", "-w"}, {"-x"},  {"-ww"}, {""},        {"-"},      {"-W"},
      {"w"},        {"-w "}, {" -w"}, {"x", "-w"}, {"-w", ""}, {"a", "b", "c"},
  };
  for (const auto& args : arg_lists) {
    std::string shown_args;
    for (const auto& a : args) shown_args += shown(a) + " ";
    SCOPED_TRACE(shown_args);
    ProgramRun r = run_program("quendle", args);
    Calls want;
    want.report(kName, "usage: quendle [-w]").exit(1);
    EXPECT_EQ(r.trace(2), want.folded());  // no fork, nothing else
    EXPECT_EQ(r.out(), "");
    EXPECT_EQ(r.err(), line(kName, "usage: quendle [-w]"));
    expect_statuses(r, {1});
  }
}

// The name at the head of each line is argv[0] whole, or the placeholder
// when there is no vector; argc 0 is no usage error.
TEST(ProgramQuendle, ProgramNameFromTheArgumentVector) {
  struct Case {
    std::string what;
    bool null_argv;
    std::string argv0, name;
  };
  const Case cases[] = {
      {"argc 0, null vector", true, "", "(program name unknown)"},
      {"empty argv[0]", false, "", ""},
      {"plain name", false, "quendle", "quendle"},
      {"name with blanks and %", false, "/x y/%d", "/x y/%d"},
  };
  for (const Case& c : cases) {
    for (bool wait : {true, false}) {
      SCOPED_TRACE(c.what + (wait ? "" : ", -w"));
      Options o;
      o.null_argv = c.null_argv;
      // A null vector has no room for "-w": only the waiting run.
      if (c.null_argv && !wait) continue;
      ProgramRun r =
          run_program("quendle", wait ? std::vector<std::string>{} : std::vector<std::string>{"-w"}, o, c.argv0);
      EXPECT_EQ(r.trace(2), normal_parent(c.name, wait).folded());
      EXPECT_EQ(r.trace(3), normal_child().folded());
      EXPECT_EQ(r.err(), line(c.name, "Starting.") + line(c.name, "Complete."));
      EXPECT_EQ(sorted(r.out()), sorted("00\n"));
      expect_statuses(r, {0, 0});
    }
  }
}

// What holds under any interleaving: each process's own calls are fixed,
// only their merge varies.  Slices of random length from 1 to twice the
// quantum; small quanta interleave at almost every call.
TEST(ProgramQuendle, AnyInterleavingKeepsEachProcessTheSame) {
  int orders_seen[2] = {0, 0};  // -w: parent's newline before / after the child's '0'
  for (uint64_t quantum : {20u, 300u, 10000u}) {
    for (uint64_t seed = 1; seed <= 100; ++seed) {
      for (bool wait : {true, false}) {
        SCOPED_TRACE("quantum " + std::to_string(quantum) + " seed " + std::to_string(seed) + (wait ? "" : " -w"));
        Options o;
        o.quantum = quantum;
        o.seed = seed;
        ProgramRun r = run_program("quendle", wait ? std::vector<std::string>{} : std::vector<std::string>{"-w"}, o);
        EXPECT_EQ(r.trace(2), normal_parent(kName, wait).folded());
        EXPECT_EQ(r.trace(3), normal_child().folded());
        EXPECT_EQ(r.err(), line(kName, "Starting.") + line(kName, "Complete."));
        expect_statuses(r, {0, 0});
        if (wait) {
          EXPECT_EQ(r.out(), "00\n");
        } else {
          EXPECT_EQ(sorted(r.out()), sorted("00\n"));
          if (r.out().size() == 3) ++orders_seen[r.out()[2] == '0'];
        }
        // Cross-process order: the child starts after the fork, and a
        // waiting parent's waitpid returns after the child's _exit.
        const auto& ev = r.m->events();
        size_t fork_at = ev.size(), child_first = ev.size(), child_exit = ev.size(), wait_at = ev.size();
        for (size_t i = 0; i < ev.size(); ++i) {
          if (ev[i].name == "fork") fork_at = i;
          if (ev[i].pid == 3 && child_first == ev.size()) child_first = i;
          if (ev[i].pid == 3 && ev[i].name == "_exit") child_exit = i;
          if (ev[i].name == "waitpid") wait_at = i;
        }
        EXPECT_LT(fork_at, child_first);
        if (wait) {
          EXPECT_LT(child_exit, wait_at);
        }
      }
    }
  }
  // The sweep is only worth its time if it really reorders the processes.
  EXPECT_GT(orders_seen[0], 0);
  EXPECT_GT(orders_seen[1], 0);
}

// A fork that shares data and bss: whichever process stored its id first
// sees the other's and reports it; with slices shorter than a process's
// 800 checks, one of them always does.  The parent caught: exit 1, the
// child runs on.  The child caught: it exits 1 and the parent reports it
// and exits 1 too.
TEST(ProgramQuendle, SharedForkIsCaughtWithTheRightNumbers) {
  int caught_by[2] = {0, 0};
  for (uint64_t quantum : {20u, 100u, 1000u}) {
    for (uint64_t seed = 1; seed <= 30; ++seed) {
      SCOPED_TRACE("quantum " + std::to_string(quantum) + " seed " + std::to_string(seed));
      Options o;
      o.shared_fork = true;
      o.quantum = quantum;
      o.seed = seed;
      ProgramRun r = run_program("quendle", {}, o);
      ASSERT_EQ(r.procs().size(), 2u);
      const bool parent_caught = r.procs()[1].status == 0;
      ++caught_by[parent_caught ? 0 : 1];
      Calls p = parent_start(kName, "fork() = 3"), c;
      c.out("0").line("getpid() = 3");
      if (parent_caught) {
        p.line("getpid() = 2").report(kName, mismatch(2, 3)).exit(1);
        c.exit(0);
        EXPECT_EQ(r.err(), line(kName, "Starting.") + line(kName, mismatch_text(2, 3)));
        EXPECT_EQ(sorted(r.out()), "00");
        expect_statuses(r, {1, 0});
      } else {
        p.line("getpid() = 2").line("waitpid(3, 0) = 3").report(kName, child_exit(3, 1));
        finish(p, kName, 1);
        c.report(kName, mismatch(3, 2)).exit(1);
        EXPECT_EQ(r.err(), line(kName, "Starting.") + line(kName, mismatch_text(3, 2)) + line(kName, "pid 3: exit 1") +
                               line(kName, "Complete."));
        EXPECT_EQ(r.out(), "00\n");
        expect_statuses(r, {1, 1});
      }
      EXPECT_EQ(loosened(r.trace(2)), loosened(p.folded()));
      EXPECT_EQ(loosened(r.trace(3)), loosened(c.folded()));
    }
  }
  EXPECT_GT(caught_by[0], 0);
  EXPECT_GT(caught_by[1], 0);
}

}  // namespace
}  // namespace r3k::test
