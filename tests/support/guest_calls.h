// The machine as tests, the fuzz targets and the benchmarks drive it: one
// guest function called at a time, arguments pushed into a scratch area,
// memory read and written directly.  r3krun itself never calls guest
// functions, so none of this lives in the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/machine.h"

namespace r3k {

struct CallResult {
  bool returned = false;  // came back to the sentinel return address
  uint32_t v0 = 0, v1 = 0;
  bool exited = false;  // the first process ended by _exit instead
  int32_t status = 0;
  std::optional<Fault> fault;  // or was killed by this fault
  uint64_t insns = 0;          // instructions the first process ran in the call
};

// Hold it by its own type: Machine's destructor is not virtual.
class TestMachine final : public Machine {
 public:
  // Guest calls return to this address: a page of break instructions in
  // the scratch area, the machine's return trap.  A process other than the
  // caller that gets there (a child forked inside a call) ends as if its
  // main had returned v0.
  static constexpr uint32_t kScratchBase = 0x7e000000u;
  static constexpr uint32_t kScratchSize = 16u << 20;
  static constexpr uint32_t kSentinel = kScratchBase;
  static_assert(uint64_t{kScratchBase} + kScratchSize <= kUserEnd - kMaxStackSize, "scratch area inside the stack");

  using Machine::Machine;

  // Runs all processes as usual until the first one reaches the symbol's
  // address; false if it ended first.
  bool run_to(std::string_view symbol);
  // Calls a function of the image in the first process: o32 words in a0-a3,
  // the rest on the stack at sp+16.., gp = _gp, a fresh frame below the
  // current sp, ra = kSentinel.  Other processes are scheduled as usual.
  // Registers stay as the callee left them; calls can follow one another.
  CallResult call(std::string_view symbol, std::vector<uint32_t> args);

  // Copy into a scratch area of the first process; returns the address.
  uint32_t push_bytes(std::span<const uint8_t> bytes);
  uint32_t push_string(std::string_view text);  // NUL-terminated
  // The first process's memory, ignoring protection.  Throws
  // std::out_of_range for unmapped addresses.
  std::vector<uint8_t> read(uint32_t addr, uint32_t len);
  uint32_t read32(uint32_t addr);
  std::string read_string(uint32_t addr);
  void write_bytes(uint32_t addr, std::span<const uint8_t> bytes);
  void write32(uint32_t addr, uint32_t value);

 private:
  uint32_t address_of(std::string_view symbol) const;
  void ensure_scratch();

  bool scratch_ready_ = false;
  uint32_t scratch_next_ = kScratchBase + kPageSize;
};

}  // namespace r3k
