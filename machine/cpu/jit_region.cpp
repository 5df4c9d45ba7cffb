// Region planning: nothing here knows the host's instructions.
#include "cpu/jit_region.h"

#include <algorithm>

#include "cpu/cpu_block.h"

namespace r3k::jit {

std::vector<Block*> region_of(Block& head, CodePage& page) {
  std::vector<Block*> region{&head};
  uint32_t ops = head.n;
  for (size_t i = 0; i < region.size(); ++i) {
    const Block& m = *region[i];
    for (uint32_t j = 0; j < m.next.count; ++j) {
      const uint32_t pc = m.next.pc[j];
      if ((pc >> kPageBits) != (head.start >> kPageBits) || (pc & 3)) continue;
      Block* s = page.blocks[page_offset(pc) / 4].get();
      if (!s || std::find(region.begin(), region.end(), s) != region.end() || !may_chain(m, *s) ||
          ops + s->n > kRegionOps || region.size() >= kRegionBlocks)
        continue;
      region.push_back(s);
      ops += s->n;
    }
  }
  return region;
}

OpRegs regs_of(const Op& o) {
  auto bit = [](uint32_t r) { return r == 0 || r == kSink ? uint64_t{0} : uint64_t{1} << r; };
  const insn::OpRoles& r = insn::kOpRoles[size_t(o.code)];
  return {(r.reads_s ? bit(o.s) : 0) | (r.reads_t ? bit(o.t) : 0), r.writes_d ? bit(o.d) : 0};
}

bool through_cache(const Block& b) { return b.indirect && b.exit.clean(); }

uint32_t links_needed(const std::vector<Block*>& region) {
  uint32_t n = 0;
  for (const Block* m : region) {
    const Block& b = *m;
    n += b.indirect ? !through_cache(b) : b.next.count;
    for (uint32_t i = 0; i < b.next.count; ++i)
      for (const Block* to : region)
        if (to->start == b.next.pc[i] && may_chain(b, *to)) --n;
  }
  return n;
}

bool defers(const Block& b, uint32_t k) {
  const Op& o = b.ops[k];
  const Op& slot = b.ops[k + 1];
  if (b.next.count != 2 || k + 2 != b.n || slot.code == OpCode::Syscall || slot.code == OpCode::Fault) return false;
  return !(regs_of(slot).writes & ((uint64_t{1} << o.s) | (uint64_t{1} << o.t)));
}

}  // namespace r3k::jit
