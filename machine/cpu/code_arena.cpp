// Executable memory for generated code (see code_arena.h).
#include "cpu/code_arena.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

namespace r3k {

namespace {

// Chunks double from one host page up to this size.
constexpr size_t kMaxChunk = 64 << 10;
// Generated code one code page may hold: blocks re-decoded again and again
// (a delay slot on a changing page) must not grow it without end.
constexpr size_t kPageAllowance = 1 << 20;
// Address space reserved for each view: the most it tries, halving down
// to the least when the host refuses.  Every jump between chunks stays
// within a rel32's reach.
constexpr size_t kMostReserved = size_t{1} << 30;
constexpr size_t kLeastReserved = size_t{16} << 20;

size_t host_page() { return size_t(sysconf(_SC_PAGESIZE)); }
size_t aligned_code(size_t size) { return (size + kCodeAlign - 1) & ~(kCodeAlign - 1); }

// Shared anonymous memory seen twice: mremap with an old size of 0 maps
// the same pages again elsewhere.  (No file of our own: perf, which names
// code in anonymous memory from the perf map, still does.)  Ranges are
// handed out first fit and given back with their memory.
class DualMap {
 public:
  // The process's, or null when the host refuses the memory or the views.
  static DualMap* get();
  // The executable address of size bytes (host pages) free; null if full.
  uint8_t* take(size_t size);
  void give(uint8_t* at, size_t size);
  uint8_t* writable(const uint8_t* at) const { return rw_ + (at - rx_); }

 private:
  static DualMap* make();
  static uint8_t* new_memory(size_t size);
  // The executable view of the memory at rw: at `at`, or anywhere (null).
  static uint8_t* alias(uint8_t* rw, size_t size, uint8_t* at);
  bool reserve();
  // A forked child must not write into the parent's code, nor run code
  // the parent changes: it gets a copy of what is in use, at the same
  // addresses.
  void copy_for_child();

