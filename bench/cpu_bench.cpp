// Guest speed of the bare CPU: hand-encoded MIPS-I loops, each run to its
// closing syscall, reported as millions of guest instructions per second
// (process CPU time, best of several runs, so that a busy machine disturbs
// it less).  "syscall" leaves the CPU at every iteration, as a guest
// printing byte by byte did before kernel calls were served in place, and
// resumes it at once; "hooked" runs the same loop with a syscall hook that
// serves each call where it stands, as the kernel does for write.
// --no-jit interprets every instruction.
//   cpu_bench [--no-jit] [iterations [runs [loop]]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "support/mips_encode.h"

using namespace enc;

namespace {

// Process CPU time: other work on a shared machine inflates it less than
// wall time.
double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

constexpr uint32_t kData = 0x10000000;

struct Loop {
  const char* name;
  std::vector<uint32_t> code;  // t1 = iterations on entry, ends in syscall
  uint32_t divisor = 1;        // of the iteration count
  bool hooked = false;         // syscalls in the loop are served in place
};

// A stand-in kernel call: answers as getpid does.
bool serve(void* calls, uint32_t* gpr) {
  ++*static_cast<uint64_t*>(calls);
  gpr[a3] = 0;
  gpr[v0] = 2;
  gpr[v1] = 0;
  return true;
}

std::vector<uint32_t> syscall_loop() {
  return {
      addiu(t0, zero, 0), addiu(t0, t0, 1),  // loop:
      syscall(),          bne(t0, t1, -3),  nop(), break_(),
  };
}

std::vector<Loop> loops() {
  return {
      {"alu",
       {
           addiu(t0, zero, 0),
           addiu(t0, t0, 1),  // loop:
           addu(t2, t2, t0),
           xor_(t3, t2, t0),
           bne(t0, t1, -4),
           sll(t4, t3, 1),
           syscall(),
       }},
      {"memory",
       {
           lui(a0, kData >> 16),
           addiu(t0, zero, 0),
           lw(t2, 0, a0),  // loop:
           addiu(t0, t0, 1),
           addu(t2, t2, t0),
           sw(t2, 0, a0),
           lbu(t3, 5, a0),
           bne(t0, t1, -6),
           sb(t3, 6, a0),
           syscall(),
       }},
      {"call",
       {
           addiu(t0, zero, 0),
           jal(kCode + 4 * 6),  // loop:
           addiu(t0, t0, 1),
           bne(t0, t1, -3),
           nop(),
           syscall(),
           addu(v0, v0, t0),  // function
           jr(ra),
           addiu(v1, v1, 1),
       }},
      {"syscall", syscall_loop(), 10},
      {"hooked", syscall_loop(), 10, true},
  };
}

}  // namespace

int main(int argc, char** argv) {
  r3k::JitConfig jit;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--no-jit") {
    jit.enabled = false;
    args.erase(args.begin());
  }
  uint32_t iterations = args.size() > 0 ? uint32_t(std::strtoul(args[0].c_str(), nullptr, 0)) : 50'000'000;
  int runs = args.size() > 1 ? std::atoi(args[1].c_str()) : 5;
  for (const Loop& loop : loops()) {
    if (args.size() > 2 && args[2] != loop.name) continue;
    double best = 1e30;
    uint64_t executed = 0;
    for (int run = 0; run < runs; ++run) {
      r3k::AddressSpace space;
      space.map(kCode, 0x1000, r3k::kProtRead | r3k::kProtExec);
      space.map(kData, 0x1000, r3k::kProtRead | r3k::kProtWrite);
      for (size_t i = 0; i < loop.code.size(); ++i)
        space.poke(kCode + 4 * uint32_t(i), be_bytes(loop.code[i]).data(), 4);
      r3k::Cpu cpu(&space);
      cpu.set_jit(jit);
      uint64_t calls = 0;
      if (loop.hooked) cpu.set_syscall_hook(r3k::SyscallHook{&serve, &calls});
      cpu.state().pc = kCode;
      cpu.state().gpr[t1] = iterations / loop.divisor;
      auto start = cpu_now();
      executed = 0;
      r3k::Stop stop;
      const bool syscalls = loop.divisor > 1;
      do {  // slices like the scheduler's quantum
        stop = cpu.run(1'000'000);
        executed += stop.executed;
      } while (stop.reason == r3k::StopReason::Budget || (syscalls && stop.reason == r3k::StopReason::Syscall));
      double secs = cpu_now() - start;
      const auto want = syscalls ? r3k::StopReason::Fault : r3k::StopReason::Syscall;
      if (stop.reason != want) {
        std::fprintf(stderr, "cpu_bench: %s loop stopped early at pc 0x%08x: %s\n", loop.name, cpu.state().pc,
                     stop.reason == r3k::StopReason::Fault ? stop.fault.describe().c_str() : "breakpoint");
        return 1;
      }
      if (loop.hooked && calls != iterations / loop.divisor) {
        std::fprintf(stderr, "cpu_bench: %s loop served %llu calls, not %u\n", loop.name,
                     static_cast<unsigned long long>(calls), iterations / loop.divisor);
        return 1;
      }
      best = std::min(best, secs);
    }
    std::printf("%-8s %12llu insns  %7.3f s  %8.1f M insns/s", loop.name, static_cast<unsigned long long>(executed),
                best, executed / best / 1e6);
    if (loop.divisor > 1) std::printf("  %6.1f ns per turn", best / (iterations / loop.divisor) * 1e9);
    std::printf("\n");
  }
  return 0;
}
