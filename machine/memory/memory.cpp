// Sparse paged guest memory.  Pages are kept in guest byte order, so kernel
// copies are plain memcpy and only word accesses swap.
#include <algorithm>
#include <cstring>
#include <new>

#include "memory/address_space_impl.h"

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
uint32_t page_span(uint32_t addr, uint32_t len) {
  return ((addr + len - 1) >> kPageBits) - (addr >> kPageBits) + 1;
}

}  // namespace

// ---- Impl --------------------------------------------------------------

namespace {
constinit L2Table g_empty_table;  // constant-initialised: no guard on use
}  // namespace

AddressSpace::Impl::Impl() { std::fill(std::begin(l1), std::end(l1), &empty_table()); }

AddressSpace::Impl::~Impl() {
  for (L2Table* t : l1)
    if (t != &g_empty_table) delete t;
}

L2Table& AddressSpace::Impl::empty_table() { return g_empty_table; }

L2Table& AddressSpace::Impl::table_for_write(uint32_t addr) {
  L2Table*& t = l1[l1_index(addr)];
  if (t == &empty_table()) t = new L2Table;
  return *t;
}

bool AddressSpace::Impl::user_range(uint32_t addr, uint32_t len) {
  return addr < kUserEnd && len <= kUserEnd - addr;
}

bool AddressSpace::Impl::map_page(uint32_t addr, uint8_t prot) {
  if (mapped >= max_pages) return false;
  L2Table& t = table_for_write(addr);
  uint32_t i = l2_index(addr);
  t.page[i] = std::make_shared<PageData>();  // value-initialised: zero
  t.prot[i] = prot;
  ++t.present;
  ++mapped;
  refresh(addr);
  return true;
}

void AddressSpace::Impl::refresh(uint32_t addr) {
  L2Table* t = table(addr);
  if (t == &empty_table()) return;
  uint32_t i = l2_index(addr);
  uint8_t* base = t->page[i] ? t->page[i]->bytes : nullptr;
  t->rd[i] = (t->prot[i] & kProtRead) ? base : nullptr;
  t->wr[i] = (t->prot[i] & kProtWrite) && !t->code[i] ? base : nullptr;
}

void AddressSpace::Impl::invalidate_code(uint32_t addr) {
  L2Table* t = table(addr);
  uint32_t i = l2_index(addr);
  if (!t->code[i]) return;
  graveyard.push_back(std::move(t->code[i]));
  ++code_gen;
  refresh(addr);
}

void AddressSpace::Impl::store_touches(uint32_t addr, uint32_t len) {
  const CodeCache* c = table(addr)->code[l2_index(addr)].get();
  if (c && c->covers(page_offset(addr), len)) invalidate_code(addr);
}

bool AddressSpace::Impl::try_grow(uint32_t addr) {
  if (addr < grow_lo || addr >= grow_hi || addr >= kUserEnd || is_mapped(addr)) return false;
  return map_page(page_base(addr), kProtRead | kProtWrite);
}

bool AddressSpace::Impl::code_cacheable(uint32_t addr) const {
  // A page shared with another space (the broken-fork quirk) can be written
  // by a CPU that does not know about our decoded blocks.
  const L2Table* t = table(addr);
  return t->page[l2_index(addr)].use_count() == 1;
}

// ---- AddressSpace ------------------------------------------------------

AddressSpace::AddressSpace(uint32_t max_pages) : impl_(std::make_unique<Impl>()) {
  impl_->max_pages = max_pages;
}

AddressSpace::~AddressSpace() = default;

bool AddressSpace::map(uint32_t addr, uint32_t len, uint8_t prot) {
  Impl& m = *impl_;
  if (len == 0) return Impl::user_range(addr, 0);
  if (!Impl::user_range(addr, len)) return false;
  uint32_t first = page_base(addr);
  uint32_t count = page_span(addr, len);
  uint32_t fresh = 0;
  for (uint32_t k = 0; k < count; ++k)
    if (!m.is_mapped(first + k * kPageSize)) ++fresh;
  if (fresh > m.max_pages - std::min(m.mapped, m.max_pages)) return false;
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t a = first + k * kPageSize;
    if (!m.is_mapped(a)) {
      m.map_page(a, prot);
    } else {
      // Decoded code was checked against the old protection.
      m.invalidate_code(a);
      m.table(a)->prot[l2_index(a)] = prot;
      m.refresh(a);
    }
  }
  return true;
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

