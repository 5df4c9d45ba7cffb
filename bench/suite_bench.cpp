// r3krun against qemu-mips (qemu-user) on the suite of bench/suite/:
// programs shaped like real ones (sorting through callbacks, a list and
// tree library, a parser, hash tables, a lexer's state machine, codecs,
// matrix code, AES, a regex engine, 64-bit and soft-float arithmetic, C++
// templates and virtual calls).  Each is one object linked twice (this
// library for the r3krun binary, a bare Linux start-up for qemu-mips), so
// both machines run the same instructions; both must print the same line.
// Each side runs several times, the two alternating, and the best CPU
// time (user and system, as the kernel accounts it to the child) counts.
// One table: per program both times and the ratio r3krun / qemu-mips, then
// the geometric mean of the ratios and the worst, the mean held against
// the goal of 1 (no slower than qemu-mips).  Without qemu-mips, r3krun is
// measured alone.
//
//   suite_bench [--runs N] [--no-jit] [--filter NAME]... [SUITE_DIR [R3KRUN [QEMU]]]
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "child.h"

namespace {

constexpr double kGoalRatio = 1.0;

struct Options {
  int runs = 3;
  bool no_jit = false;
  std::vector<std::string> filters;  // substrings; empty: every program
  std::string dir = R3K_SUITE_DIR, r3krun = R3K_RUN_BINARY, qemu = R3K_QEMU_MIPS;
};

bool is_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Every NAME in dir with its twin NAME-linux, in name order.
std::vector<std::string> programs(const Options& o) {
  std::vector<std::string> names;
  DIR* d = opendir(o.dir.c_str());
  if (!d) throw std::runtime_error("cannot read " + o.dir + " (build the default target first)");
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name[0] == '.' || name.ends_with("-linux") || !is_file(o.dir + "/" + name + "-linux")) continue;
    bool wanted = o.filters.empty();
    for (const std::string& f : o.filters) wanted |= name.find(f) != std::string::npos;
    if (wanted) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

struct Row {
  std::string name, output;
  double r3k = 1e30, qemu = 1e30;  // best CPU seconds
};

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }

Row measure(const Options& o, const std::string& name) {
  Row row;
  row.name = name;
  std::vector<std::string> ours{o.r3krun};
  if (o.no_jit) ours.push_back("--no-jit");
  ours.push_back(o.dir + "/" + name);
  for (int k = 0; k < o.runs; ++k) {
    const bench::ChildRun a = bench::run_child(ours);
    if (a.status != 0 || a.output.empty())
      throw std::runtime_error(name + ": r3krun exited with " + std::to_string(a.status) + " after \"" +
                               first_line(a.output) + "\"");
    row.r3k = std::min(row.r3k, a.cpu);
    row.output = a.output;
    if (o.qemu.empty()) continue;
    const bench::ChildRun b = bench::run_child({o.qemu, o.dir + "/" + name + "-linux"});
    if (b.status != 0) throw std::runtime_error(name + ": qemu-mips exited with " + std::to_string(b.status));
    if (b.output != a.output)
      throw std::runtime_error(name + ": the two machines disagree: r3krun printed \"" + first_line(a.output) +
                               "\", qemu-mips \"" + first_line(b.output) + "\"");
    row.qemu = std::min(row.qemu, b.cpu);
  }
  return row;
}

void print_table(const Options& o, const std::vector<Row>& rows) {
  const bool both = !o.qemu.empty();
  std::printf("best CPU seconds of %d runs each; r3krun %s\n", o.runs,
              o.no_jit ? "interpreting (--no-jit)" : "with generated code");
  std::printf("  %-10s %8s %10s %7s   %s\n", "program", "r3krun", "qemu-mips", "ratio", "result");
  double log_sum = 0;
  const Row* worst = nullptr;
  for (const Row& r : rows) {
    const double ratio = r.r3k / r.qemu;
    if (both) {
      std::printf("  %-10s %8.3f %10.3f %7.2f   %s\n", r.name.c_str(), r.r3k, r.qemu, ratio,
                  first_line(r.output).c_str());
      log_sum += std::log(ratio);
      if (!worst || ratio > worst->r3k / worst->qemu) worst = &r;
    } else {
      std::printf("  %-10s %8.3f %10s %7s   %s\n", r.name.c_str(), r.r3k, "-", "-", first_line(r.output).c_str());
    }
  }
  if (!both) return;
  const double mean = std::exp(log_sum / double(rows.size()));
  std::printf("geometric mean of %zu ratios r3krun / qemu-mips: %.2f (goal: at most %.0f: %s); worst %.2f (%s)\n",
              rows.size(), mean, kGoalRatio, mean <= kGoalRatio ? "met" : "MISSED", worst->r3k / worst->qemu,
              worst->name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-jit") {
      o.no_jit = true;
    } else if (a == "--filter" && i + 1 < argc) {
      o.filters.push_back(argv[++i]);
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: suite_bench [--runs N] [--no-jit] [--filter NAME]... [SUITE_DIR [R3KRUN [QEMU]]]\n");
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() > 0) o.dir = paths[0];
  if (paths.size() > 1) o.r3krun = paths[1];
  if (paths.size() > 2) o.qemu = paths[2];
  if (o.qemu.empty()) std::fprintf(stderr, "suite_bench: qemu-mips not found (package qemu-user): r3krun alone\n");
  try {
    std::vector<Row> rows;
    for (const std::string& name : programs(o)) rows.push_back(measure(o, name));
    if (rows.empty()) throw std::runtime_error("no program in " + o.dir + " matches");
    print_table(o, rows);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "suite_bench: %s\n", e.what());
    return 1;
  }
}
