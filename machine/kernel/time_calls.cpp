// __time: the host's clock, or the virtual one of --clock.
#include <time.h>

#include "kernel/guest_words.h"
#include "r3k/kernel.h"

namespace r3k {

// Returns the seconds (64 bits: v0 high, v1 low) and stores them (8 bytes)
// and the nanoseconds (4 bytes) through the pointers that are not null;
// EFAULT, nothing stored, if either cannot be written.
std::optional<Kernel::Answer> Kernel::do_time(Call& c) {
  const uint32_t secs_at = c.a[0], nsecs_at = c.a[1];
  AddressSpace& space = *c.p.space;
  if ((secs_at != 0 && !space.writable(secs_at, 8)) || (nsecs_at != 0 && !space.writable(nsecs_at, 4)))
    return error(kEFAULT);
  constexpr uint64_t kNano = 1'000'000'000;
  int64_t secs = 0;
  uint32_t nsecs = 0;
  if (opts_.clock) {
    // One nanosecond per guest instruction of the whole machine.
    secs = *opts_.clock + static_cast<int64_t>(insns_ / kNano);
    nsecs = static_cast<uint32_t>(insns_ % kNano);
  } else {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    secs = now.tv_sec;
    nsecs = static_cast<uint32_t>(now.tv_nsec);
  }
  uint8_t s[8], ns[4];
  put_be32(s, static_cast<uint32_t>(static_cast<uint64_t>(secs) >> 32));
  put_be32(s + 4, static_cast<uint32_t>(secs));
  put_be32(ns, nsecs);
  if ((secs_at != 0 && !space.copy_out(secs_at, s, 8)) || (nsecs_at != 0 && !space.copy_out(nsecs_at, ns, 4)))
    return error(kEFAULT);
  return ok64(secs);
}

}  // namespace r3k
