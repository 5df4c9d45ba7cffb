// The reference CPU of the differential tests: unicorn's MIPS32 big-endian
// engine (Debian's libunicorn), used through its public API only.  It is a
// MIPS32 CPU running in kernel mode, so the lockstep driver steers around
// the places where that differs from a user-mode R3000 (see lockstep.h).
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace r3k::diff {

struct RefRegs {
  uint32_t gpr[32] = {};
  uint32_t hi = 0, lo = 0, pc = 0;
};

class Reference {
 public:
  Reference();
  ~Reference();
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;

  uc_engine* uc() const { return uc_; }

  // Maps whole pages; perms are UC_PROT_* bits.  Throws on failure.
  void map(uint32_t addr, uint32_t len, uint32_t perms);
  void unmap_all();
  void write(uint32_t addr, const void* src, size_t len);
  // False when any byte is unmapped.
  bool read(uint32_t addr, void* dst, size_t len) const;

  RefRegs regs() const;
  void set_regs(const RefRegs& r);
  uint32_t reg(int uc_reg) const;
  void set_reg(int uc_reg, uint32_t v);

  // Code written with write() keeps running its old translation until the
  // translation is dropped: uc_mem_write does not do it.
  void forget_code(uint32_t addr, uint32_t len);

  // Back to the CPU state right after opening (CP0 included): an
  // exception leaves the engine in exception mode otherwise.
  void reset_cpu();

 private:
  uc_engine* uc_ = nullptr;
  uc_context* fresh_ = nullptr;
};

// Throws std::runtime_error naming the call when e is not UC_ERR_OK.
void uc_check(uc_err e, const char* what);

}  // namespace r3k::diff
