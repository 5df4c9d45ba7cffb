// r3krun against qemu-mips (qemu-user) on one CPU-bound MIPS-I loop: the
// object built from bench/target/loop.c, linked once as a program of this
// library (run here, in-process, through r3k::Machine) and once with a bare
// Linux start-up (run by qemu-mips as a child process).  Both must print
// the same checksum.  Each side runs several times, interleaved, and the
// best time counts.  The ratio r3krun / qemu-mips of CPU time (qemu-mips's
// as the kernel accounts it to the child, all threads) is held against the
// goal of 1 (no slower than qemu-mips): other work on a shared machine
// inflates CPU time far less than wall time.  The wall-time ratio is printed too.  --no-jit interprets
// every instruction.
//
//   loop_bench [--runs N] [--no-jit] [R3K_PROGRAM LINUX_PROGRAM [QEMU]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "child.h"
#include "r3k/machine.h"

namespace {

constexpr double kGoalRatio = 1.0;

double wall_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 0, cpu = 0;
  std::string output;
  uint64_t insns = 0;
};

Timing run_r3k(const std::string& path, const r3k::Options& base) {
  Timing t;
  double w0 = wall_now(), c0 = cpu_now();
  r3k::Machine m(base);
  m.load_file(path, {"loop_r3k"});
  r3k::RunResult r = m.run();
  t.wall = wall_now() - w0;
  t.cpu = cpu_now() - c0;
  if (r.exit_code != 0) throw std::runtime_error("r3krun: exit " + std::to_string(r.exit_code) + " " + r.message);
  t.output = m.output(1);
  t.insns = m.total_insns();
  return t;
}

Timing run_qemu(const std::string& qemu, const std::string& path) {
  const bench::ChildRun c = bench::run_child({qemu, path});
  if (c.status != 0) throw std::runtime_error("qemu-mips: the program did not exit with 0");
  Timing t;
  t.wall = c.wall;
  t.cpu = c.cpu;
  t.output = c.output;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  r3k::Options options;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-jit") {
      options.jit.enabled = false;
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: loop_bench [--runs N] [--no-jit] [R3K_PROGRAM LINUX_PROGRAM [QEMU]]\n");
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  const std::string ours = paths.size() > 0 ? paths[0] : R3K_LOOP_DIR "/loop_r3k";
  const std::string linux_prog = paths.size() > 1 ? paths[1] : R3K_LOOP_DIR "/loop_linux";
  const std::string qemu = paths.size() > 2 ? paths[2] : R3K_QEMU_MIPS;
  if (qemu.empty()) {
    std::fprintf(stderr, "loop_bench: qemu-mips not found (package qemu-user)\n");
    return 1;
  }
  try {
    Timing best_r3k, best_qemu;
    best_r3k.wall = best_qemu.wall = 1e30;
    best_r3k.cpu = best_qemu.cpu = 1e30;
    for (int k = 0; k < runs; ++k) {
      Timing a = run_r3k(ours, options);
      Timing b = run_qemu(qemu, linux_prog);
      if (a.output != b.output || a.output.size() != 9)
        throw std::runtime_error("the two runs disagree: r3krun printed \"" + a.output.substr(0, 8) +
                                 "\", qemu-mips \"" + b.output.substr(0, 8) + "\"");
      best_r3k.output = a.output;
      best_r3k.insns = a.insns;
      best_r3k.wall = std::min(best_r3k.wall, a.wall);
      best_r3k.cpu = std::min(best_r3k.cpu, a.cpu);
      best_qemu.wall = std::min(best_qemu.wall, b.wall);
      best_qemu.cpu = std::min(best_qemu.cpu, b.cpu);
    }
    const double ratio = best_r3k.cpu / best_qemu.cpu;
    const double wall_ratio = best_r3k.wall / best_qemu.wall;
    std::printf("loop: %llu guest instructions, checksum %s", static_cast<unsigned long long>(best_r3k.insns),
                best_r3k.output.c_str());
    std::printf("best of %d runs             wall s    cpu s\n", runs);
    std::printf("  r3krun (%s) %7.3f  %7.3f   %7.1f M guest insns per CPU second\n",
                options.jit.enabled ? "generated code" : "interpreted   ", best_r3k.wall, best_r3k.cpu,
                double(best_r3k.insns) / best_r3k.cpu / 1e6);
    std::printf("  qemu-mips                 %7.3f  %7.3f   %7.1f M guest insns per CPU second\n", best_qemu.wall,
                best_qemu.cpu, double(best_r3k.insns) / best_qemu.cpu / 1e6);
    std::printf("ratio r3krun / qemu-mips: %.2f in CPU time (goal: at most %.0f: %s), %.2f in wall time\n", ratio,
                kGoalRatio, ratio <= kGoalRatio ? "met" : "MISSED", wall_ratio);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "loop_bench: %s\n", e.what());
    return 1;
  }
}
