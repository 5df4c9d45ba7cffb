// Kernel-call traces as short text lines, and the lines a correct program
// is expected to produce, so that tests compare whole traces write by
// write and a mismatch shows as a readable diff.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/machine.h"

namespace r3k::test {

// Bytes shown with C escapes, quoted.
inline std::string shown(std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\n') out += "\\n";
    else if (c == '"' || c == '\\') out += {'\\', static_cast<char>(c)};
    else if (c < 0x20 || c >= 0x7f) out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
    else out += static_cast<char>(c);
  }
  return out + "\"";
}

// One line per call: `write(1, "0")`, `write(2, "x") E26` (failed with 26),
// `fork() = 3`, `fork() E4`, `waitpid(3, 0) = 3`, `getpid() = 2`, `_exit(1)`.
// The status address of waitpid is left out: it is a stack address.
inline std::string call_line(const SyscallEvent& e) {
  std::string s;
  if (e.name == "write") {
    s = "write(" + std::to_string(static_cast<int32_t>(e.args[0])) + ", " + shown(e.data) + ")";
    if (!e.failed && e.v0 != static_cast<int32_t>(e.args[2])) s += " = " + std::to_string(e.v0);
  } else if (e.name == "_exit") {
    s = "_exit(" + std::to_string(static_cast<int32_t>(e.args[0])) + ")";
    if (!e.returned) return s;
  } else if (e.name == "waitpid") {
    s = "waitpid(" + std::to_string(static_cast<int32_t>(e.args[0])) + ", " +
        std::to_string(static_cast<int32_t>(e.args[2])) + ")";
  } else {
    s = e.name + "()";
  }
  if (e.failed) return s + " E" + std::to_string(e.v0);
  if (e.name != "write") s += " = " + std::to_string(e.v0);
  return s;
}

// Runs of equal lines fold into one `line x N`, so that 800 checks read
// as one line and a wrong count shows as a different number.
inline std::vector<std::string> folded(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size();) {
    size_t j = i;
    while (j < lines.size() && lines[j] == lines[i]) ++j;
    out.push_back(j - i == 1 ? lines[i] : lines[i] + " x" + std::to_string(j - i));
    i = j;
  }
  return out;
}

// The calls of one process (or of all, prefixed with their pid), folded.
inline std::vector<std::string> trace_of(const Machine& m, std::optional<uint32_t> pid) {
  std::vector<std::string> lines;
  for (const SyscallEvent& e : m.events()) {
    if (pid && e.pid != *pid) continue;
    lines.push_back(pid ? call_line(e) : "[" + std::to_string(e.pid) + "] " + call_line(e));
  }
  return folded(lines);
}

// The sink runs the formatting engine produces for a message: one run per
// ordinary character; for %d a sign run, an empty prefix run and the digits.
struct Runs {
  std::vector<std::string> runs;
  Runs() = default;
  Runs(const char* text) : Runs(std::string_view(text)) {}
  Runs(std::string_view text) {
    for (char c : text) runs.emplace_back(1, c);
  }
  // Runs given one by one, for fields with fill.
  static Runs of(std::vector<std::string> runs) {
    Runs r;
    r.runs = std::move(runs);
    return r;
  }
  static Runs dec(int32_t v) {
    Runs r;
    const int64_t w = v;
    r.runs = {w < 0 ? "-" : "", "", std::to_string(w < 0 ? -w : w)};
    return r;
  }
  friend Runs operator+(Runs a, const Runs& b) {
    a.runs.insert(a.runs.end(), b.runs.begin(), b.runs.end());
    return a;
  }
};

// What a correct process is expected to do, call by call, in the same form
// as call_line().
class Calls {
 public:
  Calls& line(std::string s, size_t times = 1) {
    lines_.insert(lines_.end(), times, std::move(s));
    return *this;
  }
  Calls& write(int fd, std::string_view data, int err = 0) {
    return line("write(" + std::to_string(fd) + ", " + shown(data) + ")" + (err ? " E" + std::to_string(err) : ""));
  }
  // printf/putchar: one one-byte write on descriptor 1 per byte.
  Calls& out(std::string_view text, int err = 0) {
    for (char c : text) write(1, std::string_view(&c, 1), err);
    return *this;
  }
  // One err/warn report: name, ": ", every engine run (empty ones too),
  // for the error-text forms ": " and the text, then "\n".  err != 0: every
  // write fails with it.
  Calls& report(std::string_view name, const Runs& msg, std::optional<std::string_view> errtext = std::nullopt,
                int err = 0) {
    write(2, name, err);
    write(2, ": ", err);
    for (const std::string& r : msg.runs) write(2, r, err);
    if (errtext) {
      write(2, ": ", err);
      write(2, *errtext, err);
    }
    return write(2, "\n", err);
  }
  Calls& exit(int32_t status) { return line("_exit(" + std::to_string(status) + ")"); }
  std::vector<std::string> folded() const { return test::folded(lines_); }

 private:
  std::vector<std::string> lines_;
};

// The bytes a report puts on descriptor 2.
inline std::string report_text(std::string_view name, std::string_view msg,
                               std::optional<std::string_view> errtext = std::nullopt) {
  std::string s = std::string(name) + ": " + std::string(msg);
  if (errtext) s += ": " + std::string(*errtext);
  return s + "\n";
}

// Call rules as --fail and --result take them; a test's typo throws.
inline CallRule rule(const std::string& text, bool is_error) {
  std::string why;
  auto r = parse_call_rule(text, is_error, &why);
  if (!r) throw std::invalid_argument(text + ": " + why);
  return *r;
}
inline CallRule fail(const std::string& text) { return rule(text, true); }
inline CallRule answer(const std::string& text) { return rule(text, false); }
// Machine options with these calls failing and these answered.
inline Options with_rules(std::vector<CallRule> fail_rules, std::vector<CallRule> result_rules = {}) {
  Options o;
  o.fail = std::move(fail_rules);
  o.result = std::move(result_rules);
  return o;
}

}  // namespace r3k::test
