// tallowin and marrowick, the real binaries, on r3krun: one identity call,
// then one one-byte write per character of the line and _exit(0), or, when
// the call gave -1, one report on descriptor 2 and _exit(1); whatever the
// arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/run.h"

namespace r3k::test {
namespace {

struct Case {
  std::string what;
  Options opts;
  std::string call_line;  // the identity call as traced
  std::string number;     // as printed; empty: the call failed
  std::string errtext = {};
};

Options first(uint32_t pid, uint32_t ppid) {
  Options o;
  o.first_pid = pid;
  o.first_ppid = ppid;
  return o;
}

struct Program {
  const char* name;
  const char* call;
  const char* prefix;
  std::vector<Case> cases;
};

std::vector<Program> programs() {
  return {
      {"tallowin",
       "getpid",
       "getpid works! current pid: ",
       {
           {"pid 2", {}, "getpid() = 2", "2"},
           {"pid 7 from the kernel", first(7, 1), "getpid() = 7", "7"},
           {"getpid answers 7", with_rules({}, {answer("getpid=7")}), "getpid() = 7", "7"},
           {"largest pid", first(2147483647, 1), "getpid() = 2147483647", "2147483647"},
           {"pid above INT_MAX prints signed", first(4000000000u, 1), "getpid() = -294967296", "-294967296"},
           {"getpid answers INT_MIN", with_rules({}, {answer("getpid=-2147483648")}), "getpid() = -2147483648",
            "-2147483648"},
           {"getpid answers -2", with_rules({}, {answer("getpid=-2")}), "getpid() = -2", "-2"},
           {"getpid fails with EIO", with_rules({fail("getpid=EIO")}), "getpid() E5", "", "Input/output error"},
           {"getpid answers -1, flag clear", with_rules({}, {answer("getpid=-1")}), "getpid() = -1", "",
            "Operation succeeded"},
       }},
      {"marrowick",
       "getppid",
       "getppid works! current parent pid: ",
       {
           {"parent 1", {}, "getppid() = 1", "1"},
           {"parent 0", first(2, 0), "getppid() = 0", "0"},
           {"parent 12345", first(2, 12345), "getppid() = 12345", "12345"},
           {"getppid fails", with_rules({fail("getppid=5")}), "getppid() E5", "", "Input/output error"},
           {"getppid fails with an unknown number", with_rules({fail("getppid=99")}), "getppid() E99", "",
            "Unknown error number"},
           {"getppid answers -1, flag clear", with_rules({}, {answer("getppid=-1")}), "getppid() = -1", "",
            "Operation succeeded"},
           {"getppid answers INT_MIN", with_rules({}, {answer("getppid=-2147483648")}), "getppid() = -2147483648",
            "-2147483648"},
       }},
  };
}

// Arguments are ignored: none, "-w", several, empty ones, none at all.
const std::vector<std::vector<std::string>> kArgLists = {{}, {"-w"}, {"a", "b", "c"}, {""}};

TEST(ProgramIdentity, PrintsTheAnswerOrReportsTheFailure) {
  for (const Program& prog : programs()) {
    for (const Case& c : prog.cases) {
      for (size_t a = 0; a <= kArgLists.size(); ++a) {
        SCOPED_TRACE(std::string(prog.name) + ": " + c.what + ", arguments #" + std::to_string(a));
        Options o = c.opts;
        std::vector<std::string> args;
        if (a == kArgLists.size()) o.null_argv = true;
        else args = kArgLists[a];
        ProgramRun r = run_program(prog.name, args, o);
        const bool failed = c.number.empty();
        const std::string text = failed ? "" : prog.prefix + c.number + "\n";
        const std::string name = o.null_argv ? "(program name unknown)" : program(prog.name);
        Calls want;
        want.line(c.call_line).out(text);
        if (failed) want.report(name, prog.call, c.errtext);
        want.exit(failed ? 1 : 0);
        EXPECT_EQ(r.first_trace(), want.folded());
        EXPECT_EQ(r.out(), text);
        EXPECT_EQ(r.err(), failed ? report_text(name, prog.call, c.errtext) : "");
        expect_statuses(r, {failed ? 1 : 0});
      }
    }
  }
}

// Nothing is checked: failing writes change neither the writes made nor
// the status.
TEST(ProgramIdentity, FailingWritesChangeNothingElse) {
  for (const Program& prog : programs()) {
    for (bool closed : {true, false}) {
      SCOPED_TRACE(std::string(prog.name) + (closed ? ": stdout closed" : ": writes answer 0"));
      Options o;
      if (closed) o.closed_fds = {1};
      else o.result = {answer("write=0")};
      ProgramRun r = run_program(prog.name, {}, o);
      const std::string text = std::string(prog.prefix) + (prog.call == std::string("getpid") ? "2" : "1") + "\n";
      Calls want;
      want.line(std::string(prog.call) + "() = " + (prog.call == std::string("getpid") ? "2" : "1"));
      for (char ch : text) want.line("write(1, " + shown(std::string(1, ch)) + (closed ? ") E26" : ") = 0"));
      want.exit(0);
      EXPECT_EQ(r.first_trace(), want.folded());
      EXPECT_EQ(r.out(), "");
      expect_statuses(r, {0});
    }
  }
}

}  // namespace
}  // namespace r3k::test
