// The real programs and the test guests, run in lockstep on r3krun and the
// reference CPU from their ELF entry point to their exit, compared at every
// instruction (registers, HI, LO, pc, and each byte the reference stores;
// all memory at the end).  Behind the syscall a tiny kernel gives both sides
// the same answers; fork does not make a process but answers as one side of
// it would (failing, as the child, or as the parent whose child exits 0),
// so each variant follows a different path through the program.  Library
// routines of the libcore guest are also called in lockstep, one by one.
// First: the standard headers bring in <cerrno>, whose macros have the
// names of the kernel's error numbers that this header declares.
#include "r3k/abi.h"
// Then the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "diff/lockstep.h"
#include "diff/reference.h"
#include "r3k/elf.h"
#include "r3k/memory.h"
#include "support/mips_encode.h"

namespace r3k::diff {
namespace {

constexpr uint32_t kStackLo = kUserEnd - (8u << 20);
constexpr uint32_t kScratch = 0x7e000000u;  // a page of break (the return sentinel), then data
constexpr uint32_t kScratchSize = 0x10000;
constexpr uint32_t kBreakWord = 0x0000000d;

uint32_t uc_perms(uint8_t prot) {
  return (prot & kProtRead ? UC_PROT_READ : 0) | (prot & kProtWrite ? UC_PROT_WRITE : 0) |
         (prot & kProtExec ? UC_PROT_EXEC : 0);
}

// By name: the names are macros here.
uint32_t err(std::string_view name) { return uint32_t(error_number(name).value()); }

enum class ForkAs { Failing, Child, Parent };

const char* fork_name(ForkAs f) {
  return f == ForkAs::Failing ? "ForkFails" : f == ForkAs::Child ? "AsChild" : "AsParent";
}

// The kernel both sides see: the runtime's call numbers and error numbers,
// answers computed once and given to both.
struct TinyKernel {
  ForkAs fork_as = ForkAs::Failing;
  uint32_t pid = 2, ppid = 1;
  bool child_reaped = false;
  std::string out[3];
  int32_t status = 0;

