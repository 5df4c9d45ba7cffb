// The err/warn family of the MIPS build, called in the reports guest: one
// write per piece of the line (name, ": ", every engine run including the
// empty ones, ": " and the error text, "\n"), the error text taken before
// the first write, the name's fallbacks, a null format, and how each form
// ends.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/calls.h"
#include "support/guest_calls.h"
#include "support/mips_encode.h"

namespace r3k::test {
namespace {

// A string argument, pushed into guest memory, or a plain word.
struct Word {
  Word(uint32_t w) : word(w) {}
  Word(int32_t w) : word(static_cast<uint32_t>(w)) {}
  Word(const char* s) : str(s) {}
  uint32_t word = 0;
  std::optional<std::string> str;
};

class Reports {
 public:
  explicit Reports(Options o = {}, std::vector<std::string> argv = {"reports"})
      : m_(std::make_unique<TestMachine>(std::move(o))) {
    m_->load_file(R3K_GUEST_DIR "/reports", std::move(argv));
  }
  TestMachine& m() { return *m_; }
  uint32_t sym(const char* name) { return *m_->symbol(name); }
  int32_t err() { return static_cast<int32_t>(m_->read32(sym("errno"))); }
  void set_err(int32_t e) { m_->write32(sym("errno"), static_cast<uint32_t>(e)); }
  // __argv as the tests choose it: null, or a vector whose first entry is
  // the name (null when absent), followed by a null entry.
  void set_argv(std::optional<std::optional<std::string>> argv) {
    uint32_t vec = 0;
    if (argv) {
      const uint32_t name = *argv ? m_->push_string(**argv) : 0;
      const auto at = enc::be_bytes(name);
      const uint8_t words[8] = {at[0], at[1], at[2], at[3], 0, 0, 0, 0};
      vec = m_->push_bytes(words);
    }
    m_->write32(sym("__argv"), vec);
  }
  CallResult call(const char* fn, const std::vector<Word>& args) {
    std::vector<uint32_t> w;
    for (const Word& a : args) w.push_back(a.str ? m_->push_string(*a.str) : a.word);
    return m_->call(fn, w);
  }
  std::vector<std::string> trace() { return trace_of(*m_, 2u); }

 private:
  std::unique_ptr<TestMachine> m_;
};

struct Form {
  const char* fn;
  bool exits;    // takes a status first and ends the process
  bool errtext;  // appends ": " and the text of errno
};

const Form kForms[] = {
    {"err", true, true},   {"errx", true, false},   {"via_verr", true, true},   {"via_verrx", true, false},
    {"warn", false, true}, {"warnx", false, false}, {"via_vwarn", false, true}, {"via_vwarnx", false, false},
};

struct Message {
  const char* fmt;
  std::vector<Word> args;
  Runs runs;         // what the engine hands the sink
  std::string text;  // the same, joined
};

const Message kMessages[] = {
    {"pid %d: exit %d", {7, 256}, Runs("pid ") + Runs::dec(7) + ": exit " + Runs::dec(256), "pid 7: exit 256"},
    {"", {}, Runs(), ""},
    {"%s|%5d", {"", -42}, Runs::of({"", "", "", "|", " ", " ", "-", "", "42"}), "|  -42"},
    {"a\nb%%", {}, Runs::of({"a", "\n", "b", "", "", "%"}), "a\nb%"},
};

TEST(Err, EveryFormWritesEachPieceOnceThenExitsOrReturns) {
  const int32_t statuses[] = {3, 0, -1, 256};
  for (const Form& f : kForms) {
    for (size_t i = 0; i < std::size(kMessages); ++i) {
      const Message& msg = kMessages[i];
      const int32_t status = statuses[i];
      SCOPED_TRACE(std::string(f.fn) + " " + shown(msg.fmt));
      Reports r;
      r.set_argv(std::optional<std::string>("/usr/bin/quendle"));
      r.set_err(4);
      std::vector<Word> args{msg.fmt};
      if (f.exits) args.insert(args.begin(), Word(status));
      args.insert(args.end(), msg.args.begin(), msg.args.end());
      const CallResult res = r.call(f.fn, args);

      const auto errtext = f.errtext ? std::optional<std::string_view>("Out of memory") : std::nullopt;
      Calls want;
      want.report("/usr/bin/quendle", msg.runs, errtext);
      if (f.exits) want.exit(status);
      EXPECT_EQ(r.trace(), want.folded());
      EXPECT_EQ(r.m().output(2), report_text("/usr/bin/quendle", msg.text, errtext));
      EXPECT_EQ(r.m().output(1), "");
      EXPECT_FALSE(res.fault.has_value());
      EXPECT_EQ(res.returned, !f.exits);
      EXPECT_EQ(res.exited, f.exits);
      if (f.exits) {
        EXPECT_EQ(res.status, status);
      }
      EXPECT_EQ(r.err(), 4);  // nothing failed, so nothing changed it
    }
  }
}

// A null format, as BSD callers pass it: no message and no ": " before the
// error text; "name", ": ", [text], "\n", four or three writes.
TEST(Err, NullFormatLeavesOutTheMessageAndItsSeparator) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(f.fn);
    Reports r;
    r.set_argv(std::optional<std::string>("prog"));
    r.set_err(26);
    std::vector<Word> args{0u, 7};  // a trailing argument is never read
    if (f.exits) args.insert(args.begin(), Word(3));
    const CallResult res = r.call(f.fn, args);
    Calls want;
    want.write(2, "prog").write(2, ": ");
    if (f.errtext) want.write(2, "Bad file number");
    want.write(2, "\n");
    if (f.exits) want.exit(3);
    EXPECT_EQ(r.trace(), want.folded());
    EXPECT_EQ(r.m().output(2), f.errtext ? "prog: Bad file number\n" : "prog: \n");
    EXPECT_FALSE(res.fault.has_value());
    EXPECT_EQ(res.returned, !f.exits);
    EXPECT_EQ(r.err(), 26);
  }
}

