// Guest page memory in one shared memory file (see page_pool.h).
#include "memory/page_pool.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "memory/address_space_impl.h"

namespace r3k {

namespace {

// Address space reserved for the pool: the most it tries, halving down to
// the least when the host refuses.  Pages past it come from the heap.
constexpr uint64_t kMostReserved = uint64_t{1} << 36;
constexpr uint64_t kLeastReserved = uint64_t{1} << 28;
// The file grows by this much at a time.
constexpr uint64_t kGrowth = uint64_t{2} << 20;

uint8_t* map_file(void* at, uint64_t size, int fd, uint64_t offset) {
  void* p = mmap(at, size, PROT_READ | PROT_WRITE, MAP_SHARED | (at ? MAP_FIXED : 0), fd, off_t(offset));
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

}  // namespace

PagePool& PagePool::get() {
  static PagePool* const pool = new PagePool;  // pages may outlive every static
  return *pool;
}

PagePool::PagePool() {
  if (!reserve()) return;
  pthread_atfork([] { get().mutex_.lock(); }, [] { get().mutex_.unlock(); },
                 [] {
                   PagePool& p = get();
                   const bool copied = p.copy_for_child();
                   p.mutex_.unlock();
                   if (p.after_fork_copy) p.after_fork_copy(copied);
                 });
}

bool PagePool::reserve() {
  fd_ = memfd_create("r3k-guest-pages", MFD_CLOEXEC);
  if (fd_ < 0) return false;
  for (reserved_ = kMostReserved; reserved_ >= kLeastReserved; reserved_ /= 2) {
    void* p = mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) continue;
    base_ = static_cast<uint8_t*>(p);
    return true;
  }
  close(fd_);
  fd_ = -1;
  reserved_ = 0;
  return false;
}

bool PagePool::grow() {
  if (!base_ || reserved_ - size_ < kGrowth) return false;
  if (ftruncate(fd_, off_t(size_ + kGrowth)) != 0) return false;
  if (!map_file(base_ + size_, kGrowth, fd_, size_)) return false;
  size_ += kGrowth;
  return true;
}

PageData* PagePool::take() {
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      PageData* page = free_.back();
      free_.pop_back();
      return page;
    }
    if (top_ < size_ || grow()) {
      top_ += kPageSize;
      return reinterpret_cast<PageData*>(base_ + top_ - kPageSize);
    }
  }
  return new (std::nothrow) PageData;
}

void PagePool::give(PageData* page) {
  if (!holds(page)) {
    delete page;
    return;
  }
  std::lock_guard lock(mutex_);
  try {
    free_.push_back(page);
  } catch (const std::bad_alloc&) {
    // Lost to reuse, not to the cap: the host memory counted it back.
  }
}

bool PagePool::holds(const PageData* page) const {
  const auto* p = reinterpret_cast<const uint8_t*>(page);
  return base_ && p >= base_ && p < base_ + size_;
}

uint64_t PagePool::offset(const PageData* page) const {
  return uint64_t(reinterpret_cast<const uint8_t*>(page) - base_);
}

bool PagePool::copy_for_child() {
  if (!base_ || size_ == 0) return true;
  const int fd = memfd_create("r3k-guest-pages", MFD_CLOEXEC);
  uint8_t* copy = fd >= 0 && ftruncate(fd, off_t(size_)) == 0 ? map_file(nullptr, size_, fd, 0) : nullptr;
  if (copy) {
    std::memcpy(copy, base_, top_);
    munmap(copy, size_);
    if (map_file(base_, size_, fd, 0)) {
      close(fd_);
      fd_ = fd;
      return true;
    }
  }
  if (fd >= 0) close(fd);
  // No copy: the child's view becomes private, so its stores at least stay
  // its own.
  mmap(base_, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_, 0);
  return false;
}

}  // namespace r3k
