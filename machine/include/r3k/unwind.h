// Who called the code a fault stopped in: the program's call-frame
// information where it has some (.debug_frame with -g, .eh_frame), and
// elsewhere the function's prologue and the return address register.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "r3k/cpu.h"
#include "r3k/elf.h"
#include "r3k/memory.h"

namespace r3k {

class Unwinder {
 public:
  // Keeps a reference to the image.  Nothing is read until callers().
  explicit Unwinder(const ElfImage& image);
  ~Unwinder();
  Unwinder(const Unwinder&) = delete;
  Unwinder& operator=(const Unwinder&) = delete;

  // The calls that led to pc, innermost first, at most max.  gpr: the
  // process's registers at pc; ra_live: false when ra no longer holds the
  // return address of pc's function (a call at pc linked it already).
  // Every return address is read from the process's memory and must
  // follow a call in executable code, so a damaged stack ends the chain.
  std::vector<CallSite> callers(const uint32_t* gpr, uint32_t pc, bool ra_live, const AddressSpace& space,
                                size_t max) const;

  class Cfi;  // the call-frame tables (loader/cfi.cpp)

 private:
  const ElfImage& image_;
  mutable std::unique_ptr<Cfi> cfi_;
  mutable bool cfi_opened_ = false;
};

}  // namespace r3k
