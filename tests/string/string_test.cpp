// strcmp, strchr, strlen and the mem* routines of the MIPS build, called on
// r3krun.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
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
      {"abc\0"s, "abc", true, 0},   {"abc\0"s, "abc", false, 0},    {"abc\0"s, "abcd", true, -1},
      {"abc\0"s, "abcd", false, 1}, {"\0"s, "x", true, -1},         {"abX", "abY", true, -1},
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
    {"doupx", 'u', 2}, {"doupx", 'z', -1},     {"doupx", 0, 5},    {"", 0, 0},
    {"", 'a', -1},     {"abcabc", 'b', 1},     {"a\xe9z", -23, 1}, {"a\xe9z", 0xe9, -1},
    {"abc", 256, -1},  {"abc", 'a' + 256, -1}, {"\x80", -128, 0},  {"\x80", 0x80, -1},
    {"\xff", -1, 0},   {"x\xff", 0xff, -1},    {"abc", -256, -1},  {"#-ql0123456789", '9', 13},
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

// Sizes around each step of the word loops (bytes to align, 16-byte
// groups, single words, the tail).
const uint32_t kMemSizes[] = {0,  1,  2,  3,  4,  5,  7,  8,  9,  11, 12, 13, 15,  16,
                              17, 19, 20, 23, 31, 32, 33, 47, 48, 63, 64, 65, 100, 203};

// A guest region mirrored on the host, with fresh random bytes before each
// call.  Each routine runs on both sides and the whole region must agree
// afterwards, so a stray write next to the range shows as well as a wrong
// byte in it.
class Mirror {
 public:
  static constexpr uint32_t kSize = 512;
  explicit Mirror(LibCore& lib) : lib_(lib), host_(kSize, '\0') {
    base_ = (lib.bytes(std::string(kSize + 8, '\0')) + 7) & ~7u;
  }
  uint32_t guest(uint32_t off) const { return base_ + off; }
  char* host(uint32_t off) { return host_.data() + off; }
  void fresh() {
    for (char& b : host_) b = static_cast<char>(rng_());
    push();
  }
  void push() { lib_.write(base_, host_); }
  void set(uint32_t off, char b) {
    host_[off] = b;
    lib_.write(base_ + off, std::string(1, b));
  }
  void expect_same(const std::string& what) {
    const std::string got = lib_.read(base_, kSize);
    const auto at = std::mismatch(got.begin(), got.end(), host_.begin()).first - got.begin();
    if (static_cast<uint32_t>(at) != kSize)
      ADD_FAILURE() << what << ": offset " << at << " holds " << int(uint8_t(got[at])) << ", not "
                    << int(uint8_t(host_[at]));
  }

 private:
  LibCore& lib_;
  std::string host_;
  uint32_t base_ = 0;
  std::mt19937 rng_{20240};
};

std::string call_text(const char* fn, uint32_t a, uint32_t b, uint32_t n) {
  return std::string(fn) + "(+" + std::to_string(a) + ", " + std::to_string(b) + ", " + std::to_string(n) + ")";
}

TEST(MemRoutines, CopyMoveAndSetMatchTheHostOnEveryAlignment) {
  LibCore lib;
  Mirror m(lib);
  auto check = [&](const char* fn, uint32_t d, uint32_t s_or_c, uint32_t n, bool second_is_offset) {
    const std::string what = call_text(fn, d, s_or_c, n);
    const uint32_t arg = second_is_offset ? m.guest(s_or_c) : s_or_c;
    EXPECT_EQ(lib.call(fn, {m.guest(d), arg, n}), m.guest(d)) << what << " returns its destination";
    m.expect_same(what);
  };
  for (uint32_t n : kMemSizes)
    for (uint32_t d = 0; d < 4; ++d) {
      for (uint32_t s = 256; s < 260; ++s)
        for (const char* fn : {"memcpy", "memmove"}) {  // apart
          m.fresh();
          std::memcpy(m.host(d), m.host(s), n);
          check(fn, d, s, n, true);
        }
      // Overlapping, the destination below and above the source by less
      // than a word, a word, and more than a 16-byte group.
      for (int delta : {-17, -16, -5, -4, -3, -1, 1, 2, 4, 7, 16, 19}) {
        const uint32_t s = 240 + d, to = s + delta;
        m.fresh();
        std::memmove(m.host(to), m.host(s), n);
        check("memmove", to, s, n, true);
      }
      for (uint32_t c : {0x00u, 0xa5u, 0xffffffffu, 0x1234u}) {  // only the low byte counts
        m.fresh();
        std::memset(m.host(8 + d), static_cast<int>(c), n);
        check("memset", 8 + d, c, n, false);
      }
    }
}

