#include "support/guest_calls.h"

#include <cstdio>
#include <stdexcept>

namespace r3k {
namespace {

constexpr uint32_t kBreak = 0x0000000du;
constexpr uint32_t kMaxStringRead = 1u << 20;

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

uint32_t TestMachine::address_of(std::string_view name) const {
  const auto addr = symbol(name);
  if (!addr) throw std::invalid_argument("no symbol '" + std::string(name) + "' in " + image().name());
  return *addr;
}

bool TestMachine::run_to(std::string_view name) { return run_until(address_of(name)); }

void TestMachine::ensure_scratch() {
  if (scratch_ready_) return;
  for (const Segment& s : image().segments())
    if (s.vaddr < uint64_t{kScratchBase} + kScratchSize && kScratchBase < uint64_t{s.vaddr} + s.memsz)
      throw std::logic_error(image().name() + ": the program occupies the scratch area at " + hex(kScratchBase));
  std::vector<uint8_t> page(kPageSize);
  for (uint32_t i = 0; i < kPageSize; i += 4) put32(&page[i], kBreak);
  if (!space().map(kSentinel, kPageSize, kProtRead | kProtExec) || !space().poke(kSentinel, page.data(), kPageSize))
    throw std::length_error("no memory for the scratch area under the page limit");
  set_return_trap(kSentinel);
  scratch_ready_ = true;
}

CallResult TestMachine::call(std::string_view name, std::vector<uint32_t> args) {
  const uint32_t addr = address_of(name);
  if (first_info().ended())
    throw std::logic_error("cannot call " + std::string(name) + ": the first process has ended");
  ensure_scratch();
  CpuState& st = regs();
  const uint32_t stacked = args.size() > 4 ? static_cast<uint32_t>(args.size() - 4) : 0;
  const uint32_t old_sp = st.gpr[regs::sp];
  const uint32_t sp = (old_sp - 16 - 4 * stacked - 8) & ~7u;
  const uint32_t lo = sp & ~(kPageSize - 1);
  if (sp >= old_sp || lo < kUserEnd - options().stack_size)
    throw std::length_error("no stack left for a call frame below " + hex(old_sp));
  // The frame's pages may not have been touched yet; make them present.
  if (!space().map(lo, ((old_sp - 1) | (kPageSize - 1)) + 1 - lo, kProtRead | kProtWrite))
    throw std::length_error("no memory for a call frame under the page limit");
  for (uint32_t i = 0; i < stacked; ++i) write32(sp + 16 + 4 * i, args[4 + i]);
  for (int i = 0; i < 4; ++i)
    st.gpr[regs::a0 + i] = i < static_cast<int>(args.size()) ? args[static_cast<size_t>(i)] : 0;
  if (auto gp = symbol("_gp")) st.gpr[regs::gp] = *gp;
  st.gpr[regs::sp] = sp;
  st.gpr[regs::ra] = kSentinel;
  st.pc = addr;
  st.load_reg = 0;
  st.load_partial = false;
  st.hilo_guard = 0;

  const uint64_t before = first_info().insns;
  CallResult r;
  r.returned = run_to_trap();
  const ProcessInfo& info = first_info();
  r.v0 = regs().gpr[regs::v0];
  r.v1 = regs().gpr[regs::v1];
  r.exited = info.exited;
  r.status = info.status;
  r.fault = info.fault;
  r.insns = info.insns - before;
  return r;
}

uint32_t TestMachine::push_bytes(std::span<const uint8_t> bytes) {
  ensure_scratch();
  const uint32_t at = (scratch_next_ + 7) & ~7u;
  if (bytes.size() > kScratchBase + kScratchSize - at)
    throw std::length_error("scratch area full: cannot push " + std::to_string(bytes.size()) + " bytes");
  const uint32_t len = static_cast<uint32_t>(bytes.size());
  if (len > 0 && (!space().map(at, len, kProtRead | kProtWrite) || !space().poke(at, bytes.data(), len)))
    throw std::length_error("no memory for " + std::to_string(len) + " scratch bytes under the page limit");
  scratch_next_ = at + len;
  return at;
}

uint32_t TestMachine::push_string(std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return push_bytes(bytes);
}

std::vector<uint8_t> TestMachine::read(uint32_t addr, uint32_t len) {
  std::vector<uint8_t> out(len);
  if (!space().peek(addr, out.data(), len))
    throw std::out_of_range("read of " + std::to_string(len) + " bytes at " + hex(addr) + ": not mapped");
  return out;
}

uint32_t TestMachine::read32(uint32_t addr) {
  const auto b = read(addr, 4);
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

std::string TestMachine::read_string(uint32_t addr) {
  std::string s;
  for (uint32_t i = 0; i < kMaxStringRead; ++i) {
    char c;
    if (!space().peek(addr + i, &c, 1))
      throw std::out_of_range("string at " + hex(addr) + " runs into unmapped memory at " + hex(addr + i));
    if (c == '\0') return s;
    s += c;
  }
  throw std::out_of_range("string at " + hex(addr) + " is not terminated within 1 MiB");
}

void TestMachine::write_bytes(uint32_t addr, std::span<const uint8_t> bytes) {
  if (!space().poke(addr, bytes.data(), static_cast<uint32_t>(bytes.size())))
    throw std::out_of_range("write of " + std::to_string(bytes.size()) + " bytes at " + hex(addr) + ": not mapped");
}

void TestMachine::write32(uint32_t addr, uint32_t value) {
  uint8_t b[4];
  put32(b, value);
  write_bytes(addr, b);
}

}  // namespace r3k
