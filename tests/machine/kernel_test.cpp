// The kernel behind the trap: every call and its errors, processes and
// their ends, the deliberate misbehaviours, the limits and the scheduler.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "machine/machine_util.h"
#include "r3k/abi.h"
#include "support/calls.h"

namespace {

using mtest::load;
constexpr uint32_t kMinus1 = 0xffffffffu;

struct Outcome {
  uint32_t v0;
  uint32_t err;  // errno after the call
};

Outcome call(r3k::TestMachine& m, const char* name, std::vector<uint32_t> args = {}) {
  const r3k::CallResult r = m.call(name, std::move(args));
  EXPECT_TRUE(r.returned) << name;
  return {r.v0, m.read32(*m.symbol("errno"))};
}

TEST(KernelCalls, WithoutARootNamesFindNothingAndUnknownCallsFail) {
  auto m = load("kernel_calls");
  // The tree without --root is empty and read-only: a host path finds
  // nothing there, and every change is refused.
  const uint32_t path = m->push_string("/etc/passwd"), buf = m->push_bytes(std::vector<uint8_t>(64));
  const uint32_t argv = m->push_bytes(std::vector<uint8_t>(4));
  const struct {
    const char* name;
    std::vector<uint32_t> args;
    r3k::Err err;
  } rows[] = {
      {"execv", {path, argv}, r3k::kENOENT},
      {"open", {path, 0, 0}, r3k::kENOENT},
      {"open", {path, 5, 0644}, r3k::kEIO},
      {"remove", {path}, r3k::kEIO},
      {"rename", {path, path}, r3k::kEIO},
      {"link", {path, path}, r3k::kEIO},
      {"mkdir", {path, 0755}, r3k::kEIO},
      {"rmdir", {path}, r3k::kEIO},
      {"chdir", {path}, r3k::kENOENT},
      {"stat", {path, buf}, r3k::kENOENT},
      {"lstat", {path, buf}, r3k::kENOENT},
      {"symlink", {path, path}, r3k::kEIO},
      {"readlink", {path, buf, 64}, r3k::kENOENT},
  };
  for (const auto& row : rows) {
    const Outcome o = call(*m, row.name, row.args);
    EXPECT_EQ(o.v0, kMinus1) << row.name;
    EXPECT_EQ(o.err, static_cast<uint32_t>(row.err)) << row.name;
    EXPECT_EQ(m->events().back().name, row.name);
  }
  for (uint32_t n : {33u, 99u, 0xffffffffu}) {
    m->regs().gpr[r3k::regs::v0] = n;  // __syscall traps with whatever v0 holds
    const Outcome o = call(*m, "__syscall");
    EXPECT_EQ(o.v0, kMinus1);
    EXPECT_EQ(o.err, 23u) << n << ": expected ENOSYS";
  }
}

TEST(KernelCalls, WriteChecksDescriptorAndBuffer) {
  struct Case {
    const char* what;
    uint32_t fd;
    int buf;  // 0: "hello" in scratch; 1: null; 2: text; 3: two bytes before an unmapped page; 4: untouched stack
    uint32_t len;
    uint32_t v0, err;
    std::string out1, out2;
  };
  const Case cases[] = {
      {"stdout", 1, 0, 5, 5, 0, "hello", ""},
      {"stderr", 2, 0, 3, 3, 0, "", "hel"},
      {"stdin", 0, 0, 5, kMinus1, 26, "", ""},
      {"fd 3", 3, 0, 5, kMinus1, 26, "", ""},
      {"fd -1", kMinus1, 0, 5, kMinus1, 26, "", ""},
      {"null buffer", 1, 1, 1, kMinus1, 2, "", ""},
      {"null, length 0", 1, 1, 0, 0, 0, "", ""},
      {"read-only text", 1, 2, 4, 4, 0,
       "\x7f"
       "ELF",
       ""},
      {"runs off the mapping", 1, 3, 4, kMinus1, 2, "", ""},
      {"huge length", 1, 0, 0x7fffffff, kMinus1, 2, "", ""},
      {"bad fd beats bad buffer", 5, 1, 4, kMinus1, 26, "", ""},
      {"untouched stack reads zeros", 1, 4, 3, 3, 0, std::string(3, '\0'), ""},
      {"untouched stack into kernel space", 1, 4, 0x800000, kMinus1, 2, "", ""},
  };
  // The same with the trace reading the buffer: nothing the guest sees
  // changes, not even the pages it has mapped; and with nothing recorded,
  // where a write within a page takes a path of its own.
  for (const auto& [traced, recorded] : {std::pair{false, true}, {true, true}, {false, false}}) {
    for (const Case& c : cases) {
      r3k::Options o;
      o.trace = traced;
      o.record = recorded;
      o.trace_sink = [](std::string_view) {};
      auto m = load("kernel_calls", {}, o);
      const uint32_t hello = m->push_string("hello");
      const uint32_t addrs[] = {hello, 0, 0x400000, (hello | 0xfff) - 1, 0x7fa00000};
      const uint32_t before = m->space().mapped_pages();
      const Outcome out = call(*m, "write", {c.fd, addrs[c.buf], c.len});
      EXPECT_EQ(m->space().mapped_pages(), before) << c.what << ": checking a buffer maps nothing";
      EXPECT_EQ(out.v0, c.v0) << c.what;
      EXPECT_EQ(out.err, c.err) << c.what;
      EXPECT_EQ(m->output(1), recorded ? c.out1 : "") << c.what;
      EXPECT_EQ(m->output(2), recorded ? c.out2 : "") << c.what;
    }
  }
  for (bool recorded : {true, false}) {
    r3k::Options closed;
    closed.closed_fds = {1};
    closed.record = recorded;
    auto m = load("kernel_calls", {}, closed);
    const uint32_t hi = m->push_string("hi");
    EXPECT_EQ(call(*m, "write", {1, hi, 2}).err, 26u);
    EXPECT_EQ(call(*m, "write", {2, hi, 2}).v0, 2u);
    EXPECT_EQ(m->output(2), recorded ? "hi" : "");
  }
}

TEST(KernelCalls, IdsAndForkNumbering) {
  r3k::Options o;
  o.first_pid = 100;
  o.first_ppid = 50;
  auto m = load("kernel_calls", {}, o);
  EXPECT_EQ(call(*m, "getpid").v0, 100u);
  EXPECT_EQ(call(*m, "getppid").v0, 50u);
  EXPECT_EQ(call(*m, "fork").v0, 101u);
  EXPECT_EQ(call(*m, "fork").v0, 102u);
  EXPECT_EQ(call(*m, "waitpid", {101, 0, 0}).v0, 101u);
  EXPECT_EQ(call(*m, "waitpid", {102, 0, 0}).v0, 102u);
  EXPECT_EQ(call(*m, "fork").v0, 103u) << "pids are not reused before they wrap";
  ASSERT_EQ(m->processes().size(), 4u);
  EXPECT_EQ(m->processes()[1].ppid, 100u);
  // Each child came back from fork with 0 to the call's return address.
  EXPECT_TRUE(m->processes()[1].exited);
  EXPECT_EQ(m->processes()[1].status, 0);

  // Past 2^31-1 they wrap to the lowest id not in use: a guest never sees
  // a pid it would read as negative (or as fork's -1).
  o.first_pid = 0x7ffffffe;
  m = load("kernel_calls", {}, o);
  EXPECT_EQ(call(*m, "fork").v0, 0x7fffffffu);
  EXPECT_EQ(call(*m, "fork").v0, 1u);
  EXPECT_EQ(call(*m, "waitpid", {1, 0, 0}).v0, 1u);
  EXPECT_EQ(call(*m, "fork").v0, 2u);
}

TEST(Processes, ForkCyclesLeaveNothingBehind) {
  // A reaped process is freed and a fork copies no page, so host memory
  // stays flat over any number of fork/exit/wait cycles.
  r3k::Options o;
  o.record = false;
  auto m = load("kernel_calls", {}, o);
  const r3k::HostMemory& host = *m->host_memory();
  uint64_t pages = 0, tables = 0;
  for (uint32_t i = 0; i < 300; ++i) {
    const uint32_t pid = call(*m, "fork").v0;
    ASSERT_EQ(pid, 3 + i);
    ASSERT_EQ(call(*m, "waitpid", {pid, 0, 0}).v0, pid);
    if (i == 0) pages = host.pages(), tables = host.tables();
  }
  EXPECT_EQ(host.pages(), pages);
  EXPECT_EQ(host.tables(), tables);
  EXPECT_EQ(m->processes().size(), 1u) << "without a record only the first process is kept";
}

TEST(Limits, HostMemoryCapFailsForkWithEnomem) {
  auto probe = load("kernel_calls");
  call(*probe, "getpid");  // with the scratch area guest calls need
  // What the guest holds: its decoded code would make way for a fork.
  const uint64_t loaded = probe->host_memory()->used() - probe->host_memory()->code();
  r3k::Options o;
  o.max_host_mem = loaded + 8 * r3k::kPageSize;  // room for a few pages, not a copy's page tables
  auto m = load("kernel_calls", {}, o);
  const Outcome fork = call(*m, "fork");
  EXPECT_EQ(fork.v0, kMinus1);
  EXPECT_EQ(fork.err, static_cast<uint32_t>(r3k::kENOMEM));
  EXPECT_LE(m->host_memory()->used(), o.max_host_mem);
}

TEST(KernelCalls, WaitpidErrors) {
  auto m = load("kernel_calls");
  const uint32_t status = m->push_bytes(std::vector<uint8_t>(4, 0xaa));
  ASSERT_EQ(call(*m, "fork").v0, 3u);
  struct Case {
    const char* what;
    uint32_t pid, addr, options;
    uint32_t v0, err;
  } cases[] = {
      {"options", 3, status, 2, kMinus1, 1},
      {"not a child", 999, status, 0, kMinus1, 1},
      {"itself", 2, status, 0, kMinus1, 1},
      {"process group 0", 0, status, 0, kMinus1, 1},
      {"process group -2", 0xfffffffeu, status, 0, kMinus1, 1},
      {"unmapped status", 3, 0x10, 0, kMinus1, 2},
      {"read-only status", 3, 0x400000, 0, kMinus1, 2},
      {"good", 3, status, 0, 3, 0},
      {"already reaped", 3, status, 0, kMinus1, 1},
  };
  for (const Case& c : cases) {
    m->write32(*m->symbol("errno"), 0);
    const Outcome o = call(*m, "waitpid", {c.pid, c.addr, c.options});
    EXPECT_EQ(o.v0, c.v0) << c.what;
    EXPECT_EQ(o.err, c.err) << c.what;
  }
  EXPECT_EQ(m->read32(status), 0u) << "the child's status (0) stored";
}

// Straight to the kernel, with hand-set registers: v0 = call, a0 = argument.
std::pair<uint32_t, uint32_t> sys(r3k::Kernel& k, uint32_t pid, uint32_t number, uint32_t a0 = 0) {
  r3k::Process& p = *k.find(pid);
  p.cpu->state().gpr[r3k::regs::v0] = number;
  p.cpu->state().gpr[r3k::regs::a0] = a0;
  k.syscall(p);
  if (!p.cpu) return {0, 0};  // ended
  return {p.cpu->state().gpr[r3k::regs::a3], p.cpu->state().gpr[r3k::regs::v0]};
}

TEST(Processes, WaitOnlyForOwnChildren) {
  const std::pair<uint32_t, uint32_t> einval{1, 1};
  r3k::Kernel k(r3k::Options{});
  k.start(std::make_unique<r3k::AddressSpace>(), r3k::CpuState{});
  ASSERT_EQ(sys(k, 2, 2), std::pair(0u, 3u));
  ASSERT_EQ(sys(k, 3, 2), std::pair(0u, 4u));
  EXPECT_EQ(sys(k, 2, 3, 4), einval) << "a grandchild";
  EXPECT_EQ(sys(k, 4, 32), std::pair(0u, 3u));
  sys(k, 3, 0, 5);  // the middle one ends: its child goes to the first process's parent
  EXPECT_EQ(sys(k, 4, 32), std::pair(0u, 1u));
  EXPECT_EQ(sys(k, 2, 3, 4), einval);
  EXPECT_EQ(sys(k, 2, 3, 3), std::pair(0u, 3u)) << "the zombie is reaped";

  // Ids outside the machine are nobody's parent here, even when a process
  // has the same id: with --ppid 4, process 4 may not wait for the first
  // process or for the orphans handed to id 4.
  r3k::Options o;
  o.first_ppid = 4;
  r3k::Kernel k2(o);
  k2.start(std::make_unique<r3k::AddressSpace>(), r3k::CpuState{});
  sys(k2, 2, 2);
  sys(k2, 3, 2);
  EXPECT_EQ(sys(k2, 4, 3, 2), einval);
  sys(k2, 2, 0);
  EXPECT_EQ(sys(k2, 3, 32), std::pair(0u, 4u));
  EXPECT_EQ(sys(k2, 4, 3, 3), einval);
}

TEST(Processes, ExitStatusReachesTheParent) {
  struct Case {
    const char* code;
    r3k::WaitStatusForm form;
    const char* line;
  } cases[] = {
      {"7", r3k::WaitStatusForm::Raw, "status 7\n"},
      {"-1", r3k::WaitStatusForm::Raw, "status -1\n"},
      {"-1", r3k::WaitStatusForm::Unix, "status 65280\n"},
      {"300", r3k::WaitStatusForm::Unix, "status 11264\n"},
  };
  for (const Case& c : cases) {
    r3k::Options o;
    o.wait_status = c.form;
    auto m = load("fork_wait", {c.code}, o);
    EXPECT_EQ(m->run().exit_code, 0);
    EXPECT_EQ(m->output(1), std::string("child\n") + c.line);
  }
}

TEST(Processes, OrphansGoToTheFirstProcesssParent) {
  for (uint32_t ppid : {1u, 77u}) {
    r3k::Options o;
    o.first_ppid = ppid;
    auto m = load("orphan", {}, o);
    EXPECT_EQ(m->run().exit_code, 0);
    ASSERT_EQ(m->processes().size(), 2u);
    EXPECT_EQ(m->processes()[1].ppid, 2u);
    EXPECT_EQ(m->processes()[1].status, static_cast<int32_t>(ppid)) << "getppid after the parent ended";
  }
}

TEST(Processes, ZombiesCountUntilReaped) {
  r3k::Options o;
  o.max_procs = 2;
  o.quantum = 1;  // so the child runs to its end during the parent's next call
  auto m = load("kernel_calls", {}, o);
  ASSERT_EQ(call(*m, "fork").v0, 3u);
  for (int i = 0; i < 3; ++i) call(*m, "getpid");
  ASSERT_TRUE(m->processes()[1].exited) << "the child should be a zombie by now";
  const Outcome again = call(*m, "fork");
  EXPECT_EQ(again.v0, kMinus1);
  EXPECT_EQ(again.err, 11u) << "EAGAIN: parent plus zombie fill the table";
  EXPECT_EQ(call(*m, "waitpid", {3, 0, 0}).v0, 3u);
  EXPECT_EQ(call(*m, "fork").v0, 4u);
}

TEST(Processes, RegistersOtherThanResultsSurviveACall) {
  auto m = load("regs_kept");
  EXPECT_EQ(m->run().exit_code, 0) << "exit status names the first register the kernel changed";
}

TEST(Quirks, FailAndResultRulesCountPerRule) {
  struct Case {
    std::vector<std::string> fail, result;
    uint32_t pid;
    std::vector<int64_t> expect;  // four getpid calls: >= 0 result, < 0 minus the errno
  } cases[] = {
      {{"getpid=EBADF"}, {}, 2, {-26, -26, -26, -26}},
      {{"getpid:2=5"}, {}, 2, {2, -5, 2, 2}},
      {{"11@2:3+=EIO"}, {}, 2, {2, 2, -5, -5}},
      {{"getpid@3=5", "getppid=5"}, {}, 2, {2, 2, 2, 2}},
      {{}, {"getpid=7"}, 2, {7, 7, 7, 7}},
      {{}, {"getpid@3:2+=99"}, 3, {3, 99, 99, 99}},
      {{"getpid:1=4"}, {"getpid:2=8"}, 2, {-4, 8, 2, 2}},  // the result rule counted call 1 too
      {{"getpid:3=4", "getpid:2+=6"}, {}, 2, {2, -6, -4, -6}},
  };
  for (const Case& c : cases) {
    r3k::Options o;
    o.first_pid = c.pid;
    for (const auto& t : c.fail) o.fail.push_back(r3k::test::fail(t));
    for (const auto& t : c.result) o.result.push_back(r3k::test::answer(t));
    auto m = load("kernel_calls", {}, o);
    for (size_t i = 0; i < 4; ++i) {
      const Outcome out = call(*m, "getpid");
      const int64_t got = out.v0 == kMinus1 ? -int64_t{out.err} : int64_t{out.v0};
      EXPECT_EQ(got, c.expect[i]) << (c.fail.empty() ? c.result[0] : c.fail[0]) << " call " << i + 1;
      EXPECT_EQ(m->events().back().injected, got != c.pid);
    }
  }
}

TEST(Quirks, SharedForkLetsTheChildChangeTheParentsData) {
  for (bool shared : {false, true}) {
    r3k::Options o;
    o.shared_fork = shared;
    auto m = load("shared_data", {}, o);
    EXPECT_EQ(m->run().exit_code, shared ? 42 : 1);
  }
}

TEST(Limits, ProcessLimitFailsFork) {
  r3k::Options o;
  o.max_procs = 5;
  auto m = load("fork_bomb", {}, o);
  EXPECT_EQ(m->run().exit_code, 4);
  const auto forks = mtest::calls(*m, "fork");
  ASSERT_EQ(forks.size(), 5u);  // the parent's; children never fork
  EXPECT_TRUE(forks.back().failed);
  EXPECT_EQ(forks.back().v0, 11);
}

TEST(Limits, StackGrowthBeyondTheMemoryLimitKills) {
  r3k::Options o;
  o.max_mem_pages = 256;  // 1 MiB; the guest needs 2 of stack
  auto m = load("deep_stack", {"2000"}, o);
  const r3k::RunResult r = m->run();
  EXPECT_EQ(r.exit_code, 139);
  EXPECT_EQ(r.message.rfind("r3krun: pid 2 killed by SIGSEGV: bad address 0x7f", 0), 0u) << r.message;
  EXPECT_NE(r.message.find("(stack overflow: the stack cannot grow under the memory limit of 256 pages) (called from "
                           "_ZN12_GLOBAL__N_15depthEi+0x"),
            std::string::npos)
      << r.message;
  EXPECT_TRUE(r.message.ends_with(" <- ...)")) << r.message;
  EXPECT_EQ(load("deep_stack", {"2000"})->run().exit_code, 0) << "fits the default limit";
}

TEST(Limits, InstructionBudgetEndsEveryProcess) {
  r3k::Options o;
  o.max_insns = 100000;
  auto m = load("interleave", {}, o);  // needs far more than the budget
  const r3k::RunResult r = m->run();
  EXPECT_EQ(r.exit_code, 137);
  EXPECT_EQ(r.message, "r3krun: instruction budget of 100000 exhausted");
  ASSERT_EQ(m->processes().size(), 2u);
  for (const auto& p : m->processes()) EXPECT_TRUE(p.budget_killed);
  EXPECT_GE(m->total_insns(), 100000u);
  EXPECT_LT(m->total_insns(), 100100u);
}

// ---- scheduling ----

std::string interleaving(r3k::Options o) {
  auto m = load("interleave", {}, o);
  EXPECT_EQ(m->run().exit_code, 0);
  const std::string out = m->output(1);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'P'), 100);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'C'), 100);
  return out;
}