  bool operator()(BothSides& g) {
    auto ok = [&](uint32_t v) {
      g.set_reg(regs::v0, v);
      g.set_reg(regs::v1, 0);
      g.set_reg(regs::a3, 0);
      return true;
    };
    auto fail = [&](const char* e) {
      g.set_reg(regs::v0, err(e));
      g.set_reg(regs::v1, 0);
      g.set_reg(regs::a3, 1);
      return true;
    };
    uint32_t a0 = g.reg(regs::a0), a1 = g.reg(regs::a1), a2 = g.reg(regs::a2);
    switch (Sys(g.reg(regs::v0))) {
      case Sys::_exit: status = int32_t(a0); return false;
      case Sys::fork:
        if (fork_as == ForkAs::Failing) return fail("EAGAIN");
        if (fork_as == ForkAs::Parent) return ok(3);
        pid = 3, ppid = 2;
        return ok(0);
      case Sys::waitpid: {
        if (fork_as != ForkAs::Parent || a0 != 3 || child_reaped || g.reg(regs::a2) != 0) return fail("EINVAL");
        const uint8_t zero[4] = {};
        if (a1 && !g.write(a1, zero, 4)) return fail("EFAULT");
        child_reaped = true;
        return ok(3);
      }
      case Sys::write: {
        if (a0 != 1 && a0 != 2) return fail("EBADF");
        if (a2 > (1u << 20)) return fail("EFAULT");
        std::string buf(a2, '\0');
        if (!g.read(a1, buf.data(), a2)) return fail("EFAULT");
        out[a0] += buf;
        return ok(a2);
      }
      case Sys::getpid: return ok(pid);
      case Sys::getppid: return ok(ppid);
      default: return fail(g.reg(regs::v0) < kSyscallCount ? "EUNIMP" : "ENOSYS");
    }
  }
};

// One ELF image on both sides, entered as r3krun enters it.
class Loaded {
 public:
  Loaded(Reference& ref, const std::string& path, const std::vector<std::string>& argv)
      : ref_(ref), image_(ElfImage::read_file(path)) {
    image_.load_into(space_);
    space_.set_grow_region(kStackLo, kUserEnd);
    space_.map(kScratch, kPageSize, kProtRead | kProtExec);
    space_.map(kScratch + kPageSize, kScratchSize - kPageSize, kProtRead | kProtWrite);
    std::vector<uint8_t> breaks;
    for (uint32_t i = 0; i < kPageSize / 4; ++i)
      for (int j = 0; j < 4; ++j) breaks.push_back(uint8_t(kBreakWord >> (24 - 8 * j)));
    space_.poke(kScratch, breaks.data(), kPageSize);

    // Strings at the top of the stack, the vector below, sp below that.
    uint32_t size = 0;
    for (const std::string& a : argv) size += uint32_t(a.size()) + 1;
    uint32_t strings = (kUserEnd - 16 - size) & ~7u;
    uint32_t vector = (strings - 4 * uint32_t(argv.size() + 1)) & ~7u;
    space_.map(vector & ~(kPageSize - 1), kUserEnd - (vector & ~(kPageSize - 1)), kProtRead | kProtWrite);
    for (size_t i = 0; i < argv.size(); ++i) {
      space_.poke(strings, argv[i].c_str(), uint32_t(argv[i].size() + 1));
      put32(vector + 4 * uint32_t(i), strings);
      strings += uint32_t(argv[i].size() + 1);
    }
    put32(vector + 4 * uint32_t(argv.size()), 0);
    CpuState& st = cpu_.state();
    st.pc = image_.entry();
    st.gpr[regs::a0] = uint32_t(argv.size());
    st.gpr[regs::a1] = vector;
    st.gpr[regs::sp] = vector - 16;

    // The reference: every page r3krun mapped, with its protection and
    // bytes, and the whole stack region.
    ref_.unmap_all();
    ref_.reset_cpu();
    for (const Segment& s : image_.segments()) {
      for (uint32_t p = s.vaddr & ~(kPageSize - 1); p < s.vaddr + s.memsz; p += kPageSize) pages_.push_back(p);
      if (s.prot & kProtExec) code_.emplace_back(s.vaddr, s.vaddr + s.memsz);
    }
    for (uint32_t p = kScratch; p < kScratch + kScratchSize; p += kPageSize) pages_.push_back(p);
    std::sort(pages_.begin(), pages_.end());
    pages_.erase(std::unique(pages_.begin(), pages_.end()), pages_.end());
    for (uint32_t p : pages_) ref_.map(p, kPageSize, uc_perms(space_.prot(p)));
    ref_.map(kStackLo, kUserEnd - kStackLo, UC_PROT_READ | UC_PROT_WRITE);
    for (uint32_t p = kStackLo; p < kUserEnd; p += kPageSize)
      if (space_.prot(p) != kProtNone) pages_.push_back(p);
    std::vector<uint8_t> page(kPageSize);
    for (uint32_t p : pages_) {
      space_.peek(p, page.data(), kPageSize);
      ref_.write(p, page.data(), kPageSize);
    }
    code_.emplace_back(kScratch, kScratch + kPageSize);
    sync_registers();
  }

  Cpu& cpu() { return cpu_; }
  const ElfImage& image() const { return image_; }

  void sync_registers() {
    RefRegs r;
    const CpuState& st = cpu_.state();
    std::memcpy(r.gpr, st.gpr, sizeof r.gpr);
    r.hi = st.hi, r.lo = st.lo, r.pc = st.pc;
    ref_.set_regs(r);
  }

  LockstepOutcome run(KernelFn kernel, uint64_t max_units, uint32_t stop_at = 1) {
    LockstepConfig cfg;
    cfg.code = code_;
    cfg.track_writes = true;
    cfg.stop_at = stop_at;
    cfg.max_units = max_units;
    cfg.kernel = std::move(kernel);
    return run_lockstep(cpu_, ref_, cfg);
  }

