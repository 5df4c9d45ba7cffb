// snprintf and vsnprintf of the MIPS build, on r3krun: the engine's edge
// cases, and the bounded buffer at every size around the text's length.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>

#include "support/libcore.h"
#include "support/printf_model.h"

namespace r3k::test {
namespace {

using namespace std::string_literals;

// The model on host-side arguments: strings stand behind made-up words.
PrintfModel model_of(const std::string& fmt, const std::vector<Arg>& args) {
  std::vector<uint32_t> words;
  std::map<uint32_t, std::string> strings;
  for (const Arg& a : args) {
    words.push_back(a.str ? 0x1000u + static_cast<uint32_t>(words.size()) : a.word);
    if (a.str) strings[words.back()] = *a.str;
  }
  return PrintfModel::run(fmt, words, [&](uint32_t w) -> std::optional<std::string> {
    if (auto it = strings.find(w); it != strings.end()) return it->second;
    return std::nullopt;
  });
}

struct Case {
  std::string fmt;
  std::vector<Arg> args;
  std::string want;
};

const Case kCases[] = {
    {"%d", {42}, "42"},
    {"%5d", {42}, "   42"},
    {"%-5d", {42}, "42   "},
    {"%05d", {42}, "00042"},
    {"%-05d", {42}, "42000"},
    {"%0-5d", {7}, "70000"},
    {"%05d", {-42}, "-0042"},
    {"%5d", {-42}, "  -42"},
    {"%d", {INT_MIN}, "-2147483648"},
    {"%12d", {INT_MIN}, " -2147483648"},
    {"%012d", {INT_MIN}, "-02147483648"},
    {"%10d", {INT_MIN}, "-2147483648"},
    {"%d", {-1}, "-1"},
    {"%u", {0xffffffffu}, "4294967295"},
    {"%u", {INT_MIN}, "2147483648"},
    {"%x", {255}, "ff"},
    {"%x", {171}, "ab"},
    {"%x", {0xffffffffu}, "ffffffff"},
    {"%#x", {255}, "0xff"},
    {"%#5x", {255}, " 0xff"},
    {"%#05x", {255}, "0x0ff"},
    {"%-#6x", {255}, "0xff  "},
    {"%0#8x", {255}, "0x0000ff"},
    {"%-0#8x", {255}, "0xff0000"},
    {"%#x", {0}, "0x0"},
    {"%#o", {8}, "010"},
    {"%#o", {0}, "00"},
    {"%o", {0}, "0"},
    {"%o", {0xffffffffu}, "37777777777"},  // fills the 11-digit area
    {"%#o", {0xffffffffu}, "037777777777"},
    {"%#-8o", {8}, "010     "},
    {"%#d", {5}, "5"},
    {"%#u", {5}, "5"},
    {"%p", {0}, "0x0"},
    {"%p", {4660}, "0x1234"},
    {"%07p", {4660}, "0x01234"},
    {"%p", {0xffffffffu}, "0xffffffff"},
    {"%s", {nullptr}, "(null)"},
    {"%10s", {nullptr}, "    (null)"},
    {"%05s", {"ab"}, "000ab"},
    {"%-05s", {"ab"}, "ab000"},
    {"%s", {"100%d\xe9"}, "100%d\xe9"},  // argument text is not a format
    {"%s", {""}, ""},
    {"%c", {65}, "A"},
    {"%c", {0x141}, "A"},  // low 8 bits only
    {"%c", {0xe9}, "\xe9"},
    {"a%cb", {0}, "ab"},
    {"a%cb", {0x100}, "ab"},
    {"%3c", {0}, "   "},
    {"%-5c", {'x'}, "x    "},
    {"%050d", {7}, std::string(49, '0') + "7"},
    {"%00d", {7}, "7"},
    {"%5-3d", {1}, "1" + std::string(52, ' ')},   // width 53, digits span the '-'
    {"%10-0d", {1}, "1" + std::string(99, ' ')},  // '0' after a digit is a digit
    {"%ld %lld %qd", {1, 2, 3}, "1 2 3"},
    {"%lld%s%lx", {1, "ab", 255}, "1abff"},
    {"%lq-l#lx", {255}, "0xff"},
    {"%lq-l6#lx", {255}, "0xff  "},
    {"%2d", {12345}, "12345"},
    {"abc%", {}, "abc"},
    {"abc%5", {}, "abc"},
    {"abc%#-0ll12", {}, "abc"},
    {"%%", {}, "%"},
    {"100%%", {}, "100%"},
    {"%5%", {}, "    %"},
    {"%-3%|", {}, "%  |"},
    {"%05%", {}, "0000%"},
    {"% d", {}, " d"},
    {"%X%i%f%n%h%*%.", {}, "Xifnh*."},
    {"\xe9\x80\xff", {}, "\xe9\x80\xff"},
    {"%\x80"
     "d",
     {},
     "\x80"
     "d"},
    {"%5\xff", {}, "    \xff"},
    {"%d%\xe9%s", {3, "z"}, "3\xe9z"},  // the stray takes no argument
    {"\x01\x7f\t\n", {}, "\x01\x7f\t\n"},
};

TEST(Snprintf, DescribedEdgeCases) {
  LibCore lib;
  const uint32_t buf = lib.bytes(std::string(600, '\xaa'));
  for (const auto& c : kCases) {
    SCOPED_TRACE("format " + testing::PrintToString(c.fmt));
    auto words = lib.words_of(c.args);
    words.insert(words.begin(), {buf, 600, lib.str(c.fmt)});
    auto n = static_cast<int32_t>(lib.call("snprintf", words));
    EXPECT_EQ(lib.machine().read_string(buf), c.want);
    EXPECT_EQ(n, static_cast<int32_t>(c.want.size()));
    // The sweep's oracle must agree with the description too.
    PrintfModel m = model_of(c.fmt, c.args);
    EXPECT_EQ(m.text(), c.want);
    EXPECT_EQ(m.emitted, n);
  }
}

// Every size from 0 to past the length: the return value is always the
// full length; size-1 bytes at most are stored, then a NUL, and nothing
// beyond it (nor anything at all for size 0) is touched.
TEST(Snprintf, EverySizeAroundTheLength) {
  const Case cases[] = {
      {"hello", {}, "hello"},
      {"%5d|%s|%c", {-42, "ab", 0}, "  -42|ab|"},
      {"%#6x%-3s", {10, nullptr}, "   0xa(null)"},
      {"%-4c%", {'\xe9'}, "\xe9   "},
  };
  constexpr uint32_t kSlack = 16;
  LibCore lib;
  for (const auto& c : cases) {
    auto args = lib.words_of(c.args);
    const auto len = static_cast<uint32_t>(c.want.size());
    const std::string canary(len + kSlack, '\xaa');
    for (uint32_t size : {0u, 1u, 2u, len - 1, len, len + 1, len + 2, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
      SCOPED_TRACE(testing::PrintToString(c.fmt) + " size " + std::to_string(size));
      const uint32_t buf = lib.bytes(canary);
      auto words = args;
      words.insert(words.begin(), {buf, size, lib.str(c.fmt)});
      EXPECT_EQ(lib.call("snprintf", words), len);
      std::string want = canary;
      if (size > 0) {
        uint32_t kept = std::min(size - 1, len);
        want.replace(0, kept + 1, c.want.substr(0, kept) + '\0');
      }
      EXPECT_EQ(lib.read(buf, len + kSlack), want);
    }
  }
}

TEST(Snprintf, SizeZeroNeverTouchesTheBuffer) {
  LibCore lib;
  // Page zero is unmapped: any store through the null buffer faults.
  auto r = lib.machine().call("snprintf", {0, 0, lib.str("%s=%d"), lib.str("x"), 5});
  ASSERT_TRUE(r.returned) << (r.fault ? r.fault->describe() : "exited");
  EXPECT_EQ(r.v0, 3u);
}

// vsnprintf takes an already started argument list: on o32 a pointer to
// the argument words, one word per conversion.
TEST(Vsnprintf, TakesOneWordPerConversionFromTheList) {
  const Case cases[] = {
      {"%ld|%lld|%qd|%s|%c", {1, 2, 3, "four", '5'}, "1|2|3|four|5"},
      {"%d%%%5%%x", {-7, 0xbeef}, "-7%    %beef"},
      {"%llu %llx", {0xffffffffu, 0x10}, "4294967295 10"},
  };
  LibCore lib;
  const uint32_t buf = lib.bytes(std::string(64, '\xaa'));
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.fmt));
    uint32_t ap = lib.words(lib.words_of(c.args));
    EXPECT_EQ(lib.call("vsnprintf", {buf, 64, lib.str(c.fmt), ap}), c.want.size());
    EXPECT_EQ(lib.machine().read_string(buf), c.want);
    EXPECT_EQ(lib.call("vsnprintf", {buf, 4, lib.str(c.fmt), ap}), c.want.size());
    EXPECT_EQ(lib.machine().read_string(buf), c.want.substr(0, 3));
  }
}

}  // namespace
}  // namespace r3k::test
