// Sparse paged guest memory.  Pages are kept in guest byte order, so kernel
// copies are plain memcpy and only word accesses swap.  A page gets host
// memory of its own only when first written: until then it is the one
// zero page, or a page shared copy-on-write with the space it was forked
// from.

#include <algorithm>
#include <cstring>
#include <new>

#include "memory/address_space_impl.h"
#include "memory/page_pool.h"

namespace r3k {

namespace {

inline uint32_t load_be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline void store_be16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

uint32_t page_base(uint32_t addr) { return addr & ~(kPageSize - 1); }

// Number of pages [addr, addr+len) touches; len > 0 and no wrap assumed.
uint32_t page_span(uint32_t addr, uint32_t len) { return ((addr + len - 1) >> kPageBits) - (addr >> kPageBits) + 1; }

// Calls fn(page address) for every page of [addr, addr+len), len > 0 and
// no wrap assumed; stops at the first false.
template <typename Fn>
bool each_page(uint32_t addr, uint32_t len, Fn fn) {
  const uint32_t first = page_base(addr), count = page_span(addr, len);
  for (uint32_t k = 0; k < count; ++k)
    if (!fn(first + k * kPageSize)) return false;
  return true;
}

// Walks [addr, addr+len) page by page, handing each piece to fn(addr, n).
template <typename Fn>
void each_piece(uint32_t addr, uint32_t len, Fn fn) {
  while (len > 0) {
    const uint32_t n = std::min(len, kPageSize - page_offset(addr));
    fn(addr, n);
    addr += n;
    len -= n;
  }
}

constinit L2Table g_empty_table;  // constant-initialised: no guard on use
constinit PageData g_zero_page{};

// The zero page as a page pointer: not owned, so use_count() is 0.
std::shared_ptr<PageData> zero_page_ref() {
  return std::shared_ptr<PageData>(std::shared_ptr<PageData>(), &g_zero_page);
}

bool is_zero_page(const std::shared_ptr<PageData>& page) { return page.get() == &g_zero_page; }

// A page of host memory under the cap, with from's bytes (null: zeros);
// null past the cap.  The last space to let a page go gives it back to the
// cap, whichever space that is.
std::shared_ptr<PageData> new_page(const std::shared_ptr<HostMemory>& host, const PageData* from) {
  if (!host->take_page()) return nullptr;
  PagePool& pool = PagePool::get();
  PageData* page = pool.take();
  if (page == nullptr) {
    host->give_page();
    return nullptr;
  }
  from ? std::memcpy(page->bytes, from->bytes, kPageSize) : std::memset(page->bytes, 0, kPageSize);
  try {
    return std::shared_ptr<PageData>(page, [host, &pool](PageData* p) {
      pool.give(p);
      host->give_page();
    });
  } catch (const std::bad_alloc&) {  // the deleter ran
    return nullptr;
  }
}

bool all_zero(const uint8_t* bytes, uint32_t n) {
  return n == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0);
}

}  // namespace

// ---- HostMemory ----------------------------------------------------------

void HostMemory::count(uint64_t bytes) {
  used_ += bytes;
  peak_ = std::max(peak_, used_);
}

bool HostMemory::take(uint64_t bytes) {
  if (bytes > limit_) return false;
  // The guest first: code makes way for it.
  while (used_ > limit_ - bytes)
    if (!drop_oldest(nullptr)) return false;
  count(bytes);
  return true;
}

bool HostMemory::take_page() {
  if (!take(sizeof(PageData))) return false;
  peak_pages_ = std::max(peak_pages_, ++pages_);
  return true;
}

// A table's cost: itself and its share of the window.
constexpr uint64_t kTableBytes = sizeof(L2Table) + Window::kPerTable;

bool HostMemory::take_table() {
  if (!take(kTableBytes)) return false;
  ++tables_;
  return true;
}

void HostMemory::give_page() {
  used_ -= sizeof(PageData);
  --pages_;
}

void HostMemory::give_table() {
  used_ -= kTableBytes;
  --tables_;
}

bool HostMemory::drop_oldest(const CodeCache* keep) {
  CodeCache* c = oldest_ != nullptr && oldest_ == keep ? keep->newer : oldest_;
  if (c == nullptr) return false;
  dropped_ += c->bytes;
  c->owner->invalidate_code(c->addr);
  return true;
}

// ---- code --------------------------------------------------------------------

CodeCache::~CodeCache() { CodeLedger::detach(*this); }
SpaceCode::~SpaceCode() = default;

