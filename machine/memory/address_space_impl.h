// Inside of AddressSpace, shared with the CPU so that its hot paths can walk
// the page table directly instead of calling through the public interface.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "r3k/memory.h"

namespace r3k {

// Decoded code of one page.  The CPU owns its contents and says what they
// cost (CodeLedger); the address space keeps it alive and drops it when
// the page changes, and the host memory drops it to make room.
struct CodeCache {
  CodeCache() = default;
  CodeCache(const CodeCache&) = delete;
  CodeCache& operator=(const CodeCache&) = delete;
  virtual ~CodeCache();
  // Whether any decoded instruction lies in [off, off+len) of the page;
  // stores elsewhere on the page (data next to code) keep the code.
  virtual bool covers(uint32_t off, uint32_t len) const = 0;

  // The host memory's bookkeeping: the space and page it serves (owner
  // null once dropped), the bytes counted for it, its place by last use.
  AddressSpace::Impl* owner = nullptr;
  uint32_t addr = 0;
  uint64_t bytes = 0;
  CodeCache* older = nullptr;
  CodeCache* newer = nullptr;
};

// What the CPU keeps about a space's code as a whole, beside each page's
// CodeCache (an index of generated code by guest pc): kept and dropped with
// the space, a fixed size not counted against the host memory, like the
// first-level table.
struct SpaceCode {
  SpaceCode() = default;
  SpaceCode(const SpaceCode&) = delete;
  SpaceCode& operator=(const SpaceCode&) = delete;
  virtual ~SpaceCode();
};

// What decoded code costs, counted against the host memory of the space
// that holds it.
struct CodeLedger {
  // Counts bytes more for c, first dropping the least recently used code
  // of any space (never c itself) until they fit both the code's share
  // and the limit; false, with nothing counted or dropped, when even
  // dropping all of it would not do.
  static bool charge(CodeCache& c, uint64_t bytes);
  // The same, but counts them when nothing is left to drop and they still
  // do not fit: the block about to run, alone on its page (see Run::keep).
  static void overdraw(CodeCache& c, uint64_t bytes);
  static void refund(CodeCache& c, uint64_t bytes);
  // c was just used: the last to be dropped.
  static void touch(CodeCache& c) {
    if (c.newer) {
      unlink(c);
      enlist(c);
    }
  }
  // Puts c (its owner set) in the list as the most recently used.
  static void enlist(CodeCache& c);
  // Takes c out of the count and the list (its bytes given back).
  static void detach(CodeCache& c);

 private:
  static void unlink(CodeCache& c);
  static void add(CodeCache& c, uint64_t bytes);
};

struct PageData {
  uint8_t bytes[kPageSize];  // guest order (big-endian words)
};

inline constexpr uint32_t kL1Bits = 10;  // covers the whole 32-bit space
inline constexpr uint32_t kL2Bits = 32 - kPageBits - kL1Bits;
inline constexpr uint32_t kL2Size = 1u << kL2Bits;

inline uint32_t l1_index(uint32_t addr) { return addr >> (kPageBits + kL2Bits); }
inline uint32_t l2_index(uint32_t addr) { return (addr >> kPageBits) & (kL2Size - 1); }
inline uint32_t page_offset(uint32_t addr) { return addr & (kPageSize - 1); }

// One second-level table: 4 MiB of guest space.  rd/wr are what the CPU's
// fast paths look at: null means "take the slow path" (unmapped, protected,
// or, for wr, the page holds decoded code that a store must invalidate, or
// is the zero page or shared copy-on-write, so a store must first get a
// page of its own).
struct L2Table {
  uint8_t* rd[kL2Size] = {};
  uint8_t* wr[kL2Size] = {};
  // Null when unmapped; the shared zero page until first written.
  std::shared_ptr<PageData> page[kL2Size];
  std::unique_ptr<CodeCache> code[kL2Size];
  uint8_t prot[kL2Size] = {};
  // Shared for good with other spaces (--shared-fork): written in place,
  // never copied, and never holding decoded code.
  bool shared[kL2Size] = {};
  uint32_t present = 0;  // mapped pages in this table
};

// The space's guest memory as generated code reads it: 4 GiB of host
// address space where each guest page's bytes show at base + its guest
// address, with the access rd and wr allow (readable where rd is set,
// writable too where wr is), and nothing elsewhere (kernel space, unmapped
// and write-only pages).  An access it refuses faults, and the code
// generator's fault handler sends it down the slow path, which sees the
// page table.  Made on first use; refresh() keeps it equal to rd and wr.
struct Window {
  static constexpr uint64_t kSize = uint64_t{1} << 32;
  // Never-mapped host address space on either side, so that a register
  // plus a 16-bit offset, which generated code adds in 64 bits, faults
  // where the guest's 32-bit sum would wrap around.
  static constexpr uint64_t kGuard = uint64_t{64} << 10;
  // What the window costs the host for the pages of one second-level
  // table (a page of the host's own page tables), counted with the table
  // so that the host memory cap holds whether or not a window is made.
  static constexpr size_t kPerTable = 4096;
  uint8_t* base = nullptr;
  bool refused = false;  // given up: the space runs without generated code
};

struct AddressSpace::Impl {
  explicit Impl(std::shared_ptr<HostMemory> host);
  ~Impl();

