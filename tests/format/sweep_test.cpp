// Generated sweep: random formats and arguments, the MIPS build's output
// (through snprintf, vsnprintf or the recording sink) against the model,
// byte for byte, run for run, return value for return value.
//
// R3K_SWEEP_CASES sets the number of cases (default 10000, about a second);
// R3K_SWEEP_SEED the seed (default below).  A longer run, e.g.
//   R3K_SWEEP_CASES=1000000 build/tests/format_tests --gtest_filter='Sweep.*'
// A failure prints the seed, the case number, the format and arguments; the
// same seed and a case count past that number replay it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "support/libcore.h"
#include "support/printf_model.h"
#include "support/random.h"

namespace r3k::test {
namespace {

constexpr uint64_t kDefaultSeed = 0x2026120800000001ull;
constexpr uint32_t kMaxText = 3000;  // longer formatted texts are redrawn
constexpr uint32_t kBufSize = kMaxText + 64;
constexpr int kCasesPerMachine = 4000;  // stays well inside the push area
constexpr int kMaxReported = 5;

char ordinary_byte(Rng& r) {
  if (r.chance(20)) return static_cast<char>(0x80 + r.below(0x80));
  if (r.chance(8)) return static_cast<char>(1 + r.below(0x1f));
  char c;
  do c = static_cast<char>(0x20 + r.below(0x5f));
  while (c == '%');
  return c;
}

// Flags, modifiers and width digits in any order and number; the digits
// accumulate across flags, so at most three of them keep the field short.
std::string directive_body(Rng& r) {
  static const char* const kTokens[] = {"#", "-", "0", "l", "ll", "q", "lq"};
  std::string s;
  size_t digits = 0;
  for (uint32_t n = r.below(5); n > 0; --n) {
    if (r.chance(45) && digits < 3) {
      std::string w = std::to_string(r.chance(85) ? 1 + r.below(12) : 1 + r.below(r.chance(90) ? 99 : 400));
      w.resize(std::min(w.size(), 3 - digits));
      digits += w.size();
      s += w;
    } else {
      std::string t = r.pick(kTokens);
      if (t == "0" && digits > 0 && digits++ >= 3) continue;  // after a digit, a digit
      s += t;
    }
  }
  return s;
}

std::string random_format(Rng& r) {
  static const char kStray[] = {'%', 'X', 'i',    'f',    'n',    'h',    'e', ' ', '*', '.',
                                '+', 'D', '\x80', '\xe9', '\xff', '\x01', 'z', 'L', 'j'};
  std::string f;
  for (uint32_t n = r.below(9); n > 0; --n) {
    if (r.chance(40)) {
      for (uint32_t k = 1 + r.below(4); k > 0; --k) f += ordinary_byte(r);
    } else {
      f += '%' + directive_body(r);
      f += r.chance(75) ? "doupxsc"[r.below(7)] : r.pick(kStray);
    }
  }
  if (r.chance(12)) f += '%' + directive_body(r);  // left open at the end
  return f;
}

uint32_t random_word(Rng& r) {
  static const uint32_t kEdges[] = {0,     1,     0xffffffffu, 0x80000000u, 0x7fffffffu, 7,          8,
                                    10,    16,    255,         256,         4660,        0x41,       0xe9,
                                    0x100, 0x141, 0x7ffffffeu, 0x80000001u, 1000000000u, 0xfffffff6u};
  if (r.chance(55)) return r.pick(kEdges);
  return r.chance(50) ? r.below(1000) : static_cast<uint32_t>(r.next());
}

std::string describe(uint64_t seed, int index, const std::string& fmt, const std::vector<uint32_t>& words,
                     const char* path, uint32_t size) {
  std::ostringstream o;
  o << "seed " << seed << " case " << index << " via " << path << " size " << size << ": format "
    << testing::PrintToString(fmt) << " words";
  for (uint32_t w : words) o << " 0x" << std::hex << w << std::dec;
  return o.str();
}

TEST(Sweep, LibraryMatchesModelOnRandomFormats) {
  const uint64_t seed = env_number("R3K_SWEEP_SEED", kDefaultSeed);
  const int cases = static_cast<int>(env_number("R3K_SWEEP_CASES", 10000));
  std::cout << "sweep: seed " << seed << ", " << cases << " cases" << std::endl;

  std::unique_ptr<LibCore> lib;
  std::map<uint32_t, std::string> strings;
  uint32_t buf = 0;
  std::vector<uint32_t> pool;
  int failures = 0, paths[3] = {};
  bool renew = true;
  for (int i = 0; i < cases && failures < kMaxReported; ++i) {
    if (renew || i % kCasesPerMachine == 0) {
      renew = false;
      lib = std::make_unique<LibCore>();
      buf = lib->bytes(std::string(kBufSize, '\0'));
      strings.clear();
      pool = {0};  // the null pointer
      for (std::string s : {"", "a", "ab", "hello, world", "%d%s%", "\x80\xe9\xff", "(null)",
                            "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz"}) {
        pool.push_back(lib->str(s));
        strings[pool.back()] = s;
      }
    }
    Rng r{seed ^ (0x9e3779b97f4a7c15ull * static_cast<uint64_t>(i + 1))};
    std::string fmt;
    std::vector<uint32_t> words;
    PrintfModel want;
    auto string_at = [&](uint32_t w) -> std::optional<std::string> {
      if (auto it = strings.find(w); it != strings.end()) return it->second;
      return std::nullopt;
    };
    do {
      fmt = random_format(r);
      words.clear();
      for (ArgKind k : PrintfModel::run(fmt).kinds)
        words.push_back(k == ArgKind::String ? pool[r.below(static_cast<uint32_t>(pool.size()))] : random_word(r));
      want = PrintfModel::run(fmt, words, string_at);
    } while (want.emitted > static_cast<int32_t>(kMaxText));

    const auto len = static_cast<uint32_t>(want.emitted);
    const std::string text = want.text();
    const uint32_t fmt_at = lib->str(fmt);
    const uint32_t path = r.below(10) < 6 ? 0 : r.below(2) + 1;
    ++paths[path];

    if (path == 2) {  // the recording sink: the runs themselves
      const uint32_t client = static_cast<uint32_t>(r.next());
      std::vector<uint32_t> args = words;
      args.insert(args.begin(), {client, fmt_at});
      auto res = lib->machine().call("rec_vprintf", args);
      renew = !res.returned;  // a guest that ended takes no more calls
      auto got = lib->recorded();
      bool same = res.returned && static_cast<int32_t>(res.v0) == want.emitted && got.size() == want.runs.size();
      for (size_t k = 0; same && k < got.size(); ++k) same = got[k].text == want.runs[k] && got[k].arg == client;
      if (!same) {
        ++failures;
        std::string got_text;
        for (const auto& g : got) got_text += "[" + g.text + "]";
        std::string want_text;
        for (const auto& w : want.runs) want_text += "[" + w + "]";
        ADD_FAILURE() << describe(seed, i, fmt, words, "__vprintf", 0) << "\n  want " << want.emitted << " "
                      << testing::PrintToString(want_text) << "\n  got  " << static_cast<int32_t>(res.v0) << " "
                      << testing::PrintToString(got_text);
      }
      continue;
    }

    static const uint32_t kHuge[] = {0xffffffffu, 0x80000000u, kBufSize};
    uint32_t size;
    switch (r.below(8)) {
      case 0: size = 0; break;
      case 1: size = 1; break;
      case 2: size = len; break;
      case 3: size = len + 1; break;
      case 4: size = len > 0 ? len - 1 : 2; break;
      case 5: size = r.pick(kHuge); break;
      default: size = r.below(len + 4); break;
    }
    const uint32_t window = std::min(len + 16, kBufSize);
    const char canary = static_cast<char>(0xa5 ^ i);
    std::string expect(window, canary);
    lib->write(buf, expect);
    if (size > 0) {
      uint32_t kept = std::min(size - 1, len);
      expect.replace(0, kept + 1, text.substr(0, kept) + '\0');
    }
    CallResult res;
    if (path == 0) {
      std::vector<uint32_t> args = words;
      args.insert(args.begin(), {buf, size, fmt_at});
      res = lib->machine().call("snprintf", args);
    } else {
      res = lib->machine().call("vsnprintf", {buf, size, fmt_at, words.empty() ? 0 : lib->words(words)});
    }
    renew = !res.returned;
    const std::string got = lib->read(buf, window);
    if (!res.returned || static_cast<int32_t>(res.v0) != want.emitted || got != expect) {
      ++failures;
      ADD_FAILURE() << describe(seed, i, fmt, words, path == 0 ? "snprintf" : "vsnprintf", size)
                    << (res.returned ? "" : "\n  did not return") << "\n  want " << want.emitted << " "
                    << testing::PrintToString(expect) << "\n  got  " << static_cast<int32_t>(res.v0) << " "
                    << testing::PrintToString(got);
    }
  }
  std::cout << "sweep: " << paths[0] << " snprintf, " << paths[1] << " vsnprintf, " << paths[2] << " recorded"
            << std::endl;
}

}  // namespace
}  // namespace r3k::test
