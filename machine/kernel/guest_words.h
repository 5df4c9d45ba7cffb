// Small helpers the kernel's units share: big-endian words, and the
// one-page test of a guest buffer.
#pragma once

#include <cstdint>
#include <string>

#include "r3k/abi.h"
#include "r3k/memory.h"

namespace r3k {

inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t get_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Whether [addr, addr+len) lies within one page: then the page's own view
// serves the whole buffer.
inline bool within_page(uint32_t addr, uint32_t len) { return len <= kPageSize - (addr & (kPageSize - 1)); }

// Whether the kernel may read all of a guest buffer: within one page
// (printf's one byte) the page's view, else the whole range.
inline bool readable_buffer(const AddressSpace& space, uint32_t addr, uint32_t len) {
  return within_page(addr, len) ? space.read_view(addr) != nullptr : space.readable(addr, len);
}

// A guest string, read up to its NUL: at most limit bytes are looked at.
struct GuestString {
  std::string bytes;
  bool readable = true;    // false: memory ran out before the NUL
  bool terminated = true;  // false: no NUL within limit bytes
};
GuestString read_string(const AddressSpace& space, uint32_t addr, uint32_t limit);

// A path argument: EFAULT when readable memory ends before its NUL,
// ENAMETOOLONG when it has no NUL within PATH_MAX bytes.
inline Err read_path(const AddressSpace& space, uint32_t addr, std::string* out) {
  GuestString s = read_string(space, addr, kPATH_MAX);
  if (!s.readable) return kEFAULT;
  if (!s.terminated) return kENAMETOOLONG;
  *out = std::move(s.bytes);
  return kEOK;
}

// Wake-ups wait while a call is being served: the processes woken are
// served again once the caller's answer is in (so the trace shows a write
// before the read it completes).
struct Busy {
  int& depth;
  explicit Busy(int& d) : depth(d) { ++depth; }
  ~Busy() { --depth; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
};

}  // namespace r3k
