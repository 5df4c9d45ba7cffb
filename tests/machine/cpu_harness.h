// A bare CPU on a small address space: code at kCode, data at kData, and
// helpers to place words and run until the first stop.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/memory.h"
#include "support/mips_encode.h"

namespace r3k::test {

using enc::kCode;
inline constexpr uint32_t kData = 0x10000000;
inline constexpr uint32_t kCodeSize = 0x10000;
inline constexpr uint32_t kDataSize = 0x10000;

// Program text: words, with lui/ori pairs flattened in.
struct Code {
  std::vector<uint32_t> words;
  Code(std::initializer_list<uint32_t> w) : words(w) {}
  Code() = default;
  Code& operator<<(uint32_t w) {
    words.push_back(w);
    return *this;
  }
  Code& operator<<(enc::Pair p) {
    words.push_back(p.first);
    words.push_back(p.second);
    return *this;
  }
  Code& operator<<(const Code& c) {
    words.insert(words.end(), c.words.begin(), c.words.end());
    return *this;
  }
};

struct Harness {
  AddressSpace space;
  Cpu cpu{&space};

  explicit Harness(uint32_t max_pages = 256) : space(max_pages) {
    EXPECT_TRUE(space.map(kCode, kCodeSize, kProtRead | kProtExec));
    EXPECT_TRUE(space.map(kData, kDataSize, kProtRead | kProtWrite));
    cpu.state().pc = kCode;
  }

  void put(uint32_t addr, const std::vector<uint32_t>& words) {
    for (uint32_t w : words) {
      ASSERT_TRUE(space.poke(addr, enc::be_bytes(w).data(), 4)) << std::hex << addr;
      addr += 4;
    }
  }
  void load(const Code& code, uint32_t at = kCode) {
    put(at, code.words);
    cpu.state().pc = at;
  }
  uint32_t word(uint32_t addr) const {
    uint8_t b[4] = {};
    EXPECT_TRUE(space.peek(addr, b, 4)) << std::hex << addr;
    return enc::be32(b);
  }
  uint32_t& reg(uint32_t r) { return cpu.state().gpr[r]; }
  Stop run(uint64_t budget = 100000) { return cpu.run(budget); }

  // Runs to the next stop and expects it to be a syscall.
  void run_to_syscall() {
    Stop s = run();
    ASSERT_EQ(s.reason, StopReason::Syscall)
        << (s.reason == StopReason::Fault ? s.fault.describe() : "budget/breakpoint");
  }
  // Runs to the next stop and expects a fault of that kind.
  Fault run_to_fault(FaultKind kind) {
    Stop s = run();
    EXPECT_EQ(s.reason, StopReason::Fault);
    EXPECT_EQ(s.fault.kind, kind) << s.fault.describe();
    return s.fault;
  }
};

}  // namespace r3k::test
