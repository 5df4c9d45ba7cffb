// Loader: what it accepts, what it refuses and why, and the state a
// process starts in.
#include "r3k/elf.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>

#include "machine/machine_util.h"
#include "support/mips_encode.h"

namespace {

using namespace enc;

// Header fields and program header i (type, offset, vaddr, filesz, memsz, flags).
constexpr size_t kType = 16, kMachine = 18, kEntry = 24, kPhoff = 28, kShoff = 32, kFlags = 36, kPhentsize = 42,
                 kPhnum = 44, kShentsize = 46, kShnum = 48;
size_t ph(int i, int field) {
  static const size_t at[] = {0, 4, 8, 16, 20, 24};
  return 52 + 32 * i + at[field];
}
enum { pType, pOffset, pVaddr, pFilesz, pMemsz, pFlags };

// A small static MIPS-I program: text (R-X) at 0x400000 that exits with
// the data word plus the first bss word; data (RW-) at 0x410000 with 4 file
// bytes and 0x100 of memory.  The file bytes after the data's filesz are
// 0xff, so a loader that copies past filesz is caught.  Symbols: start,
// data_word, bss_word, _gp.
std::vector<uint8_t> good_elf(std::vector<uint32_t> code = {}) {
  if (code.empty())
    code = {lui(t0, 0x41), lw(a0, 0, t0), lw(a1, 0x80, t0), nop(), addu(a0, a0, a1), addiu(v0, zero, 0), syscall()};
  std::vector<uint8_t> b(0x478, 0);
  const uint8_t ident[] = {0x7f, 'E', 'L', 'F', 1, 2, 1};
  std::copy(std::begin(ident), std::end(ident), b.begin());
  put_be16(b, kType, 2);
  put_be16(b, kMachine, 8);
  put_be32(b, 20, 1);
  put_be32(b, kEntry, 0x400000);
  put_be32(b, kPhoff, 52);
  put_be32(b, kShoff, 0x400);
  put_be32(b, kFlags, 0x1000);
  put_be16(b, 40, 52);
  put_be16(b, kPhentsize, 32);
  put_be16(b, kPhnum, 2);
  put_be16(b, kShentsize, 40);
  put_be16(b, kShnum, 3);
  const uint32_t segs[2][6] = {{1, 0x100, 0x400000, uint32_t(4 * code.size()), uint32_t(4 * code.size()), 5},
                               {1, 0x200, 0x410000, 4, 0x100, 6}};
  for (int i = 0; i < 2; ++i)
    for (int f = 0; f < 6; ++f) put_be32(b, ph(i, f), segs[i][f]);
  for (size_t i = 0; i < code.size(); ++i) put_be32(b, 0x100 + 4 * i, code[i]);
  put_be32(b, 0x200, 9);
  std::fill(b.begin() + 0x204, b.begin() + 0x280, 0xff);
  const char strtab[] = "\0start\0data_word\0bss_word\0_gp";  // names at 1, 7, 17, 26
  std::copy(std::begin(strtab), std::end(strtab), b.begin() + 0x300);
  const uint32_t syms[4][2] = {{1, 0x400000}, {7, 0x410000}, {17, 0x410080}, {26, 0x418000}};
  for (int i = 0; i < 4; ++i) {
    const size_t at = 0x340 + 16 * (i + 1);
    put_be32(b, at, syms[i][0]);
    put_be32(b, at + 4, syms[i][1]);
    b[at + 12] = 0x10;  // STB_GLOBAL, STT_NOTYPE
    put_be16(b, at + 14, 1);
  }
  const uint32_t shdrs[2][10] = {{0, 2, 0, 0, 0x340, 5 * 16, 2, 1, 4, 16},  // .symtab -> .strtab
                                 {0, 3, 0, 0, 0x300, sizeof strtab, 0, 0, 1, 0}};
  for (int i = 0; i < 2; ++i)
    for (int f = 0; f < 10; ++f) put_be32(b, 0x400 + 40 * (i + 1) + 4 * f, shdrs[i][f]);
  return b;
}

TEST(ElfLoader, LoadsSegmentsZeroFillsBssAndReadsSymbols) {
  r3k::TestMachine m;
  m.load_image(good_elf(), {"t"}, "good");
  EXPECT_EQ(m.symbol("data_word"), 0x410000u);
  EXPECT_EQ(m.symbol("_gp"), 0x418000u);
  EXPECT_FALSE(m.symbol("nope"));
  EXPECT_EQ(m.read32(0x410000), 9u);
  EXPECT_EQ(m.read32(0x410004), 0u) << "bytes past filesz must be zero, not the file's";
  EXPECT_EQ(m.read32(0x4100fc), 0u);
  EXPECT_EQ(m.run().exit_code, 9);
}

TEST(ElfLoader, SegmentsKeepTheirProtection) {
  // A store into text faults; the same store into data does not.
  for (uint32_t page : {0x40u, 0x41u}) {
    r3k::Machine m;
    m.load_image(good_elf({lui(t0, page), sw(zero, 0x20, t0), addiu(a0, zero, 5), addiu(v0, zero, 0), syscall()}),
                 {"t"});
    EXPECT_EQ(m.run().exit_code, page == 0x40 ? 139 : 5);
    if (page == 0x40) {
      ASSERT_TRUE(m.processes()[0].fault);
      EXPECT_EQ(m.processes()[0].fault->addr, 0x400020u);
      EXPECT_EQ(m.processes()[0].report,
                "bad address 0x00400020 at pc 0x00400004 in start+0x4: sw zero,32(t0) (store to a read-only page)");
    }
  }
}

struct Refusal {
  const char* what;
  std::function<void(std::vector<uint8_t>&)> corrupt;
  const char* reason;  // expected in the message
};

TEST(ElfLoader, RefusesWithOneLineNamingFileAndReason) {
  const Refusal refusals[] = {
      {"empty", [](auto& b) { b.clear(); }, "not an ELF file"},
      {"truncated header", [](auto& b) { b.resize(40); }, "truncated ELF header"},
      {"bad magic", [](auto& b) { b[1] = 'X'; }, "not an ELF file"},
      {"64-bit", [](auto& b) { b[4] = 2; }, "not a 32-bit"},
      {"little-endian", [](auto& b) { b[5] = 1; }, "not a big-endian"},
      {"x86", [](auto& b) { put_be16(b, kMachine, 3); }, "not a MIPS"},
      {"relocatable", [](auto& b) { put_be16(b, kType, 1); }, "not an executable"},
      {"PIE", [](auto& b) { put_be16(b, kType, 3); }, "not ET_EXEC"},
      {"MIPS32r2", [](auto& b) { put_be32(b, kFlags, 0x70001000); }, "not MIPS-I"},
      {"MIPS-II", [](auto& b) { put_be32(b, kFlags, 0x10001000); }, "not MIPS-I"},
      {"n32", [](auto& b) { put_be32(b, kFlags, 0x1020); }, "not the o32 ABI"},
      {"EABI64", [](auto& b) { put_be32(b, kFlags, 0x4000); }, "not the o32 ABI"},
      {"microMIPS", [](auto& b) { put_be32(b, kFlags, 0x02001000); }, "architecture extension"},
      {"PT_INTERP", [](auto& b) { put_be32(b, ph(1, pType), 3); }, "dynamically linked"},
      {"PT_DYNAMIC", [](auto& b) { put_be32(b, ph(1, pType), 2); }, "dynamically linked"},
      {"phentsize", [](auto& b) { put_be16(b, kPhentsize, 40); }, "program header size 40"},
      {"no phdrs", [](auto& b) { put_be16(b, kPhnum, 0); }, "no program headers"},
      {"too many phdrs", [](auto& b) { put_be16(b, kPhnum, 65); }, "too many program headers"},
      {"phdrs past end", [](auto& b) { put_be32(b, kPhoff, 0xfffffff0); }, "past the end of the file"},
      {"segment past end", [](auto& b) { put_be32(b, ph(1, pOffset), 0x476); }, "segment 1 extends past the end"},
      {"offset wraps", [](auto& b) { put_be32(b, ph(1, pOffset), 0xfffffffe); }, "past the end"},
      {"filesz > memsz", [](auto& b) { put_be32(b, ph(1, pMemsz), 2); }, "more file bytes"},
      {"kernel space", [](auto& b) { put_be32(b, ph(1, pVaddr), 0x80000000); }, "outside user space"},
      {"crosses 2 GiB", [](auto& b) { put_be32(b, ph(1, pVaddr), 0x7fffff80); }, "outside user space"},
      {"wraps", [](auto& b) { put_be32(b, ph(1, pVaddr), 0xffffff80); }, "outside user space"},
      {"overlap", [](auto& b) { put_be32(b, ph(1, pVaddr), 0x400010); }, "overlaps the segment at 0x400000"},
      {"huge", [](auto& b) { put_be32(b, ph(1, pMemsz), 0x20000000); }, "more than 256 MiB"},
      {"no PT_LOAD", [](auto& b) { put_be32(b, ph(0, pType), 4), put_be32(b, ph(1, pType), 4); }, "no loadable"},
      {"entry in data", [](auto& b) { put_be32(b, kEntry, 0x410000); }, "not inside an executable segment"},
      {"entry nowhere", [](auto& b) { put_be32(b, kEntry, 0x500000); }, "not inside an executable segment"},
      {"entry unaligned", [](auto& b) { put_be32(b, kEntry, 0x400002); }, "not word-aligned"},
      {"in the stack", [](auto& b) { put_be32(b, ph(1, pVaddr), 0x7ff00000); }, "reaches into the stack"},
  };
  for (const Refusal& r : refusals) {
    auto b = good_elf();
    r.corrupt(b);
    try {
      r3k::Machine m;
      m.load_image(b, {"t"}, "prog.elf");
      ADD_FAILURE() << "accepted: " << r.what;
    } catch (const r3k::LoadError& e) {
      const std::string msg = e.what();
      EXPECT_EQ(e.kind(), r3k::LoadError::Kind::NotRunnable) << r.what;
      EXPECT_EQ(msg.rfind("prog.elf: ", 0), 0u) << msg;
      EXPECT_NE(msg.find(r.reason), std::string::npos) << r.what << ": " << msg;
      EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
    }
  }
}

TEST(ElfLoader, AcceptsWhatTheLinkerMakes) {
  // A segment without file bytes may say any offset: the linker puts a
  // bss-only segment's at (or past) the end of the file.
  const std::vector<std::pair<const char*, std::function<void(std::vector<uint8_t>&)>>> variants = {
      {"bss only, offset at the end",
       [](auto& b) { put_be32(b, ph(1, pFilesz), 0), put_be32(b, ph(1, pOffset), 0x478); }},
      {"bss only, offset past the end",
       [](auto& b) { put_be32(b, ph(1, pFilesz), 0), put_be32(b, ph(1, pOffset), 0xfffff000); }},
  };
  for (const auto& [what, change] : variants) {
    auto b = good_elf();
    change(b);
    r3k::TestMachine m;
    m.load_image(b, {"t"});
    EXPECT_EQ(m.read32(0x410000), 0u) << what;
    EXPECT_EQ(m.run().exit_code, 0) << what;
  }
}

// good_elf with its string and symbol tables replaced by these, appended
// to the file: entries are (name offset, value, size, STT type).
std::vector<uint8_t> with_symbols(const std::string& strtab, const std::vector<std::array<uint32_t, 4>>& syms,
                                  std::vector<uint32_t> code = {}) {
  auto b = good_elf(std::move(code));
  const uint32_t str_at = uint32_t(b.size()), sym_at = (str_at + uint32_t(strtab.size()) + 3) & ~3u;
  b.insert(b.end(), strtab.begin(), strtab.end());
  b.resize(sym_at + 16 * (syms.size() + 1), 0);
  for (size_t i = 0; i < syms.size(); ++i) {
    const size_t at = sym_at + 16 * (i + 1);
    put_be32(b, at, syms[i][0]);
    put_be32(b, at + 4, syms[i][1]);
    put_be32(b, at + 8, syms[i][2]);
    b[at + 12] = uint8_t(0x10 | syms[i][3]);  // STB_GLOBAL
    put_be16(b, at + 14, 1);
  }
  put_be32(b, 0x400 + 40 + 16, sym_at);
  put_be32(b, 0x400 + 40 + 20, 16 * uint32_t(syms.size() + 1));
  put_be32(b, 0x400 + 80 + 16, str_at);
  put_be32(b, 0x400 + 80 + 20, uint32_t(strtab.size()));
  return b;
}

TEST(ElfLoader, SymbolsCostTheirBytesNotTheirNames) {
  // 20,000 symbols named by overlapping suffixes of one 100 KB string (a
  // gigabyte if each name were copied), after two functions; nothing is
  // read per symbol until a lookup asks.
  std::string strtab = std::string("\0start\0helper\0", 14) + std::string(100000, 'x') + '\0';
  std::vector<std::array<uint32_t, 4>> syms = {{1, 0x400000, 12, 2}, {7, 0x40000c, 16, 2}};
  for (uint32_t i = 0; i < 20000; ++i) syms.push_back({14 + 5 * i, 0x410000, 4, 1});
  const auto b = with_symbols(strtab, syms);
  r3k::Machine m;
  m.load_image(b, {"t"});
  const r3k::SymbolTable& table = m.image().symbols();
  EXPECT_EQ(table.size(), syms.size() + 1);
  EXPECT_LE(table.bytes(), b.size());
  EXPECT_EQ(m.symbol("helper"), 0x40000cu);
  EXPECT_EQ(m.symbol(std::string(100000 - 5, 'x')), 0x410000u) << "the second suffix";
  EXPECT_EQ(table.indexed(), 0u) << "name lookups build no index";
  struct Where {
    uint32_t addr;
    const char* name;  // null: none
    uint32_t offset;
  } wheres[] = {{0x400000, "start", 0},
                {0x400008, "start", 8},
                {0x400010, "helper", 4},
                {0x40001c, nullptr, 0},
                {0x3ffffc, nullptr, 0}};
  for (const Where& w : wheres) {
    const auto at = table.locate(w.addr);
    ASSERT_EQ(at.has_value(), w.name != nullptr) << std::hex << w.addr;
    if (!w.name) continue;
    EXPECT_EQ(at->name, w.name);
    EXPECT_EQ(at->offset, w.offset);
  }
  EXPECT_EQ(table.indexed(), 2u) << "only code labels are indexed";
  EXPECT_LE(table.bytes(), b.size() + 2 * 12);
  EXPECT_EQ(m.run().exit_code, 9);
}

TEST(ElfLoader, FaultReportsNameCodeInOneBoundedLine) {
  // The name is the file's bytes: control characters and length are tamed.
  const std::string name = "bad\nname\x01" + std::string(300, 'y');
  const auto b = with_symbols(std::string("\0", 1) + name + '\0', {{1, 0x400000, 0, 2}},
                              {lui(t0, 0x40), sw(zero, 0x20, t0), addiu(v0, zero, 0), syscall()});
  r3k::Machine m;
  m.load_image(b, {"t"});
  EXPECT_EQ(m.run().exit_code, 139);
  EXPECT_EQ(m.processes()[0].report, "bad address 0x00400020 at pc 0x00400004 in bad?name?" + std::string(191, 'y') +
                                         "...+0x4: sw zero,32(t0) (store to a read-only page)");
}

// good_elf with a third segment, and all three in the text's page: text,
// data at 0x400100 and a bss at 0x400800.
std::vector<uint8_t> one_page_elf() {
  auto b = good_elf(
      {lui(t0, 0x40), lw(a0, 0x100, t0), lw(a1, 0x800, t0), nop(), addu(a0, a0, a1), addiu(v0, zero, 0), syscall()});
  put_be16(b, kPhnum, 3);
  put_be32(b, ph(1, pVaddr), 0x400100);
  const uint32_t bss[6] = {1, 0, 0x400800, 0, 0x40, 6};
  for (int f = 0; f < 6; ++f) put_be32(b, ph(2, f), bss[f]);
  return b;
}

TEST(ElfLoader, MemoryLimitsCountEachPageOnceAndNameTheLimit) {
  struct Case {
    const char* what;
    std::vector<uint8_t> elf;
    uint32_t pages;       // --max-mem
    uint64_t host_bytes;  // --max-host-mem
    const char* refusal;  // the message's end; null: it runs, exiting 9
  } cases[] = {
      {"text and data need two", good_elf(), 1, r3k::HostMemory::kDefaultLimit,
       "program needs 2 pages, more than the limit of 1 pages (--max-mem)"},
      {"and the arguments a third", good_elf(), 2, r3k::HostMemory::kDefaultLimit,
       "no memory left for the argument list under the limit of 2 pages (--max-mem)"},
      {"three segments in one page, and the arguments", one_page_elf(), 2, r3k::HostMemory::kDefaultLimit, nullptr},
      {"no room for a page table", good_elf(), 3, 4096,
       "no host memory for the program under the limit of 4096 bytes (--max-host-mem)"},
  };
  for (const Case& c : cases) {
    r3k::Options o;
    o.max_mem_pages = c.pages;
    o.max_host_mem = c.host_bytes;
    r3k::Machine m(o);
    try {
      m.load_image(c.elf, {"t"}, "prog");
      EXPECT_EQ(c.refusal, nullptr) << c.what << ": loaded";
      EXPECT_EQ(m.run().exit_code, 9) << c.what;
    } catch (const r3k::LoadError& e) {
      ASSERT_NE(c.refusal, nullptr) << c.what << ": " << e.what();
      EXPECT_EQ(e.what(), "prog: " + std::string(c.refusal)) << c.what;
    }
  }
}

TEST(ElfLoader, BrokenSectionTableLosesSymbolsButStillRuns) {
  const std::vector<std::function<void(std::vector<uint8_t>&)>> breakages = {
      [](auto& b) { put_be32(b, kShoff, 0xfffffff0); },
      [](auto& b) { put_be16(b, kShentsize, 12); },
      [](auto& b) { put_be16(b, kShnum, 200); },
      [](auto& b) { put_be32(b, 0x400 + 40 + 24, 77); },          // symtab's link out of range
      [](auto& b) { put_be32(b, 0x400 + 40 + 20, 0xffffff00); },  // symtab size past the file
      [](auto& b) { put_be32(b, 0x400 + 80 + 20, 0x7fffffff); },  // strtab size past the file
  };
  for (size_t i = 0; i < breakages.size(); ++i) {
    auto b = good_elf();
    breakages[i](b);
    r3k::Machine m;
    m.load_image(b, {"t"});
    EXPECT_FALSE(m.symbol("start")) << "breakage " << i;
    EXPECT_EQ(m.run().exit_code, 9) << "breakage " << i;
  }
  // A name running off the end of the string table is dropped, not read on.
  auto b = good_elf();
  put_be32(b, 0x400 + 80 + 20, 20);  // strtab ends inside "bss_word"
  r3k::Machine m;
  m.load_image(b, {"t"});
  EXPECT_TRUE(m.symbol("data_word"));
  EXPECT_FALSE(m.symbol("bss_word"));
  EXPECT_FALSE(m.symbol("bss"));
}

TEST(ElfLoader, SurvivesTruncationAndRandomCorruption) {
  // Whatever the bytes, parsing either succeeds or throws LoadError.
  const auto good = good_elf();
  for (size_t len = 0; len < good.size(); ++len) {
    std::vector<uint8_t> b(good.begin(), good.begin() + static_cast<long>(len));
    try {
      r3k::ElfImage::parse(b, "t");
      EXPECT_GE(len, 0x204u) << "accepted a file cut inside its segments";
    } catch (const r3k::LoadError&) {
    }
  }
  std::mt19937 rng(1234);
  for (int round = 0; round < 20000; ++round) {
    auto b = good;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) b[rng() % 0x478] = static_cast<uint8_t>(rng());
    try {
      auto img = r3k::ElfImage::parse(b, "t");
      r3k::AddressSpace space(4096);
      img.load_into(space);
    } catch (const r3k::LoadError&) {
    }
  }
}

