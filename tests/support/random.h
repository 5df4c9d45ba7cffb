// Seeded randomness for generated tests: the case count and seed come from
// the environment, so a long run or the replay of one failure needs no
// rebuild.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace r3k::test {

inline uint64_t env_number(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// splitmix64: small, and the same sequence on every host library.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }
  template <class T, size_t N>
  const T& pick(const T (&a)[N]) {
    return a[below(N)];
  }
};

}  // namespace r3k::test