// The name: the vector's first entry whole, or the placeholder when the
// vector or that entry is null; an empty name is a zero-length write.
TEST(Err, ProgramNameFromArgvOrPlaceholder) {
  struct Case {
    const char* name;
    std::optional<std::optional<std::string>> argv;
    std::string written;
  };
  const Case cases[] = {
      {"null __argv", std::nullopt, "(program name unknown)"},
      {"null first entry", std::optional<std::string>(), "(program name unknown)"},
      {"empty first entry", std::optional<std::string>(""), ""},
      {"path with blanks and %", std::optional<std::string>("/a b/%d\xe9"), "/a b/%d\xe9"},
  };
  for (const Case& c : cases) {
    for (const Form& f : {kForms[1], kForms[4]}) {
      SCOPED_TRACE(std::string(c.name) + " " + f.fn);
      Reports r;
      r.set_argv(c.argv);
      r.set_err(26);
      std::vector<Word> args{"x"};
      if (f.exits) args.insert(args.begin(), Word(9));
      r.call(f.fn, args);
      const auto errtext = f.errtext ? std::optional<std::string_view>("Bad file number") : std::nullopt;
      Calls want;
      want.report(c.written, "x", errtext);
      if (f.exits) want.exit(9);
      EXPECT_EQ(r.trace(), want.folded());
      EXPECT_EQ(r.m().output(2), report_text(c.written, "x", errtext));
    }
  }
}

// Without the calls above, __argv is what the start-up code stored.
TEST(Err, NameIsTheVectorRecordedAtStartup) {
  Reports r({}, {"/opt/r3k/reports", "-w"});
  ASSERT_TRUE(r.m().run_to("main"));
  r.call("warnx", {"Starting."});
  EXPECT_EQ(r.m().output(2), "/opt/r3k/reports: Starting.\n");

  Options o;
  o.null_argv = true;
  Reports unnamed(o);
  ASSERT_TRUE(unnamed.m().run_to("main"));
  unnamed.call("warnx", {"Starting."});
  EXPECT_EQ(unnamed.m().output(2), "(program name unknown): Starting.\n");
}

TEST(Err, ErrorTextOfErrnoOnEntry) {
  struct Case {
    int32_t err;
    const char* text;
  };
  const Case cases[] = {
      {0, "Operation succeeded"},   {4, "Out of memory"},
      {1, "Invalid argument"},      {26, "Bad file number"},
      {27, "Unknown error number"}, {99, "Unknown error number"},
      {-5, "Unknown error number"}, {INT_MIN, "Unknown error number"},
  };
  for (const Case& c : cases) {
    for (const Form& f : {kForms[0], kForms[2], kForms[4], kForms[6]}) {
      const char* fn = f.fn;
      const bool exits = f.exits;
      SCOPED_TRACE(std::string(fn) + " errno " + std::to_string(c.err));
      Reports r;
      r.set_argv(std::optional<std::string>("q"));
      r.set_err(c.err);
      std::vector<Word> args{"fork"};
      if (exits) args.insert(args.begin(), Word(1));
      const CallResult res = r.call(fn, args);
      EXPECT_EQ(r.m().output(2), report_text("q", "fork", c.text));
      EXPECT_EQ(res.exited, exits);
      EXPECT_EQ(r.err(), c.err);
    }
  }
}