  uint8_t* rw_ = nullptr;
  uint8_t* rx_ = nullptr;
  size_t size_ = 0, top_ = 0;
  std::map<size_t, size_t> free_;  // offset -> size, coalesced
  std::mutex mutex_;
  static inline DualMap* instance_ = nullptr;  // for the fork handlers
};

uint8_t* DualMap::new_memory(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

uint8_t* DualMap::alias(uint8_t* rw, size_t size, uint8_t* at) {
  void* p = at ? mremap(rw, 0, size, MREMAP_MAYMOVE | MREMAP_FIXED, at) : mremap(rw, 0, size, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return nullptr;
  if (mprotect(p, size, PROT_READ | PROT_EXEC) != 0) {
    munmap(p, size);
    return nullptr;
  }
  return static_cast<uint8_t*>(p);
}

bool DualMap::reserve() {
  for (size_ = kMostReserved; size_ >= kLeastReserved; size_ /= 2) {
    rw_ = new_memory(size_);
    if (!rw_) continue;
    rx_ = alias(rw_, size_, nullptr);
    if (rx_) return true;
    munmap(rw_, size_);
  }
  return false;
}

DualMap* DualMap::get() {
  static DualMap* const map = make();
  return map;
}

DualMap* DualMap::make() {
  auto* m = new DualMap;  // lives as long as the process: code may run to its end
  if (!m->reserve()) {
    delete m;
    return nullptr;
  }
  instance_ = m;
  pthread_atfork([] { instance_->mutex_.lock(); }, [] { instance_->mutex_.unlock(); },
                 [] {
                   instance_->copy_for_child();
                   instance_->mutex_.unlock();
                 });
  return m;
}

uint8_t* DualMap::take(size_t size) {
  std::lock_guard lock(mutex_);
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (it->second < size) continue;
    const size_t at = it->first, left = it->second - size;
    free_.erase(it);
    if (left) free_.emplace(at + size, left);
    return rx_ + at;
  }
  if (size > size_ - top_) return nullptr;
  top_ += size;
  return rx_ + top_ - size;
}

void DualMap::give(uint8_t* at, size_t size) {
  std::lock_guard lock(mutex_);
  // The memory goes back to the host; the range reads as zeros.
  madvise(writable(at), size, MADV_REMOVE);
  size_t off = size_t(at - rx_);
  auto next = free_.lower_bound(off);
  if (next != free_.end() && next->first == off + size) {
    size += next->second;
    next = free_.erase(next);
  }
  if (next != free_.begin() && std::prev(next)->first + std::prev(next)->second == off) {
    off = std::prev(next)->first;
    size += std::prev(next)->second;
    free_.erase(std::prev(next));
  }
  if (off + size == top_) top_ = off;
  else free_.emplace(off, size);
}

void DualMap::copy_for_child() {
  uint8_t* copy = new_memory(size_);
  if (copy) {
    // The ranges in use: from one free range (or the start) to the next (or the top).
    size_t off = 0;
    for (auto it = free_.begin();; ++it) {
      const size_t end = it == free_.end() ? top_ : it->first;
      std::memcpy(copy + off, rx_ + off, end - off);
      if (it == free_.end()) break;
      off = it->first + it->second;
    }
    if (mremap(copy, size_, size_, MREMAP_MAYMOVE | MREMAP_FIXED, rw_) == MAP_FAILED) munmap(copy, size_);
    else if (alias(rw_, size_, rx_)) return;
  }
  // No copy: the child keeps no view of the parent's code, and any code it
  // still runs faults instead of running what the parent changes.
  for (uint8_t* view : {rw_, rx_})
    mmap(view, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
  top_ = size_;
  free_.clear();
}

}  // namespace

JitArena::~JitArena() {
  for (const Chunk& c : chunks_) {
    if (c.shared) DualMap::get()->give(c.base, c.size);
    else munmap(c.base, c.size);
  }
}

size_t JitArena::growth(size_t size) const {
  const size_t len = aligned_code(size);
  if (total_ + len > kPageAllowance) return SIZE_MAX;
  if (!chunks_.empty() && chunks_.back().used + len <= chunks_.back().size) return 0;
  const size_t page = host_page();
  const size_t next = chunks_.empty() ? page : std::min(2 * chunks_.back().size, kMaxChunk);
  return std::max(next, (len + page - 1) & ~(page - 1));
}

void* JitArena::add(const uint8_t* code, size_t size) {
  const size_t len = aligned_code(size);
  const size_t more = growth(size);
  if (more == SIZE_MAX) return nullptr;
  if (more) {
    DualMap* dual = DualMap::get();
    uint8_t* base = dual ? dual->take(more) : nullptr;
    if (base) {
      chunks_.push_back(Chunk{base, more, 0, true});
    } else {
      void* p = mmap(nullptr, more, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return nullptr;
      chunks_.push_back(Chunk{static_cast<uint8_t*>(p), more, 0, false});
    }
    mapped_ += more;
  }
  Chunk& c = chunks_.back();
  uint8_t* at = c.base + c.used;
  if (!write(c, at, code, size)) return nullptr;
  c.used += len;
  total_ += len;
  return at;
}

bool JitArena::patch(uint8_t* rel32, const void* target) {
  const int64_t rel = static_cast<const uint8_t*>(target) - (rel32 + 4);
  if (rel != int32_t(rel)) return false;
  const int32_t value = int32_t(rel);
  for (const Chunk& c : chunks_)
    if (rel32 >= c.base && rel32 + 4 <= c.base + c.size) return write(c, rel32, &value, 4);
  return false;
}

// Writes bytes at `at` (executable) in chunk c.
bool JitArena::write(const Chunk& c, uint8_t* at, const void* bytes, size_t size) {
  if (c.shared) {
    std::memcpy(DualMap::get()->writable(at), bytes, size);
    return true;
  }
  const uintptr_t page = host_page();
  const uintptr_t lo = uintptr_t(at) & ~(page - 1);
  const uintptr_t hi = (uintptr_t(at) + size + page - 1) & ~(page - 1);
  void* from = reinterpret_cast<void*>(lo);
  if (mprotect(from, hi - lo, PROT_READ | PROT_WRITE) != 0) return false;
  std::memcpy(at, bytes, size);
  return mprotect(from, hi - lo, PROT_READ | PROT_EXEC) == 0;
}

}  // namespace r3k
