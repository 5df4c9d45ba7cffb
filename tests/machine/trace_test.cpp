// The two trace forms: strace-like lines and tab-separated lines.
#include <gtest/gtest.h>

#include <cstdio>

#include "machine/machine_util.h"
#include "r3k/signals.h"

namespace {

using r3k::SyscallEvent;

SyscallEvent event(uint32_t number, std::string name, std::initializer_list<uint32_t> args, bool failed, int32_t v0,
                   std::string data = {}) {
  SyscallEvent e;
  e.pid = 2;
  e.number = number;
  e.name = std::move(name);
  std::copy(args.begin(), args.end(), e.args);
  e.failed = failed;
  e.v0 = v0;
  e.data = std::move(data);
  return e;
}

TEST(Trace, QuotesBytesLikeStrace) {
  struct Case {
    std::string bytes;
    uint32_t max;
    std::string shown;
  } cases[] = {
      {"abc", 32, R"("abc")"},
      {"a\nb\tc\"d\\e\r\f\v", 32, R"("a\nb\tc\"d\\e\r\f\v")"},
      {std::string("\0x", 2), 32, R"("\0x")"},
      {std::string("\0"
                   "1",
                   2),
       32, R"("\0001")"},
      {"\x1b[0m\x7f\xff", 32, R"("\33[0m\177\377")"},
      {std::string(40, 'a'), 32, "\"" + std::string(32, 'a') + "\"..."},
      {"abcde", 0, R"(""...)"},
  };
  for (const Case& c : cases) EXPECT_EQ(r3k::quote_bytes(c.bytes, c.max), c.shown) << c.shown;
  EXPECT_EQ(r3k::quote_bytes("ab", 32, true), R"("ab"...)");
}

std::string words(std::initializer_list<uint32_t> ws) {
  std::string s;
  for (uint32_t w : ws)
    for (int i = 24; i >= 0; i -= 8) s += static_cast<char>(w >> i);
  return s;
}

struct Decoded {
  SyscallEvent e;
  std::string line;        // strace form
  std::string tsv_memory;  // field 11 of the tab-separated form
};

// A call of each kind of argument, with the memory the kernel read or
// stored as the event holds it.
std::vector<Decoded> decoded_calls() {
  std::vector<Decoded> d;
  auto add = [&](SyscallEvent e, std::string line, std::string tsv) {
    d.push_back({std::move(e), std::move(line), std::move(tsv)});
  };
  add(event(27, "pipe", {0x7fff0000}, false, 0, words({3, 4})), "[pid 2] pipe([3, 4]) = 0", "0000000300000004");
  SyscallEvent bad_pipe = event(27, "pipe", {0x400000}, true, 2);
  bad_pipe.missing = 1;
  add(bad_pipe, "[pid 2] pipe(0x400000) = -1 EFAULT (Bad memory address)", "");
  add(event(5, "read", {3, 0x1000, 512}, false, 5, std::string("hi\n\0!", 5)), R"([pid 2] read(3, "hi\n\0!", 512) = 5)",
      "68690a0021");
  add(event(5, "read", {9, 0x1000, 1}, true, 26), "[pid 2] read(9, 0x1000, 1) = -1 EBADF (Bad file number)", "");
  SyscallEvent seek = event(13, "lseek", {3, 0, 1, 0}, false, 1, words({2}));
  add(seek, "[pid 2] lseek(3, 4294967296, SEEK_END) = 4294967296", "00000002");
  std::string st(64, '\0');
  st.replace(44, 4, words({r3k::kS_IFCHR | 0620}));
  add(event(16, "fstat", {1, 0x7fff0000}, false, 0, st), "[pid 2] fstat(1, {st_mode=S_IFCHR|0620, st_size=0, ...}) = 0",
      std::string(88, '0') + "00002190" + std::string(32, '0'));
  SyscallEvent time = event(28, "__time", {0x7fff0000, 0}, false, 0, words({0, 1700000000}));
  time.v1 = 1700000000;
  time.more = {""};
  time.missing = 2;
  add(time, "[pid 2] __time([1700000000], NULL) = 1700000000", "000000006553f100,");
  add(event(10, "sbrk", {4096}, false, 0x10004000), "[pid 2] sbrk(4096) = 0x10004000", "");
  SyscallEvent reboot = event(9, "reboot", {1}, false, 0);
  reboot.returned = false;
  add(reboot, "[pid 2] reboot(RB_HALT) = ?", "");
  add(event(3, "waitpid", {0xffffffff, 0, 1}, false, 0), "[pid 2] waitpid(-1, NULL, WNOHANG) = 0", "");
  SyscallEvent exec = event(1, "execv", {0x400100, 0x7fff0000}, true, 13, "/bin/x");
  exec.more = {"x", "-v"};
  add(exec, R"([pid 2] execv("/bin/x", ["x", "-v"]) = -1 EUNIMP (Unimplemented feature))", "2f62696e2f78,78,2d76");
  add(event(26, "dup2", {4, 1}, false, 1), "[pid 2] dup2(4, 1) = 1", "");
  add(event(12, "ioctl", {0, 0x5401, 0x7fff0000}, true, 17),
      "[pid 2] ioctl(0, 0x5401, 0x7fff0000) = -1 EIOCTL (Invalid/inappropriate ioctl)", "");
  add(event(4, "open", {0x400100, 0x22, 0777, 0}, true, 13, "/etc"),
      R"([pid 2] open("/etc", O_RDWR|O_APPEND) = -1 EUNIMP (Unimplemented feature))", "2f657463");
  SyscallEvent rename = event(18, "rename", {0x400100, 0x400200}, true, 13, "a");
  rename.more = {"b"};
  add(rename, R"([pid 2] rename("a", "b") = -1 EUNIMP (Unimplemented feature))", "61,62");
  SyscallEvent lost = event(30, "stat", {0x10, 0x7fff0000}, true, 2);
  lost.more = {""};
  lost.missing = 3;
  add(lost, "[pid 2] stat(0x10, 0x7fff0000) = -1 EFAULT (Bad memory address)", ",");
  return d;
}

TEST(Trace, FormatsEachKindOfCall) {
  SyscallEvent exit_call = event(0, "_exit", {0xffffffff}, false, 0);
  exit_call.returned = false;
  SyscallEvent injected = event(11, "getpid", {}, false, -5);
  injected.injected = true;
  SyscallEvent long_write = event(6, "write", {1, 0x400100, 100000}, false, 100000, "0123456789");
  struct Case {
    SyscallEvent e;
    const char* line;
  } cases[] = {
      {event(6, "write", {1, 0x400100, 1}, false, 1, "0"), R"([pid 2] write(1, "0", 1) = 1)"},
      {event(6, "write", {2, 0x400100, 1}, true, 26, "x"), R"([pid 2] write(2, "x", 1) = -1 EBADF (Bad file number))"},
      {event(6, "write", {1, 0x10, 5}, true, 2), "[pid 2] write(1, 0x10, 5) = -1 EFAULT (Bad memory address)"},
      {long_write, R"([pid 2] write(1, "0123456789"..., 100000) = 100000)"},
      {event(2, "fork", {}, false, 3), "[pid 2] fork() = 3"},
      {event(3, "waitpid", {3, 0x7fffefc8, 0}, false, 3), "[pid 2] waitpid(3, 0x7fffefc8, 0) = 3"},
      {exit_call, "[pid 2] _exit(-1) = ?"},
      {injected, "[pid 2] getpid() = -5 (INJECTED)"},
      {event(4, "open", {0x400300, 0x15, 0x1b6, 0}, true, 13, "/tmp/x"),
       "[pid 2] open(\"/tmp/x\", O_WRONLY|O_CREAT|O_TRUNC, 0666) = -1 EUNIMP (Unimplemented feature)"},
      {event(99, "syscall_99", {1, 2, 3, 4}, true, 23),
       "[pid 2] syscall_99(0x1, 0x2, 0x3, 0x4) = -1 ENOSYS (No such system call)"},
      {event(11, "getpid", {}, true, 99), "[pid 2] getpid() = -1 99 (Unknown error number)"},
  };
  const r3k::StraceWriter strace(32);
  const r3k::TsvWriter tsv;
  for (const Case& c : cases) EXPECT_EQ(strace.call(c.e), c.line);
  for (const auto& [e, line, tsv_memory] : decoded_calls()) {
    EXPECT_EQ(strace.call(e), line);
    const std::string t = tsv.call(e);
    size_t tab = 0;
    for (int i = 0; i < 10; ++i) tab = t.find('\t', tab) + 1;
    EXPECT_EQ(t.substr(tab, t.rfind('\t') - tab), tsv_memory) << line;
  }
  EXPECT_EQ(strace.exited(3, -1), "[pid 3] +++ exited with -1 +++");
  EXPECT_EQ(strace.budget_killed(4), "[pid 4] +++ killed by SIGKILL (instruction budget exhausted) +++");
  r3k::Fault segv;
  segv.kind = r3k::FaultKind::BadAddress;
  segv.pc = 0x400080;
  segv.insn = 0x8c040000;  // lw a0,0(zero)
  r3k::Fault bus = segv;
  bus.kind = r3k::FaultKind::AddressError;
  bus.addr = 2;
  EXPECT_EQ(strace.killed(2, segv, segv.describe("deref+0x8", "null pointer")),
            "[pid 2] +++ killed by SIGSEGV (bad address 0x00000000 at pc 0x00400080 in deref+0x8: lw a0,0(zero) "
            "(null pointer)) +++");
  EXPECT_EQ(strace.killed(2, bus, bus.describe()).rfind("[pid 2] +++ killed by SIGBUS (", 0), 0u);
  EXPECT_EQ(strace.signalled(2, r3k::kSIGINT, "from the debugger"),
            "[pid 2] +++ killed by SIGINT (from the debugger) +++");

  EXPECT_EQ(tsv.call(event(6, "write", {1, 0x400100, 2, 0}, false, 2, "h\n")),
            "2\t6\twrite\t00000001\t00400100\t00000002\t00000000\t0\t2\t00000000\t680a\t0");
  EXPECT_EQ(tsv.call(exit_call), "2\t0\t_exit\tffffffff\t00000000\t00000000\t00000000\t-\t-\t-\t\t0");
  EXPECT_EQ(tsv.call(injected), "2\t11\tgetpid\t00000000\t00000000\t00000000\t00000000\t0\t-5\t00000000\t\t1");
  EXPECT_EQ(tsv.exited(3, -1), "3\texit\t-1");
  EXPECT_EQ(tsv.killed(2, segv, "why"), "2\tkilled\t11\tSIGSEGV\t00400080\t00000000\twhy");
  EXPECT_EQ(tsv.budget_killed(4), "4\tkilled\t9\tSIGKILL\t-\t-\tinstruction budget exhausted");
}

std::vector<std::string> traced_run(const std::string& guest, std::vector<std::string> args, r3k::Options o,
                                    std::unique_ptr<r3k::TestMachine>* keep = nullptr) {
  auto lines = std::make_shared<std::vector<std::string>>();
  o.trace = true;
  o.trace_sink = [lines](std::string_view text) {
    EXPECT_EQ(text.back(), '\n');
    lines->emplace_back(text.substr(0, text.size() - 1));
  };
  auto m = mtest::load(guest, std::move(args), o);
  m->run();
  if (keep) *keep = std::move(m);
  return *lines;
}

TEST(Trace, WholeRunOfForkAndWait) {
  std::unique_ptr<r3k::TestMachine> m;
  const auto lines = traced_run("fork_wait", {"7"}, {}, &m);
  const auto waits = mtest::calls(*m, "waitpid");
  ASSERT_EQ(waits.size(), 1u);
  char wait_line[80];
  std::snprintf(wait_line, sizeof wait_line, "[pid 2] waitpid(3, 0x%x, 0) = 3", waits[0].args[1]);
  const std::vector<std::string> expected = {
      "[pid 2] fork() = 3",
      R"([pid 3] write(1, "child\n", 6) = 6)",
      "[pid 3] _exit(7) = ?",
      "[pid 3] +++ exited with 7 +++",
      wait_line,
      R"([pid 2] write(1, "status ", 7) = 7)",
      R"([pid 2] write(1, "7", 1) = 1)",
      R"([pid 2] write(1, "\n", 1) = 1)",
      "[pid 2] _exit(0) = ?",
      "[pid 2] +++ exited with 0 +++",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(m->events().size(), 8u);
}

TEST(Trace, FaultEndsTheTrace) {
  std::unique_ptr<r3k::TestMachine> m;
  const auto lines = traced_run("null_load", {}, {}, &m);
  // The caller: __start's call of main, named by its offset.
  const uint32_t start = *m->symbol("__start"), jal_main = 3u << 26 | (*m->symbol("main") >> 2 & 0x03ffffff);
  uint32_t call = start;
  for (uint8_t b[4]; m->space().peek(call, b, 4) && (uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]) != jal_main;)
    call += 4;
  char line[160];
  std::snprintf(line, sizeof line,
                "[pid 2] +++ killed by SIGSEGV (bad address 0x00000000 at pc 0x%08x in main: lw a0,0(zero) (null "
                "pointer) (called from __start+0x%x)) +++",
                *m->symbol("main"), call - start);
  EXPECT_EQ(lines, std::vector<std::string>{line});
}

}  // namespace
