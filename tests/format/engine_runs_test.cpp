// The runs the MIPS build's __vprintf hands its sink, seen by the libcore
// guest's recording sink: one run per ordinary character and per fill
// character, and exactly sign, prefix and body runs per conversion.
#include <gtest/gtest.h>

#include <string>

#include "support/libcore.h"
#include "support/printf_model.h"

namespace r3k::test {
namespace {

using Runs = std::vector<std::string>;

struct Case {
  std::string fmt;
  std::vector<Arg> args;
  Runs runs;
};

const Case kCases[] = {
    {"%#6x", {10}, {" ", " ", " ", "", "0x", "a"}},
    {"", {}, {}},
    {"ab", {}, {"a", "b"}},
    {"%d", {5}, {"", "", "5"}},
    {"%d", {-5}, {"-", "", "5"}},
    {"%-05d", {42}, {"", "", "42", "0", "0", "0"}},
    {"%05d", {-42}, {"-", "", "0", "0", "42"}},
    {"%#05o", {8}, {"", "0", "0", "0", "10"}},
    {"%p", {0}, {"", "0x", "0"}},
    {"%c", {0}, {"", "", ""}},
    {"%3c", {0}, {" ", " ", " ", "", "", ""}},
    {"%s", {nullptr}, {"", "", "(null)"}},
    {"%-3s", {"ab"}, {"", "", "ab", " "}},
    {"%s", {""}, {"", "", ""}},
    {"%5%", {}, {" ", " ", " ", " ", "", "", "%"}},
    {"a%%b", {}, {"a", "", "", "%", "b"}},
    {"\xe9%\xe9", {}, {"\xe9", "", "", "\xe9"}},
    {"x%", {}, {"x"}},
    {"x%-07l", {}, {"x"}},
};

Runs texts(const std::vector<SinkRun>& runs) {
  Runs t;
  for (const auto& r : runs) t.push_back(r.text);
  return t;
}

TEST(EngineRuns, ExactRunsAndCountForEachDirective) {
  LibCore lib;
  for (const auto& c : kCases) {
    SCOPED_TRACE("format " + testing::PrintToString(c.fmt));
    int32_t n = -1;
    auto runs = lib.record(c.fmt, lib.words_of(c.args), &n);
    EXPECT_EQ(texts(runs), c.runs);
    int32_t total = 0;
    for (const auto& r : c.runs) total += static_cast<int32_t>(r.size());
    EXPECT_EQ(n, total);
  }
}

// The sweep compares recorded runs with the model's: check that the
// model's runs are the described ones.
TEST(EngineRuns, ModelGivesTheSameRuns) {
  for (const auto& c : kCases) {
    std::vector<uint32_t> words;
    std::vector<std::optional<std::string>> strings;
    for (const Arg& a : c.args) {
      words.push_back(a.str ? 0x1000u + static_cast<uint32_t>(strings.size()) : a.word);
      strings.push_back(a.str);
    }
    auto m = PrintfModel::run(c.fmt, words, [&](uint32_t w) -> std::optional<std::string> {
      return w >= 0x1000 && w - 0x1000 < strings.size() ? strings[w - 0x1000] : std::nullopt;
    });
    EXPECT_EQ(m.runs, c.runs) << testing::PrintToString(c.fmt);
  }
}

TEST(EngineRuns, ClientDataReachesEverySinkCallUnchanged) {
  LibCore lib;
  for (uint32_t client : {0u, 0xffffffffu, 0x00401234u}) {
    auto runs = lib.record("a%5d", {1}, nullptr, client);
    ASSERT_EQ(runs.size(), 8u);
    for (const auto& r : runs) EXPECT_EQ(r.arg, client);
  }
}

// A width beyond INT_MAX is saturated by this library, never wrapped:
// 4294967306 would wrap to 10 and 2147483648 to a negative width (no
// fill).  The recording sink ends the process at its 64th run, which only
// a huge field reaches; a wrapped one comes back with a few runs.
TEST(EngineRuns, WidthBeyondIntMaxSaturatesInsteadOfWrapping) {
  constexpr uint32_t kStopAfter = 64;
  auto blanks = [](size_t n, std::string c = " ") { return Runs(n, c); };
  auto then = [](Runs head, const Runs& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const Case cases[] = {
      {"%4294967306d", {1}, blanks(kStopAfter)},
      {"%2147483648d", {1}, blanks(kStopAfter)},
      {"%2147483647d", {1}, blanks(kStopAfter)},
      {"%99999999999999999999d", {1}, blanks(kStopAfter)},
      {"%9999999990d", {1}, blanks(kStopAfter)},  // overflow on a '0' digit
      {"%4294967306s", {"ab"}, blanks(kStopAfter)},
      {"%-4294967306d", {1}, then({"", "", "1"}, blanks(kStopAfter - 3))},
      {"%04294967306d", {1}, then({"", ""}, blanks(kStopAfter - 2, "0"))},
      {"x%4294967306%", {}, then({"x"}, blanks(kStopAfter - 1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("format " + c.fmt);
    LibCore lib;
    lib.machine().write32(lib.sym("rec_stop_after"), kStopAfter);
    auto words = lib.words_of(c.args);
    words.insert(words.begin(), {0, lib.str(c.fmt)});
    auto r = lib.machine().call("rec_vprintf", words);
    EXPECT_FALSE(r.returned) << "came back with " << static_cast<int32_t>(r.v0) << " after " << lib.recorded().size()
                             << " runs";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 77);
    EXPECT_EQ(texts(lib.recorded()), c.runs);
  }
}

}  // namespace
}  // namespace r3k::test
