// The entry thunk: the one way from C++ into generated code (see the
// calling convention in cpu_jit.h).
#if defined(__x86_64__)

#include <xbyak/xbyak.h>

#include <iterator>

#include "cpu/cpu_jit.h"
#include "cpu/jit_compiler.h"
#include "cpu/jit_fault.h"
#include "cpu/jit_regs.h"
#include "r3k/cpu.h"

namespace r3k {
namespace jit {
namespace {

// Saves the host's callee-saved registers, sets up the frame, window and
// fuel registers, calls a block's code and hands the fuel back.
class EntryThunk : public Xbyak::CodeGenerator {
 public:
  using Fn = void (*)(RunFrame* frame, uint8_t* window, uint64_t fuel, const void* code);
  EntryThunk() : CodeGenerator(kThunkCode, Xbyak::DontSetProtectRWE) {
    // Room before the entry: a sanitizer checking a called function's
    // signature reads the bytes just before it.
    for (size_t i = 0; i < kCodeAlign; ++i) int3();
    fn_ = reinterpret_cast<Fn>(const_cast<uint8_t*>(getCurr()));
    for (const Reg64& r : kCalleeSaved) push(r);
    sub(rsp, kCallPad);  // keeps the stack 16-byte aligned at the call below
    mov(kFrame, kArg0);
    mov(kWindow, kArg1);
    mov(kFuel, kArg2);
    call(kArg3);
    mov(qword[kFrame + kFuelLeft], kFuel);
    add(rsp, kCallPad);
    for (size_t i = std::size(kCalleeSaved); i-- > 0;) pop(kCalleeSaved[i]);
    ret();
    end_ = getCurr();
    setProtectModeRE();
    // Generated code reaches guest memory through windows from its first
    // entry on: their refused accesses must come back to it.
    catch_window_faults();
  }
  Fn fn() const { return fn_; }
  void tell(CodeListener& listener) const {
    const auto* fn = reinterpret_cast<const uint8_t*>(fn_);
    listener.shared_code(fn, size_t(end_ - fn), "entry-thunk");
  }

 private:
  Fn fn_ = nullptr;
  const uint8_t* end_ = nullptr;
};

const EntryThunk& entry_thunk() {
  static const EntryThunk thunk;
  return thunk;
}

}  // namespace

void tell_thunk(CodeListener& listener) { entry_thunk().tell(listener); }

}  // namespace jit

void jit_enter(RunFrame& frame, uint8_t* window, uint64_t fuel, const void* code) {
  frame.exit_link = nullptr;
  jit::WindowInUse in_use(window);
  jit::entry_thunk().fn()(&frame, window, fuel, code);
}

}  // namespace r3k

#endif
