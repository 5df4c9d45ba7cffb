#include "r3k/elf.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace r3k {
namespace {

// Every field is read through these, with the bounds checked by the
// caller in 64-bit arithmetic, so no file can make us read outside it.
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool fits(std::span<const uint8_t> bytes, uint64_t offset, uint64_t len) {
  return offset <= bytes.size() && len <= bytes.size() - offset;
}

// e_flags fields, not all of which the host's elf.h names.
constexpr uint32_t kFlagArch = 0xf0000000u;     // 0: MIPS I
constexpr uint32_t kFlagArchAse = 0x0f000000u;  // MIPS16, microMIPS, MDMX
constexpr uint32_t kFlagAbi = 0x0000f000u;      // 0 (GNU's o32) or 1: o32
constexpr uint32_t kFlagAbiO32 = 0x00001000u;
constexpr uint32_t kFlagAbi2 = 0x00000020u;     // n32

[[noreturn]] void refuse(const std::string& name, const std::string& why) {
  throw LoadError(LoadError::Kind::NotRunnable, name + ": " + why);
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

uint8_t prot_of(uint32_t flags) {
  uint8_t prot = kProtNone;
  if (flags & PF_R) prot |= kProtRead;
  if (flags & PF_W) prot |= kProtWrite;
  if (flags & PF_X) prot |= kProtExec;
  return prot;
}

void check_header(std::span<const uint8_t> b, const std::string& name) {
  if (b.size() < EI_NIDENT || std::memcmp(b.data(), ELFMAG, SELFMAG) != 0)
    refuse(name, "not an ELF file");
  if (b[EI_CLASS] != ELFCLASS32) refuse(name, "not a 32-bit ELF file");
  if (b[EI_DATA] != ELFDATA2MSB) refuse(name, "not a big-endian ELF file");
  if (b[EI_VERSION] != EV_CURRENT) refuse(name, "unknown ELF version");
  if (b.size() < sizeof(Elf32_Ehdr)) refuse(name, "truncated ELF header");
  const uint8_t* h = b.data();
  if (be16(h + 18) != EM_MIPS) refuse(name, "not a MIPS executable");
  const uint16_t type = be16(h + 16);
  if (type == ET_DYN) refuse(name, "position-independent executable or shared object, not ET_EXEC");
  if (type != ET_EXEC) refuse(name, "not an executable (ELF type " + std::to_string(type) + ")");
  const uint32_t flags = be32(h + 36);
  if ((flags & kFlagArch) != 0) refuse(name, "not MIPS-I code (e_flags " + hex(flags) + ")");
  if (flags & kFlagArchAse) refuse(name, "uses a MIPS architecture extension (e_flags " + hex(flags) + ")");
  const uint32_t abi = flags & kFlagAbi;
  if ((flags & kFlagAbi2) || (abi != 0 && abi != kFlagAbiO32))
    refuse(name, "not the o32 ABI (e_flags " + hex(flags) + ")");
}

}  // namespace

ElfImage ElfImage::parse(std::span<const uint8_t> b, const std::string& name) {
  check_header(b, name);
  const uint8_t* h = b.data();
  ElfImage img;
  img.name_ = name;
  img.entry_ = be32(h + 24);
  const uint32_t phoff = be32(h + 28);
  const uint16_t phentsize = be16(h + 42);
  const uint16_t phnum = be16(h + 44);

  if (phnum == 0) refuse(name, "no program headers");
  if (phnum > kMaxProgramHeaders)
    refuse(name, "too many program headers (" + std::to_string(phnum) + ")");
  if (phentsize != sizeof(Elf32_Phdr))
    refuse(name, "program header size " + std::to_string(phentsize) + ", expected " +
                     std::to_string(sizeof(Elf32_Phdr)));
  if (!fits(b, phoff, uint64_t{phnum} * phentsize))
    refuse(name, "program headers extend past the end of the file");

  uint64_t total = 0;
  for (unsigned i = 0; i < phnum; ++i) {
    const uint8_t* p = h + phoff + uint64_t{i} * phentsize;
    const uint32_t type = be32(p);
    const std::string which = "segment " + std::to_string(i);
    if (type == PT_INTERP || type == PT_DYNAMIC)
      refuse(name, "dynamically linked (has PT_INTERP or PT_DYNAMIC); only static executables run here");
    if (type != PT_LOAD) continue;
    Segment s;
    s.offset = be32(p + 4);
    s.vaddr = be32(p + 8);
    s.filesz = be32(p + 16);
    s.memsz = be32(p + 20);
    s.prot = prot_of(be32(p + 24));
    if (s.filesz > s.memsz)
      refuse(name, which + " has more file bytes (" + hex(s.filesz) + ") than memory (" + hex(s.memsz) + ")");
    if (!fits(b, s.offset, s.filesz)) refuse(name, which + " extends past the end of the file");
    if (s.memsz == 0) continue;
    const uint64_t end = uint64_t{s.vaddr} + s.memsz;
    if (end > kUserEnd)
      refuse(name, which + " at " + hex(s.vaddr) + " size " + hex(s.memsz) + " is outside user space");
    total += s.memsz;
    if (total > kMaxMappedBytes)
      refuse(name, "segments need more than " + std::to_string(kMaxMappedBytes >> 20) + " MiB");
    for (const Segment& o : img.segments_)
      if (s.vaddr < uint64_t{o.vaddr} + o.memsz && o.vaddr < end)
        refuse(name, which + " at " + hex(s.vaddr) + " overlaps the segment at " + hex(o.vaddr));
    img.segments_.push_back(s);
  }
  if (img.segments_.empty()) refuse(name, "no loadable segments");

  const bool entry_ok = std::any_of(img.segments_.begin(), img.segments_.end(), [&](const Segment& s) {
    return (s.prot & kProtExec) && img.entry_ >= s.vaddr && img.entry_ - s.vaddr < s.memsz;
  });
  if (!entry_ok) refuse(name, "entry point " + hex(img.entry_) + " is not inside an executable segment");
  if (img.entry_ % 4 != 0) refuse(name, "entry point " + hex(img.entry_) + " is not word-aligned");

  // Keep only the bytes the segments need; offsets become positions in data_.
  size_t bytes = 0;
  for (const Segment& s : img.segments_) bytes += s.filesz;
  img.data_.reserve(bytes);
  for (Segment& s : img.segments_) {
    const size_t at = img.data_.size();
    img.data_.insert(img.data_.end(), b.begin() + s.offset, b.begin() + s.offset + s.filesz);
    s.offset = static_cast<uint32_t>(at);
  }
  img.read_symbols(b);
  return img;
}

void ElfImage::read_symbols(std::span<const uint8_t> b) {
  // Symbols are a convenience: any doubt about the section table and we
  // simply have none.
  const uint8_t* h = b.data();
  const uint32_t shoff = be32(h + 32);
  const uint16_t shentsize = be16(h + 46);
  const uint16_t shnum = be16(h + 48);
  if (shoff == 0 || shnum == 0 || shentsize != sizeof(Elf32_Shdr)) return;
  if (!fits(b, shoff, uint64_t{shnum} * shentsize)) return;
  auto section = [&](uint32_t i) { return h + shoff + uint64_t{i} * shentsize; };

  for (uint32_t i = 0; i < shnum; ++i) {
    const uint8_t* sh = section(i);
    if (be32(sh + 4) != SHT_SYMTAB) continue;
    const uint32_t off = be32(sh + 16), size = be32(sh + 20), link = be32(sh + 24);
    const uint32_t entsize = be32(sh + 36);
    if (entsize != sizeof(Elf32_Sym) || !fits(b, off, size) || link >= shnum) return;
    const uint8_t* strsh = section(link);
    if (be32(strsh + 4) != SHT_STRTAB) return;
    const uint32_t stroff = be32(strsh + 16), strsize = be32(strsh + 20);
    if (!fits(b, stroff, strsize)) return;
    const char* strtab = reinterpret_cast<const char*>(h + stroff);

    std::map<std::string, bool, std::less<>> is_global;
    for (uint32_t at = 0; size - at >= sizeof(Elf32_Sym); at += sizeof(Elf32_Sym)) {
      const uint8_t* sym = h + off + at;
      const uint32_t name = be32(sym), value = be32(sym + 4);
      const uint8_t info = sym[12];
      const uint16_t shndx = be16(sym + 14);
      const unsigned type = ELF32_ST_TYPE(info), bind = ELF32_ST_BIND(info);
      if (name == 0 || name >= strsize || shndx == SHN_UNDEF) continue;
      if (type == STT_SECTION || type == STT_FILE) continue;
      const void* nul = std::memchr(strtab + name, '\0', strsize - name);
      if (nul == nullptr) continue;
      std::string sname(strtab + name, static_cast<const char*>(nul));
      const bool global = bind != STB_LOCAL;
      auto it = is_global.find(sname);
      if (it != is_global.end() && (it->second || !global)) continue;
      is_global[sname] = global;
      symbols_[sname] = value;
    }
    return;
  }
}

std::optional<uint32_t> ElfImage::symbol(std::string_view name) const {
  auto it = symbols_.find(name);
  if (it == symbols_.end()) return std::nullopt;
  return it->second;
}

std::pair<uint32_t, uint32_t> ElfImage::writable_range() const {
  uint64_t lo = kUserEnd, hi = 0;
  for (const Segment& s : segments_) {
    if (!(s.prot & kProtWrite)) continue;
    lo = std::min<uint64_t>(lo, s.vaddr & ~(kPageSize - 1));
    hi = std::max<uint64_t>(hi, (uint64_t{s.vaddr} + s.memsz + kPageSize - 1) & ~uint64_t{kPageSize - 1});
  }
  if (hi == 0) return {0, 0};
  return {static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
}

void ElfImage::load_into(AddressSpace& space) const {
  // Two segments may share a page (one ending and the next starting in
  // it); such a page gets the union of their protections.
  auto too_big = [&] {
    return LoadError(LoadError::Kind::NotRunnable, name_ + ": program needs more memory than the limit of " +
                                                       std::to_string(space.max_pages()) + " pages");
  };
  uint64_t need = 0;
  for (const Segment& s : segments_) need += (uint64_t{s.vaddr % kPageSize} + s.memsz + kPageSize - 1) >> kPageBits;
  if (need > space.max_pages()) throw too_big();
  std::map<uint32_t, uint8_t> pages;
  for (const Segment& s : segments_) {
    const uint32_t first = s.vaddr >> kPageBits;
    const uint32_t last = static_cast<uint32_t>((uint64_t{s.vaddr} + s.memsz - 1) >> kPageBits);
    for (uint32_t p = first; p <= last; ++p) pages[p] |= s.prot;
  }
  for (auto it = pages.begin(); it != pages.end();) {
    // One map() per run of pages with the same protection.
    auto run_end = std::next(it);
    uint32_t count = 1;
    while (run_end != pages.end() && run_end->first == it->first + count && run_end->second == it->second) {
      ++run_end;
      ++count;
    }
    if (!space.map(it->first << kPageBits, count << kPageBits, it->second)) throw too_big();
    it = run_end;
  }
  for (const Segment& s : segments_)
    if (s.filesz != 0 && !space.poke(s.vaddr, data_.data() + s.offset, s.filesz))
      throw LoadError(LoadError::Kind::NotRunnable, name_ + ": cannot place segment at " + hex(s.vaddr));
}

ElfImage ElfImage::read_file(const std::string& path) {
  auto fail = [&](LoadError::Kind kind, const std::string& why) {
    throw LoadError(kind, path + ": " + why);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(LoadError::Kind::CannotOpen, std::string("cannot open: ") + std::strerror(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail(LoadError::Kind::CannotOpen, std::string("cannot stat: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) fail(LoadError::Kind::NotRunnable, "is a directory");
  if (!S_ISREG(st.st_mode)) fail(LoadError::Kind::NotRunnable, "not a regular file");
  if (st.st_size > static_cast<off_t>(kMaxFileSize))
    fail(LoadError::Kind::NotRunnable, "file too large (" + std::to_string(st.st_size) + " bytes)");
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(LoadError::Kind::CannotOpen, std::string("read error: ") + std::strerror(errno));
    if (n == 0) break;  // shrank under us: parse what we have
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return parse(bytes, path);
}

}  // namespace r3k
