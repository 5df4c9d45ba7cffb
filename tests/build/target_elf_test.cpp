// Every target binary must be a plain static MIPS-I o32 executable built
// from this library alone: nothing of the cross toolchain's C library,
// no dynamic linking, small data really in use, and no instruction the
// R3000 does not have.

#include <elf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "r3k/scan.h"
#include "support/mips_encode.h"

namespace {

namespace fs = std::filesystem;
using enc::be16;
using enc::be32;

struct Section {
  std::string name;
  uint32_t type, flags, addr, offset, size;
};
struct Symbol {
  uint32_t value;
  uint16_t shndx;
  uint8_t bind;
};

// Just enough of a big-endian ELF32 reader for these checks; the machine's
// own loader is what is under test elsewhere, so it is not used here.
struct Elf {
  std::vector<uint8_t> bytes;
  std::vector<Elf32_Phdr> phdrs;
  std::vector<Section> sections;
  std::map<std::string, Symbol> symbols;
  std::vector<std::string> undefined;

  explicit Elf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (bytes.size() < sizeof(Elf32_Ehdr)) return;
    const uint8_t* b = bytes.data();
    const uint32_t phoff = be32(b + 28), shoff = be32(b + 32);
    const uint16_t phnum = be16(b + 44), shnum = be16(b + 48), shstrndx = be16(b + 50);
    for (uint16_t i = 0; i < phnum && phoff + (i + 1u) * 32 <= bytes.size(); ++i) {
      const uint8_t* p = b + phoff + i * 32;
      phdrs.push_back(
          {be32(p), be32(p + 4), be32(p + 8), be32(p + 12), be32(p + 16), be32(p + 20), be32(p + 24), be32(p + 28)});
    }
    std::vector<std::array<uint32_t, 10>> raw;
    for (uint16_t i = 0; i < shnum && shoff + (i + 1u) * 40 <= bytes.size(); ++i) {
      std::array<uint32_t, 10> s;
      for (int f = 0; f < 10; ++f) s[f] = be32(b + shoff + i * 40 + f * 4);
      raw.push_back(s);
    }
    auto str = [&](uint32_t table, uint32_t off) {
      std::string s;
      for (uint32_t at = table + off; at < bytes.size() && bytes[at]; ++at) s += static_cast<char>(bytes[at]);
      return s;
    };
    for (const auto& s : raw) {
      const uint32_t names = shstrndx < raw.size() ? raw[shstrndx][4] : 0;
      sections.push_back({str(names, s[0]), s[1], s[2], s[3], s[4], s[5]});
    }
    for (const auto& s : raw) {
      if (s[1] != SHT_SYMTAB || s[6] >= raw.size()) continue;
      const uint32_t strtab = raw[s[6]][4];
      for (uint32_t at = s[4] + 16; at + 16 <= s[4] + s[5] && at + 16 <= bytes.size(); at += 16) {
        const std::string name = str(strtab, be32(b + at));
        const uint16_t shndx = be16(b + at + 14);
        if (name.empty()) continue;
        if (shndx == SHN_UNDEF) undefined.push_back(name);
        symbols[name] = {be32(b + at + 4), shndx, static_cast<uint8_t>(b[at + 12] >> 4)};
      }
    }
  }
  const Section* section(const std::string& name) const {
    for (const auto& s : sections)
      if (s.name == name) return &s;
    return nullptr;
  }
};

// MIPS-I integer instructions: the opcodes and function codes the R3000
// has.  Anything else would be a reserved-instruction fault at run time.
bool is_mips1(uint32_t insn) {
  const uint32_t op = insn >> 26, funct = insn & 0x3f, rt = (insn >> 16) & 0x1f;
  switch (op) {
    case 0: {
      static const uint8_t ok[] = {0,  2,  3,  4,  6,  7,  8,  9,  12, 13, 16, 17, 18, 19,
                                   24, 25, 26, 27, 32, 33, 34, 35, 36, 37, 38, 39, 42, 43};
      for (uint8_t f : ok)
        if (f == funct) return true;
      return false;
    }
    case 1: return rt == 0 || rt == 1 || rt == 16 || rt == 17;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 32:
    case 33:
    case 34:
    case 35:
    case 36:
    case 37:
    case 38:
    case 40:
    case 41:
    case 42:
    case 43:
    case 46: return true;
    default: return false;
  }
}

std::vector<fs::path> target_binaries() {
  std::vector<fs::path> all;
  for (const char* dir : {R3K_PROGRAM_DIR, R3K_GUEST_DIR})
    if (fs::exists(dir))
      for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) all.push_back(e.path());
  return all;
}