bool CodeLedger::charge(CodeCache& c, uint64_t bytes) {
  HostMemory& h = *c.owner->host;
  // Dropping all other code would not do: drop none.
  const uint64_t alone = h.used_ - (h.code_ - c.bytes);
  if (c.bytes + bytes > h.code_limit_ || alone + bytes > h.limit_) return false;
  while (h.code_ + bytes > h.code_limit_ || h.used_ + bytes > h.limit_)
    if (!h.drop_oldest(&c)) return false;
  add(c, bytes);
  return true;
}

void CodeLedger::overdraw(CodeCache& c, uint64_t bytes) {
  HostMemory& h = *c.owner->host;
  while (h.code_ + bytes > h.code_limit_ || h.used_ + bytes > h.limit_)
    if (!h.drop_oldest(&c)) break;
  add(c, bytes);
}

void CodeLedger::add(CodeCache& c, uint64_t bytes) {
  HostMemory& h = *c.owner->host;
  c.bytes += bytes;
  h.code_ += bytes;
  h.count(bytes);
}

void CodeLedger::refund(CodeCache& c, uint64_t bytes) {
  HostMemory& h = *c.owner->host;
  c.bytes -= bytes;
  h.code_ -= bytes;
  h.used_ -= bytes;
}

void CodeLedger::detach(CodeCache& c) {
  if (c.owner == nullptr) return;
  refund(c, c.bytes);
  unlink(c);
  c.owner = nullptr;
}

void CodeLedger::unlink(CodeCache& c) {
  HostMemory& h = *c.owner->host;
  (c.older ? c.older->newer : h.oldest_) = c.newer;
  (c.newer ? c.newer->older : h.newest_) = c.older;
  c.older = c.newer = nullptr;
}

void CodeLedger::enlist(CodeCache& c) {
  HostMemory& h = *c.owner->host;
  c.newer = nullptr;
  c.older = h.newest_;
  (h.newest_ ? h.newest_->newer : h.oldest_) = &c;
  h.newest_ = &c;
}

// ---- Impl --------------------------------------------------------------

AddressSpace::Impl::Impl(std::shared_ptr<HostMemory> h) : host(std::move(h)) {
  std::fill(std::begin(l1), std::end(l1), &empty_table());
}

AddressSpace::Impl::~Impl() {
  drop_window(false);  // before the pages go back to the pool
  for (L2Table* t : l1) {
    if (t == &g_empty_table) continue;
    delete t;
    host->give_table();
  }
}

L2Table& AddressSpace::Impl::empty_table() { return g_empty_table; }
PageData& AddressSpace::Impl::zero_page() { return g_zero_page; }

L2Table* AddressSpace::Impl::table_for_write(uint32_t addr) {
  L2Table*& t = l1[l1_index(addr)];
  if (t != &empty_table()) return t;
  if (!host->take_table()) return nullptr;
  try {
    t = new L2Table;
  } catch (const std::bad_alloc&) {
    host->give_table();
    return nullptr;
  }
  return t;
}

bool AddressSpace::Impl::user_range(uint32_t addr, uint32_t len) { return addr < kUserEnd && len <= kUserEnd - addr; }

bool AddressSpace::Impl::map_page(uint32_t addr, uint8_t prot) {
  if (mapped >= max_pages) return false;
  L2Table* t = table_for_write(addr);
  if (t == nullptr) return false;
  const uint32_t i = l2_index(addr);
  t->page[i] = zero_page_ref();
  t->prot[i] = prot;
  t->shared[i] = false;
  ++t->present;
  ++mapped;
  refresh(addr);
  return true;
}

bool AddressSpace::Impl::own_page(uint32_t addr) {
  L2Table* t = table(addr);
  const uint32_t i = l2_index(addr);
  std::shared_ptr<PageData>& page = t->page[i];
  if (is_zero_page(page) || (!t->shared[i] && page.use_count() > 1)) {
    auto mine = new_page(host, is_zero_page(page) ? nullptr : page.get());
    if (!mine) return false;
    page = std::move(mine);  // decoded code stays valid: the bytes are the same
  }
  // Also when the other sharers have let go since: the store path reopens.
  refresh(addr);
  return true;
}

