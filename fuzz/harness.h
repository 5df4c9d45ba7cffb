// What the fuzz targets do with one input, shared by the libFuzzer entry
// points (fuzz/*_fuzz.cpp) and the GoogleTest replay of the corpus, so a
// crash input kept in the corpus is rerun by the ordinary test suite.
//
// Each function returns an empty string when the machine behaved, or one
// line saying which promise it broke.  A host crash, leak or hang is caught
// by the sanitizers and libFuzzer themselves.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "r3k/elf.h"
#include "r3k/machine.h"
#include "support/guest_calls.h"

namespace r3kfuzz {

inline bool one_line(const std::string& s) { return !s.empty() && s.find('\n') == std::string::npos; }

// Checks the promises of an image the loader accepted.
inline std::string check_image(const r3k::ElfImage& img) {
  uint64_t total = 0;
  const auto& segs = img.segments();
  if (segs.empty()) return "loader accepted an image without segments";
  bool entry_ok = false;
  for (size_t i = 0; i < segs.size(); ++i) {
    const r3k::Segment& s = segs[i];
    const uint64_t end = uint64_t{s.vaddr} + s.memsz;
    if (s.memsz == 0 || s.filesz > s.memsz) return "loader kept a segment with bad sizes";
    if (end > r3k::kUserEnd) return "loader accepted a segment outside user space";
    for (size_t j = 0; j < i; ++j)
      if (s.vaddr < uint64_t{segs[j].vaddr} + segs[j].memsz && segs[j].vaddr < end)
        return "loader accepted overlapping segments";
    total += s.memsz;
    if ((s.prot & r3k::kProtExec) && img.entry() >= s.vaddr && img.entry() - s.vaddr < s.memsz) entry_ok = true;
  }
  if (total > r3k::ElfImage::kMaxMappedBytes) return "loader accepted more than its mapping limit";
  if (!entry_ok || img.entry() % 4 != 0) return "loader accepted an entry point outside executable code";
  return {};
}

// Symbols cost their bytes in the file, not what their names spell: the
// symbol and string tables (which may overlap in the file, so twice it at
// most), then an index of 12 bytes per 16-byte entry once asked.
inline std::string check_symbols(const r3k::ElfImage& img, size_t file_size) {
  const r3k::SymbolTable& table = img.symbols();
  if (table.bytes() > 2 * file_size) return "symbol table holds more than twice the file";
  img.symbol("main");
  if (const auto at = table.locate(img.entry()); at && at->name.empty()) return "entry located in a nameless symbol";
  if (table.indexed() > table.size()) return "symbol index larger than the table";
  if (table.bytes() > 2 * file_size + 12 * table.size()) return "symbol index costs more than 12 bytes a symbol";
  return {};
}

inline std::string check_refusal(const r3k::LoadError& e, const std::string& name) {
  const std::string msg = e.what();
  if (e.kind() != r3k::LoadError::Kind::NotRunnable) return "refusal of bytes in memory is not NotRunnable: " + msg;
  if (!one_line(msg) || msg.rfind(name + ": ", 0) != 0 || msg.size() <= name.size() + 2)
    return "refusal is not one line naming the file and a reason: " + msg;
  return {};
}

// Decoded and generated code stay inside their share of the host memory
// (but for the one block the guest's pages leave no room for), and what the
// host memory counts for them is what the first process's code holds (no
// more than that while others run).
inline std::string check_code(const r3k::Machine& m, bool others_run = false) {
  const r3k::HostMemory& host = *m.host_memory();
  const uint64_t held = r3k::code_bytes(m.space());
  if (host.code() > host.code_limit() + r3k::HostMemory::kCodeOverdraft)
    return "code holds " + std::to_string(host.code()) + " bytes past its share of " +
           std::to_string(host.code_limit());
  if (others_run ? held > host.code() : held != host.code())
    return "host memory counts " + std::to_string(host.code()) + " bytes of code, the first process's holds " +
           std::to_string(held);
  return {};
}

// After a run: every process ended, the status is one r3krun can exit
// with, each report is one line and the budget was kept.
inline std::string check_run(const r3k::Machine& m, const r3k::RunResult& r) {
  if (r.exit_code < 0 || r.exit_code > 255) return "exit code out of range: " + std::to_string(r.exit_code);
  for (const r3k::ProcessInfo& p : m.processes())
    if (!p.ended()) return "pid " + std::to_string(p.pid) + " did not end";
  if (!r.message.empty() && !one_line(r.message)) return "report is not one line: " + r.message;
  for (const std::string& d : m.diagnostics())
    if (!one_line(d) || d.rfind("r3krun: ", 0) != 0) return "diagnostic is not one r3krun line: " + d;
  // A run stops only between blocks, which hold at most 64 instructions.
  if (m.total_insns() > m.options().max_insns + 64)
    return "ran " + std::to_string(m.total_insns()) + " instructions past a budget of " +
           std::to_string(m.options().max_insns);
  // Every process has ended: the host holds the first process's pages
  // alone, however many came and went, and without a record no trace of
  // the others is kept.
  const r3k::HostMemory& host = *m.host_memory();
  if (std::string why = check_code(m); !why.empty()) return why;
  if (host.peak() > host.limit() + r3k::HostMemory::kCodeOverdraft)
    return "host held " + std::to_string(host.peak()) + " bytes at once under a limit of " +
           std::to_string(host.limit());
  if (host.pages() != m.space().resident_pages())
    return "host holds " + std::to_string(host.pages()) + " pages after the run, the first process " +
           std::to_string(m.space().resident_pages());
  if (!m.options().record && !m.options().stats && m.processes().size() != 1)
    return std::to_string(m.processes().size()) + " processes kept without a record";
  for (const r3k::ProcessInfo& p : m.processes())
    if (p.budget_killed &&
        (r.exit_code != 137 ||
         r.message != "r3krun: instruction budget of " + std::to_string(m.options().max_insns) + " exhausted"))
      return "budget kill without status 137 and its report: " + r.message;
  return {};
}

// The page limit counts each page once, however many segments share it,
// and a refusal names the limit that was hit: an image loads under a limit
// of exactly its pages and the argument list's one, and one page less is
// refused naming --max-mem.
inline std::string check_page_limit(std::span<const uint8_t> bytes, const r3k::ElfImage& img) {
  std::set<uint32_t> pages;
  for (const r3k::Segment& s : img.segments())
    for (uint64_t p = s.vaddr >> r3k::kPageBits; p <= (uint64_t{s.vaddr} + s.memsz - 1) >> r3k::kPageBits; ++p)
      pages.insert(static_cast<uint32_t>(p));
  if (pages.size() >= 2048) return {};  // big ones are left to the load with the 8 MiB limit
  for (const size_t limit : {pages.size() + 1, pages.size()}) {
    r3k::Options o;
    o.max_mem_pages = static_cast<uint32_t>(limit);
    r3k::Machine m(o);
    try {
      m.load_image(bytes, {"fuzz.elf", "x"}, "fuzz.elf");
      if (limit == pages.size()) return "loaded under a page limit one short of its pages and its arguments'";
    } catch (const r3k::LoadError& e) {
      const std::string msg = e.what();
      if (msg.find("reaches into the stack") != std::string::npos) return {};
      if (limit > pages.size()) return "refused within its page limit of " + std::to_string(limit) + ": " + msg;
      if (!msg.ends_with(" pages (--max-mem)")) return "refused without naming --max-mem: " + msg;
    }
  }
  return {};
}

// A scratch directory holding the input as each kind of file the loader
// may be handed: a regular file, a FIFO nobody writes, a directory.
struct FileKinds {
  std::string dir, regular, fifo, directory;
  FileKinds() {
    char tmpl[] = "/tmp/r3k-fuzz-XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    regular = dir + "/prog";
    fifo = dir + "/fifo";
    directory = dir + "/dir";
    mkfifo(fifo.c_str(), 0600);
    mkdir(directory.c_str(), 0700);
  }
  ~FileKinds() {
    unlink(regular.c_str());
    unlink(fifo.c_str());
    rmdir(directory.c_str());
    rmdir(dir.c_str());
  }
  static FileKinds& get() {
    static FileKinds kinds;
    return kinds;
  }
};

// The loader reading the input from the file system: as a regular file it
// must decide as it did on the bytes in memory; as a FIFO or a directory
// (chosen by the input's length) it must refuse at once, never block.
inline std::string check_file(const uint8_t* data, size_t size, const std::string& in_memory) {
  FileKinds& kinds = FileKinds::get();
  std::string path = kinds.regular;
  if (size % 4 == 2) path = kinds.fifo;
  if (size % 4 == 3) path = kinds.directory;
  if (path == kinds.regular) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return "cannot write the scratch file";
    close(fd);
  }
  std::string outcome = "accepted";
  try {
    r3k::ElfImage::read_file(path);
  } catch (const r3k::LoadError& e) {
    outcome = e.what();
  }
  if (path == kinds.regular)
    return outcome == in_memory ? std::string() : "file and bytes decided differently: " + outcome + " / " + in_memory;
  const std::string expect = path + (path == kinds.fifo ? ": not a regular file" : ": is a directory");
  return outcome == expect ? std::string() : "non-regular file not refused at once: " + outcome;
}

