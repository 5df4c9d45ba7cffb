// Host memory of guest pages: pages of one shared memory file, so that an
// address space can show a page a second time at its guest address in its
// window (Window), where generated code reaches it with one host load.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace r3k {

struct PageData;

class PagePool {
 public:
  // The process's pool (every machine's pages).
  static PagePool& get();
  // A page of the pool, its bytes undefined; from the heap when the pool
  // is full or the host refused it (such a page is never shown in a
  // window); null when the heap refuses too.
  PageData* take();
  void give(PageData* page);
  // Whether page is one of the pool's, and then its offset in fd().
  bool holds(const PageData* page) const;
  uint64_t offset(const PageData* page) const;
  int fd() const { return fd_; }
  // Called in a forked child after copy_for_child, with its result: the
  // windows, which show the parent's file, are made again there, or given
  // up when the child has no copy to show.
  void (*after_fork_copy)(bool copied) = nullptr;

 private:
  PagePool();
  bool reserve();
  bool grow();
  // A host process forked while pages exist: the child gets a file of its
  // own with a copy of them, at the same addresses, so neither changes
  // the other's guest memory.
  bool copy_for_child();

  int fd_ = -1;
  uint8_t* base_ = nullptr;
  uint64_t reserved_ = 0, size_ = 0, top_ = 0;
  std::vector<PageData*> free_;
  std::mutex mutex_;
};

}  // namespace r3k
