// The block dispatcher: find (or decode) the block at pc, check what
// crosses into it from the previous block, run it interpreted or as
// generated code, and settle how it ended; repeat while the budget lasts.
#include "r3k/cpu.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cpu/cpu_block.h"
#include "cpu/cpu_interp.h"
#include "cpu/cpu_jit.h"
#include "cpu/jump_cache.h"

namespace r3k {

struct Cpu::Impl {
  std::vector<uint32_t> breakpoints;  // sorted, unique
  Block scratch;                      // for code on pages that cannot cache it
  Decoded decoded;                    // the last block decoded (the scratch block's ops)
  std::vector<Op> cut;                // the first ops of a block cut short, and what ends them
  JitConfig jit = jit_defaults();
  SyscallHook hook;
  // The branch or jump whose target the last run stopped at (0: none), in
  // case the next run's first fetch faults.
  uint32_t came_from = 0;
  bool stopped_inside = false;  // the last run ended in a block cut short
};

JitConfig& jit_defaults() {
  static JitConfig config;
  return config;
}

Cpu::Cpu(AddressSpace* space) : space_(space), impl_(std::make_unique<Impl>()) {}
Cpu::~Cpu() = default;

void Cpu::set_jit(const JitConfig& config) { impl_->jit = config; }
const JitConfig& Cpu::jit() const { return impl_->jit; }

void Cpu::set_space(AddressSpace* space) { space_ = space; }

void Cpu::set_syscall_hook(const SyscallHook& hook) { impl_->hook = hook; }

void Cpu::add_breakpoint(uint32_t addr) {
  if (addr & 3) return;  // no instruction starts there
  auto& bp = impl_->breakpoints;
  auto it = std::lower_bound(bp.begin(), bp.end(), addr);
  if (it == bp.end() || *it != addr) bp.insert(it, addr);
}

void Cpu::remove_breakpoint(uint32_t addr) {
  auto& bp = impl_->breakpoints;
  auto it = std::lower_bound(bp.begin(), bp.end(), addr);
  if (it != bp.end() && *it == addr) bp.erase(it);
}

bool Cpu::has_breakpoint(uint32_t addr) const {
  return std::binary_search(impl_->breakpoints.begin(), impl_->breakpoints.end(), addr);
}

void Cpu::clear_breakpoints() { impl_->breakpoints.clear(); }

namespace {

// The branch or jump that ended b, if one did.
uint32_t jumped_from(const Block* b) { return b && b->has_delay ? b->pc_of(b->branch_index()) : 0; }

// One call of Cpu::run: the guest registers in the frame the ops and the
// generated code work on, and the bookkeeping between blocks.
class Run {
 public:
  // step: one instruction (a branch with its delay slot), budget 1.
  Run(Cpu& cpu, Cpu::Impl& self, uint64_t budget, bool step = false, Refills refills = {});
  Stop go();

 private:
  // The phases of one block.
  Block* find_block();
  Block* build_block(CodePage* page);
  Block* keep(std::unique_ptr<Block> fresh, CodePage* page);
  CodePage* new_page();
  bool fresh_delay_slot(Block& b);
  bool enter(Block& b);
  OpStop run_block(Block& b, uint32_t from = 0);
  bool generated(Block& b, JitLink* link);
  void moved_on(uint64_t& fuel);
  bool refill();
  CodePage* code_page(const Block& b) const;
  bool finish(const OpStop& s);
  void fault(const Block& b, const OpStop& s);
  // Decoded code dropped under the running block.
  bool resume();
  void restart(const Block& b, uint32_t k);
  void settle_drops();

  bool cut(const Block& b, uint32_t limit, const Op& terminator);

