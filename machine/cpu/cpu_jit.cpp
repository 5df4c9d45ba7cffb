// The code generator's driver: generates a region's code into a buffer,
// counts it against the host memory and places it in the page's arena.
// The calling convention is in cpu_jit.h; the units behind it:
// jit_region (which blocks, host-independent), jit_regs.h (host registers
// and sizes by name), jit_thunk (entry), jit_alloc (register allocation),
// jit_emit and jit_emit_memory (the ops), jit_exit (exits and links).
#include "cpu/cpu_jit.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "cpu/cpu_block.h"

#if defined(__x86_64__)
#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include "cpu/jit_compiler.h"
#include "cpu/jit_region.h"
#include "cpu/jump_cache.h"
#endif

namespace r3k {

#if defined(__x86_64__)

bool jit_available() { return true; }

namespace jit {

bool host_has(Xbyak::util::Cpu::Type what) {
  static const Xbyak::util::Cpu cpu;
  return cpu.has(what);
}

RegionCompiler::RegionCompiler(const std::vector<Block*>& blocks, JumpCache& jumps, uint8_t* buffer, size_t size)
    : CodeGenerator(size, buffer),
      members_(blocks.size()),
      code_(blocks[0]->jit),
      cache_(jumps),
      links_needed_(links_needed(blocks)) {
  for (size_t i = 0; i < blocks.size(); ++i) {
    Member& m = members_[i];
    m.block = blocks[i];
    m.exit.resize(m.block->n + 1);
    m.used.assign(m.block->n + 1, false);
  }
}

void RegionCompiler::compile() {
  allocate();
  // Never moved after: the code holds their addresses.
  code_.link_count = links_needed_;
  code_.links = std::make_unique<JitLink[]>(code_.link_count);
  read_cached();
  for (Member& m : members_) {
    m_ = &m;
    b_ = m.block;
    if (&m != &members_[0]) m.offset = getSize();
    L(m.entry);
    for (uint32_t k = 0; k <= b_->n; ++k)
      if (!op(k)) break;
  }
  tail_ = getSize();
  tails();
  Label record;
  for (Member& m : members_) exits(m, record);
  L(record);
  mov(dword[kFrame + kExitOp], eax);
  mov(qword[kFrame + kExitBlock], rcx);
  ret();
}

// Where each member's code and the members' shared tail lie, once the
// code is at `at`.
void RegionCompiler::tell(CodeListener& listener, const uint8_t* at) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    const size_t end = i + 1 < members_.size() ? members_[i + 1].offset : tail_;
    listener.guest_code(at + members_[i].offset, end - members_[i].offset, members_[i].block->start, false);
  }
  listener.guest_code(at + tail_, getSize() - tail_, members_[0].block->start, true);
}

}  // namespace jit

bool jit_compile(Block& block, CodePage& page, CodeListener* listener) {
  JitCode& code = block.jit;
  code.code = nullptr;
  std::vector<uint8_t> buffer(jit::kMaxRegionCode);
  try {
    jit::RegionCompiler c(jit::region_of(block, page), jump_cache(*page.owner), buffer.data(), buffer.size());
    c.compile();
    c.ready();
    // What the code holds: its links, and the mapping it may need.
    const size_t more = page.jit.growth(c.getSize());
    const uint64_t cost = heap_bytes(uint64_t{code.link_count} * sizeof(JitLink)) + more;
    if (more != SIZE_MAX && CodeLedger::charge(page, cost)) {
      const size_t mapped = page.jit.mapped();
      // Every jump in the code is relative to it, so it runs wherever it is copied.
      code.code = page.jit.add(buffer.data(), c.getSize());
      if (code.code) c.place(static_cast<uint8_t*>(const_cast<void*>(code.code)));
      // A chunk mapped stays counted with the page, whether or not the copy went in.
      else CodeLedger::refund(page, cost - (page.jit.mapped() - mapped));
    }
    if (code.code && listener) {
      if (!std::exchange(listener->shared_told, true)) jit::tell_thunk(*listener);
      c.tell(*listener, static_cast<const uint8_t*>(code.code));
    }
  } catch (const Xbyak::Error&) {
    code.code = nullptr;
  }
  if (!code.code) {
    code.links.reset();
    code.link_count = 0;
  }
  return code.code != nullptr;
}

#else  // no code generator on this host

bool jit_available() { return false; }
bool jit_compile(Block&, CodePage&, CodeListener*) { return false; }
void jit_enter(RunFrame&, uint8_t*, uint64_t, const void*) {}

#endif

}  // namespace r3k
