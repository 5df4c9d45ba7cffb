#include "diff/sequence_run.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

#include "r3k/memory.h"
#include "support/mips_encode.h"

namespace r3k::diff {

namespace {

using enc::hex;

void load_reference(Reference& ref, const Sequence& s) {
  ref.unmap_all();
  ref.map(kSeqCode, kSeqCodeSize, UC_PROT_ALL);
  ref.map(kSeqData, kSeqDataSize, UC_PROT_READ | UC_PROT_WRITE);
  ref.map(kSeqRodata, kSeqRodataSize, UC_PROT_READ);
  std::vector<uint8_t> code(kSeqCodeSize, 0);
  for (size_t i = 0; i < s.code.size() && s.start - kSeqCode + 4 * i < kSeqCodeSize; ++i)
    enc::put_be32(code, s.start - kSeqCode + 4 * i, s.code[i]);
  ref.write(kSeqCode, code.data(), code.size());
  ref.forget_code(kSeqCode, kSeqCodeSize);
  ref.write(kSeqData, s.data.data(), kSeqDataSize);
  ref.write(kSeqRodata, s.rodata.data(), kSeqRodataSize);
  ref.reset_cpu();
  RefRegs r;
  std::memcpy(r.gpr, s.gpr, sizeof r.gpr);
  r.hi = s.hi;
  r.lo = s.lo;
  r.pc = s.start;
  ref.set_regs(r);
}

// Runs r3krun alone in short runs of random budgets, resuming after faults
// as the lockstep run did, and compares with where the lockstep run ended.
std::string free_run(const Sequence& s, const LockstepOutcome& lock, const R3kSide& stepped) {
  R3kSide side(s);
  std::mt19937_64 rng(s.seed ^ 0x5eed);
  std::vector<Fault> faults;
  uint64_t total = 0;
  for (;;) {
    uint64_t budget = rng() % 4 == 0 ? UINT64_MAX : 1 + rng() % 12;
    Stop st = side.cpu.run(budget);
    total += st.executed;
    if (total > 4 * lock.insns + 1000) return "runs on past where the lockstep run ended";
    if (st.reason == StopReason::Syscall && side.cpu.state().pc == s.end_pc()) break;
    if (st.reason != StopReason::Fault) continue;
    faults.push_back(st.fault);
    const Fault& f = st.fault;
    if (f.in_delay_slot || f.fetch) break;
    CpuState& cs = side.cpu.state();
    cs.pc = f.pc + 4;
    cs.load_reg = 0;
    cs.load_partial = false;
    cs.hilo_guard = 0;
  }
  std::string d;
  if (faults.size() != lock.faults.size()) {
    d += "\n  " + std::to_string(faults.size()) + " faults, stepped " + std::to_string(lock.faults.size());
  } else {
    for (size_t i = 0; i < faults.size(); ++i)
      if (faults[i].kind != lock.faults[i].kind || faults[i].pc != lock.faults[i].pc)
        d += "\n  fault " + std::to_string(i) + ": " + faults[i].describe() + ", stepped " + lock.faults[i].describe();
  }
  const CpuState &a = side.cpu.state(), &b = stepped.cpu.state();
  for (int i = 0; i < 32; ++i)
    if (a.gpr[i] != b.gpr[i])
      d += std::string("\n  ") + reg_name(i) + ": " + hex(a.gpr[i]) + ", stepped " + hex(b.gpr[i]);
  if (a.hi != b.hi) d += "\n  hi: " + hex(a.hi) + ", stepped " + hex(b.hi);
  if (a.lo != b.lo) d += "\n  lo: " + hex(a.lo) + ", stepped " + hex(b.lo);
  if (a.pc != b.pc) d += "\n  pc: " + hex(a.pc) + ", stepped " + hex(b.pc);
  for (auto [lo, size] : {std::pair{kSeqData, kSeqDataSize}, std::pair{kSeqCode, kSeqCodeSize}}) {
    std::vector<uint8_t> ma(size), mb(size);
    side.space.peek(lo, ma.data(), size);
    stepped.space.peek(lo, mb.data(), size);
    for (uint32_t i = 0, shown = 0; i < size; ++i)
      if (ma[i] != mb[i] && shown++ < 8)
        d += "\n  byte " + hex(lo + i) + ": " + std::to_string(ma[i]) + ", stepped " + std::to_string(mb[i]);
  }
  return d.empty() ? d : "r3krun run freely ends differently from r3krun stepped:" + d;
}

}  // namespace

R3kSide::R3kSide(const Sequence& s) {
  space.map(kSeqCode, kSeqCodeSize, kProtRead | kProtWrite | kProtExec);
  space.map(kSeqData, kSeqDataSize, kProtRead | kProtWrite);
  space.map(kSeqRodata, kSeqRodataSize, kProtRead);
  uint32_t at = s.start;
  for (uint32_t w : s.code) {
    space.poke(at, enc::be_bytes(w).data(), 4);  // words past the code area are left out (a case may run off its end)
    at += 4;
  }
  space.poke(kSeqData, s.data.data(), kSeqDataSize);
  space.poke(kSeqRodata, s.rodata.data(), kSeqRodataSize);
  CpuState& st = cpu.state();
  std::memcpy(st.gpr, s.gpr, sizeof st.gpr);
  st.hi = s.hi;
  st.lo = s.lo;
  st.pc = s.start;
}

bool SequenceCheck::ok() const {
  bool ended = lockstep.reached_stop ||
               (!lockstep.faults.empty() && (lockstep.faults.back().in_delay_slot || lockstep.faults.back().fetch));
  return lockstep.agreed && ended && !lockstep.capped && free_run_difference.empty();
}

std::string SequenceCheck::report(const Sequence& s) const {
  std::string r;
  if (!lockstep.agreed) r += "lockstep: " + lockstep.disagreement + "\n";
  else if (lockstep.capped) r += "lockstep: ran past its unit limit\n";
  else if (!ok() && free_run_difference.empty()) r += "lockstep: ended neither at the end nor at a final fault\n";
  if (!free_run_difference.empty()) r += free_run_difference + "\n";
  return r + s.listing();
}

SequenceCheck check_sequence(Reference& ref, const Sequence& s) {
  SequenceCheck out;
  load_reference(ref, s);
  R3kSide side(s);
  LockstepConfig cfg;
  cfg.code = {{s.start, s.end_pc() + 4}};
  cfg.watch = {{kSeqData, kSeqData + kSeqDataSize}, {kSeqCode, kSeqCode + kSeqCodeSize}};
  cfg.stop_at = s.end_pc();
  cfg.resume_after_fault = true;
  cfg.max_units = 50000;
  out.lockstep = run_lockstep(side.cpu, ref, cfg);
  if (out.lockstep.agreed && !out.lockstep.capped) out.free_run_difference = free_run(s, out.lockstep, side);
  return out;
}

LockstepOutcome lockstep_pair(Reference& ref, const Sequence& mine, const Sequence& theirs, bool track_writes) {
  Sequence t = theirs;
  std::copy(std::begin(mine.gpr), std::end(mine.gpr), t.gpr);
  t.hi = mine.hi, t.lo = mine.lo, t.data = mine.data, t.rodata = mine.rodata, t.start = mine.start;
  load_reference(ref, t);
  R3kSide side(mine);
  LockstepConfig cfg;
  cfg.code = {{mine.start, std::max(mine.end_pc(), t.end_pc()) + 4}};
  if (track_writes) cfg.track_writes = true;
  else cfg.watch = {{kSeqData, kSeqData + kSeqDataSize}};
  cfg.stop_at = mine.end_pc();
  cfg.max_units = 1000;
  return run_lockstep(side.cpu, ref, cfg);
}

Sequence sequence_of(std::initializer_list<uint32_t> words, std::initializer_list<std::pair<int, uint32_t>> regs) {
  Sequence s;
  s.code.assign(words);
  s.code.push_back(0x0000000c);  // the closing syscall
  for (auto [r, v] : regs) s.gpr[r] = v;
  s.gpr[0] = 0;
  s.data.assign(kSeqDataSize, 0);
  s.rodata.assign(kSeqRodataSize, 0);
  return s;
}

}  // namespace r3k::diff