// Unsigned bytes, and exactly -1, 0 or 1 (never a difference of bytes).
TEST(Memcmp, OrdersUnsignedBytesWithUnitResults) {
  LibCore lib;
  Mirror m(lib);
  const std::pair<char, char> kDiffer[] = {{'\x80', '\x7f'}, {'\x01', '\xff'}, {'\0', '\x01'}};
  for (uint32_t n : kMemSizes)
    for (uint32_t a = 0; a < 4; ++a)
      for (uint32_t b = 256; b < 260; ++b) {
        m.fresh();
        std::memcpy(m.host(b), m.host(a), n);
        *m.host(a + n) = 'x';  // the first byte past the range differs: memcmp must stop before it
        *m.host(b + n) = 'y';
        m.push();
        const std::string what = call_text("memcmp", a, b, n);
        EXPECT_EQ(lib.call("memcmp", {m.guest(a), m.guest(b), n}), 0u) << what;
        for (uint32_t k = 0; k < 3 && n > 0; ++k) {
          const uint32_t at = std::vector<uint32_t>{0, n / 2, n - 1}[k];
          const auto [x, y] = kDiffer[k];
          const char keep_a = *m.host(a + at), keep_b = *m.host(b + at);
          m.set(a + at, x);
          m.set(b + at, y);
          const int expected = uint8_t(x) < uint8_t(y) ? -1 : 1;
          EXPECT_EQ(static_cast<int32_t>(lib.call("memcmp", {m.guest(a), m.guest(b), n})), expected)
              << what << " differing at " << at;
          EXPECT_EQ(static_cast<int32_t>(lib.call("memcmp", {m.guest(b), m.guest(a), n})), -expected)
              << what << " swapped, differing at " << at;
          m.set(a + at, keep_a);
          m.set(b + at, keep_b);
        }
      }
}

// The range ends at the last mapped byte: touching one byte past it, in a
// group, a word or a byte step, faults.
TEST(MemRoutines, TouchNothingPastTheRange) {
  LibCore lib;
  for (uint32_t n : kMemSizes) {
    if (n == 0 || n > 100) continue;
    std::string bytes(n, '\0');
    for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(0x80 + 7 * i);
    const uint32_t edge = lib.at_edge(bytes);
    const uint32_t end = edge + n;
    for (uint32_t skew = 0; skew < 4; ++skew) {
      SCOPED_TRACE("n " + std::to_string(n) + ", other operand skewed by " + std::to_string(skew));
      const uint32_t other = lib.bytes(std::string(n + 4, 'o')) + skew;
      lib.write(other, bytes);
      auto returns = [&](const char* fn, uint32_t a, uint32_t b, uint32_t len) {
        auto r = lib.machine().call(fn, {a, b, len});
        EXPECT_TRUE(r.returned) << fn << ": " << (r.fault ? r.fault->describe() : "exited");
        return r.v0;
      };
      EXPECT_EQ(returns("memcmp", edge, other, n), 0u);
      EXPECT_EQ(returns("memcmp", other, edge, n), 0u);
      returns("memcpy", other, edge, n);
      EXPECT_EQ(lib.read(other, n), bytes);
      returns("memset", edge, 'z', n);
      EXPECT_EQ(lib.read(edge, n), std::string(n, 'z'));
      returns("memcpy", edge, other, n);
      EXPECT_EQ(lib.read(edge, n), bytes);
      // Both directions of memmove, the destination ending at the edge
      // (copied downwards) and the source (copied upwards).
      const uint32_t k = 1 + skew, len = n - k;
      if (n <= k) continue;
      returns("memmove", edge + k, edge, len);
      EXPECT_EQ(lib.read(end - len, len), bytes.substr(0, len));
      lib.write(edge, bytes);
      returns("memmove", edge, edge + k, len);
      EXPECT_EQ(lib.read(edge, len), bytes.substr(k, len));
      lib.write(edge, bytes);
    }
  }
}

// <ctype.h> against the host's C library in the "C" locale, for EOF and
// every byte value: bytes 128..255 are in no class, the classes answer
// exactly 1 or 0, tolower and toupper change only letters.
TEST(Ctype, MatchesTheCLocaleForEofAndEveryByte) {
  struct Fn {
    const char* name;
    int (*host)(int);
    bool is_class;
  };
  const Fn fns[] = {{"isalnum", isalnum, true},  {"isalpha", isalpha, true}, {"isblank", isblank, true},
                    {"iscntrl", iscntrl, true},  {"isdigit", isdigit, true}, {"isgraph", isgraph, true},
                    {"islower", islower, true},  {"isprint", isprint, true}, {"ispunct", ispunct, true},
                    {"isspace", isspace, true},  {"isupper", isupper, true}, {"isxdigit", isxdigit, true},
                    {"tolower", tolower, false}, {"toupper", toupper, false}};
  LibCore lib;
  for (const Fn& f : fns) {
    int wrong = 0;
    for (int c = -1; c <= 255 && wrong < 3; ++c) {
      const int32_t got = static_cast<int32_t>(lib.call(f.name, {static_cast<uint32_t>(c)}));
      const int want = f.is_class ? f.host(c) != 0 : f.host(c);
      if (got != want) ++wrong, ADD_FAILURE() << f.name << "(" << c << ") gave " << got << ", want " << want;
    }
  }
}

}  // namespace
}  // namespace r3k::test