void AddressSpace::Impl::refresh(uint32_t addr) {
  L2Table* t = table(addr);
  if (t == &empty_table()) return;
  const uint32_t i = l2_index(addr);
  const std::shared_ptr<PageData>& page = t->page[i];
  uint8_t* base = page ? page->bytes : nullptr;
  // A page other spaces still read must be copied before a store.
  const bool in_place = page && !is_zero_page(page) && (t->shared[i] || page.use_count() == 1);
  uint8_t* const rd = (t->prot[i] & kProtRead) ? base : nullptr;
  uint8_t* const wr = (t->prot[i] & kProtWrite) && in_place && !t->code[i] ? base : nullptr;
  const bool changed = rd != t->rd[i] || wr != t->wr[i];
  t->rd[i] = rd;
  t->wr[i] = wr;
  // A window the host will not change any more must not show stale access.
  if (changed && window.base && !show_page(addr)) drop_window(true);
}

void AddressSpace::Impl::attach_code(uint32_t addr, std::unique_ptr<CodeCache> c) {
  c->owner = this;
  c->addr = page_base(addr);
  CodeLedger::enlist(*c);
  table(addr)->code[l2_index(addr)] = std::move(c);
  refresh(addr);  // stores to this page must now see the code
}

void AddressSpace::Impl::invalidate_code(uint32_t addr) {
  L2Table* t = table(addr);
  uint32_t i = l2_index(addr);
  if (!t->code[i]) return;
  std::unique_ptr<CodeCache> c = std::move(t->code[i]);
  CodeLedger::detach(*c);
  ++code_gen;
  refresh(addr);
  // A running CPU may be inside it; any other can let it go now.
  if (running) graveyard.push_back(std::move(c));
}

void AddressSpace::Impl::store_touches(uint32_t addr, uint32_t len) {
  const CodeCache* c = table(addr)->code[l2_index(addr)].get();
  if (c && c->covers(page_offset(addr), len)) invalidate_code(addr);
}

MemError AddressSpace::Impl::try_grow(uint32_t addr) {
  if (!in_grow_region(addr) || addr >= kUserEnd || is_mapped(addr)) return MemError::Unmapped;
  if (mapped >= max_pages) return MemError::Unmapped;
  return map_page(page_base(addr), kProtRead | kProtWrite) ? MemError::None : MemError::NoMemory;
}

bool AddressSpace::Impl::code_cacheable(uint32_t addr) const {
  // A page shared for good (the broken-fork quirk) can be written by a CPU
  // that does not know about our decoded blocks.  Copy-on-write shares are
  // fine: whoever writes first gets a copy.
  return !table(addr)->shared[l2_index(addr)];
}

// ---- AddressSpace ------------------------------------------------------

AddressSpace::AddressSpace(uint32_t max_pages, std::shared_ptr<HostMemory> host)
    : impl_(std::make_unique<Impl>(host ? std::move(host) : std::make_shared<HostMemory>())) {
  impl_->max_pages = max_pages;
}

AddressSpace::~AddressSpace() = default;

bool AddressSpace::map(uint32_t addr, uint32_t len, uint8_t prot) {
  Impl& m = *impl_;
  if (len == 0) return Impl::user_range(addr, 0);
  if (!Impl::user_range(addr, len)) return false;
  uint32_t fresh = 0;
  each_page(addr, len, [&](uint32_t a) { return fresh += !m.is_mapped(a), true; });
  if (fresh > m.max_pages - std::min(m.mapped, m.max_pages)) return false;
  // Tables first, so that a cap reached halfway leaves no mapping changed.
  if (!each_page(addr, len, [&](uint32_t a) { return m.table_for_write(a) != nullptr; })) return false;
  each_page(addr, len, [&](uint32_t a) {
    if (!m.is_mapped(a)) return m.map_page(a, prot);
    // Decoded code was checked against the old protection.
    m.invalidate_code(a);
    m.table(a)->prot[l2_index(a)] = prot;
    m.refresh(a);
    return true;
  });
  return true;
}

void AddressSpace::unmap(uint32_t addr, uint32_t len) {
  Impl& m = *impl_;
  if (len == 0 || !Impl::user_range(addr, len)) return;
  each_page(addr, len, [&](uint32_t a) {
    if (!m.is_mapped(a)) return true;
    m.invalidate_code(a);
    L2Table* t = m.table(a);
    const uint32_t i = l2_index(a);
    t->page[i].reset();  // the last space to hold it gives it back to the cap
    t->prot[i] = kProtNone;
    t->shared[i] = false;
    --t->present;
    --m.mapped;
    m.refresh(a);
    return true;
  });
}

