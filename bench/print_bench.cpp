// r3krun against qemu-mips (qemu-user) on bulk console output: one C
// source (bench/target/print.c, 20,000 lines through printf) built with
// this library and run by the r3krun binary, and built with the cross C
// library and run by qemu-mips.  Both write into a pipe; their outputs
// must be the same bytes.  Each side runs several times, interleaved, and
// the best time counts; the ratio of CPU times is held against the goal of
// 1.5 (the wall-time ratio is printed beside it).  This library's printf
// makes one write per byte, so the run measures how r3krun passes many
// small writes on to the host.
//
//   print_bench [--runs N] [--no-jit] [R3KRUN R3K_PROGRAM GLIBC_PROGRAM [QEMU]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child.h"

namespace {

constexpr double kGoalRatio = 1.5;

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  bool no_jit = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-jit") {
      no_jit = true;
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: print_bench [--runs N] [--no-jit] [R3KRUN R3K_PROGRAM GLIBC_PROGRAM [QEMU]]\n");
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  const std::string r3krun = paths.size() > 0 ? paths[0] : R3K_RUN_BINARY;
  const std::string ours = paths.size() > 1 ? paths[1] : R3K_BENCH_DIR "/print_r3k";
  const std::string theirs = paths.size() > 2 ? paths[2] : R3K_PRINT_GLIBC;
  const std::string qemu = paths.size() > 3 ? paths[3] : R3K_QEMU_MIPS;
  if (qemu.empty() || theirs.empty()) {
    std::fprintf(stderr, "print_bench: needs qemu-mips (qemu-user) and the cross C library (libc6-dev-mips-cross)\n");
    return 1;
  }
  try {
    bench::ChildRun best_r3k, best_qemu;
    best_r3k.wall = best_qemu.wall = best_r3k.cpu = best_qemu.cpu = 1e30;
    size_t bytes = 0;
    for (int k = 0; k < runs; ++k) {
      std::vector<std::string> r3k_args{r3krun};
      if (no_jit) r3k_args.push_back("--no-jit");
      r3k_args.push_back(ours);
      const bench::ChildRun a = bench::run_child(r3k_args);
      const bench::ChildRun b = bench::run_child({qemu, theirs});
      if (a.status != 0 || b.status != 0)
        throw std::runtime_error("exit statuses " + std::to_string(a.status) + " (r3krun) and " +
                                 std::to_string(b.status) + " (qemu-mips), expected 0");
      if (a.output != b.output || a.output.empty())
        throw std::runtime_error("the two runs printed different bytes (" + std::to_string(a.output.size()) + " and " +
                                 std::to_string(b.output.size()) + ")");
      bytes = a.output.size();
      best_r3k.wall = std::min(best_r3k.wall, a.wall);
      best_r3k.cpu = std::min(best_r3k.cpu, a.cpu);
      best_qemu.wall = std::min(best_qemu.wall, b.wall);
      best_qemu.cpu = std::min(best_qemu.cpu, b.cpu);
    }
    const double ratio = best_r3k.cpu / best_qemu.cpu;
    std::printf("print: %zu bytes in 20000 lines, one guest write per byte on r3krun\n", bytes);
    std::printf("best of %d runs             wall s    cpu s\n", runs);
    std::printf("  r3krun (%s) %7.3f  %7.3f\n", no_jit ? "interpreted   " : "generated code", best_r3k.wall,
                best_r3k.cpu);
    std::printf("  qemu-mips                 %7.3f  %7.3f\n", best_qemu.wall, best_qemu.cpu);
    std::printf("ratio r3krun / qemu-mips: %.2f in CPU time (goal: at most %.1f: %s), %.2f in wall time\n", ratio,
                kGoalRatio, ratio <= kGoalRatio ? "met" : "MISSED", best_r3k.wall / best_qemu.wall);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "print_bench: %s\n", e.what());
    return 1;
  }
}