// (a) Any byte string as an executable: parsed alone (and through the file
// system), then loaded into a machine with a small memory limit and run for
// a few instructions.
inline std::string elf_loader(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const std::string name = "fuzz.elf";
  bool parsed = false;
  std::string in_memory = "accepted";
  try {
    const r3k::ElfImage img = r3k::ElfImage::parse(bytes, FileKinds::get().regular);
    parsed = true;
    if (std::string why = check_image(img); !why.empty()) return why;
    if (std::string why = check_symbols(img, size); !why.empty()) return why;
    if (std::string why = check_page_limit(bytes, img); !why.empty()) return why;
  } catch (const r3k::LoadError& e) {
    in_memory = e.what();
    if (std::string why = check_refusal(e, FileKinds::get().regular); !why.empty()) return why;
  }
  if (std::string why = check_file(data, size, in_memory); !why.empty()) return why;
  if (!parsed) return {};

  r3k::Options o;
  o.max_mem_pages = 2048;  // 8 MiB: big programs are refused, not mapped
  o.max_insns = 2000;
  o.max_procs = 4;
  o.capture_limit = 4096;
  r3k::Machine m(o);
  try {
    m.load_image(bytes, {name, "x"}, name);
  } catch (const r3k::LoadError& e) {
    return check_refusal(e, name);
  }
  return check_run(m, m.run());
}

