// printf, vprintf and putchar of the MIPS build, called in the console
// guest: every byte one write of one byte on descriptor 1, in order; empty
// runs cost no call; the count is what was generated, written or not; and
// putchar's own result rules.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "support/calls.h"
#include "support/guest_calls.h"

namespace r3k::test {
namespace {

class Console {
 public:
  explicit Console(Options o = {}) : m_(std::make_unique<TestMachine>(std::move(o))) {
    m_->load_file(R3K_GUEST_DIR "/console", {"console"});
  }
  TestMachine& m() { return *m_; }
  uint32_t str(const std::string& s) { return m_->push_string(s); }
  uint32_t errno_addr() { return *m_->symbol("errno"); }
  int32_t err() { return static_cast<int32_t>(m_->read32(errno_addr())); }
  void set_err(int32_t e) { m_->write32(errno_addr(), static_cast<uint32_t>(e)); }
  // A call that must come back; its v0 as an int.
  int32_t call(const char* fn, std::vector<uint32_t> args) {
    CallResult r = m_->call(fn, std::move(args));
    EXPECT_TRUE(r.returned) << fn << (r.fault ? ": " + r.fault->describe() : " did not return");
    return static_cast<int32_t>(r.v0);
  }
  std::vector<std::string> trace() { return trace_of(*m_, std::nullopt); }