TEST(Scheduling, EachSeedReproducibleAndSeedsDiffer) {
  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    r3k::Options o;
    o.quantum = 300;
    o.seed = seed;
    const std::string first = interleaving(o);
    EXPECT_EQ(interleaving(o), first) << "seed " << seed;
    seen.insert(first);
  }
  EXPECT_GE(seen.size(), 4u) << "seeds should explore different interleavings";
}

// Everything a run shows: status, outputs, calls, processes, counts, trace.
std::string transcript(const std::string& program, std::vector<std::string> args, r3k::Options o) {
  auto trace = std::make_shared<std::string>();
  if (o.trace) o.trace_sink = [trace](std::string_view line) { *trace += line; };
  auto m = std::make_unique<r3k::Machine>(o);
  args.insert(args.begin(), program);
  m->load_file(program, args);
  const r3k::RunResult r = m->run();
  std::ostringstream out;
  out << "exit " << r.exit_code << " " << r.message << "\nout " << m->output(1) << "\nerr " << m->output(2)
      << "\ninsns " << m->total_insns() << "\n";
  for (const r3k::SyscallEvent& e : m->events())
    out << e.pid << " " << e.name << " " << e.args[0] << "," << e.args[1] << "," << e.args[2] << "," << e.args[3]
        << " = " << e.failed << " " << e.v0 << " " << e.v1 << " " << e.returned << e.injected << " " << e.data << "\n";
  for (const r3k::ProcessInfo& p : m->processes())
    out << "pid " << p.pid << " " << p.ppid << " " << p.insns << " " << p.exited << " " << p.status << " "
        << (p.fault ? p.fault->describe() : "") << p.budget_killed << "\n";
  for (const std::string& line : m->diagnostics()) out << line << "\n";
  return out.str() + *trace;
}