// ---- process entry ----

TEST(ProcessEntry, ArgumentsOnTheStackAndRegistersClear) {
  const std::vector<std::vector<std::string>> argvs = {{}, {"prog"}, {"prog", "-w", "", std::string(5000, 'x')}};
  for (const auto& argv : argvs) {
    for (uint32_t off = 0; off < 8; ++off) {
      r3k::Options o;
      o.sp_offset = off;
      r3k::TestMachine m(o);
      m.load_image(good_elf(), argv);
      const r3k::CpuState& s = m.regs();
      EXPECT_EQ(s.pc, 0x400000u);
      EXPECT_EQ(s.gpr[r3k::regs::a0], argv.size());
      const uint32_t vec = s.gpr[r3k::regs::a1];
      EXPECT_EQ(vec % 4, 0u);
      EXPECT_EQ(s.gpr[r3k::regs::sp] % 8, off);
      EXPECT_LT(s.gpr[r3k::regs::sp], vec);
      for (size_t i = 0; i < argv.size(); ++i) {
        const uint32_t str = m.read32(vec + 4 * static_cast<uint32_t>(i));
        EXPECT_GT(str, vec);
        EXPECT_EQ(m.read_string(str), argv[i]);
      }
      EXPECT_EQ(m.read32(vec + 4 * static_cast<uint32_t>(argv.size())), 0u) << "vector not NULL-terminated";
      for (int r = 1; r < 32; ++r) {
        if (r == r3k::regs::a0 || r == r3k::regs::a1 || r == r3k::regs::sp) continue;
        EXPECT_EQ(s.gpr[r], 0u) << "register " << r;
      }
      EXPECT_EQ(s.hi | s.lo, 0u);
    }
  }
}

TEST(ProcessEntry, ArgumentListTooLongIsRefused) {
  r3k::Machine m;
  EXPECT_THROW(m.load_image(good_elf(), {"p", std::string(2u << 20, 'a')}), r3k::LoadError);
}

}  // namespace
