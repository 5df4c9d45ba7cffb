// Guest address space of one process: sparse, paged, big-endian.  Pages
// nobody has written are one shared zero page, forked spaces share pages
// until one side writes (copy on write), and every host page the spaces of
// one machine hold is counted against one host-wide cap.
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
// translation faults; NoMemory is a page the host cap would not give
// (stack growth, or the first store to a shared page).
enum class MemError : uint8_t { None, Unaligned, KernelSpace, Unmapped, ReadOnly, NoMemory };

struct CodeCache;
struct CodeLedger;

// The host memory all address spaces of one machine hold together: pages
// written (4 KiB each), page tables, and the CPU's decoded blocks and
// generated code.  Beyond the limit a fork fails and a store that needs a
// fresh page faults; the host never runs out first.  Code has a share of
// its own inside the limit (a quarter unless told otherwise) and gives way
// to the guest: before a page or table is refused, the least recently used
// code is dropped (the CPU decodes it again when it runs there next), so a
// guest gets exactly the pages it would get with no code held at all.
class HostMemory {
 public:
  static constexpr uint64_t kDefaultLimit = uint64_t{2} << 30;
  // Code may hold limit / kCodeShare unless a share is given.
  static constexpr uint64_t kCodeShare = 4;
  // When the guest's pages leave no room at all, the block about to run is
  // still decoded, and held beyond the limit until a page needs the room:
  // at most this much (an empty page of code and one block).
  static constexpr uint64_t kCodeOverdraft = 12 << 10;

  explicit HostMemory(uint64_t limit_bytes = kDefaultLimit, uint64_t code_limit_bytes = 0)
      : limit_(limit_bytes), code_limit_(code_limit_bytes ? code_limit_bytes : limit_bytes / kCodeShare) {}
  HostMemory(const HostMemory&) = delete;
  HostMemory& operator=(const HostMemory&) = delete;

  uint64_t limit() const { return limit_; }
  uint64_t code_limit() const { return code_limit_; }
  uint64_t used() const { return used_; }              // pages, tables and code
  uint64_t pages() const { return pages_; }            // guest pages with host memory behind them
  uint64_t tables() const { return tables_; }          // second-level page tables
  uint64_t code() const { return code_; }              // decoded blocks and generated code
  uint64_t peak_pages() const { return peak_pages_; }  // the most pages held at once
  uint64_t peak() const { return peak_; }              // the most held at once, code included
  uint64_t code_dropped() const { return dropped_; }   // code dropped to make room, all told

  // Each false, with nothing counted, when it would pass the limit even
  // with all code dropped.
  bool take_page();
  bool take_table();
  void give_page();
  void give_table();

 private:
  friend struct CodeLedger;
  bool take(uint64_t bytes);
  // Drops the least recently used code other than keep; false if none.
  bool drop_oldest(const CodeCache* keep);
  void count(uint64_t bytes);

  uint64_t limit_, code_limit_;
  uint64_t used_ = 0, code_ = 0, peak_ = 0, dropped_ = 0;
  uint64_t pages_ = 0, tables_ = 0, peak_pages_ = 0;
  // Code of every space by last use, oldest first.
  CodeCache* oldest_ = nullptr;
  CodeCache* newest_ = nullptr;
};

class AddressSpace {
 public:
  // max_pages bounds the pages this space may ever map (demand-zero
  // stack pages included, written or not); mapping beyond it fails.  host
  // is shared with the spaces cloned from this one; null: a cap of its own
  // at the default limit.
  explicit AddressSpace(uint32_t max_pages = 4096, std::shared_ptr<HostMemory> host = nullptr);
  ~AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Maps [addr, addr+len) rounded out to whole pages, zero-filled, with
  // prot.  Pages already mapped keep their contents and get prot.  False,
  // with nothing changed, if the range leaves user space, wraps, or would
  // exceed the page limit or the host cap (a page table).
  bool map(uint32_t addr, uint32_t len, uint8_t prot);

  // Unmaps every mapped page of [addr, addr+len) rounded out to whole
  // pages (sbrk giving memory back); a later map() of them reads zeros.
  void unmap(uint32_t addr, uint32_t len);

  // Accesses inside [lo, hi) to unmapped pages map a zero page (read and
  // write) on first touch, within the page limit: the stack.
  void set_grow_region(uint32_t lo, uint32_t hi);

  uint8_t prot(uint32_t addr) const;  // kProtNone when unmapped
  uint32_t mapped_pages() const;
  uint32_t max_pages() const;
  // Pages of this space with host memory of their own or shared with
  // another space (not the zero page).
  uint32_t resident_pages() const;
  const HostMemory& host() const;

  // Whether the kernel may read, or write, all of [addr, addr+len): mapped
  // with that right, or untouched pages of the grow region.  Never maps or
  // allocates anything.
  bool readable(uint32_t addr, uint32_t len) const;
  bool writable(uint32_t addr, uint32_t len) const;
  // Host bytes behind addr for reading, valid up to the end of its page
  // until the space next changes; untouched grow-region pages read as
  // zeros.  Null where not readable.
  const uint8_t* read_view(uint32_t addr) const;

  // Kernel-side copies.  All or nothing: false (and nothing copied) if any
  // byte of the range is not readable(), or for copy_out writable(), as
  // above.  copy_out maps the untouched grow-region pages it writes, as
  // the guest's own store would.
  bool copy_in(uint32_t addr, void* dst, uint32_t len) const;
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

  // A copy for fork: every page is shared until either side writes it.
  // Pages inside [share_lo, share_hi) stay shared for good (a deliberately
  // broken copy: writes on either side reach both).  Null if the host cap
  // cannot hold the copy's page tables.
  std::unique_ptr<AddressSpace> clone(uint32_t share_lo = 0, uint32_t share_hi = 0) const;

  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace r3k