void AddressSpace::set_grow_region(uint32_t lo, uint32_t hi) {
  impl_->grow_lo = lo;
  impl_->grow_hi = std::min(hi, kUserEnd);
}

uint8_t AddressSpace::prot(uint32_t addr) const {
  if (addr >= kUserEnd) return kProtNone;
  const L2Table* t = impl_->table(addr);
  uint32_t i = l2_index(addr);
  return t->page[i] ? t->prot[i] : uint8_t(kProtNone);
}

uint32_t AddressSpace::mapped_pages() const { return impl_->mapped; }
uint32_t AddressSpace::max_pages() const { return impl_->max_pages; }
const HostMemory& AddressSpace::host() const { return *impl_->host; }

uint32_t AddressSpace::resident_pages() const {
  uint32_t n = 0;
  for (const L2Table* t : impl_->l1)
    if (t != &g_empty_table)
      for (const auto& page : t->page) n += page && !is_zero_page(page);
  return n;
}

namespace {

// True if every page of the range is mapped and has all of the need bits;
// with grow, untouched grow-region pages pass too.
bool range_ok(const AddressSpace::Impl& m, uint32_t addr, uint32_t len, uint8_t need, bool grow) {
  if (!AddressSpace::Impl::user_range(addr, len)) return false;
  if (len == 0) return true;
  return each_page(addr, len, [&](uint32_t a) {
    const L2Table* t = m.table(a);
    const uint32_t i = l2_index(a);
    if (!t->page[i]) return grow && m.in_grow_region(a);
    return (t->prot[i] & need) == need;
  });
}

// Makes every mapped page of [addr, addr+len) writable in place, except
// zero pages that would only receive zeros from src (null: any bytes).
bool own_range(AddressSpace::Impl& m, uint32_t addr, uint32_t len, const uint8_t* src) {
  bool ok = true;
  each_piece(addr, len, [&](uint32_t a, uint32_t n) {
    const bool stays_zero = src && is_zero_page(m.table(a)->page[l2_index(a)]) && all_zero(src + (a - addr), n);
    if (ok && !stays_zero) ok = m.own_page(a);
  });
  return ok;
}

}  // namespace

bool AddressSpace::readable(uint32_t addr, uint32_t len) const { return range_ok(*impl_, addr, len, kProtRead, true); }

bool AddressSpace::writable(uint32_t addr, uint32_t len) const { return range_ok(*impl_, addr, len, kProtWrite, true); }

const uint8_t* AddressSpace::read_view(uint32_t addr) const {
  const Impl& m = *impl_;
  if (addr >= kUserEnd) return nullptr;
  const L2Table* t = m.table(addr);
  const uint32_t i = l2_index(addr);
  // The CPU's fast-path pointer first: one load, and likely in the cache.
  if (t->rd[i]) return t->rd[i] + page_offset(addr);
  if (!t->page[i]) return m.in_grow_region(addr) ? g_zero_page.bytes + page_offset(addr) : nullptr;
  return t->prot[i] & kProtRead ? t->page[i]->bytes + page_offset(addr) : nullptr;
}

bool AddressSpace::copy_in(uint32_t addr, void* dst, uint32_t len) const {
  if (!readable(addr, len)) return false;
  auto* out = static_cast<uint8_t*>(dst);
  each_piece(addr, len, [&](uint32_t a, uint32_t n) { std::memcpy(out + (a - addr), read_view(a), n); });
  return true;
}

bool AddressSpace::copy_out(uint32_t addr, const void* src, uint32_t len) {
  Impl& m = *impl_;
  if (!writable(addr, len)) return false;
  if (len == 0) return true;
  // The untouched stack pages the copy lands on appear as the guest's own
  // store would make them.
  const bool grown =
      each_page(addr, len, [&](uint32_t a) { return m.is_mapped(a) || m.try_grow(a) == MemError::None; });
  return grown && poke(addr, src, len);
}

bool AddressSpace::peek(uint32_t addr, void* dst, uint32_t len) const {
  if (!range_ok(*impl_, addr, len, 0, false)) return false;
  auto* out = static_cast<uint8_t*>(dst);
  each_piece(addr, len, [&](uint32_t a, uint32_t n) {
    std::memcpy(out + (a - addr), impl_->table(a)->page[l2_index(a)]->bytes + page_offset(a), n);
  });
  return true;
}