  // Every page r3krun has mapped, against the reference; empty when equal.
  std::string memory_difference() {
    std::vector<uint32_t> all = pages_;
    for (uint32_t p = kStackLo; p < kUserEnd; p += kPageSize)
      if (space_.prot(p) != kProtNone) all.push_back(p);
    std::vector<uint8_t> a(kPageSize), b(kPageSize);
    for (uint32_t p : all) {
      if (!space_.peek(p, a.data(), kPageSize) || !ref_.read(p, b.data(), kPageSize))
        return "page " + std::to_string(p) + " unreadable";
      for (uint32_t i = 0; i < kPageSize; ++i)
        if (a[i] != b[i]) {
          char line[96];
          std::snprintf(line, sizeof line, "byte 0x%08x: r3krun 0x%02x, reference 0x%02x", p + i, a[i], b[i]);
          return line;
        }
    }
    return {};
  }

  // Scratch memory, the same on both sides.
  uint32_t push(const void* bytes, uint32_t len) {
    uint32_t at = scratch_next_;
    scratch_next_ = (scratch_next_ + len + 7) & ~7u;
    EXPECT_LE(scratch_next_, kScratch + kScratchSize);
    space_.poke(at, bytes, len);
    ref_.write(at, bytes, len);
    return at;
  }
  uint32_t push_string(const std::string& s) { return push(s.c_str(), uint32_t(s.size() + 1)); }
  std::string read_string(uint32_t at) {
    std::string s;
    char c;
    while (space_.peek(at++, &c, 1) && c) s += c;
    return s;
  }

  // Calls a function of the image as r3krun's guest calls do: o32 words in
  // a0-a3 and at sp+16.., gp = _gp, ra = the break page.
  LockstepOutcome call(const std::string& name, const std::vector<uint32_t>& args) {
    auto fn = image_.symbol(name);
    auto gp = image_.symbol("_gp");
    EXPECT_TRUE(fn && gp) << name;
    CpuState& st = cpu_.state();
    uint32_t sp = (st.gpr[regs::sp] - 64 - 4 * uint32_t(args.size())) & ~7u;
    for (size_t i = 0; i < args.size(); ++i) {
      if (i < 4) st.gpr[regs::a0 + i] = args[i];
      else put32_both(sp + 4 * uint32_t(i), args[i]);
    }
    st.gpr[regs::sp] = sp;
    st.gpr[regs::gp] = gp.value_or(0);
    st.gpr[regs::ra] = kScratch;
    st.pc = fn.value_or(0);
    st.load_reg = 0;
    st.hilo_guard = 0;
    sync_registers();
    return run(TinyKernel{}, 5'000'000, kScratch);
  }

 private:
  void put32(uint32_t at, uint32_t v) { space_.poke(at, enc::be_bytes(v).data(), 4); }
  void put32_both(uint32_t at, uint32_t v) {
    const auto b = enc::be_bytes(v);
    space_.poke(at, b.data(), 4);
    ref_.write(at, b.data(), 4);
  }

