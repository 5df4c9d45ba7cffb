// r3kscan PATH...: checks the code of MIPS ELF files (executables, objects
// and the objects inside ar archives) for what the strict R3000 refuses,
// with r3k::scan_code.  A directory stands for every ELF file and archive
// in it.  One line per finding on stderr; exit status 0 when clean, 1 on a
// finding, 2 when a file cannot be read as 32-bit big-endian MIPS ELF.
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "r3k/scan.h"

namespace {

namespace fs = std::filesystem;

int findings = 0;
int errors = 0;

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
    Elf_Data* data = elf_rawdata(scn, nullptr);
    if (!data || data->d_size != sh.sh_size || sh.sh_size % 4) {
      fail(where + ": " + (name ? name : "?"), "unreadable code section");
      continue;
    }
    r3k::CodeRegion region;
    region.addr = uint32_t(sh.sh_addr);
    region.bytes = {static_cast<const uint8_t*>(data->d_buf), data->d_size};
    if (eh.e_type == ET_REL) region.unresolved = relocated(elf, elf_ndxscn(scn), region.addr);
    for (const r3k::Fault& f : r3k::scan_code(region)) {
      std::fprintf(stderr, "r3kscan: %s: %s: %s\n", where.c_str(), name ? name : "?", f.describe().c_str());
      ++findings;
    }
  }
}

// `listed`: found in a directory, where files of other kinds are skipped.
void scan_file(const fs::path& path, bool listed) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return fail(path.string(), std::string("cannot open: ") + std::strerror(errno));
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: r3kscan PATH...\n");
    return 2;
  }
  elf_version(EV_CURRENT);
  for (int k = 1; k < argc; ++k) {
    const fs::path path = argv[k];
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      scan_file(path, false);
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(path, ec))
      if (e.is_regular_file()) files.push_back(e.path());
    if (ec) fail(path.string(), ec.message());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) scan_file(f, true);
  }
  if (errors) return 2;
  return findings ? 1 : 0;
}
