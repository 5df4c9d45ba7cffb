// r3kscan PATH...: checks the code of MIPS ELF files (executables, objects
// and the objects inside ar archives) for what the strict R3000 refuses,
// with r3k::scan_code.  A directory stands for every ELF file and archive
// in it.  One line per finding on stderr, naming the function from the
// symbol table; one line per path that cannot be read, and the scan goes
// on.  Exit status 0 when clean, 1 on a finding, 2 when a path could not
// be scanned (or a usage error).
#include <fcntl.h>
#include <gelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "r3k/elf.h"
#include "r3k/scan.h"

namespace {

namespace fs = std::filesystem;

int findings = 0;
int errors = 0;

constexpr const char* kUsage =
    "usage: r3kscan PATH...\n"
    "Checks MIPS ELF executables, objects and ar archives (a directory: the files in it)\n"
    "for what the R3000 faults on at run time: instructions outside MIPS-I, load-delay\n"
    "and HI/LO hazards, branches in delay slots.  One line per finding on standard error:\n"
    "  r3kscan: FILE: SECTION: HAZARD at pc ADDRESS in FUNCTION+OFFSET: INSTRUCTION ...\n"
    "Exit status: 0 clean, 1 findings, 2 a path that could not be scanned.\n";

void fail(const std::string& where, const std::string& what) {
  std::fprintf(stderr, "r3kscan: %s: %s\n", where.c_str(), what.c_str());
  ++errors;
}

// Addresses of the words of section `index` that relocations will patch.
std::vector<uint32_t> relocated(Elf* elf, size_t index, uint32_t base) {
  std::vector<uint32_t> at;
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_info != index) continue;
    if (sh.sh_type != SHT_REL && sh.sh_type != SHT_RELA) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    const size_t count = sh.sh_entsize ? sh.sh_size / sh.sh_entsize : 0;
    for (size_t k = 0; data && k < count; ++k) {
      GElf_Rel rel;
      GElf_Rela rela;
      if (sh.sh_type == SHT_REL && gelf_getrel(data, int(k), &rel)) at.push_back(base + uint32_t(rel.r_offset));
      else if (sh.sh_type == SHT_RELA && gelf_getrela(data, int(k), &rela))
        at.push_back(base + uint32_t(rela.r_offset));
    }
  }
  return at;
}

// The symbols defined in section `index`, as the machine's SymbolTable
// (raw big-endian records): in an object every section starts at 0, so
// only its own symbols may name its code.  Empty when there is no sound
// symbol table.
r3k::SymbolTable symbols_of(Elf* elf, size_t index) {
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB) continue;
    Elf_Data* syms = elf_rawdata(scn, nullptr);
    Elf_Data* names = elf_rawdata(elf_getscn(elf, sh.sh_link), nullptr);
    constexpr size_t kEntry = 16;  // Elf32_Sym; st_shndx is its last two bytes
    if (!syms || !names || sh.sh_entsize != kEntry || syms->d_size % kEntry) return {};
    const auto* raw = static_cast<const uint8_t*>(syms->d_buf);
    std::vector<uint8_t> mine;
    for (size_t at = 0; at < syms->d_size; at += kEntry)
      if ((size_t{raw[at + 14]} << 8 | raw[at + 15]) == index) mine.insert(mine.end(), raw + at, raw + at + kEntry);
    const auto* text = static_cast<const char*>(names->d_buf);
    return {std::move(mine), std::vector<char>(text, text + names->d_size)};
  }
  return {};
}

// "main+0x8" for addr, as r3krun names code in its fault reports.
std::string function_at(const r3k::SymbolTable& symbols, uint32_t addr) {
  const auto at = symbols.locate(addr);
  if (!at) return {};
  constexpr size_t kMaxName = 200;  // one line of reasonable length
  std::string name;
  for (const char c : at->name.substr(0, kMaxName)) name += c > ' ' && c < 0x7f ? c : '?';
  if (at->name.size() > kMaxName) name += "...";
  if (!at->offset) return name;
  char offset[16];
  std::snprintf(offset, sizeof offset, "+0x%x", unsigned(at->offset));
  return name + offset;
}