  Reference& ref_;
  ElfImage image_;
  AddressSpace space_{16384};
  Cpu cpu_{&space_};
  std::vector<uint32_t> pages_;  // segments and scratch (and the stack at entry)
  std::vector<std::pair<uint32_t, uint32_t>> code_;
  uint32_t scratch_next_ = kScratch + kPageSize;
};

// ---- whole programs --------------------------------------------------------

struct ProgramCase {
  std::string path, name;
  ForkAs fork_as;
  bool real_program;   // one of the three check programs: must exit with `status`
  int32_t status = 0;  // 1 for quendle when fork fails: a check it could not make
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name << " " << fork_name(c.fork_as); }

std::vector<ProgramCase> program_cases() {
  std::vector<ProgramCase> cases;
  for (const char* p : {"tallowin", "marrowick", "quendle"})
    for (ForkAs f : {ForkAs::Failing, ForkAs::Child, ForkAs::Parent})
      cases.push_back({std::string(R3K_PROGRAM_DIR) + "/" + p, p, f, true,
                       std::string_view(p) == "quendle" && f == ForkAs::Failing ? 1 : 0});
  std::vector<std::string> guests;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(R3K_GUEST_DIR, ec))
    if (e.is_regular_file() && e.path().filename().string().find('.') == std::string::npos)
      guests.push_back(e.path().filename().string());
  std::sort(guests.begin(), guests.end());
  for (const std::string& g : guests)
    for (ForkAs f : {ForkAs::Failing, ForkAs::Child, ForkAs::Parent})
      cases.push_back({std::string(R3K_GUEST_DIR) + "/" + g, g, f, false});
  return cases;
}

class ProgramInLockstep : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramInLockstep, AgreesAtEveryInstructionUntilItEnds) {
  const ProgramCase& c = GetParam();
  Reference ref;
  Loaded prog(ref, c.path, {c.name});
  TinyKernel kernel;
  kernel.fork_as = c.fork_as;
  LockstepOutcome o = prog.run([&](BothSides& g) { return kernel(g); }, 200'000);
  ASSERT_TRUE(o.agreed) << c.name << " " << fork_name(c.fork_as) << ": " << o.disagreement;
  EXPECT_EQ(prog.memory_difference(), "");
  EXPECT_GE(o.units, 5u);
  EXPECT_TRUE(o.exited || o.capped || !o.faults.empty());
  if (c.real_program) {
    EXPECT_TRUE(o.exited);
    EXPECT_GT(o.units, 1000u);
    EXPECT_EQ(kernel.status, c.status) << kernel.out[2];
    EXPECT_FALSE(kernel.out[1].empty() && kernel.out[2].empty()) << "it wrote nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(All, ProgramInLockstep, ::testing::ValuesIn(program_cases()),
                         [](const ::testing::TestParamInfo<ProgramCase>& i) {
                           return i.param.name + "_" + fork_name(i.param.fork_as);
                         });

// ---- library routines through guest calls -----------------------------------

class LibraryInLockstep : public ::testing::Test {
 protected:
  Reference ref;
  Loaded lib{ref, R3K_GUEST_DIR "/libcore", {"libcore"}};

  uint32_t call(const std::string& fn, const std::vector<uint32_t>& args) {
    LockstepOutcome o = lib.call(fn, args);
    EXPECT_TRUE(o.agreed) << fn << ": " << o.disagreement;
    EXPECT_TRUE(o.reached_stop) << fn << " did not return";
    EXPECT_EQ(lib.memory_difference(), "") << fn;
    return lib.cpu().state().gpr[regs::v0];
  }
};

TEST_F(LibraryInLockstep, SnprintfOverEdgeValuesAndConversions) {
  static const char* const kFormats[] = {
      "%d|%i|%u|%x",   "%X|%o|%c|%%",      "%-12d|%012d|%+d|% d", "%#x|%#o|%.0d|%.10u",
      "%5.3s|%-5s|%s", "%hd|%hhu|%ld|%lu", "%*d|%-*d|%.*d|%p",
  };
  static const uint32_t kValues[] = {0, 1, 0xffffffffu, 0x7fffffffu, 0x80000000u, 12345, 0xdeadbeefu};
  uint32_t buf = lib.push(std::string(256, '\0').data(), 256);
  uint32_t str = lib.push_string("lockstep");
  int calls = 0;
  for (const char* f : kFormats) {
    uint32_t fmt = lib.push_string(f);
    for (uint32_t v : kValues) {
      bool strings = std::strstr(f, "%s") != nullptr;
      std::vector<uint32_t> args = {buf, 256, fmt};
      for (int k = 0; k < 5; ++k) args.push_back(strings ? str : v + uint32_t(k));
      uint32_t n = call("snprintf", args);
      EXPECT_EQ(n, lib.read_string(buf).size()) << f << " with " << v;
      ++calls;
    }
  }
  EXPECT_EQ(calls, 7 * 7);
}

TEST_F(LibraryInLockstep, StringRoutinesAndErrorTexts) {
  uint32_t a = lib.push_string("differential"), b = lib.push_string("different");
  EXPECT_EQ(call("strlen", {a}), 12u);
  EXPECT_GT(int32_t(call("strcmp", {a, b})), 0);
  EXPECT_EQ(call("strchr", {a, 't'}), a + 8);
  for (uint32_t e = 0; e < 30; ++e) EXPECT_NE(call("strerror", {e}), 0u);
}

}  // namespace
}  // namespace r3k::diff