// A failing write changes errno, but the text was chosen before: the line
// still names the error of entry, and every later write is still made.
TEST(Err, ErrorTextFixedBeforeTheFirstWrite) {
  struct Case {
    const char* name;
    std::vector<CallRule> fail;
    std::vector<int> errs;  // per write of "q: ab: Out of memory\n" (7 writes)
    int32_t errno_after;
  };
  const Case cases[] = {
      {"name write fails", {fail("write:1=5")}, {5, 0, 0, 0, 0, 0, 0}, 5},
      {"message writes fail", {fail("write:3=7"), fail("write:4=26")}, {0, 0, 7, 26, 0, 0, 0}, 26},
      {"text write fails", {fail("write:6=1")}, {0, 0, 0, 0, 0, 1, 0}, 1},
      {"all fail", {fail("write=11")}, {11, 11, 11, 11, 11, 11, 11}, 11},
  };
  const char* pieces[] = {"q", ": ", "a", "b", ": ", "Out of memory", "\n"};
  for (const Case& c : cases) {
    for (const char* fn : {"warn", "err"}) {
      SCOPED_TRACE(std::string(fn) + ": " + c.name);
      Options o;
      o.fail = c.fail;
      Reports r(o);
      r.set_argv(std::optional<std::string>("q"));
      r.set_err(4);
      const bool exits = fn[0] == 'e';
      std::vector<Word> args{"ab"};
      if (exits) args.insert(args.begin(), Word(2));
      const CallResult res = r.call(fn, args);
      Calls want;
      for (size_t i = 0; i < 7; ++i) want.write(2, pieces[i], c.errs[i]);
      if (exits) want.exit(2);
      EXPECT_EQ(r.trace(), want.folded());
      EXPECT_EQ(res.returned, !exits);
      if (exits) {
        EXPECT_EQ(res.status, 2);
      }
      EXPECT_EQ(r.err(), c.errno_after);
    }
  }
}

TEST(Err, StartingIsTwelveWrites) {
  Reports r;
  r.set_argv(std::optional<std::string>("quendle"));
  EXPECT_TRUE(r.call("warnx", {"Starting."}).returned);
  const auto& ev = r.m().events();
  ASSERT_EQ(ev.size(), 12u);
  std::vector<std::string> data;
  for (const SyscallEvent& e : ev) {
    EXPECT_EQ(e.name, "write");
    EXPECT_EQ(e.args[0], 2u);
    EXPECT_EQ(e.args[2], e.data.size());
    data.push_back(e.data);
  }
  EXPECT_EQ(data, (std::vector<std::string>{"quendle", ": ", "S", "t", "a", "r", "t", "i", "n", "g", ".", "\n"}));
}

// Descriptor 2 closed: every write fails with EBADF, the warnings return,
// the exiting forms exit with their status, errno holds EBADF (26).
TEST(Err, ClosedStandardErrorChangesOnlyErrno) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(f.fn);
    Options o;
    o.closed_fds = {2};
    Reports r(o);
    r.set_argv(std::optional<std::string>("quendle"));
    r.set_err(4);
    std::vector<Word> args{"pid %d: exit %d", 7, 256};
    if (f.exits) args.insert(args.begin(), Word(3));
    const CallResult res = r.call(f.fn, args);
    Calls want;
    want.report("quendle", kMessages[0].runs,
                f.errtext ? std::optional<std::string_view>("Out of memory") : std::nullopt, 26);
    if (f.exits) want.exit(3);
    EXPECT_EQ(r.trace(), want.folded());
    EXPECT_EQ(r.m().output(2), "");
    EXPECT_EQ(res.returned, !f.exits);
    if (f.exits) {
      EXPECT_EQ(res.status, 3);
    }
    EXPECT_EQ(r.err(), 26);
  }
}

// Even on a kernel whose _exit returns, an exiting form never comes back
// and writes nothing more: whether exit then asks again or spins is its
// own affair, so the run is bounded and only _exit calls may follow.
TEST(Err, NothingRunsAfterTheExitingForms) {
  for (const Form& f : kForms) {
    if (!f.exits) continue;
    SCOPED_TRACE(f.fn);
    Options o;
    o.exit_returns = 2;
    o.max_insns = 1'000'000;
    Reports r(o);
    r.set_argv(std::optional<std::string>("q"));
    const CallResult res = r.call(f.fn, {5, "m"});
    EXPECT_FALSE(res.returned);
    Calls report;
    report.report("q", "m", f.errtext ? std::optional<std::string_view>("Operation succeeded") : std::nullopt);
    std::vector<std::string> lines;
    for (const SyscallEvent& e : r.m().events()) lines.push_back(call_line(e));
    const size_t n = f.errtext ? 6 : 4;  // writes of the report
    ASSERT_GT(lines.size(), n);
    EXPECT_EQ(folded({lines.begin(), lines.begin() + n}), report.folded());
    EXPECT_EQ(lines[n], "_exit(5) = 0");  // at least the first returning _exit
    for (size_t i = n + 1; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, 8), "_exit(5)") << i;
    }
  }
}

}  // namespace
}  // namespace r3k::test
