// Where two runs of the same code disagree: how they stopped, the fault, and
// the whole CPU state including the R3000 strictness carried across stops.
// Used to hold generated code to the interpreter.
#pragma once

#include <cstdint>
#include <string>

#include "r3k/cpu.h"

namespace r3k::test {

// Empty when they agree; otherwise one "\n  field: generated A, interpreted B"
// line per difference.
inline std::string stop_differences(const Stop& a, const CpuState& x, const Stop& b, const CpuState& y) {
  std::string d;
  auto diff = [&](const std::string& what, uint64_t u, uint64_t v) {
    if (u != v) d += "\n  " + what + ": generated " + std::to_string(u) + ", interpreted " + std::to_string(v);
  };
  diff("stop reason", uint64_t(a.reason), uint64_t(b.reason));
  diff("executed", a.executed, b.executed);
  if (a.reason == StopReason::Fault && b.reason == StopReason::Fault) {
    diff("fault kind", uint64_t(a.fault.kind), uint64_t(b.fault.kind));
    diff("fault pc", a.fault.pc, b.fault.pc);
    diff("fault insn", a.fault.insn, b.fault.insn);
    diff("fault addr", a.fault.addr, b.fault.addr);
    diff("fault in delay slot", a.fault.in_delay_slot, b.fault.in_delay_slot);
    diff("fault fetch", a.fault.fetch, b.fault.fetch);
    diff("fault reg", a.fault.reg, b.fault.reg);
    diff("fault's branch to", a.fault.branch_to, b.fault.branch_to);
  }
  for (int i = 0; i < 32; ++i) diff("r" + std::to_string(i), x.gpr[i], y.gpr[i]);
  diff("hi", x.hi, y.hi);
  diff("lo", x.lo, y.lo);
  diff("pc", x.pc, y.pc);
  diff("load_reg", x.load_reg, y.load_reg);
  diff("load_partial", x.load_partial, y.load_partial);
  diff("hilo_guard", x.hilo_guard, y.hilo_guard);
  return d;
}

}  // namespace r3k::test