  Cpu& cpu_;
  Cpu::Impl& self_;
  AddressSpace::Impl& mem_;
  RunFrame frame_;  // filled field by field: a zeroed frame costs more than a short run
  OpContext ctx_;
  uint64_t budget_;
  const uint64_t period_;
  uint32_t refills_;
  uint32_t refilled_ = 0;
  uint32_t given_ = 0;  // refills handed to generated code
  const bool step_;
  uint64_t executed_ = 0;
  uint32_t pc_;
  Carry carry_;              // at the entry of the block running
  Block* cur_ = nullptr;     // the block running, or that ran last
  const Op* ops_ = nullptr;  // its ops: its own, or a cut copy
  uint32_t limit_ = 0;       // how many of them run
  Block* prev_ = nullptr;    // the block that completed last, while its links are valid
  uint64_t seen_gen_;        // the code generation prev_ and linkable_ belong to
  uint32_t resume_ = 0;      // not 0: cur_ goes on from this op (see resume)
  uint32_t came_from_ = 0;   // the branch or jump whose delay slot ran just before pc_ (0: none)
  // The way out unmade by which generated code left as linkable_from_
  // completed, towards the next block.
  JitLink* linkable_ = nullptr;
  Block* linkable_from_ = nullptr;
  bool resuming_ = true;            // the first instruction of a run ignores breakpoints
  bool before_breakpoint_ = false;  // the block running is cut short at a breakpoint
  bool inside_ = false;             // the last block that ran was cut short
  Stop stop_;
};

Run::Run(Cpu& cpu, Cpu::Impl& self, uint64_t budget, bool step, Refills refills)
    : cpu_(cpu),
      self_(self),
      mem_(cpu.space()->impl()),
      ctx_{frame_, *cpu.space(), mem_.l1, mem_.code_gen, !self.jit.enabled || mem_.window.refused},
      budget_(budget),
      period_(refills.period),
      refills_(refills.period ? refills.count : 0),
      step_(step) {
  const CpuState& st = cpu.state();
  std::memcpy(frame_.r, st.gpr, sizeof st.gpr);
  frame_.r[regs::zero] = 0;
  frame_.r[kSink] = 0;
  frame_.hi = st.hi;
  frame_.lo = st.lo;
  pc_ = st.pc;
  came_from_ = self.came_from;
  if (st.load_reg < kGprCount) carry_.load = PendingLoad{st.load_reg, st.load_reg && st.load_partial};
  carry_.hilo_guard = hilo_guard_of(st.hilo_guard);
  // With breakpoints or stepping every syscall stops, as a debugger expects.
  frame_.syscall = self.hook.serve && !step && self.breakpoints.empty() ? &self.hook : nullptr;
  stop_.reason = StopReason::Budget;
  mem_.collect_garbage();
  seen_gen_ = mem_.code_gen;
}

Stop Run::go() {
  mem_.running = true;
  for (;;) {
    // A block that resumes finishes whatever the budget, as it would have.
    if (resume_) {
      if (!resume()) break;
      continue;
    }
    if (executed_ >= budget_ && !refill()) break;
    Block* b = find_block();
    if (!b || !enter(*b) || !finish(run_block(*b))) break;
  }
  CpuState& st = cpu_.state();
  std::memcpy(st.gpr, frame_.r, sizeof st.gpr);
  st.hi = frame_.hi;
  st.lo = frame_.lo;
  st.pc = pc_;
  st.load_reg = carry_.load.reg;
  st.load_partial = carry_.load.partial;
  st.hilo_guard = carry_.hilo_guard;
  // Runs go on where they stopped only after these.
  const bool goes_on = stop_.reason == StopReason::Budget || stop_.reason == StopReason::Syscall;
  self_.came_from = goes_on ? came_from_ : 0;
  self_.stopped_inside = inside_ && (stop_.reason == StopReason::Budget || stop_.reason == StopReason::Breakpoint);
  mem_.running = false;
  mem_.collect_garbage();
  // Field by field: a whole copy would read wide what was written narrow.
  Stop out;
  out.reason = stop_.reason;
  out.executed = executed_;
  out.left = budget_ - std::min(budget_, executed_);
  out.refilled = refilled_;
  if (out.reason == StopReason::Fault) out.fault = stop_.fault;
  return out;
}

// ---- find or build the block -------------------------------------------------

Block* Run::find_block() {
  if (mem_.code_gen != seen_gen_) settle_drops();
  Block* b = nullptr;
  if (prev_)
    for (const Block::Met& m : prev_->met)
      if (m.block && m.pc == pc_) b = m.block;
  if (!b) {
    auto* page = static_cast<CodePage*>(mem_.table(pc_)->code[l2_index(pc_)].get());
    if (page) {
      CodeLedger::touch(*page);
      if (!(pc_ & 3)) b = page->blocks[page_offset(pc_) / 4].get();
    }
    if (!b && !(b = build_block(page))) return nullptr;
    if (mem_.code_gen != seen_gen_) settle_drops();  // room was made for it
    // Same page: the link dies with both blocks.
    if (prev_ && prev_->cached && b->cached && (prev_->start >> kPageBits) == (pc_ >> kPageBits))
      prev_->met[prev_->met[0].block ? 1 : 0] = Block::Met{pc_, may_chain(*prev_, *b), b};
  }
  if (b->spill && !fresh_delay_slot(*b)) return nullptr;
  if (mem_.code_gen != seen_gen_) settle_drops();
  return b;
}

Block* Run::build_block(CodePage* page) {
  const bool cache = pc_ < kUserEnd && mem_.is_mapped(pc_) && mem_.code_cacheable(pc_);
  auto fresh = cache ? std::make_unique<Block>() : nullptr;
  Block& b = cache ? *fresh : self_.scratch;
  Fault f;
  if (!decode_block(mem_, pc_, b, self_.decoded, f, cache ? kMaxBlockOps : kUncachedBlockOps)) {
    stop_.reason = StopReason::Fault;
    stop_.fault = f;
    stop_.fault.from_pc = came_from_;
    return nullptr;
  }
  return cache ? keep(std::move(fresh), page) : &b;
}

// A block fits in about a kilobyte and an empty page in about eight: what
// may be held beyond the host memory's limit.
static_assert(CodePage::own_bytes() + 1152 <= HostMemory::kCodeOverdraft);

// Puts a block just decoded on its page, its cost counted: a tail of a
// block already there shares its ops.
Block* Run::keep(std::unique_ptr<Block> fresh, CodePage* page) {
  Block& b = *fresh;
  uint32_t k = 0;
  if (const Block* whole = page ? page->whole_of(b, k) : nullptr) b.view_tail(*whole, k);
  else b.keep_own();
  uint64_t cost = b.bytes();
  if (!page) {
    page = new_page();
    cost += CodePage::own_bytes();
  }
  if (CodeLedger::charge(*page, cost)) {
    if (b.own) CodeLedger::refund(*page, page->adopt_tails(b));
  } else {
    // The page holds too much for the share, or the guest's pages leave
    // too little room: its code goes, and the block starts a page of its
    // own, held beyond the limit if nothing else is left to drop.
    mem_.invalidate_code(pc_);
    page = new_page();
    if (!b.own) b.keep_own();
    CodeLedger::overdraw(*page, b.bytes() + CodePage::own_bytes());
  }
  page->mark(b);
  b.cached = true;
  page->blocks[page_offset(pc_) / 4] = std::move(fresh);
  return &b;
}

CodePage* Run::new_page() {
  auto made = std::make_unique<CodePage>();
  CodePage* page = made.get();
  mem_.attach_code(pc_, std::move(made));
  return page;
}

// A block whose delay slot lives on the next page (its branch is its only
// other op) checks at every entry that the slot is still what it decoded.
bool Run::fresh_delay_slot(Block& b) {
  uint32_t w = 0;
  const MemError e = fetch_insn(mem_, b.pc_of(b.n - 1), w);
  const Op& slot = b.ops[b.n - 1];
  const bool was_fetched = slot.code != OpCode::Fault || !slot.t;
  if ((e == MemError::None) == was_fetched && (!was_fetched || w == b.raw[b.n - 1])) return true;
  const bool cached = b.cached;
  const uint64_t before = cached ? b.bytes() : 0;
  Fault f;
  if (!decode_block(mem_, b.start, b, self_.decoded, f, cached ? kMaxBlockOps : kUncachedBlockOps)) {
    stop_.reason = StopReason::Fault;  // its branch's page changed too
    stop_.fault = f;
    stop_.fault.from_pc = came_from_;
    return false;
  }
  b.cached = cached;
  if (!cached) return true;
  b.keep_own();
  // Its links went with the old decode; the size of its ops is the same.
  CodePage& page = *code_page(b);
  const uint64_t after = b.bytes();
  if (after < before) CodeLedger::refund(page, before - after);
  if (after > before) CodeLedger::overdraw(page, after - before);
  return true;
}

// ---- check what crosses into it ----------------------------------------------

// Breakpoints and the hazards the previous instructions leave decide how
// many of b's ops run: all, the ones before a breakpoint, or none but a
// fault.  False when the run stops at a breakpoint.
bool Run::enter(Block& b) {
  cur_ = &b;
  ops_ = b.ops;
  limit_ = b.n;
  before_breakpoint_ = false;
  const bool resuming = std::exchange(resuming_, false);
  if (!self_.breakpoints.empty()) [[unlikely]] {
    const uint32_t from = resuming ? b.start + 4 : b.start;
    const auto& bp = self_.breakpoints;
    auto it = std::lower_bound(bp.begin(), bp.end(), from);
    if (it != bp.end() && *it < b.pc_of(b.stoppable())) {
      if (*it == b.start) {
        stop_.reason = StopReason::Breakpoint;
        return false;
      }
      limit_ = (*it - b.start) / 4;
      before_breakpoint_ = !step_;
    }
  }
  // A step runs the first instruction, and the delay slot of a branch.
  if (step_) limit_ = std::min(limit_, b.has_delay && b.n == 2 ? 2u : 1u);
  const Op end{OpCode::End, 0, 0, 0, 0};
  if (!carry_.clean()) [[unlikely]] {
    switch (entry_hazard(b, carry_)) {
      case EntryHazard::None: break;
      case EntryHazard::LoadDelay: return cut(b, 0, fault_op(FaultKind::LoadDelayHazard, carry_.load.reg));
      case EntryHazard::HiLoFirst: return cut(b, 0, fault_op(FaultKind::HiLoHazard));
      case EntryHazard::HiLoSecond:
        if (limit_ >= 2) return cut(b, 1, fault_op(FaultKind::HiLoHazard));
        break;
    }
  }
  return limit_ == b.n || cut(b, limit_, end);
}

// Runs the first `limit` ops of b from a copy ended by `terminator`.
bool Run::cut(const Block& b, uint32_t limit, const Op& terminator) {
  self_.cut.assign(b.ops, b.ops + limit);
  self_.cut.push_back(terminator);
  ops_ = self_.cut.data();
  limit_ = limit;
  return true;
}

// ---- run it ------------------------------------------------------------------

// Generated code runs the block (and the blocks it moves on to) as far as
// it can; the interpreter goes on from the op where it stopped.
// From op `from` (not 0) when it resumes: frame_.next already says
// where it goes.
OpStop Run::run_block(Block& b, uint32_t from) {
  // A copy cut at the delay slot (a HI/LO hazard there) runs the branch:
  // not taken, it goes past the slot.
  if (from == 0) frame_.next = b.has_delay && limit_ == b.n - 1 ? b.end_pc() : b.pc_of(limit_);
  JitLink* link = std::exchange(linkable_, nullptr);
  // Moving on only from a clean start: no HI/LO guard, no breakpoints.
  const bool moves_on = self_.breakpoints.empty() && !carry_.hilo_guard && executed_ < budget_;
  uint64_t fuel = moves_on ? budget_ - executed_ : 0;
  frame_.fuel = fuel;
  given_ = frame_.refills = moves_on && !step_ ? refills_ : 0;
  frame_.period = period_;
  frame_.fuel_added = 0;
  uint32_t k = from;
  if (from == 0 && limit_ == b.n && b.cached && self_.jit.enabled && generated(b, link)) {
    moved_on(fuel);
    k = frame_.exit_op;
    if (k == cur_->n) {
      linkable_ = frame_.exit_link;
      linkable_from_ = cur_;
      return OpStop{OpStop::End, k};
    }
    // A syscall generated code left at was not served in place: it stops
    // the run, no need for the interpreter.
    if (ops_[k].code == OpCode::Syscall) return OpStop{OpStop::Syscall, k};
  }
  const OpStop s = interpret(ctx_, *cur_, ops_, k);
  moved_on(fuel);
  return s;
}

// Runs b's generated code, made once b is hot; false when it has none.
bool Run::generated(Block& b, JitLink* link) {
  JitCode& code = b.jit;
  if (!code.code && !code.failed && code.heat++ >= self_.jit.hot_after) {
    // No room, or no window on the space's memory (the host's address
    // space limited), leaves it interpreted until its page is decoded again.
    code.failed = !mem_.window_base() || !jit_compile(b, *code_page(b), self_.jit.listener);
    if (mem_.code_gen != seen_gen_) {  // room was made: the link may be gone
      link = nullptr;
      settle_drops();
    }
  }
  if (!code.code) return false;
  uint8_t* const window = mem_.window_base();
  if (!window) return false;
  // The block that just completed in generated code towards this one
  // moves on into it from now on.
  if (link) jit_link(*link, *linkable_from_, b, mem_.code_gen, code_page(*linkable_from_)->jit);
  frame_.code_gen = mem_.code_gen;
  // Any block without a hazard or guard left may jump here.
  JumpCache& jumps = jump_cache(mem_);
  jumps.settle(mem_.code_gen);
  if (!b.spill) jumps.put(b.start, code.code);
  jit_enter(frame_, window, frame_.fuel, code.code);
  return true;
}

CodePage* Run::code_page(const Block& b) const {
  return static_cast<CodePage*>(mem_.table(b.start)->code[l2_index(b.start)].get());
}

// Blocks that completed and moved on (fuel was taken off) are counted, and
// their state is what the block it stopped in started with.
void Run::moved_on(uint64_t& fuel) {
  const uint64_t added = std::exchange(frame_.fuel_added, 0);
  if (frame_.fuel == fuel && added == 0) return;
  executed_ += fuel + added - frame_.fuel;
  budget_ += added;
  const uint32_t used = given_ - frame_.refills;
  given_ = frame_.refills;
  refills_ -= used;
  refilled_ += used;
  fuel = frame_.fuel;
  carry_ = Carry{frame_.pending, 0};
  cur_ = frame_.exit_block;
  ops_ = cur_->ops;
  limit_ = cur_->n;
}

// The slice ran out at a block's end: a fresh one from there, as the
// scheduler would start for a lone process, while refills are left.
bool Run::refill() {
  if (refills_ == 0 || step_ || !self_.breakpoints.empty()) return false;
  --refills_;
  ++refilled_;
  budget_ = executed_ + period_;
  return true;
}

// ---- settle how it ended -----------------------------------------------------

// Counts what ran and moves the state on; false when the run stops.
bool Run::finish(const OpStop& s) {
  const Block& b = *cur_;
  switch (s.kind) {
    case OpStop::End:
      executed_ += s.op;
      pc_ = frame_.next;
      carry_ = state_after(b, s.op, carry_);
      prev_ = cur_;
      inside_ = s.op < b.n;
      came_from_ = inside_ ? 0 : jumped_from(&b);
      if (before_breakpoint_) [[unlikely]] {
        // At the breakpoint, whatever budget is left.
        stop_.reason = StopReason::Breakpoint;
        return false;
      }
      return true;
    case OpStop::Syscall:
      executed_ += s.op + 1;
      pc_ = frame_.next;  // a syscall ends its block: where it goes is the resume address
      carry_ = state_after(b, s.op + 1, carry_);
      came_from_ = jumped_from(&b);  // a syscall is its block's last op, maybe in a delay slot
      stop_.reason = StopReason::Syscall;
      return false;
    case OpStop::CodeChanged:
      if (s.bytes && s.addr < b.end_pc() && b.start < s.addr + s.bytes) {
        // A store rewrote this very block: decode afresh from the next
        // instruction.
        restart(b, s.op + 1);
        return true;
      }
      // Code elsewhere was dropped, by a store over it or to make room:
      // this block's words are as they were, so it goes on.
      resume_ = s.op + 1;
      return true;
    case OpStop::Fault: fault(b, s); return false;
  }
  return false;
}

// Leaves b after its first k ops, to decode afresh from there.
void Run::restart(const Block& b, uint32_t k) {
  executed_ += k;
  pc_ = k == limit_ ? frame_.next : b.pc_of(k);
  carry_ = state_after(b, k, carry_);
  inside_ = false;  // where a run without a debugger goes on afresh too
  came_from_ = k == b.n ? jumped_from(&b) : 0;
  cur_ = nullptr;
  settle_drops();
}

// The block running goes on from op resume_ after decoded code of the space
// was dropped elsewhere: as if nothing had happened, so that budgets and
// slices end where they would have whatever code the host memory keeps.
// Its page's code may have gone too: then it runs on from a fresh decode
// of the same words.
bool Run::resume() {
  const uint32_t k = std::exchange(resume_, 0);
  Block* b = cur_;
  auto* page = static_cast<CodePage*>(mem_.table(b->start)->code[l2_index(b->start)].get());
  Block* there = page ? page->blocks[page_offset(b->start) / 4].get() : nullptr;
  if (b->cached && there != b) {
    pc_ = b->start;
    Block* again = there ? there : build_block(page);
    if (!again) return false;
    if (again->n != b->n) {  // cannot be: the same words decode the same
      restart(*b, k);
      return true;
    }
    if (ops_ == b->ops) ops_ = again->ops;
    cur_ = again;
  }
  settle_drops();
  return finish(run_block(*cur_, k));
}

// Decoded code of the space was dropped: what the dispatcher kept of it
// may be gone.  Nothing of it is running.
void Run::settle_drops() {
  seen_gen_ = mem_.code_gen;
  prev_ = nullptr;
  linkable_ = nullptr;
  mem_.collect_garbage();
}

// The faulting op's effects are not done; the ones before it are.
void Run::fault(const Block& b, const OpStop& s) {
  executed_ += s.op;
  carry_ = state_after(b, s.op, carry_);
  pc_ = b.pc_of(s.op);
  Fault& f = stop_.fault;
  f = Fault{};
  f.kind = s.fault;
  f.pc = pc_;
  f.insn = s.fetch ? 0 : b.raw[s.op];
  f.addr = s.fetch || memory_fault(s.fault) ? s.addr : pc_;
  f.in_delay_slot = b.has_delay && s.op == b.n - 1;
  if (f.in_delay_slot) f.branch_to = frame_.next;
  f.fetch = s.fetch;
  f.reg = s.fault == FaultKind::LoadDelayHazard ? s.reg : 0;
  stop_.reason = StopReason::Fault;
}

}  // namespace

Stop Cpu::run(uint64_t budget, Refills refills) {
  if (budget == 0) return Stop{StopReason::Budget};
  return Run(*this, *impl_, budget, false, refills).go();
}

Stop Cpu::step() { return Run(*this, *impl_, 1, true).go(); }

bool Cpu::stopped_inside_block() const { return impl_->stopped_inside; }

bool Cpu::back_to_branch(const Fault& fault) {
  const uint32_t at = fault.pc - 4;
  uint32_t word = 0;
  if (!fault.in_delay_slot || fetch_insn(space_->impl(), at, word) != MemError::None) return false;
  CpuState& st = state_;
  const Insn i{word};
  const insn::Row* row = insn::row_of(word);
  if (row && row->op == OpCode::Jalr && i.rd() == i.rs() && i.rd() != 0) {
    st.gpr[i.rd()] = fault.branch_to;  // what it held: where it jumped
  } else if (row && (row->op == OpCode::Bltzal || row->op == OpCode::Bgezal) && i.rs() == regs::ra &&
             i.branch_target(at) != fault.pc + 4) {
    const bool taken = fault.branch_to == i.branch_target(at);
    const bool negative = (row->op == OpCode::Bltzal) == taken;
    if ((int32_t(st.gpr[regs::ra]) < 0) != negative) st.gpr[regs::ra] ^= 0x80000000u;
  }
  // Nothing else the branch met (a pending load it did not read) could
  // matter to the slot.
  st.hilo_guard = hilo_guard_before(st.hilo_guard);
  st.pc = at;
  return true;
}

uint64_t code_bytes(const AddressSpace& space) {
  uint64_t n = 0;
  for (const L2Table* t : space.impl().l1) {
    if (t == &AddressSpace::Impl::empty_table()) continue;
    for (const auto& code : t->code) {
      if (!code) continue;
      const auto& page = static_cast<const CodePage&>(*code);
      n += CodePage::own_bytes() + page.jit.mapped();
      for (const auto& b : page.blocks) n += b ? b->bytes() : 0;
    }
  }
  return n;
}

}  // namespace r3k
