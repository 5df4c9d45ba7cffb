// Guest address space of one process: sparse, paged, big-endian.
#pragma once

#include <cstdint>
#include <memory>

namespace r3k {

inline constexpr uint32_t kPageBits = 12;
inline constexpr uint32_t kPageSize = 1u << kPageBits;
inline constexpr uint32_t kUserEnd = 0x80000000u;  // first address outside user space

enum Prot : uint8_t { kProtNone = 0, kProtRead = 1, kProtWrite = 2, kProtExec = 4 };

// Why a guest access failed.  Unaligned and KernelSpace are address errors
// (the R3000 raises them before translation); Unmapped and ReadOnly are
// translation faults.
enum class MemError : uint8_t { None, Unaligned, KernelSpace, Unmapped, ReadOnly };

class AddressSpace {
 public:
  // max_pages bounds the pages this space may ever hold (demand-zero
  // stack pages included); mapping beyond it fails.
  explicit AddressSpace(uint32_t max_pages = 4096);
  ~AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Maps [addr, addr+len) rounded out to whole pages, zero-filled, with
  // prot.  Pages already mapped keep their contents and get prot.  False,
  // with nothing changed, if the range leaves user space, wraps, or would
  // exceed the page limit.
  bool map(uint32_t addr, uint32_t len, uint8_t prot);

  // Accesses inside [lo, hi) to unmapped pages map a zero page (read and
  // write) on first touch, within the page limit: the stack.
  void set_grow_region(uint32_t lo, uint32_t hi);

  uint8_t prot(uint32_t addr) const;  // kProtNone when unmapped
  uint32_t mapped_pages() const;
  uint32_t max_pages() const;

  // Kernel-side copies.  All or nothing: false (and nothing copied) if any
  // byte of the range is outside user space or unmapped (grow region
  // included), or, for copy_out, not writable.
  bool copy_in(uint32_t addr, void* dst, uint32_t len);
  bool copy_out(uint32_t addr, const void* src, uint32_t len);
  // Loader and debugger access: like copy_in/copy_out but ignores
  // protection (pages must still be mapped).
  bool peek(uint32_t addr, void* dst, uint32_t len) const;
  bool poke(uint32_t addr, const void* src, uint32_t len);

  // Guest data accesses as the CPU makes them (big-endian, natural
  // alignment required).
  MemError load8(uint32_t addr, uint32_t& value);
  MemError load16(uint32_t addr, uint32_t& value);
  MemError load32(uint32_t addr, uint32_t& value);
  MemError store8(uint32_t addr, uint32_t value);
  MemError store16(uint32_t addr, uint32_t value);
  MemError store32(uint32_t addr, uint32_t value);

  // A copy for fork.  Pages inside [share_lo, share_hi) are shared with
  // this space instead of copied (a deliberately broken copy); all others
  // are private to the copy.  Null if the copy would exceed the limit.
  std::unique_ptr<AddressSpace> clone(uint32_t share_lo = 0, uint32_t share_hi = 0) const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace r3k
