// The window generated code reads guest memory through (Window): made on
// first use, kept equal to the page table's fast-path pointers, made again
// after a fork in a few mappings, given up if the host refuses a mapping.
#include <sys/mman.h>

#include <mutex>
#include <set>

#include "memory/address_space_impl.h"
#include "memory/page_pool.h"

namespace r3k {

namespace {

// The spaces that have a window, for a forked child to make them again.
std::mutex g_windows_mutex;
std::set<AddressSpace::Impl*>& windows() {
  static auto* const all = new std::set<AddressSpace::Impl*>;
  return *all;
}

// What the window shows at one page: a page of the pool from `offset`
// (readable, writable too if `write`), zeros (read only), or nothing.
struct Shown {
  enum Kind : uint8_t { Nothing, Zeros, Pool } kind = Nothing;
  bool write = false;
  uint64_t offset = 0;
};

// Maps `pages` window pages from `at` as `s` says; false when the host refuses.
bool show_run(uint8_t* at, uint32_t pages, const Shown& s) {
  const size_t len = size_t{pages} * kPageSize;
  void* p;
  if (s.kind == Shown::Pool) {
    const int prot = s.write ? PROT_READ | PROT_WRITE : PROT_READ;
    p = mmap(at, len, prot, MAP_SHARED | MAP_FIXED, PagePool::get().fd(), off_t(s.offset));
  } else {
    // The zero page reads as fresh anonymous memory does.
    const int prot = s.kind == Shown::Zeros ? PROT_READ : PROT_NONE;
    p = mmap(at, len, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
  }
  return p != MAP_FAILED;
}

Shown shown(const AddressSpace::Impl& m, uint32_t addr) {
  const L2Table* t = m.table(addr);
  const uint32_t i = l2_index(addr);
  const auto* page = reinterpret_cast<const PageData*>(t->rd[i]);
  PagePool& pool = PagePool::get();
  // Anything else (a page from the heap, no read access) stays on the slow path.
  if (page && pool.holds(page)) return Shown{Shown::Pool, t->wr[i] != nullptr, pool.offset(page)};
  return Shown{page == &AddressSpace::Impl::zero_page() ? Shown::Zeros : Shown::Nothing};
}

}  // namespace

bool AddressSpace::Impl::show_page(uint32_t addr) {
  return show_run(window.base + (addr & ~(kPageSize - 1)), 1, shown(*this, addr));
}

uint8_t* AddressSpace::Impl::window_base() {
  if (window.base) return window.base;
  if (window.refused || PagePool::get().fd() < 0) return nullptr;
  static const bool hooked = [] {
    PagePool::get().after_fork_copy = [](bool copied) {
      const std::set<Impl*> all = windows();  // dropping one changes the set
      for (Impl* m : all)
        if (!copied || !m->fill_window()) m->drop_window(true);
    };
    return true;
  }();
  (void)hooked;
  void* p =
      mmap(nullptr, Window::kSize + 2 * Window::kGuard, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    // Not again at every entry (an address-space limit holds for good):
    // the space runs interpreted.
    window.refused = true;
    return nullptr;
  }
  window.base = static_cast<uint8_t*>(p) + Window::kGuard;
  {
    std::lock_guard lock(g_windows_mutex);
    windows().insert(this);
  }
  if (!fill_window()) drop_window(true);
  return window.base;
}

// Shows every page with access (the window refusing all else already), a
// run of neighbours that continue one another in one mapping.
bool AddressSpace::Impl::fill_window() {
  if (!show_run(window.base, uint32_t(Window::kSize >> kPageBits), Shown{})) return false;
  uint32_t start = 0, pages = 0;
  Shown run;
  for (uint32_t j = 0; j < (1u << kL1Bits); ++j) {
    if (l1[j] == &empty_table()) continue;
    for (uint32_t i = 0; i < kL2Size; ++i) {
      const uint32_t addr = j << (kPageBits + kL2Bits) | i << kPageBits;
      const Shown s = shown(*this, addr);
      const bool continues = pages && s.kind == run.kind && s.write == run.write && start + pages * kPageSize == addr &&
                             s.offset == run.offset + (s.kind == Shown::Pool ? uint64_t{pages} * kPageSize : 0);
      if (continues) {
        ++pages;
        continue;
      }
      if (pages && run.kind != Shown::Nothing && !show_run(window.base + start, pages, run)) return false;
      start = addr;
      pages = 1;
      run = s;
    }
  }
  return !pages || run.kind == Shown::Nothing || show_run(window.base + start, pages, run);
}

void AddressSpace::Impl::drop_window(bool for_good) {
  if (!window.base) return;
  munmap(window.base - Window::kGuard, Window::kSize + 2 * Window::kGuard);
  window.base = nullptr;
  window.refused = for_good;
  std::lock_guard lock(g_windows_mutex);
  windows().erase(this);
}

}  // namespace r3k