TEST(TargetBinaries, AllThreeProgramsAreBuilt) {
  for (const char* name : {"quendle", "tallowin", "marrowick"})
    EXPECT_TRUE(fs::exists(fs::path(R3K_PROGRAM_DIR) / name)) << name;
}

TEST(TargetBinaries, AreStaticMipsOneO32Executables) {
  const auto all = target_binaries();
  ASSERT_GE(all.size(), 4u);
  for (const auto& path : all) {
    SCOPED_TRACE(path.string());
    const Elf elf(path);
    ASSERT_GE(elf.bytes.size(), sizeof(Elf32_Ehdr));
    const uint8_t* h = elf.bytes.data();
    EXPECT_EQ(h[EI_CLASS], ELFCLASS32);
    EXPECT_EQ(h[EI_DATA], ELFDATA2MSB);
    EXPECT_EQ(be16(h + 16), ET_EXEC);
    EXPECT_EQ(be16(h + 18), EM_MIPS);
    const uint32_t flags = be32(h + 36);
    EXPECT_EQ(flags & EF_MIPS_ARCH, uint32_t{EF_MIPS_ARCH_1}) << std::hex << flags;
    EXPECT_EQ(flags & 0x0000f000u, 0x00001000u) << "o32 ABI, flags " << std::hex << flags;
    EXPECT_EQ(flags & (EF_MIPS_PIC | EF_MIPS_CPIC), 0u) << std::hex << flags;

    for (const auto& ph : elf.phdrs) {
      EXPECT_NE(ph.p_type, uint32_t{PT_INTERP});
      EXPECT_NE(ph.p_type, uint32_t{PT_DYNAMIC});
      if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
        EXPECT_FALSE(ph.p_flags & PF_W) << "writable text";
      }
    }
    ASSERT_TRUE(elf.symbols.count("__start"));
    EXPECT_EQ(be32(h + 24), elf.symbols.at("__start").value) << "entry is not __start";
    EXPECT_TRUE(elf.undefined.empty()) << "undefined: " << elf.undefined.front();
    EXPECT_EQ(elf.section(".interp"), nullptr);
    EXPECT_EQ(elf.section(".dynamic"), nullptr);
  }
}

TEST(TargetBinaries, CarryNothingOfTheCrossCLibrary) {
  // Names only a hosted C library defines.  (memcpy and the compiler's
  // helpers such as __udivdi3 are this project's own; the cross toolchain's
  // libgcc is MIPS32 and would fail TextHoldsOnlyMipsOneInstructions.)
  const char* foreign[] = {
      "__libc_start_main", "_IO_stdin_used", "__libc_csu_init",        "_init", "_fini", "__cxa_atexit",
      "__dso_handle",      "puts",           "__libc_multiple_threads"};
  for (const auto& path : target_binaries()) {
    const Elf elf(path);
    for (const char* name : foreign) EXPECT_FALSE(elf.symbols.count(name)) << path << ": " << name;
  }
}

TEST(TargetBinaries, UseSmallDataAddressedFromGp) {
  for (const auto& path : target_binaries()) {
    SCOPED_TRACE(path.string());
    const Elf elf(path);
    ASSERT_TRUE(elf.symbols.count("_gp"));
    const uint32_t gp = elf.symbols.at("_gp").value;
    // The library's small objects are small data, reachable with a 16-bit
    // offset from gp, where code that declares them itself looks for them.
    for (const char* name : {"errno", "__argv", "sys_nerr"}) {
      if (!elf.symbols.count(name)) continue;
      const int64_t off = int64_t{elf.symbols.at(name).value} - gp;
      EXPECT_GE(off, -32768) << name;
      EXPECT_LT(off, 32768) << name;
    }
    EXPECT_NE(elf.section(".sbss"), nullptr);
    ASSERT_TRUE(elf.symbols.count("__argv"));
  }
}

TEST(TargetBinaries, TextHoldsOnlyMipsOneInstructions) {
  for (const auto& path : target_binaries()) {
    const Elf elf(path);
    const Section* text = elf.section(".text");
    ASSERT_NE(text, nullptr) << path;
    for (uint32_t at = 0; at + 4 <= text->size; at += 4) {
      const uint32_t insn = be32(elf.bytes.data() + text->offset + at);
      EXPECT_TRUE(is_mips1(insn)) << path << ": 0x" << std::hex << insn << " at 0x" << text->addr + at;
    }
  }
}

