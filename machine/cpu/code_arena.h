// Executable memory for generated code.  Where the host allows it, all of
// it lies in one stretch of shared memory mapped twice: a writable view
// code is copied and patched through and an executable view it runs from,
// neither ever both, so adding a region or patching a jump changes no
// protection.  Elsewhere each chunk is a mapping of its own, made writable
// for each change and executable again after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace r3k {

// Code is placed on 16-byte boundaries, the host's preferred alignment for
// jump targets.
inline constexpr size_t kCodeAlign = 16;

// Executable memory of one code page's blocks, freed with the page's
// decoded code.  Taken in chunks that double from one host page, so that
// a page with little hot code holds little.
class JitArena {
 public:
  JitArena() = default;
  ~JitArena();
  JitArena(const JitArena&) = delete;
  JitArena& operator=(const JitArena&) = delete;

  // The bytes add(size) would map: 0 when the code fits the last chunk;
  // SIZE_MAX when the page's allowance would be passed.
  size_t growth(size_t size) const;
  // Copies code in (it must run wherever it is placed); null when the
  // page's allowance would be passed or the host refuses a mapping.
  void* add(const uint8_t* code, size_t size);
  // Points the rel32 of a jump already added at target; false when the
  // host refuses or target is out of its reach.
  bool patch(uint8_t* rel32, const void* target);
  size_t mapped() const { return mapped_; }

 private:
  struct Chunk {
    uint8_t* base;  // where the code runs
    size_t size, used;
    bool shared;  // in the memory mapped twice (else a mapping of its own)
  };
  bool write(const Chunk& c, uint8_t* at, const void* bytes, size_t size);
  std::vector<Chunk> chunks_;
  size_t total_ = 0, mapped_ = 0;
};

}  // namespace r3k