// A minimal big-endian MIPS ET_EXEC file with two PT_LOAD segments.
struct TinyElf {
  std::span<const uint8_t> code, data;
  uint32_t code_offset = 0;          // where in the text segment the code (and the entry) starts
  uint32_t text_size = 0x1000;       // memory size of the text segment, at 0x400000
  uint32_t data_vaddr = 0x10000000;  // data segment: its file bytes, then bss
  uint32_t data_size = r3k::kPageSize;
  uint32_t text_flags = 5, data_flags = 6;  // PF_X 1, PF_W 2, PF_R 4
};

inline std::vector<uint8_t> tiny_elf(const TinyElf& e) {
  constexpr uint32_t kText = 0x00400000u, kHeaders = 52 + 2 * 32;
  std::vector<uint8_t> f(kHeaders);
  auto put16 = [&](size_t at, uint32_t v) {
    f[at] = uint8_t(v >> 8);
    f[at + 1] = uint8_t(v);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
  };
  const uint8_t ident[] = {0x7f, 'E', 'L', 'F', 1 /*32-bit*/, 2 /*big-endian*/, 1 /*version*/};
  std::memcpy(f.data(), ident, sizeof ident);
  put16(16, 2);                      // ET_EXEC
  put16(18, 8);                      // EM_MIPS
  put32(20, 1);                      // version
  put32(24, kText + e.code_offset);  // entry
  put32(28, 52);                     // phoff
  put32(36, 0x1000);                 // e_flags: o32, MIPS I
  put16(40, 52);                     // ehsize
  put16(42, 32);                     // phentsize
  put16(44, 2);                      // phnum
  auto phdr = [&](size_t at, uint32_t off, uint32_t vaddr, uint32_t filesz, uint32_t memsz, uint32_t flags) {
    put32(at, 1);  // PT_LOAD
    put32(at + 4, off);
    put32(at + 8, vaddr);
    put32(at + 12, vaddr);
    put32(at + 16, filesz);
    put32(at + 20, memsz);
    put32(at + 24, flags);
    put32(at + 28, r3k::kPageSize);
  };
  // The text's file bytes: zero words (nops) up to the code, then the code.
  const uint32_t text_bytes = e.code_offset + uint32_t(e.code.size());
  phdr(52, kHeaders, kText, text_bytes, std::max(text_bytes, e.text_size), e.text_flags);
  phdr(84, kHeaders + text_bytes, e.data_vaddr, uint32_t(e.data.size()), e.data_size, e.data_flags);
  f.resize(kHeaders + e.code_offset);
  f.insert(f.end(), e.code.begin(), e.code.end());
  f.insert(f.end(), e.data.begin(), e.data.end());
  return f;
}

