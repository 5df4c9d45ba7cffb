// r3krun against qemu-mips (qemu-user) on file and pipe throughput: one C
// source (bench/target/files.c) built with this library and run by the
// r3krun binary, and built with the cross C library and run by qemu-mips.
//   copy: a 64 MiB file copied through 4 KiB reads and writes, inside a
//         temporary directory (r3krun's --root; qemu-mips by host path);
//         both copies must equal the original, and both runs print the
//         same line.
//   pipe: a child writes 64 MiB into a pipe in 4 KiB writes, its parent
//         reads it to the end; both runs print the same line.
// Each side runs several times, interleaved, and the best CPU time (user
// and system, as the kernel accounts it to the child) counts; the ratio
// is held against the goal of 1.5.
//
//   files_bench [--runs N] [--no-jit] [--mib N] [R3KRUN R3K_PROGRAM GLIBC_PROGRAM [QEMU]]
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "child.h"

namespace {

namespace stdfs = std::filesystem;
constexpr double kGoalRatio = 1.5;

struct Setup {
  int runs = 5;
  bool no_jit = false;
  int mib = 64;
  std::string r3krun = R3K_RUN_BINARY, ours = R3K_BENCH_DIR "/files_r3k", theirs = R3K_FILES_GLIBC,
              qemu = R3K_QEMU_MIPS;
};

Setup parse(int argc, char** argv) {
  Setup s;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) s.runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--mib" && i + 1 < argc) s.mib = std::max(1, std::atoi(argv[++i]));
    else if (a == "--no-jit") s.no_jit = true;
    else if (a.rfind("--", 0) == 0)
      throw std::invalid_argument(
          "usage: files_bench [--runs N] [--no-jit] [--mib N] [R3KRUN R3K_PROGRAM GLIBC_PROGRAM [QEMU]]");
    else paths.push_back(a);
  }
  std::string* slots[] = {&s.r3krun, &s.ours, &s.theirs, &s.qemu};
  for (size_t i = 0; i < paths.size() && i < 4; ++i) *slots[i] = paths[i];
  return s;
}

std::string contents(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A temporary directory holding the file to copy, removed at the end.
struct Scratch {
  stdfs::path dir;
  explicit Scratch(int mib) {
    std::string tmpl = (stdfs::temp_directory_path() / "r3k-files-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    std::string data(size_t(mib) << 20, '\0');
    uint32_t x = 2463534242u;
    for (char& c : data) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    std::ofstream(dir / "in", std::ios::binary) << data;
  }
  ~Scratch() {
    std::error_code ignored;
    stdfs::remove_all(dir, ignored);
  }
};

struct Best {
  double wall = 1e30, cpu = 1e30;
  void take(const bench::ChildRun& r) {
    wall = std::min(wall, r.wall);
    cpu = std::min(cpu, r.cpu);
  }
};

bench::ChildRun checked(const std::vector<std::string>& args, const char* who) {
  bench::ChildRun r = bench::run_child(args);
  if (r.status != 0) throw std::runtime_error(std::string(who) + " exited with " + std::to_string(r.status));
  return r;
}

void report(const char* what, const std::string& line, int runs, bool no_jit, const Best& a, const Best& b) {
  const double ratio = a.cpu / b.cpu;
  std::printf("%s: %s", what, line.c_str());
  std::printf("best of %d runs             wall s    cpu s\n", runs);
  std::printf("  r3krun (%s) %7.3f  %7.3f\n", no_jit ? "interpreted   " : "generated code", a.wall, a.cpu);
  std::printf("  qemu-mips                 %7.3f  %7.3f\n", b.wall, b.cpu);
  std::printf("ratio r3krun / qemu-mips: %.2f in CPU time (goal: at most %.1f: %s), %.2f in wall time\n\n", ratio,
              kGoalRatio, ratio <= kGoalRatio ? "met" : "MISSED", a.wall / b.wall);
}

void copy_bench(const Setup& s) {
  Scratch scratch(s.mib);
  const std::string original = contents(scratch.dir / "in");
  Best a, b;
  std::string line;
  for (int k = 0; k < s.runs; ++k) {
    std::vector<std::string> args{s.r3krun, "--root", scratch.dir.string()};
    if (s.no_jit) args.push_back("--no-jit");
    args.insert(args.end(), {s.ours, "copy", "/in", "/out-r3k"});
    const bench::ChildRun x = checked(args, "r3krun");
    const bench::ChildRun y = checked(
        {s.qemu, s.theirs, "copy", (scratch.dir / "in").string(), (scratch.dir / "out-qemu").string()}, "qemu-mips");
    if (x.output != y.output || x.output.empty())
      throw std::runtime_error("copy: the runs printed different lines: " + x.output + " / " + y.output);
    for (const char* out : {"out-r3k", "out-qemu"}) {
      if (contents(scratch.dir / out) != original) throw std::runtime_error(std::string("copy: ") + out + " differs");
      stdfs::remove(scratch.dir / out);
    }
    line = x.output;
    a.take(x);
    b.take(y);
  }
  report("copy", line, s.runs, s.no_jit, a, b);
}

void pipe_bench(const Setup& s) {
  Best a, b;
  std::string line;
  const std::string mib = std::to_string(s.mib);
  for (int k = 0; k < s.runs; ++k) {
    std::vector<std::string> args{s.r3krun};
    if (s.no_jit) args.push_back("--no-jit");
    args.insert(args.end(), {s.ours, "pipe", mib});
    const bench::ChildRun x = checked(args, "r3krun");
    const bench::ChildRun y = checked({s.qemu, s.theirs, "pipe", mib}, "qemu-mips");
    if (x.output != y.output || x.output.empty())
      throw std::runtime_error("pipe: the runs printed different lines: " + x.output + " / " + y.output);
    line = x.output;
    a.take(x);
    b.take(y);
  }
  report("pipe", line, s.runs, s.no_jit, a, b);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Setup s = parse(argc, argv);
    if (s.qemu.empty() || s.theirs.empty()) {
      std::fprintf(stderr, "files_bench: needs qemu-mips (qemu-user) and the cross C library (libc6-dev-mips-cross)\n");
      return 1;
    }
    copy_bench(s);
    pipe_bench(s);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "files_bench: %s\n", e.what());
    return 1;
  }
}