bool AddressSpace::poke(uint32_t addr, const void* src, uint32_t len) {
  Impl& m = *impl_;
  const auto* in = static_cast<const uint8_t*>(src);
  if (!range_ok(m, addr, len, 0, false) || !own_range(m, addr, len, in)) return false;
  each_piece(addr, len, [&](uint32_t a, uint32_t n) {
    std::shared_ptr<PageData>& page = m.table(a)->page[l2_index(a)];
    if (is_zero_page(page)) return;  // own_range left it: the piece is all zeros
    m.store_touches(a, n);
    std::memcpy(page->bytes + page_offset(a), in + (a - addr), n);
  });
  return true;
}

namespace {

// Common checks of a guest data access; on success host points at the byte.
MemError locate(AddressSpace::Impl& m, uint32_t addr, uint32_t size, bool write, uint8_t*& host) {
  if (addr & (size - 1)) return MemError::Unaligned;
  if (addr >= kUserEnd) return MemError::KernelSpace;
  const uint32_t i = l2_index(addr);
  if (!m.table(addr)->page[i]) {
    if (MemError e = m.try_grow(addr); e != MemError::None) return e;
  }
  L2Table* t = m.table(addr);
  const uint8_t prot = t->prot[i];
  if (write) {
    if (!(prot & kProtWrite)) return MemError::ReadOnly;
    if (!m.own_page(addr)) return MemError::NoMemory;
    m.store_touches(addr, size);
  } else if (!(prot & kProtRead)) {
    return MemError::Unmapped;
  }
  host = t->page[i]->bytes + page_offset(addr);
  return MemError::None;
}

}  // namespace

MemError AddressSpace::load8(uint32_t addr, uint32_t& value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 1, false, p);
  if (e == MemError::None) value = *p;
  return e;
}

MemError AddressSpace::load16(uint32_t addr, uint32_t& value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 2, false, p);
  if (e == MemError::None) value = load_be16(p);
  return e;
}

MemError AddressSpace::load32(uint32_t addr, uint32_t& value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 4, false, p);
  if (e == MemError::None) value = load_be32(p);
  return e;
}

MemError AddressSpace::store8(uint32_t addr, uint32_t value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 1, true, p);
  if (e == MemError::None) *p = uint8_t(value);
  return e;
}

MemError AddressSpace::store16(uint32_t addr, uint32_t value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 2, true, p);
  if (e == MemError::None) store_be16(p, value);
  return e;
}

MemError AddressSpace::store32(uint32_t addr, uint32_t value) {
  uint8_t* p;
  MemError e = locate(*impl_, addr, 4, true, p);
  if (e == MemError::None) store_be32(p, value);
  return e;
}

std::unique_ptr<AddressSpace> AddressSpace::clone(uint32_t share_lo, uint32_t share_hi) const {
  Impl& src = *impl_;
  auto copy = std::make_unique<AddressSpace>(src.max_pages, src.host);
  Impl& dst = *copy->impl_;
  dst.grow_lo = src.grow_lo;
  dst.grow_hi = src.grow_hi;
  // Most pages turn copy-on-write: the window is made again on next use,
  // in a few mappings, rather than changed page by page.
  src.drop_window(false);
  for (uint32_t j = 0; j < (1u << kL1Bits); ++j) {
    L2Table* st = src.l1[j];
    if (st == &Impl::empty_table() || st->present == 0) continue;
    const uint32_t table_base = j << (kPageBits + kL2Bits);
    L2Table* dt = dst.table_for_write(table_base);
    if (dt == nullptr) return nullptr;
    for (uint32_t i = 0; i < kL2Size; ++i) {
      if (!st->page[i]) continue;
      const uint32_t addr = table_base | (i << kPageBits);
      if (addr >= share_lo && addr < share_hi) {
        // Both sides must write the same bytes: a real page, and our
        // decoded code on it would not see the copy's stores.
        if (!src.own_page(addr)) return nullptr;
        src.invalidate_code(addr);
        st->shared[i] = dt->shared[i] = true;
        dt->page[i] = st->page[i];
      } else if (st->shared[i]) {
        // Shared for good with others: the copy alone gets its own bytes.
        dt->page[i] = new_page(dst.host, st->page[i].get());
        if (!dt->page[i]) return nullptr;
      } else {
        dt->page[i] = st->page[i];  // copy on write, from now on for both
      }
      dt->prot[i] = st->prot[i];
      ++dt->present;
      ++dst.mapped;
      dst.refresh(addr);
      src.refresh(addr);
    }
  }
  return copy;
}

}  // namespace r3k
