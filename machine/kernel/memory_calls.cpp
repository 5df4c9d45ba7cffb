// sbrk: the heap, from the page-aligned end of the program's bss upward.
#include "kernel/guest_words.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {
uint64_t page_up(uint64_t addr) { return (addr + kPageSize - 1) & ~uint64_t{kPageSize - 1}; }
}  // namespace

// Returns the old break.  Growth maps zero pages, which cost the host
// nothing until written, all or none: ENOMEM when they would pass
// --max-mem, run into a mapping (the stack's region included), or could
// not all be written under --max-host-mem.  Shrinking gives the pages
// back, down to the start (EINVAL below it).
std::optional<Kernel::Answer> Kernel::do_sbrk(Call& c) {
  Process& p = c.p;
  const int64_t amount = static_cast<int32_t>(c.a[0]);
  const int64_t to = int64_t{p.brk} + amount;
  if (to < p.brk_start) return error(kEINVAL);
  const uint64_t old_end = page_up(p.brk), new_end = page_up(static_cast<uint64_t>(to));
  if (new_end > old_end) {
    const uint64_t stack_lo = kUserEnd - opts_.stack_size;
    if (new_end > stack_lo) return error(kENOMEM);
    for (uint64_t a = old_end; a < new_end; a += kPageSize)
      if (p.space->prot(static_cast<uint32_t>(a)) != kProtNone) return error(kENOMEM);
    const HostMemory& host = p.space->host();
    if (new_end - old_end > host.limit() - std::min(host.limit(), host.used())) return error(kENOMEM);
    if (!p.space->map(static_cast<uint32_t>(old_end), static_cast<uint32_t>(new_end - old_end), kProtRead | kProtWrite))
      return error(kENOMEM);
  } else if (new_end < old_end) {
    p.space->unmap(static_cast<uint32_t>(new_end), static_cast<uint32_t>(old_end - new_end));
  }
  const uint32_t old = p.brk;
  p.brk = static_cast<uint32_t>(to);
  return ok(old);
}

}  // namespace r3k