// Layout of a CPU-and-kernel input.
inline constexpr size_t kHeaderBytes = 16;
inline constexpr uint32_t kBigBssPages = 128;
inline constexpr size_t kRegisterWords = 8;  // v0 v1 a0 a1 a2 a3 t0 t1, set after the entry state

// The code words as kernel calls (header bit h[5] & 32): each word W picks
// a call and its arguments, so random inputs reach every call with
// descriptors, pointers into the data page and the stack, and lengths:
//   v0 = (W & 0xff) % 36 (33-35: outside the table)
//   a0: bit 8 set: a pointer into the data page, 64 bytes times bits 9-14;
//   else the number bits 9-14 minus 8 (-8..55)
//   a1: bit 15 set: a pointer 64 bytes times bits 16-20 into the data page,
//   or with bit 21 below sp; else the number bits 16-20 minus 8 (-8..23)
//   a2 = (W >> 22) & 0x3ff (a length, or lseek's high word); a3 = W >> 30
// Eight instructions a call; the program ends with _exit(0).  With header
// bit h[5] & 64 the run gets a FuzzRoot as its file tree.
inline std::vector<uint8_t> call_program(std::span<const uint8_t> code, uint32_t data_vaddr) {
  std::vector<uint8_t> out;
  auto emit = [&](uint32_t insn) {
    for (int i = 24; i >= 0; i -= 8) out.push_back(uint8_t(insn >> i));
  };
  auto addiu = [](uint32_t rt, uint32_t rs, uint32_t imm) { return 9u << 26 | rs << 21 | rt << 16 | (imm & 0xffff); };
  using namespace r3k::regs;
  constexpr uint32_t kSyscall = 0xc;
  auto argument = [&](uint32_t reg, uint32_t w, bool pointer, bool stack) {
    const uint32_t six = w & 0x3f;
    if (!pointer) {
      emit(addiu(reg, zero, six - 8));
      emit(0);
    } else if (stack) {
      emit(addiu(reg, sp, 0u - 64 * (six + 1)));
      emit(0);
    } else {
      emit(15u << 26 | reg << 16 | data_vaddr >> 16);  // lui
      emit(addiu(reg, reg, (data_vaddr & 0xffff) + 64 * six));
    }
  };
  for (size_t i = 0; i + 4 <= code.size() && out.size() + 44 <= r3k::kPageSize; i += 4) {
    const uint32_t w = uint32_t(code[i]) << 24 | uint32_t(code[i + 1]) << 16 | uint32_t(code[i + 2]) << 8 | code[i + 3];
    emit(addiu(v0, zero, (w & 0xff) % 36));
    argument(a0, w >> 9, w >> 8 & 1, false);
    argument(a1, w >> 16 & 0x1f, w >> 15 & 1, w >> 21 & 1);
    emit(addiu(a2, zero, w >> 22 & 0x3ff));
    emit(addiu(a3, zero, w >> 30));
    emit(kSyscall);
  }
  emit(addiu(v0, zero, 0));
  emit(addiu(a0, zero, 0));
  emit(kSyscall);
  return out;
}

// A small file tree for the file calls (header bit h[5] & 64), made afresh
// under the host's temporary directory for each run, so that every run
// starts from the same one, and removed after it: files, a directory, a
// link inside and one aiming out, and a FIFO that must never be opened.
// The data page of a seed spells the names at 64-byte steps.
struct FuzzRoot {
  std::filesystem::path dir;
  FuzzRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "r3k-fuzz-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    std::ofstream(dir / "a") << "contents of a\n";
    std::filesystem::create_directory(dir / "d");
    std::ofstream(dir / "d" / "b") << "b";
    std::filesystem::create_symlink("a", dir / "l");
    std::filesystem::create_symlink("../../..", dir / "d" / "up");
    mkfifo((dir / "p").c_str(), 0600);
  }
  ~FuzzRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  FuzzRoot(const FuzzRoot&) = delete;
  FuzzRoot& operator=(const FuzzRoot&) = delete;
};