// Calls served where the CPU stands agree with stopping it at every call:
// slices ending at a call, calls that must stop it (fork, a blocking
// waitpid, _exit), traces, injected answers, failing writes, the budget.
TEST(Scheduling, CallsServedInPlaceAgreeWithStoppingAtEach) {
  struct Case {
    const char* what;
    std::string program;
    std::vector<std::string> args;
    void (*tweak)(r3k::Options&);
  };
  const Case cases[] = {
      {"default slices", mtest::guest("interleave"), {}, [](r3k::Options&) {}},
      {"slices of one block", mtest::guest("interleave"), {}, [](r3k::Options& o) { o.quantum = 1; }},
      {"seeded slices", mtest::guest("interleave"), {"stderr"}, [](r3k::Options& o) { o.quantum = 40, o.seed = 5; }},
      {"budget runs out", mtest::guest("interleave"), {}, [](r3k::Options& o) { o.max_insns = 30001; }},
      {"strace", R3K_PROGRAM_DIR "/tallowin", {}, [](r3k::Options& o) { o.trace = true; }},
      {"tsv, orphans",
       mtest::guest("orphan"),
       {},
       [](r3k::Options& o) { o.trace = true, o.trace_format = r3k::TraceFormat::Tsv; }},
      {"injected answers",
       mtest::guest("interleave"),
       {},
       [](r3k::Options& o) {
         o.fail.push_back(*r3k::parse_call_rule("write@3:7+=EIO", true, nullptr));
         o.result.push_back(*r3k::parse_call_rule("getpid=9", false, nullptr));
       }},
      {"failing writes", mtest::guest("big_write"), {}, [](r3k::Options& o) { o.closed_fds = {2}; }},
      {"nothing recorded", mtest::guest("interleave"), {}, [](r3k::Options& o) { o.record = false, o.quantum = 7; }},
      {"pipes, traced", mtest::guest("unix_calls"), {"bulk"}, [](r3k::Options& o) { o.trace = true; }},
      {"redirected output, seeded",
       mtest::guest("unix_calls"),
       {"redirect"},
       [](r3k::Options& o) { o.quantum = 50, o.seed = 3; }},
      {"heap, tsv",
       mtest::guest("unix_calls"),
       {"heap"},
       [](r3k::Options& o) { o.trace = true, o.trace_format = r3k::TraceFormat::Tsv; }},
      {"deadlock", mtest::guest("unix_calls"), {"deadlock"}, [](r3k::Options& o) { o.trace = true; }},
      {"open-file limits, nothing recorded",
       mtest::guest("unix_calls"),
       {"enfile"},
       [](r3k::Options& o) { o.record = false, o.quantum = 97; }},
  };
  for (const Case& c : cases) {
    r3k::Options o;
    c.tweak(o);
    const std::string in_place = transcript(c.program, c.args, o);
    o.in_place_calls = false;
    EXPECT_EQ(in_place, transcript(c.program, c.args, o)) << c.what;
  }
  // A call that throws (here in the trace's sink) reaches run()'s caller.
  for (bool in_place : {true, false}) {
    r3k::Options o;
    o.in_place_calls = in_place;
    o.trace = true;
    o.trace_sink = [](std::string_view line) {
      if (line.find("write") != std::string_view::npos) throw std::runtime_error("sink full");
    };
    EXPECT_THROW(load("interleave", {}, o)->run(), std::runtime_error) << in_place;
  }
}

