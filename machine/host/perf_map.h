// perf's map of generated code (r3krun --perf-map): /tmp/perf-PID.map, one
// line "START SIZE NAME" (hex) per stretch of generated code, written as
// the code is made, so that `perf report` names the guest function each
// sample fell in ("guest:main+0x40") and the shared code by its job
// ("r3k:entry-thunk").
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "r3k/cpu.h"

namespace r3k {

class PerfMap : public CodeListener {
 public:
  using Namer = std::function<std::string(uint32_t addr)>;
  // Opens (creates or empties) this process's map; throws
  // std::invalid_argument naming the file when it cannot.
  PerfMap();
  ~PerfMap() override;
  PerfMap(const PerfMap&) = delete;
  PerfMap& operator=(const PerfMap&) = delete;

  // Names guest code ("main+0x40"; empty: not known).
  void set_namer(Namer namer) { namer_ = std::move(namer); }
  static std::string path_for(long pid);

  void guest_code(const void* code, size_t size, uint32_t guest_pc, bool exits) override;
  void shared_code(const void* code, size_t size, std::string_view job) override;

 private:
  void line(const void* code, size_t size, const std::string& name);
  std::FILE* file_ = nullptr;
  Namer namer_;
};

}  // namespace r3k