namespace {

// Walks [addr, addr+len) page by page, handing each piece to fn(host, n).
template <typename Fn>
void for_each_piece(AddressSpace::Impl& m, uint32_t addr, uint32_t len, Fn fn) {
  while (len > 0) {
    uint32_t off = page_offset(addr);
    uint32_t n = std::min(len, kPageSize - off);
    L2Table* t = m.table(addr);
    fn(t->page[l2_index(addr)]->bytes + off, addr, n);
    addr += n;
    len -= n;
  }
}

// True if every page of the range is mapped and has all of the need bits.
bool range_ok(const AddressSpace::Impl& m, uint32_t addr, uint32_t len, uint8_t need) {
  if (!AddressSpace::Impl::user_range(addr, len)) return false;
  if (len == 0) return true;
  uint32_t first = page_base(addr);
  uint32_t count = page_span(addr, len);
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t a = first + k * kPageSize;
    const L2Table* t = m.table(a);
    uint32_t i = l2_index(a);
    if (!t->page[i] || (t->prot[i] & need) != need) return false;
  }
  return true;
}

}  // namespace

// The kernel's copies are the debugger's, behind a protection check.
bool AddressSpace::copy_in(uint32_t addr, void* dst, uint32_t len) {
  return range_ok(*impl_, addr, len, kProtRead) && peek(addr, dst, len);
}

bool AddressSpace::copy_out(uint32_t addr, const void* src, uint32_t len) {
  return range_ok(*impl_, addr, len, kProtWrite) && poke(addr, src, len);
}

bool AddressSpace::peek(uint32_t addr, void* dst, uint32_t len) const {
  if (!range_ok(*impl_, addr, len, 0)) return false;
  auto* out = static_cast<uint8_t*>(dst);
  for_each_piece(*impl_, addr, len, [&](uint8_t* host, uint32_t, uint32_t n) {
    std::memcpy(out, host, n);
    out += n;
  });
  return true;
}

bool AddressSpace::poke(uint32_t addr, const void* src, uint32_t len) {
  if (!range_ok(*impl_, addr, len, 0)) return false;
  auto* in = static_cast<const uint8_t*>(src);
  for_each_piece(*impl_, addr, len, [&](uint8_t* host, uint32_t a, uint32_t n) {
    impl_->store_touches(a, n);
    std::memcpy(host, in, n);
    in += n;
  });
  return true;
}

namespace {

// Common checks of a guest data access; on success host points at the byte.
MemError locate(AddressSpace::Impl& m, uint32_t addr, uint32_t size, bool write, uint8_t*& host) {
  if (addr & (size - 1)) return MemError::Unaligned;
  if (addr >= kUserEnd) return MemError::KernelSpace;
  L2Table* t = m.table(addr);
  uint32_t i = l2_index(addr);
  if (!t->page[i]) {
    if (!m.try_grow(addr)) return MemError::Unmapped;
    t = m.table(addr);
  }
  uint8_t prot = t->prot[i];
  if (write) {
    if (!(prot & kProtWrite)) return MemError::ReadOnly;
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
  if (src.mapped > src.max_pages) return nullptr;
  try {
    auto copy = std::make_unique<AddressSpace>(src.max_pages);
    Impl& dst = *copy->impl_;
    dst.grow_lo = src.grow_lo;
    dst.grow_hi = src.grow_hi;
    for (uint32_t j = 0; j < (1u << kL1Bits); ++j) {
      const L2Table* st = src.l1[j];
      if (st == &Impl::empty_table() || st->present == 0) continue;
      L2Table* dt = new L2Table;
      dst.l1[j] = dt;
      for (uint32_t i = 0; i < kL2Size; ++i) {
        if (!st->page[i]) continue;
        uint32_t addr = (j << (kPageBits + kL2Bits)) | (i << kPageBits);
        if (addr >= share_lo && addr < share_hi) {
          // Our decoded code on this page would not see the copy's stores.
          src.invalidate_code(addr);
          dt->page[i] = st->page[i];
        } else {
          dt->page[i] = std::make_shared<PageData>(*st->page[i]);
        }
        dt->prot[i] = st->prot[i];
        ++dt->present;
        ++dst.mapped;
        dst.refresh(addr);
      }
    }
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace r3k