// (b) The input as a program: a header choosing limits and kernel quirks,
// the first registers (so kernel calls get arbitrary arguments), then
// instruction words for the text page and bytes for the data page.  Run
// with small instruction, process and memory limits.
inline std::string cpu_kernel(const uint8_t* data, size_t size) {
  uint8_t h[kHeaderBytes] = {};
  std::memcpy(h, data, std::min(size, kHeaderBytes));
  size_t at = std::min(size, kHeaderBytes);
  uint32_t regs[kRegisterWords] = {};
  for (uint32_t& r : regs) {
    for (int i = 0; i < 4; ++i) r = r << 8 | (at < size ? data[at++] : 0);
  }
  const size_t code_bytes = std::min<size_t>(size - at, 16u * (h[11] + 1u));  // up to a page
  const std::span<const uint8_t> code(data + at, code_bytes & ~size_t{3});
  at += code_bytes;
  const std::span<const uint8_t> bytes(data + at, std::min<size_t>(size - at, r3k::kPageSize));

  r3k::Options o;
  o.trace = h[0] & 1;
  o.trace_format = h[0] & 2 ? r3k::TraceFormat::Tsv : r3k::TraceFormat::Strace;
  o.shared_fork = h[0] & 4;
  o.wait_status = h[0] & 8 ? r3k::WaitStatusForm::Unix : r3k::WaitStatusForm::Raw;
  if (h[0] & 16) o.seed = h[4];
  o.record = h[0] & 32;
  o.null_argv = h[0] & 64;
  if (h[0] & 128) {
    r3k::CallRule rule;
    rule.call = h[6] % 40u;
    if (h[7] & 7u) rule.nth = h[7] & 7u;
    rule.and_later = h[7] & 8u;
    if (h[7] & 16u) rule.pid = 2u + (h[7] >> 5);
    rule.value = static_cast<int8_t>(h[8]);
    (h[7] & 128 ? o.result : o.fail).push_back(rule);
  }
  o.max_procs = 1u + h[1] % 8u;
  o.max_mem_pages = 4u + h[2];  // 16 KiB .. 1 MiB
  o.quantum = 1u + h[3];
  o.exit_returns = h[5] % 4u;
  o.in_place_calls = !(h[5] & 4u);
  // Decoded code with little room: dropped and decoded again all the time
  // (one byte: every block is the one held beyond the share).
  const uint64_t code_shares[] = {0, 1, 16u << 10, 40u << 10};
  o.max_code_mem = code_shares[(h[5] >> 3) & 3];
  o.sp_offset = h[9] % 8u;
  for (int32_t fd : {1, 2})
    if (h[10] & fd) o.closed_fds.push_back(fd);
  o.first_pid = h[12] == 0xff ? 0xfffffffeu : 2u + h[12];  // near the top: pids run out
  o.max_insns = 250u * (1u + h[14] % 32u);
  o.capture_limit = 4096;
  o.trace_strsize = h[15];
  // A host memory cap that runs out: forks fail, stores fault.
  if (h[13] & 128) o.max_host_mem = 512u << 10;
  // Generated code for hot blocks: the default threshold, at a block's
  // first run, off, or after one run.
  switch ((h[13] >> 4) & 3) {
    case 1: o.jit.hot_after = 0; break;
    case 2: o.jit.enabled = false; break;
    case 3: o.jit.hot_after = 1; break;
  }

  TinyElf e;
  e.code = code;
  e.data = bytes;
  // The clock advances with the instructions, so that reruns agree.
  o.clock = 1'000'000'000;
  // Calls made of the code words keep the text and data pages apart.
  const bool call_mode = h[5] & 32u;
  std::vector<uint8_t> calls;
  if (call_mode) {
    calls = call_program(code, e.data_vaddr);
    e.code = calls;
  }
  // Text may be writable and data executable, so code can rewrite itself
  // and run what it stored.
  if (h[13] & 1) e.text_flags |= 2;
  if (h[13] & 2) e.data_flags |= 1;
  // Code across a page boundary: blocks and delay slots that span pages.
  if ((h[13] & 4) && !call_mode) {
    e.code_offset = r3k::kPageSize - (uint32_t(code.size()) / 2 & ~3u);
    e.text_size = 2 * r3k::kPageSize;
  }
  // A large bss nobody touches: it must cost no host memory, at load or
  // at a fork.
  if (h[13] & 64) e.data_size = kBigBssPages * r3k::kPageSize;
  // Data right after the text, so code runs into a page with other rights.
  if ((h[13] & 8) && !call_mode) {
    const uint32_t text_end = std::max(e.text_size, e.code_offset + uint32_t(code.size()));
    e.data_vaddr = 0x00400000u + ((text_end + r3k::kPageSize - 1) & ~(r3k::kPageSize - 1));
  }
  const std::vector<uint8_t> elf = tiny_elf(e);

  // Runs the program; returns what a rerun must reproduce, or sets why.
  std::string why;
  const bool with_files = h[5] & 64u;
  auto run = [&](r3k::Options opts) {
    std::optional<FuzzRoot> root;
    if (with_files) {
      root.emplace();
      opts.root = root->dir.string();
      opts.max_disk = 256u << 10;
      opts.stable_stat = true;  // the two runs' trees are two copies
    }
    std::string trace;
    const r3k::Machine* running = nullptr;
    opts.trace_sink = [&](std::string_view line) {
      if (why.empty() && (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1))
        why = "trace line is not one line: " + std::string(line);
      if (why.empty() && running) why = check_code(*running, true);
      trace += line;
    };
    r3k::TestMachine m(opts);
    running = &m;
    try {
      m.load_image(elf, {"fuzz", "arg"}, "fuzz");
    } catch (const r3k::LoadError& err) {
      if (why.empty()) why = check_refusal(err, "fuzz");  // too little memory for the program
      return std::string("refused");
    }
    for (size_t i = 0; i < kRegisterWords; ++i) m.regs().gpr[r3k::regs::v0 + i] = regs[i];
    const r3k::RunResult r = m.run();
    if (why.empty()) why = check_run(m, r);
    // Pages get host memory only when written: at load the file's bytes and
    // the arguments (6 pages at most here), then at most four a step (one
    // store, or a kernel store across a page edge; __time stores twice),
    // and the shared range once with --shared-fork.  Never a copy of
    // everything at a fork, nor the pages a heap grows by.
    const uint64_t shared = opts.shared_fork ? e.data_size / r3k::kPageSize + 1 : 0;
    if (why.empty() && m.host_memory()->peak_pages() > 6 + 4 * m.total_insns() + shared)
      why = "host held " + std::to_string(m.host_memory()->peak_pages()) + " pages at once after " +
            std::to_string(m.total_insns()) + " instructions";
    std::string s = std::to_string(r.exit_code) + " " + r.message + " " + std::to_string(m.total_insns()) + "\n";
    for (const std::string& line : m.stats_lines()) s += line + "\n";
    // The first process keeps its registers and memory after it ends.
    const r3k::CpuState& st = m.regs();
    for (uint32_t v : st.gpr) s += std::to_string(v) + " ";
    s += std::to_string(st.hi) + " " + std::to_string(st.lo) + " " + std::to_string(st.pc) + "\n";
    const auto page = m.read(e.data_vaddr, r3k::kPageSize);
    s.append(page.begin(), page.end());
    return s + trace + m.output(1) + m.output(2);
  };
  const std::string first = run(o);
  if (!why.empty() || first == "refused") return why;

  // Generated code gives exactly what the interpreter gives, calls served
  // in place exactly what calls that stop the CPU give, and a run (seeded
  // or not) repeats exactly: run again the other way in both.
  const auto way = [](const r3k::Options& w) {
    return std::string("the code generator ") + (w.jit.enabled ? "on" : "off") + ", calls " +
           (w.in_place_calls ? "served in place" : "stopping the CPU") + " and a code share of " +
           (w.max_code_mem ? std::to_string(w.max_code_mem) + " bytes" : "a quarter");
  };
  r3k::Options other = o;
  other.jit.enabled = !o.jit.enabled;
  other.jit.hot_after = 0;
  other.in_place_calls = !o.in_place_calls;
  // Code kept or dropped makes no difference either.
  other.max_code_mem = o.max_code_mem ? 0 : 1;
  if (run(other) != first)
    return "run with " + way(o) + " differs from the run with " + way(other) +
           ": status, reports, counts, registers, data, trace or output";
  return why;
}

}  // namespace r3kfuzz