TEST(TargetBinaries, ErrorTableLiesInReadOnlyData) {
  const Elf elf(fs::path(R3K_PROGRAM_DIR) / "quendle");
  auto read_only = [&](uint32_t addr) {
    for (const auto& ph : elf.phdrs)
      if (ph.p_type == PT_LOAD && addr >= ph.p_vaddr && addr < ph.p_vaddr + ph.p_memsz) return !(ph.p_flags & PF_W);
    return false;
  };
  ASSERT_TRUE(elf.symbols.count("sys_errlist"));
  const uint32_t table = elf.symbols.at("sys_errlist").value;
  EXPECT_TRUE(read_only(table));
  // The messages too, wherever the entries point.
  const Section* rodata = elf.section(".rodata");
  ASSERT_NE(rodata, nullptr);
  for (uint32_t n = 0; n < 27; ++n) {
    const uint32_t entry = be32(elf.bytes.data() + rodata->offset + (table + 4 * n - rodata->addr));
    EXPECT_TRUE(read_only(entry)) << n;
  }
}

// The build's hazard check on hand-encoded code: each rule on the paths
// it follows, and the paths it must not follow.
TEST(HazardScan, FindsWhatTheR3000RefusesOnEveryPathItCanSee) {
  using namespace enc;
  using K = r3k::FaultKind;
  constexpr uint32_t kBase = 0x00400000;
  struct Case {
    const char* what;
    std::vector<uint32_t> code;
    std::vector<std::pair<uint32_t, K>> expected;  // word index, fault
    std::vector<uint32_t> unresolved = {};         // word indexes
  };
  const Case cases[] = {
      {"load, nop, use", {lw(v0, 0, a0), nop(), addu(v0, v0, v0)}, {}},
      {"load then use", {lw(v0, 0, a0), addu(v1, v0, v0)}, {{1, K::LoadDelayHazard}}},
      {"load then store of it", {lw(v0, 0, a0), sw(v0, 4, a0)}, {{1, K::LoadDelayHazard}}},
      {"load then overwrite", {lw(v0, 0, a0), addiu(v0, zero, 1)}, {}},
      {"load into $zero", {lw(zero, 0, a0), addu(v0, zero, zero)}, {}},
      {"lwl/lwr merging pair", {lwl(t0, 0, a0), lwr(t0, 3, a0)}, {}},
      {"lwr based on the register lwl loads", {lwl(t0, 0, a0), lwr(t0, 3, t0)}, {{1, K::LoadDelayHazard}}},
      {"mflo then mult", {mflo(v0), mult(a0, a1)}, {{1, K::HiLoHazard}}},
      {"mfhi, one between, mtlo", {mfhi(v0), nop(), mtlo(a0)}, {{2, K::HiLoHazard}}},
      {"mfhi, two between, div", {mfhi(v0), nop(), nop(), div(a0, a1)}, {}},
      {"branch in a delay slot", {beq(a0, zero, 2), j(kBase), nop(), nop()}, {{1, K::BranchInDelaySlot}}},
      {"past a conditional branch's slot",
       {bne(a0, zero, 4), lw(t0, 0, a0), addu(t1, t0, t0)},
       {{2, K::LoadDelayHazard}}},
      {"to a branch's target", {bne(a0, zero, 2), lw(t0, 0, a0), nop(), addu(t1, t0, t0)}, {{3, K::LoadDelayHazard}}},
      {"to a jump's target", {j(kBase + 12), mfhi(v0), nop(), mult(a0, a1)}, {{3, K::HiLoHazard}}},
      {"target of a branch not relocated yet", {bne(a0, zero, 2), lw(t0, 0, a0), nop(), addu(t1, t0, t0)}, {}, {0}},
      {"past jr's slot", {jr(ra), lw(s0, 0, sp), addu(s0, s0, s0)}, {}},
      {"past b's slot", {b(4), lw(s0, 0, sp), addu(s0, s0, s0)}, {}},
      {"past bal's slot", {bgezal(zero, 4), lw(s0, 0, sp), addu(s0, s0, s0)}, {}},
      {"past jal's slot", {jal(kBase + 64), lw(a0, 0, sp), addu(a0, a0, a0)}, {}},
      {"not MIPS-I",
       {0x7c000000u, 0x40027000u /* mfc0 */, 0x8c820000u | 0xc0000000u /* lwc0 */},
       {{0, K::ReservedInstruction}, {1, K::ReservedInstruction}, {2, K::ReservedInstruction}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes;
    for (uint32_t w : c.code)
      for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(w >> shift));
    r3k::CodeRegion region{kBase, bytes, {}};
    for (uint32_t k : c.unresolved) region.unresolved.push_back(kBase + 4 * k);
    std::vector<std::pair<uint32_t, K>> found;
    for (const r3k::Fault& f : r3k::scan_code(region)) {
      EXPECT_EQ(f.insn, c.code[(f.pc - kBase) / 4]);
      found.push_back({(f.pc - kBase) / 4, f.kind});
    }
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