// A lone process runs its slices back to back: where its slice stands when
// it forks, and everything after, stays as with a look between every two
// slices.
TEST(Scheduling, LoneSlicesBackToBackChangeNothing) {
  const struct {
    std::vector<std::string> args;
    uint64_t quantum;
  } cases[] = {{{"late"}, 40}, {{"late"}, 7}, {{"late"}, 10000}, {{"late"}, 1}, {{}, 333}};
  for (const auto& c : cases) {
    r3k::Options o;
    o.quantum = c.quantum;
    o.trace = true;
    const std::string back_to_back = transcript(mtest::guest("interleave"), c.args, o);
    o.back_to_back = false;
    EXPECT_EQ(back_to_back, transcript(mtest::guest("interleave"), c.args, o)) << "quantum " << c.quantum;
  }
}

TEST(Scheduling, DebuggerStopsChangeNoSlice) {
  // The first process stopped after each of its instructions, or at
  // breakpoints on every third word of its code: each run resumes its
  // slice, so the interleaving and every count stay as without a debugger.
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    r3k::Options o;
    o.quantum = 300;
    o.seed = seed;
    auto plain = load("interleave", {}, o);
    plain->run();
    for (const bool step : {true, false}) {
      auto m = load("interleave", {}, o);
      for (const r3k::Segment& seg : m->image().segments())
        for (uint32_t a = seg.vaddr; !step && (seg.prot & r3k::kProtExec) && a < seg.vaddr + seg.memsz; a += 12)
          m->first_cpu().add_breakpoint(a);
      size_t stops = 0;
      // A step ends with its instruction done, a call that blocked returned.
      for (; m->debug_run(step, [] { return false; }).why != r3k::DebugHalt::Why::Ended; ++stops)
        ASSERT_FALSE(m->first_blocked()) << "stop " << stops;
      m->run();
      EXPECT_GT(stops, 5000u);
      EXPECT_EQ(m->output(1), plain->output(1)) << "seed " << seed << (step ? ", steps" : ", breakpoints");
      ASSERT_EQ(m->processes().size(), 2u);
      for (size_t i = 0; i < 2; ++i) EXPECT_EQ(m->processes()[i].insns, plain->processes()[i].insns);
    }
  }
}

