// strcmp, strchr and strlen of the MIPS build, called on r3krun.
#include <gtest/gtest.h>

#include <string>

#include "support/libcore.h"

namespace r3k::test {
namespace {

using namespace std::string_literals;

// Bytes 0x80-0xFF are negative; results are exactly -1, 0 or 1.
struct CmpCase {
  std::string a, b;
  int expected;
};
const CmpCase kCmpCases[] = {
    {"", "", 0},
    {"", "a", -1},
    {"abc", "abd", -1},
    {"a", "z", -1},  // a difference of -25 must still read -1
    {"-w", "-w", 0},
    {"abc", "ab", 1},
    {"\x01", "\x7f", -1},
    {"\xe9", "e", -1},  // 0xE9 reads as -23
    {"", "\x80", 1},
    {"a\x80", "a", -1},
    {"\x7f", "\x80", 1},  // unsigned bytes would say -1
    {"\xff", "\x01", -1},
    {"\x80", "\xff", -1},
    {"\xff", "\xff\x80", 1},
    {"same\xe9", "same\xe9", 0},
};

TEST(Strcmp, SignedBytesAndUnitResults) {
  LibCore lib;
  for (const auto& c : kCmpCases) {
    uint32_t a = lib.str(c.a), b = lib.str(c.b);
    SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
    EXPECT_EQ(static_cast<int32_t>(lib.call("strcmp", {a, b})), c.expected);
    EXPECT_EQ(static_cast<int32_t>(lib.call("strcmp", {b, a})), -c.expected);
  }
}

// One string ends at the last mapped byte: reading one byte further faults.
// The cases without a terminator stop at a difference in that last byte.
TEST(Strcmp, ReadsNothingPastWhereItStops) {
  struct Case {
    std::string edge, other;
    bool edge_first;
    int expected;
  };
  const Case cases[] = {
      {"abc\0"s, "abc", true, 0},   {"abc\0"s, "abc", false, 0},
      {"abc\0"s, "abcd", true, -1}, {"abc\0"s, "abcd", false, 1},
      {"\0"s, "x", true, -1},       {"abX", "abY", true, -1},
      {"abY", "abX", false, -1},    {"ab\x80", "ab\x7f", true, -1},
  };
  LibCore lib;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.edge) + " vs " + c.other);
    uint32_t e = lib.at_edge(c.edge), o = lib.str(c.other);
    auto r = lib.machine().call("strcmp", c.edge_first ? std::vector{e, o} : std::vector{o, e});
    ASSERT_TRUE(r.returned) << (r.fault ? r.fault->describe() : "exited");
    EXPECT_EQ(static_cast<int32_t>(r.v0), c.expected);
  }
  uint32_t e = lib.at_edge("abc\0"s);
  EXPECT_EQ(lib.call("strcmp", {e, e}), 0u);
}

// The sought value is a whole int compared with signed bytes: never cut to
// 8 bits, so 256 or 'a'+256 find nothing, not the terminator or 'a'.
struct ChrCase {
  std::string s;
  int32_t ch;
  int offset;  // -1: null
};
const ChrCase kChrCases[] = {
    {"doupx", 'u', 2},     {"doupx", 'z', -1},     {"doupx", 0, 5},     {"", 0, 0},
    {"", 'a', -1},         {"abcabc", 'b', 1},     {"a\xe9z", -23, 1},  {"a\xe9z", 0xe9, -1},
    {"abc", 256, -1},      {"abc", 'a' + 256, -1}, {"\x80", -128, 0},   {"\x80", 0x80, -1},
    {"\xff", -1, 0},       {"x\xff", 0xff, -1},    {"abc", -256, -1},   {"#-ql0123456789", '9', 13},
};

TEST(Strchr, FindsFirstSignedMatchOrTerminator) {
  LibCore lib;
  for (const auto& c : kChrCases) {
    SCOPED_TRACE(testing::PrintToString(c.s) + " for " + std::to_string(c.ch));
    uint32_t s = lib.str(c.s);
    uint32_t got = lib.call("strchr", {s, static_cast<uint32_t>(c.ch)});
    EXPECT_EQ(got, c.offset < 0 ? 0u : s + static_cast<uint32_t>(c.offset));
  }
}

TEST(Strchr, ReadsNothingPastWhereItStops) {
  struct Case {
    std::string edge;
    int32_t ch;
    int offset;
  };
  const Case cases[] = {
      {"xyz\0"s, 'q', -1}, {"xyz\0"s, 0, 3}, {"xyz", 'z', 2}, {"xy\xe9", -23, 2}, {"\0"s, 'a', -1},
  };
  LibCore lib;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.edge) + " for " + std::to_string(c.ch));
    uint32_t e = lib.at_edge(c.edge);
    auto r = lib.machine().call("strchr", {e, static_cast<uint32_t>(c.ch)});
    ASSERT_TRUE(r.returned) << (r.fault ? r.fault->describe() : "exited");
    EXPECT_EQ(r.v0, c.offset < 0 ? 0u : e + static_cast<uint32_t>(c.offset));
  }
}

TEST(Strlen, CountsEveryNonZeroByte) {
  const std::string cases[] = {"", "doupx", "\x80\xff\x01", std::string(300, '\xe9'), "a\0b"s};
  LibCore lib;
  for (const auto& s : cases)
    EXPECT_EQ(lib.call("strlen", {lib.str(s)}), s.find('\0') == std::string::npos ? s.size() : s.find('\0'))
        << testing::PrintToString(s);
  for (const auto& s : {"hello\0"s, "\0"s, "\x80\0"s}) {
    auto r = lib.machine().call("strlen", {lib.at_edge(s)});
    ASSERT_TRUE(r.returned) << (r.fault ? r.fault->describe() : "exited");
    EXPECT_EQ(r.v0, s.size() - 1) << testing::PrintToString(s);
  }
}

// The edge itself: a read one byte past it must fault, or the tests above
// prove nothing.
TEST(StringEdge, ByteAfterTheEdgeIsUnmapped) {
  LibCore lib;
  uint32_t e = lib.at_edge("ab");
  auto r = lib.machine().call("strlen", {e});
  ASSERT_TRUE(r.fault.has_value());
  EXPECT_EQ(r.fault->kind, FaultKind::BadAddress);
  EXPECT_EQ(r.fault->addr, e + 2);
}

}  // namespace
}  // namespace r3k::test
