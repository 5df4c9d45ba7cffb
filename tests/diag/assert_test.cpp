// __bad_assert of the MIPS build through a guest call: the message, one
// write of it on descriptor 2, then the end with status 255.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/libcore.h"

namespace r3k::test {
namespace {

std::string message(const std::string& file, int32_t line, const std::string& expr) {
  return "Assertion failed: " + expr + " (" + file + " line " + std::to_string(line) + ")\n";
}

struct Case {
  std::string file;
  int32_t line;
  std::string expr;
};

// "Assertion failed: " + " (m line 1)\n" is 30 bytes, so an expression of
// 225 makes a 255-byte message: the longest that keeps its newline.
const Case kCases[] = {
    {"__printf", 198, "ch>'0' && ch<='9'"},
    {"f", -5, "x"},
    {"f", INT_MIN, ""},
    {"%d%s", 0, "%s %x"},  // arguments are text, never formats
    {"m", 1, std::string(224, 'e')},
    {"m", 1, std::string(225, 'e')},
    {"m", 1, std::string(226, 'e')},
    {"m", 1, std::string(227, '\xe9')},
    {"m", 1, std::string(600, 'e')},
};

TEST(BadAssert, OneWriteOfTheMessageCutAt255ThenStatus255) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file + " " + std::to_string(c.line) + " expr of " + std::to_string(c.expr.size()));
    const std::string full = message(c.file, c.line, c.expr);
    const std::string want = full.substr(0, 255);
    LibCore lib;
    uint32_t file = lib.str(c.file), expr = lib.str(c.expr);
    auto r = lib.machine().call("__bad_assert", {file, static_cast<uint32_t>(c.line), expr});
    EXPECT_FALSE(r.returned);
    EXPECT_FALSE(r.fault.has_value()) << r.fault->describe();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 255);

    const auto& ev = lib.machine().events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].name, "write");
    EXPECT_EQ(ev[0].args[0], 2u);
    EXPECT_EQ(ev[0].args[2], want.size());
    EXPECT_EQ(ev[0].data, want);
    EXPECT_EQ(ev[1].name, "_exit");
    EXPECT_EQ(ev[1].args[0], 255u);
    EXPECT_EQ(lib.machine().output(2), want);
    EXPECT_EQ(lib.machine().output(1), "");
  }
}

}  // namespace
}  // namespace r3k::test