 private:
  std::unique_ptr<TestMachine> m_;
};

std::vector<std::string> prefixed(const Calls& c) {
  std::vector<std::string> out;
  for (const std::string& l : c.folded()) out.push_back("[2] " + l);
  return out;
}

struct FormatCase {
  std::string fmt;
  std::vector<uint32_t> args;  // words; strings go through str_args
  std::vector<std::string> str_args;
  std::string text;  // what reaches descriptor 1
  int32_t count;
};

const FormatCase kFormats[] = {
    {"", {}, {}, "", 0},
    {"%5d", {42}, {}, "   42", 5},
    {"ab%3dc\n", {7}, {}, "ab  7c\n", 7},
    {"%s", {}, {""}, "", 0},  // three empty runs: no call at all
    {"%s%s|", {}, {"", "xy"}, "xy|", 3},
    {"a%cb", {0}, {}, "ab", 2},  // %c of 0 is an empty body
    {"%c%c",
     {0xe9, 0x141},
     {},
     "\xe9"
     "A",
     2},  // low 8 bits, high bytes pass
    {"\xff\x80", {}, {}, "\xff\x80", 2},
    {"%d", {0x80000000u}, {}, "-2147483648", 11},
    {"%-6s|%#x", {0xff}, {"ab"}, "ab    |0xff", 11},
    {"abc%", {}, {}, "abc", 3},
    {"getpid works! current pid: %d\n", {2}, {}, "getpid works! current pid: 2\n", 29},
};

TEST(Console, PrintfAndVprintfWriteEachByteAloneAndReturnTheCount) {
  for (const char* fn : {"printf", "via_vprintf"}) {
    for (const FormatCase& c : kFormats) {
      SCOPED_TRACE(std::string(fn) + " " + shown(c.fmt));
      Console con;
      std::vector<uint32_t> args{con.str(c.fmt)};
      for (const std::string& s : c.str_args) args.push_back(con.str(s));
      args.insert(args.end(), c.args.begin(), c.args.end());
      EXPECT_EQ(con.call(fn, args), c.count);
      EXPECT_EQ(con.trace(), prefixed(Calls().out(c.text)));
      EXPECT_EQ(con.m().output(1), c.text);
      EXPECT_EQ(con.m().output(2), "");
      EXPECT_EQ(con.err(), 0);
    }
  }
}

// Failing writes neither stop printf nor change its count; errno is left
// as the last failing write set it.
TEST(Console, PrintfKeepsGoingAndCountingWhenWritesFail) {
  struct Case {
    const char* name;
    std::vector<CallRule> fail, result;
    std::vector<int> errs;  // per byte of "xyz": 0 written, else the error
    std::string written;
    int32_t errno_after;
  };
  const Case cases[] = {
      {"every write fails", {rule("write=5", true)}, {}, {5, 5, 5}, "", 5},
      {"second write fails", {rule("write:2=EBADF", true)}, {}, {0, 26, 0}, "xz", 26},
      {"from the second on", {rule("write:2+=4", true)}, {}, {0, 4, 4}, "x", 4},
  };
  for (const Case& c : cases) {
    for (const char* fn : {"printf", "via_vprintf"}) {
      SCOPED_TRACE(std::string(fn) + ": " + c.name);
      Options o;
      o.fail = c.fail;
      o.result = c.result;
      Console con(o);
      EXPECT_EQ(con.call(fn, {con.str("xyz")}), 3);
      Calls want;
      for (size_t i = 0; i < 3; ++i) want.write(1, std::string(1, "xyz"[i]), c.errs[i]);
      EXPECT_EQ(con.trace(), prefixed(want));
      EXPECT_EQ(con.m().output(1), c.written);
      EXPECT_EQ(con.err(), c.errno_after);
    }
  }
  // A kernel that writes nothing, error flag clear: still every byte tried.
  Options o;
  o.result = {rule("write=0", false)};
  Console con(o);
  EXPECT_EQ(con.call("printf", {con.str("%3d"), 5}), 3);
  EXPECT_EQ(con.trace(), (std::vector<std::string>{"[2] write(1, \" \") = 0 x2", "[2] write(1, \"5\") = 0"}));
}

TEST(Console, PutcharWritesTheLowByteAndReturnsItsArgumentOrMinusOne) {
  struct Case {
    const char* name;
    int32_t c;
    std::vector<CallRule> fail, result;
    std::string byte;    // the byte handed to write
    std::string suffix;  // how the write shows in the trace after its data
    int32_t ret;
    int32_t errno_after;  // errno starts at 7
  };
  const Case cases[] = {
      {"plain", 65, {}, {}, "A", "", 65, 7},
      {"above 255: byte 65, result unreduced", 321, {}, {}, "A", "", 321, 7},
      {"-1: byte 255, result -1", -1, {}, {}, "\xff", "", -1, 7},
      {"255 stays 255", 255, {}, {}, "\xff", "", 255, 7},
      {"zero byte", 0, {}, {}, std::string(1, '\0'), "", 0, 7},
      {"negative byte value", -23, {}, {}, "\xe9", "", -23, 7},
      {"full word", 0x12345678, {}, {}, "x", "", 0x12345678, 7},
      {"INT_MIN", INT_MIN, {}, {}, std::string(1, '\0'), "", INT_MIN, 7},
      {"write returns 0", 65, {}, {rule("write=0", false)}, "A", " = 0", -1, 7},
      {"write returns 0 for byte 0", 0, {}, {rule("write=0", false)}, std::string(1, '\0'), " = 0", -1, 7},
      {"write fails", 321, {rule("write=5", true)}, {}, "A", " E5", -1, 5},
      {"write returns -1, flag clear", 65, {}, {rule("write=-1", false)}, "A", " = -1", -1, 7},
      {"write returns -7, flag clear", 65, {}, {rule("write=-7", false)}, "A", " = -7", -1, 7},
      {"write returns 2", 66, {}, {rule("write=2", false)}, "B", " = 2", 66, 7},
      {"write returns INT_MAX", 321, {}, {rule("write=2147483647", false)}, "A", " = 2147483647", 321, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.fail = c.fail;
    o.result = c.result;
    Console con(o);
    con.set_err(7);
    EXPECT_EQ(con.call("putchar", {static_cast<uint32_t>(c.c)}), c.ret);
    const auto& ev = con.m().events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].args[0], 1u);
    EXPECT_EQ(ev[0].args[2], 1u);
    EXPECT_EQ(call_line(ev[0]), "write(1, " + shown(c.byte) + ")" + c.suffix);
    EXPECT_EQ(con.err(), c.errno_after);
  }
  // Descriptor 1 closed: the kernel's own failure, EBADF.
  Options o;
  o.closed_fds = {1};
  Console con(o);
  EXPECT_EQ(con.call("putchar", {'A'}), -1);
  EXPECT_EQ(con.err(), 26);
  EXPECT_EQ(con.m().output(1), "");
}

}  // namespace
}  // namespace r3k::test