void scan_section(Elf* elf, Elf_Scn* scn, const GElf_Shdr& sh, const std::string& where, bool object) {
  r3k::CodeRegion region;
  region.addr = uint32_t(sh.sh_addr);
  Elf_Data* data = elf_rawdata(scn, nullptr);
  if (!data || data->d_size != sh.sh_size || sh.sh_size % 4) return fail(where, "unreadable code section");
  region.bytes = {static_cast<const uint8_t*>(data->d_buf), data->d_size};
  if (object) region.unresolved = relocated(elf, elf_ndxscn(scn), region.addr);
  const std::vector<r3k::Fault> found = r3k::scan_code(region);
  if (found.empty()) return;
  const r3k::SymbolTable symbols = symbols_of(elf, elf_ndxscn(scn));
  const uint32_t base = object ? region.addr : 0;  // an object's symbols count from its section's start
  for (const r3k::Fault& f : found) {
    const std::string function = function_at(symbols, f.pc - base);
    std::fprintf(stderr, "r3kscan: %s: %s\n", where.c_str(), f.describe(function).c_str());
    ++findings;
  }
}

void scan_elf(Elf* elf, const std::string& where) {
  GElf_Ehdr eh;
  const char* ident = elf_getident(elf, nullptr);
  if (!gelf_getehdr(elf, &eh) || !ident || ident[EI_CLASS] != ELFCLASS32 || ident[EI_DATA] != ELFDATA2MSB ||
      eh.e_machine != EM_MIPS)
    return fail(where, "not a 32-bit big-endian MIPS ELF file");
  size_t names;
  if (elf_getshdrstrndx(elf, &names) != 0) return fail(where, "no section names");
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_PROGBITS || !(sh.sh_flags & SHF_EXECINSTR)) continue;
    const char* name = elf_strptr(elf, names, sh.sh_name);
    scan_section(elf, scn, sh, where + ": " + (name ? name : "?"), eh.e_type == ET_REL);
  }
}

// `listed`: found in a directory, where files of other kinds are skipped.
void scan_file(const fs::path& path, bool listed) {
  // Not blocking: a FIFO or a device named here is refused, never waited on.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(path.string(), std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail(path.string(), "not a regular file or directory");
  }
  Elf* top = elf_begin(fd, ELF_C_READ, nullptr);
  const Elf_Kind kind = top ? elf_kind(top) : ELF_K_NONE;
  if (kind == ELF_K_ELF) {
    scan_elf(top, path.string());
  } else if (kind == ELF_K_AR) {
    Elf_Cmd cmd = ELF_C_READ;
    while (Elf* member = elf_begin(fd, cmd, top)) {
      const Elf_Arhdr* hdr = elf_getarhdr(member);
      if (hdr && elf_kind(member) == ELF_K_ELF) scan_elf(member, path.string() + "(" + hdr->ar_name + ")");
      cmd = elf_next(member);
      elf_end(member);
    }
  } else if (!listed) {
    fail(path.string(), "neither an ELF file nor an archive");
  }
  elf_end(top);
  close(fd);
}

// The regular files in a directory (not its subdirectories), sorted.  An
// entry whose type cannot be told (a symbolic link loop, no permission) is
// reported; one that points nowhere is skipped like any non-file.
void scan_directory(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    const bool regular = it->is_regular_file(type_ec);
    if (type_ec && type_ec != std::errc::no_such_file_or_directory) fail(it->path().string(), type_ec.message());
    else if (regular) files.push_back(it->path());
  }
  if (ec) fail(dir.string(), ec.message());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) scan_file(f, true);
}

void scan_path(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec) return fail(path.string(), "cannot open: " + ec.message());
  if (fs::is_directory(st)) return scan_directory(path);
  scan_file(path, false);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> paths;
  bool options = true;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (options && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "r3kscan: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  elf_version(EV_CURRENT);
  for (const fs::path& path : paths) scan_path(path);
  if (errors) return 2;
  return findings ? 1 : 0;
}