TEST(Scheduling, DebuggerFaultInADelaySlotStopsAtItsBranch) {
  auto plain = load("debugme", {"slot"});
  const r3k::RunResult without = plain->run();
  // Resumed as it was, it faults again; passed on, it ends as without a
  // debugger, the branch counted once.
  auto m = load("debugme", {"slot"});
  r3k::DebugHalt h;
  for (int i = 0; i < 2; ++i) {
    h = m->debug_run(false, [] { return false; });
    ASSERT_EQ(h.why, r3k::DebugHalt::Why::Fault);
    ASSERT_TRUE(h.fault.in_delay_slot);
    EXPECT_EQ(m->regs().pc, h.fault.pc - 4);
  }
  m->kill_first(h.fault);
  EXPECT_EQ(m->run().message, without.message);
  EXPECT_EQ(m->processes()[0].insns, plain->processes()[0].insns);
  // Fixed, it takes the branch.
  auto fixed = load("debugme", {"slot"});
  ASSERT_EQ(fixed->debug_run(false, [] { return false; }).why, r3k::DebugHalt::Why::Fault);
  fixed->regs().gpr[r3k::regs::a0] = *fixed->symbol("sink");
  EXPECT_EQ(fixed->run().exit_code, 0);
}

TEST(Scheduling, QuantumDecidesTheInterleaving) {
  r3k::Options o;
  o.quantum = 10'000'000;  // a syscall does not give up the slice
  EXPECT_EQ(interleaving(o), std::string(100, 'P') + std::string(100, 'C'));
  o.quantum = 1;
  const std::string fine = interleaving(o);
  size_t switches = 0;
  for (size_t i = 1; i < fine.size(); ++i) switches += fine[i] != fine[i - 1];
  EXPECT_GT(switches, 100u) << fine;
}

}  // namespace
