#include "r3k/scan.h"

#include <algorithm>

#include "cpu/cpu_block.h"

namespace r3k {

namespace {

constexpr uint32_t bit(uint32_t reg) { return uint32_t(1) << reg; }

}  // namespace

uint8_t load_delay_conflict(uint32_t load, uint32_t next) {
  const InsnInfo l = insn_info(load);
  if (!l.load || l.load_dest == 0) return 0;
  return hazard_reads(insn_info(next), next, l.partial) & bit(l.load_dest) ? l.load_dest : 0;
}

bool writes_hilo(uint32_t word) { return insn_info(word).writes_hilo; }

std::vector<Fault> scan_code(const CodeRegion& region) {
  const size_t n = region.bytes.size() / 4;
  std::vector<uint32_t> words(n);
  std::vector<InsnInfo> info(n);
  for (size_t k = 0; k < n; ++k) {
    const uint8_t* p = region.bytes.data() + 4 * k;
    words[k] = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    info[k] = insn_info(words[k]);
  }
  std::vector<uint32_t> unresolved = region.unresolved;
  std::sort(unresolved.begin(), unresolved.end());
  auto pc = [&](size_t k) { return region.addr + uint32_t(4 * k); };
  auto in_slot = [&](size_t k) { return k > 0 && info[k - 1].branch; };

  // The instructions that may run right after instruction k.
  auto successors = [&](size_t k) {
    std::vector<size_t> next;
    bool fall = true;
    if (in_slot(k) && !info[k].branch) {
      // jr/jalr: a call returns past the slot, but not straight from it.
      const uint32_t branch_pc = pc(k - 1);
      const insn::Exits e = insn::exits_of(*insn::row_of(words[k - 1]), Insn{words[k - 1]}, branch_pc);
      fall = e.falls_through;
      const bool known = !std::binary_search(unresolved.begin(), unresolved.end(), branch_pc);
      const uint32_t off = e.target - region.addr;
      if (!e.indirect && known && off % 4 == 0 && off / 4 < n) next.push_back(off / 4);
    }
    if (fall && k + 1 < n) next.push_back(k + 1);
    return next;
  };

  std::vector<Fault> found;
  auto report = [&](FaultKind kind, size_t k, uint8_t reg = 0) {
    Fault f;
    f.kind = kind;
    f.pc = f.addr = pc(k);
    f.insn = words[k];
    f.in_delay_slot = in_slot(k);
    f.reg = reg;
    found.push_back(f);
  };
  // The HI/LO guard an mfhi/mflo leaves, followed along every path while
  // it lasts.
  auto hilo_from = [&](auto& self, size_t k, uint8_t guard) -> void {
    for (size_t s : successors(k)) {
      if (hilo_hazard(info[s], guard)) report(FaultKind::HiLoHazard, s);
      if (const uint8_t left = hilo_guard_passed(guard, 1)) self(self, s, left);
    }
  };
  for (size_t k = 0; k < n; ++k) {
    if (!info[k].valid) report(FaultKind::ReservedInstruction, k);
    for (size_t s : successors(k)) {
      if (info[k].branch && info[s].branch) report(FaultKind::BranchInDelaySlot, s);
      if (uint8_t reg = load_delay_conflict(words[k], words[s])) report(FaultKind::LoadDelayHazard, s, reg);
    }
    if (info[k].reads_hilo) hilo_from(hilo_from, k, hilo_guard_after(info[k], 0));
  }
  // One report per instruction and kind, however many paths reach it.
  auto key = [](const Fault& f) { return std::pair(f.pc, f.kind); };
  std::sort(found.begin(), found.end(), [&](const Fault& a, const Fault& b) { return key(a) < key(b); });
  found.erase(std::unique(found.begin(), found.end(), [&](const Fault& a, const Fault& b) { return key(a) == key(b); }),
              found.end());
  return found;
}

}  // namespace r3k
