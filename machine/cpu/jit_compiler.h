// The region compiler's declaration, shared by the units that make up the
// x86-64 code generator: register allocation (jit_alloc.cpp), the op
// emitters (jit_emit.cpp, jit_emit_memory.cpp), exits and linking
// (jit_exit.cpp) and the driver (cpu_jit.cpp).  Which blocks a region
// holds is planned in jit_region.h, independent of the host.
#pragma once

#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "cpu/cpu_block.h"
#include "cpu/jit_regs.h"

namespace r3k {

class CodeListener;
struct JumpCache;

namespace jit {

using Xbyak::Address;
using Xbyak::Label;

// The entry thunk (jit_thunk.cpp) tells a listener where it lies.
void tell_thunk(CodeListener& listener);

// What the host offers beyond x86-64's base: movbe (a load or store with a
// byte swap), rorx (a rotate into another register).
bool host_has(Xbyak::util::Cpu::Type what);

// Generates a region: a head block and the blocks on its page it moves on
// to (already decoded, chainable), so that inside the region moving on is a
// fuel test and a jump, and the cached registers stay where they are.
class RegionCompiler : public Xbyak::CodeGenerator {
 public:
  RegionCompiler(const std::vector<Block*>& blocks, JumpCache& jumps, uint8_t* buffer, size_t size);
  void compile();
  void place(uint8_t* at);
  void tell(CodeListener& listener, const uint8_t* at) const;

 private:
  // Guest registers (jit_alloc.cpp).
  void allocate();
  bool cached(uint32_t g) const { return g != kSink && (cached_ >> g & 1); }
  const Operand& rm(uint32_t g) const {
    return cached(g) ? static_cast<const Operand&>(host_[g]) : static_cast<const Operand&>(slot_[g]);
  }
  Reg32 value(uint32_t g, const Reg32& scratch);
  Reg32 target(uint32_t g, const Reg32& scratch) const { return cached(g) ? host_[g] : scratch; }
  void commit(uint32_t g, const Reg32& v);
  void put(uint32_t g, const Reg32& v);
  void write_back();
  void read_cached();

  // Ops (jit_emit.cpp), by group.
  bool op(uint32_t k);
  void alu_op(const Op& o, uint32_t k);
  void logic_op(const Op& o);
  void memory_op(const Op& o, uint32_t k);
  void branch_op(const Op& o, uint32_t k);
  void alu(const Op& o, void (CodeGenerator::*fn)(const Operand&, const Operand&), bool commutes);
  void alu_imm(const Op& o, void (CodeGenerator::*fn)(const Operand&, uint32_t));
  void set_if(const Op& o, bool imm, void (CodeGenerator::*setcc)(const Operand&));
  void shift(const Op& o, bool variable, void (CodeGenerator::*fn)(const Operand&, const Xbyak::Reg8&),
             void (CodeGenerator::*fn_imm)(const Operand&, int));
  void trapping(const Op& o, bool imm, bool subtract, uint32_t k);
  void move_from(const Op& o, int32_t at);
  void move_to(const Op& o, int32_t at);
  void multiply(const Op& o, bool is_signed);
  void divide(const Op& o, bool is_signed, uint32_t k);
  void compare(const Op& o);
  void jump_if(const Op& o, bool holds, const Label& to);
  void set_next(const Op& o);
  void syscall(uint32_t k);
  // Memory ops (jit_emit_memory.cpp).
  void address(const Op& o);
  void guard(uint32_t size, uint32_t k, const Reg32& at = Xbyak::util::eax);
  Xbyak::RegExp access(const Op& o, uint32_t size, uint32_t k);
  void load(const Op& o, uint32_t size, bool is_signed, uint32_t k);
  void store(const Op& o, uint32_t size, uint32_t k);
  void aligned_word(const Op& o, uint32_t k);
  void mask(bool high);
  void load_partial(const Op& o, bool left, uint32_t k);
  void store_partial(const Op& o, bool left, uint32_t k);

  // Leaving and moving on (jit_exit.cpp).
  struct Member {
    Block* block = nullptr;
    size_t offset = 0;        // where its code starts (the head's: at 0)
    Label entry;              // its ops (the head's: past the register loads)
    std::vector<Label> exit;  // per op: leave before it
    std::vector<bool> used;
    Label complete, complete_written, fall_through, taken;
    // Its conditional branch when compared only at its end, after the delay
    // slot (an exit in between works out where it goes).
    const Op* deferred = nullptr;
  };
  Label& exit_before(uint32_t k);
  int member_at(uint32_t pc) const;
  void end();
  void end_indirect();
  void path(uint32_t pc, bool last);
  Label& fuel_out(uint32_t pc, bool taken_off, bool indirect = false);
  Label& unlinked(JitLink& link, bool fuel_taken);
  void move_on(uint32_t target, Label& miss);
  void jump_indirect();
  void exits(Member& m, Label& record);
  void tails();

  std::vector<Member> members_;
  Member* m_ = nullptr;          // the member being generated
  Block* b_ = nullptr;           // its block
  JitCode& code_;                // the head's: the region's code and links
  JumpCache& cache_;             // the space's, for jr and jalr
  const uint32_t links_needed_;  // the region's ways out (jit_region.h)
  uint32_t links_used_ = 0;
  size_t tail_ = 0;  // where the code shared by the members starts
  uint64_t cached_ = 0;
  uint64_t written_ = 0;  // the guest registers some op of the region writes
  Reg32 host_[kSink + 1];
  std::vector<Address> slot_;
  struct Stub {
    Label at;
    JitLink* link;
    bool fuel_taken;
    Member* member;
  };
  std::deque<Stub> stubs_;  // labels jumped to must not move
  struct FuelOut {
    Label at;
    Member* member;
    uint32_t pc;  // the static successor (a jr/jalr's is in kNextPc)
    bool taken_off;
    bool indirect;
    Label back;  // where the way on goes on with a fresh slice's fuel
  };
  void refill(const FuelOut& f);
  std::deque<FuelOut> fuel_outs_;
  std::vector<std::pair<JitLink*, uint32_t>> jumps_;  // direct jumps' rel32 offsets
};

}  // namespace jit
}  // namespace r3k