  // Every slot points at a table; absent ones (and all of kernel space) at
  // the shared, never-written empty table, so lookups need no null test.
  L2Table* l1[1u << kL1Bits];
  Window window;
  std::shared_ptr<HostMemory> host;
  uint32_t max_pages = 0;
  uint32_t mapped = 0;
  uint32_t grow_lo = 0, grow_hi = 0;
  // Bumped whenever cached code is dropped, so a running CPU can notice
  // that the block it is in may be stale.
  uint64_t code_gen = 0;
  // A CPU runs on this space (set by the CPU): code dropped meanwhile waits
  // in the graveyard until it is between blocks; otherwise it goes at once.
  bool running = false;
  std::vector<std::unique_ptr<CodeCache>> graveyard;
  std::unique_ptr<SpaceCode> space_code;  // the CPU's, made on first use

  static L2Table& empty_table();
  // Read by every untouched page; never written (its wr is always null).
  static PageData& zero_page();

  L2Table* table(uint32_t addr) const { return l1[l1_index(addr)]; }
  // The table for addr, made on first use; null past the host cap.
  L2Table* table_for_write(uint32_t addr);

  bool is_mapped(uint32_t addr) const { return table(addr)->page[l2_index(addr)] != nullptr; }
  bool in_grow_region(uint32_t addr) const { return addr >= grow_lo && addr < grow_hi; }
  // Maps one zero page; false past the page limit or the host cap.
  bool map_page(uint32_t addr, uint8_t prot);
  // Makes the page at addr (mapped) writable in place: a page of its own
  // instead of the zero page or a copy-on-write share.  False past the cap.
  bool own_page(uint32_t addr);
  // Recomputes the fast-path pointers of one page from its state (in the
  // window too, once there is one).
  void refresh(uint32_t addr);
  // Installs c as the decoded code of the page at addr (it has none), the
  // most recently used, nothing counted for it yet.
  void attach_code(uint32_t addr, std::unique_ptr<CodeCache> c);
  // Drops decoded code on one page (if any) and reopens the store path.
  void invalidate_code(uint32_t addr);
  // The same, only if [addr, addr+len) (within one page) overlaps the code.
  void store_touches(uint32_t addr, uint32_t len);
  // True if [addr, addr+len) lies in user space without wrapping.
  static bool user_range(uint32_t addr, uint32_t len);
  // For the CPU's slow paths: maps a grow-region page on first touch.
  // Unmapped outside the region or past the page limit, NoMemory past the
  // host cap.
  MemError try_grow(uint32_t addr);
  // Code may be cached only on pages no other space writes in place.
  bool code_cacheable(uint32_t addr) const;
  void collect_garbage() { graveyard.clear(); }
  // The window's base, made and filled on first use; null when the host
  // refuses the address space or a mapping in it.
  uint8_t* window_base();
  // Shows page addr in the window as its rd and wr say; false when the
  // host refuses.
  bool show_page(uint32_t addr);
  bool fill_window();
  // Unmaps the window; for good when the host refused to change it (the
  // space then runs without generated code), else made again on next use.
  void drop_window(bool for_good);
};

}  // namespace r3k
