#include "r3k/elf.h"

#include <elf.h>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace r3k {
namespace {

// The file's fields are big-endian; these give them in host order.
uint16_t be(uint16_t v) { return be16toh(v); }
uint32_t be(uint32_t v) { return be32toh(v); }

// e_flags fields, not all of which the host's elf.h names.
constexpr uint32_t kFlagArch = 0xf0000000u;     // 0: MIPS I
constexpr uint32_t kFlagArchAse = 0x0f000000u;  // MIPS16, microMIPS, MDMX
constexpr uint32_t kFlagAbi = 0x0000f000u;      // 0 (GNU's o32) or 1: o32
constexpr uint32_t kFlagAbiO32 = 0x00001000u;
constexpr uint32_t kFlagAbi2 = 0x00000020u;  // n32

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

void check_header(const Elf32_Ehdr& h, const std::string& name) {
  if (be(h.e_machine) != EM_MIPS) refuse(name, "not a MIPS executable");
  const uint16_t type = be(h.e_type);
  if (type == ET_DYN) refuse(name, "position-independent executable or shared object, not ET_EXEC");
  if (type != ET_EXEC) refuse(name, "not an executable (ELF type " + std::to_string(type) + ")");
  const uint32_t flags = be(h.e_flags);
  if ((flags & kFlagArch) != 0) refuse(name, "not MIPS-I code (e_flags " + hex(flags) + ")");
  if (flags & kFlagArchAse) refuse(name, "uses a MIPS architecture extension (e_flags " + hex(flags) + ")");
  const uint32_t abi = flags & kFlagAbi;
  if ((flags & kFlagAbi2) || (abi != 0 && abi != kFlagAbiO32))
    refuse(name, "not the o32 ABI (e_flags " + hex(flags) + ")");
}

}  // namespace

// Where parse reads from.  Every read is bounds-checked by the caller with
// fits() in 64-bit arithmetic, so no file can make us read outside it, and
// only the parts asked for are ever read.
class ElfImage::Source {
 public:
  explicit Source(uint64_t size) : size_(size) {}
  virtual ~Source() = default;
  uint64_t size() const { return size_; }
  bool fits(uint64_t offset, uint64_t len) const { return offset <= size_ && len <= size_ - offset; }
  // Exactly len bytes at offset, which fits(); throws LoadError if the
  // file cannot give them.
  virtual void read(uint64_t offset, void* dst, size_t len) const = 0;

  template <typename T>
  T read_as(uint64_t offset) const {
    T v;
    read(offset, &v, sizeof v);
    return v;
  }
  template <typename T>
  std::vector<T> read_array(uint64_t offset, size_t count) const {
    std::vector<T> v(count);
    if (count != 0) read(offset, v.data(), count * sizeof(T));
    return v;
  }

 private:
  uint64_t size_;
};

namespace {

class MemorySource final : public ElfImage::Source {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : Source(bytes.size()), bytes_(bytes) {}
  void read(uint64_t offset, void* dst, size_t len) const override { std::memcpy(dst, bytes_.data() + offset, len); }

 private:
  std::span<const uint8_t> bytes_;
};

class FileSource final : public ElfImage::Source {
 public:
  FileSource(int fd, uint64_t size, const std::string& path) : Source(size), fd_(fd), path_(path) {}
  void read(uint64_t offset, void* dst, size_t len) const override {
    auto* out = static_cast<uint8_t*>(dst);
    while (len > 0) {
      const ssize_t n = ::pread(fd_, out, len, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw LoadError(LoadError::Kind::CannotOpen, path_ + ": read error: " + std::strerror(errno));
      if (n == 0) refuse(path_, "file shrank while being read");
      out += n;
      offset += static_cast<uint64_t>(n);
      len -= static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  const std::string& path_;
};

}  // namespace

ElfImage ElfImage::parse(std::span<const uint8_t> bytes, const std::string& name) {
  return parse(MemorySource(bytes), name);
}

ElfImage ElfImage::parse(const Source& src, const std::string& name) {
  // The identification first, so that anything else is refused from its
  // first bytes.
  if (src.size() < EI_NIDENT) refuse(name, "not an ELF file");
  const auto ident = src.read_array<unsigned char>(0, EI_NIDENT);
  if (std::memcmp(ident.data(), ELFMAG, SELFMAG) != 0) refuse(name, "not an ELF file");
  if (ident[EI_CLASS] != ELFCLASS32) refuse(name, "not a 32-bit ELF file");
  if (ident[EI_DATA] != ELFDATA2MSB) refuse(name, "not a big-endian ELF file");
  if (ident[EI_VERSION] != EV_CURRENT) refuse(name, "unknown ELF version");
  if (src.size() < sizeof(Elf32_Ehdr)) refuse(name, "truncated ELF header");
  const auto h = src.read_as<Elf32_Ehdr>(0);
  check_header(h, name);

  ElfImage img;
  img.name_ = name;
  img.entry_ = be(h.e_entry);
  img.read_segments(src, be(h.e_phoff), be(h.e_phnum), be(h.e_phentsize));
  const bool entry_ok = std::any_of(img.segments_.begin(), img.segments_.end(), [&](const Segment& s) {
    return (s.prot & kProtExec) && img.entry_ >= s.vaddr && img.entry_ - s.vaddr < s.memsz;
  });
  if (!entry_ok) refuse(name, "entry point " + hex(img.entry_) + " is not inside an executable segment");
  if (img.entry_ % 4 != 0) refuse(name, "entry point " + hex(img.entry_) + " is not word-aligned");
  img.read_sections(src, be(h.e_shoff), be(h.e_shnum), be(h.e_shentsize), be(h.e_shstrndx));
  return img;
}

void ElfImage::read_segments(const Source& src, uint32_t phoff, uint16_t phnum, uint16_t phentsize) {
  const std::string& name = name_;
  if (phnum == 0) refuse(name, "no program headers");
  if (phnum > kMaxProgramHeaders) refuse(name, "too many program headers (" + std::to_string(phnum) + ")");
  if (phentsize != sizeof(Elf32_Phdr))
    refuse(name,
           "program header size " + std::to_string(phentsize) + ", expected " + std::to_string(sizeof(Elf32_Phdr)));
  if (!src.fits(phoff, uint64_t{phnum} * phentsize)) refuse(name, "program headers extend past the end of the file");

  uint64_t total = 0;
  const auto headers = src.read_array<Elf32_Phdr>(phoff, phnum);
  for (size_t i = 0; i < headers.size(); ++i) {
    const Elf32_Phdr& p = headers[i];
    const uint32_t type = be(p.p_type);
    const std::string which = "segment " + std::to_string(i);
    if (type == PT_INTERP || type == PT_DYNAMIC)
      refuse(name, "dynamically linked (has PT_INTERP or PT_DYNAMIC); only static executables run here");
    if (type != PT_LOAD) continue;
    Segment s;
    s.offset = be(p.p_offset);
    s.vaddr = be(p.p_vaddr);
    s.filesz = be(p.p_filesz);
    s.memsz = be(p.p_memsz);
    s.prot = prot_of(be(p.p_flags));
    if (s.filesz > s.memsz)
      refuse(name, which + " has more file bytes (" + hex(s.filesz) + ") than memory (" + hex(s.memsz) + ")");
    // No file bytes, no file offset to check: the linker puts a bss-only
    // segment's offset wherever the file ends.
    if (s.filesz != 0 && !src.fits(s.offset, s.filesz)) refuse(name, which + " extends past the end of the file");
    if (s.memsz == 0) continue;
    const uint64_t end = uint64_t{s.vaddr} + s.memsz;
    if (end > kUserEnd)
      refuse(name, which + " at " + hex(s.vaddr) + " size " + hex(s.memsz) + " is outside user space");
    total += s.memsz;
    if (total > kMaxMappedBytes)
      refuse(name, "segments need more than " + std::to_string(kMaxMappedBytes >> 20) + " MiB");
    for (const Segment& o : segments_)
      if (s.vaddr < uint64_t{o.vaddr} + o.memsz && o.vaddr < end)
        refuse(name, which + " at " + hex(s.vaddr) + " overlaps the segment at " + hex(o.vaddr));
    segments_.push_back(s);
  }
  if (segments_.empty()) refuse(name, "no loadable segments");

  // Keep only the bytes the segments need; offsets become positions in data_.
  size_t bytes = 0;
  for (const Segment& s : segments_) bytes += s.filesz;
  data_.resize(bytes);
  size_t at = 0;
  for (Segment& s : segments_) {
    if (s.filesz != 0) src.read(s.offset, data_.data() + at, s.filesz);
    s.offset = static_cast<uint32_t>(at);
    at += s.filesz;
  }
}

namespace {

// The symbol table and its names, or an empty table.
SymbolTable symbols_of(const ElfImage::Source& src, const std::vector<Elf32_Shdr>& sections) {
  const auto symtab =
      std::find_if(sections.begin(), sections.end(), [](const Elf32_Shdr& s) { return be(s.sh_type) == SHT_SYMTAB; });
  if (symtab == sections.end()) return {};
  const uint32_t off = be(symtab->sh_offset), size = be(symtab->sh_size), link = be(symtab->sh_link);
  if (be(symtab->sh_entsize) != sizeof(Elf32_Sym) || !src.fits(off, size) || link >= sections.size()) return {};
  const Elf32_Shdr& strtab = sections[link];
  const uint32_t stroff = be(strtab.sh_offset), strsize = be(strtab.sh_size);
  if (be(strtab.sh_type) != SHT_STRTAB || !src.fits(stroff, strsize)) return {};
  const uint32_t count = size / sizeof(Elf32_Sym);
  if (count > SymbolTable::kMaxEntries || strsize > SymbolTable::kMaxNameBytes) return {};
  return SymbolTable(src.read_array<uint8_t>(off, count * sizeof(Elf32_Sym)), src.read_array<char>(stroff, strsize));
}

// .debug_frame and .eh_frame, found by name through the section name table.
ElfImage::FrameTables frames_of(const ElfImage::Source& src, const std::vector<Elf32_Shdr>& sections,
                                uint16_t shstrndx) {
  ElfImage::FrameTables frames;
  if (shstrndx == SHN_UNDEF || shstrndx >= sections.size()) return frames;
  // Section names are short: a name table larger than this is not worth reading for them.
  constexpr uint32_t kMaxSectionNames = 64u << 10;
  const Elf32_Shdr& table = sections[shstrndx];
  const uint32_t names_off = be(table.sh_offset), names_size = be(table.sh_size);
  if (be(table.sh_type) != SHT_STRTAB || names_size > kMaxSectionNames || !src.fits(names_off, names_size))
    return frames;
  const auto names = src.read_array<char>(names_off, names_size);
  auto named = [&](const Elf32_Shdr& s, std::string_view wanted) {
    const uint32_t at = be(s.sh_name);
    return at < names.size() && names.size() - at > wanted.size() &&
           std::string_view(names.data() + at, wanted.size()) == wanted && names[at + wanted.size()] == '\0';
  };
  auto bytes_of = [&](const Elf32_Shdr& s) {
    const uint32_t off = be(s.sh_offset), size = be(s.sh_size);
    if (be(s.sh_type) == SHT_NOBITS || size > ElfImage::kMaxFrameBytes || !src.fits(off, size))
      return std::vector<uint8_t>{};
    return src.read_array<uint8_t>(off, size);
  };
  for (const Elf32_Shdr& s : sections) {
    if (frames.debug_frame.empty() && named(s, ".debug_frame")) frames.debug_frame = bytes_of(s);
    if (frames.eh_frame.empty() && named(s, ".eh_frame")) {
      frames.eh_frame = bytes_of(s);
      frames.eh_frame_addr = be(s.sh_addr);
    }
  }
  return frames;
}

}  // namespace

void ElfImage::read_sections(const Source& src, uint32_t shoff, uint16_t shnum, uint16_t shentsize, uint16_t shstrndx) {
  // Symbols and frame tables are a convenience: any doubt about the
  // section table and we simply have none.
  if (shoff == 0 || shnum == 0 || shentsize != sizeof(Elf32_Shdr)) return;
  if (!src.fits(shoff, uint64_t{shnum} * shentsize)) return;
  const auto sections = src.read_array<Elf32_Shdr>(shoff, shnum);
  symbols_ = symbols_of(src, sections);
  frames_ = frames_of(src, sections, shstrndx);
}

// ---- SymbolTable ----------------------------------------------------------

SymbolTable::SymbolTable(std::vector<uint8_t> entries, std::vector<char> names)
    : entries_(std::move(entries)), names_(std::move(names)) {}

size_t SymbolTable::size() const { return entries_.size() / sizeof(Elf32_Sym); }

SymbolTable::Sym SymbolTable::entry(size_t i) const {
  Elf32_Sym raw;
  std::memcpy(&raw, entries_.data() + i * sizeof raw, sizeof raw);
  return {be(raw.st_value),
          be(raw.st_size),
          be(raw.st_name),
          static_cast<uint8_t>(ELF32_ST_TYPE(raw.st_info)),
          static_cast<uint8_t>(ELF32_ST_BIND(raw.st_info)),
          be(raw.st_shndx)};
}

std::string_view SymbolTable::name_at(uint32_t offset) const {
  if (offset >= names_.size()) return {};
  const char* start = names_.data() + offset;
  const void* nul = std::memchr(start, '\0', names_.size() - offset);
  return nul ? std::string_view(start, static_cast<const char*>(nul)) : std::string_view{};
}

namespace {

// Symbols that name something in the program (not sections, files or
// undefined references).
bool names_something(uint32_t name, uint8_t type, uint16_t shndx) {
  return name != 0 && shndx != SHN_UNDEF && type != STT_SECTION && type != STT_FILE;
}

}  // namespace

std::optional<uint32_t> SymbolTable::find(std::string_view wanted) const {
  std::optional<uint32_t> local;
  for (size_t i = 0; i < size(); ++i) {
    const Sym s = entry(i);
    if (!names_something(s.name, s.type, s.shndx)) continue;
    // As far as the wanted name goes, then its end: never a whole long name.
    if (s.name >= names_.size() || names_.size() - s.name <= wanted.size()) continue;
    if (std::memcmp(names_.data() + s.name, wanted.data(), wanted.size()) != 0) continue;
    if (names_[s.name + wanted.size()] != '\0') continue;
    if (s.bind != STB_LOCAL) return s.value;
    if (!local) local = s.value;
  }
  return local;
}

std::optional<SymbolTable::Location> SymbolTable::locate(uint32_t addr) const {
  if (!indexed_) {
    indexed_ = true;
    // Code labels only; at one address functions win over untyped labels,
    // and globals over locals: the preferred one sorts last.
    auto rank = [&](const Sym& s) { return (s.type == STT_FUNC ? 2 : 0) + (s.bind != STB_LOCAL ? 1 : 0); };
    std::vector<std::pair<uint64_t, Entry>> keyed;
    for (size_t i = 0; i < size(); ++i) {
      const Sym s = entry(i);
      if (!names_something(s.name, s.type, s.shndx) || s.shndx >= SHN_LORESERVE) continue;
      if ((s.type != STT_FUNC && s.type != STT_NOTYPE) || name_at(s.name).empty()) continue;
      keyed.push_back({uint64_t{s.value} << 2 | uint64_t(rank(s)), Entry{s.value, s.size, s.name}});
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    index_.reserve(keyed.size());
    for (const auto& k : keyed) index_.push_back(k.second);
  }
  auto it =
      std::upper_bound(index_.begin(), index_.end(), addr, [](uint32_t a, const Entry& e) { return a < e.value; });
  if (it == index_.begin()) return std::nullopt;
  const Entry& e = *--it;
  const uint32_t offset = addr - e.value;
  if (e.size != 0 && offset >= e.size) return std::nullopt;  // past its end: padding or data
  return Location{name_at(e.name), offset};
}

// ---- ElfImage -------------------------------------------------------------

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
  // it, or several in one page); such a page is one page, with the union
  // of their protections.
  std::map<uint32_t, uint8_t> pages;
  for (const Segment& s : segments_) {
    const uint32_t first = s.vaddr >> kPageBits;
    const uint32_t last = static_cast<uint32_t>((uint64_t{s.vaddr} + s.memsz - 1) >> kPageBits);
    for (uint32_t p = first; p <= last; ++p) pages[p] |= s.prot;
  }
  uint64_t fresh = 0;
  for (const auto& [page, prot] : pages) fresh += space.prot(page << kPageBits) == kProtNone;
  if (fresh + space.mapped_pages() > space.max_pages())
    throw LoadError(LoadError::Kind::NotRunnable, name_ + ": program needs " + std::to_string(pages.size()) +
                                                      " pages, more than the limit of " +
                                                      std::to_string(space.max_pages()) + " pages (--max-mem)");
  // Within the page limit, only the host cap can refuse a page table.
  auto no_host_memory = [&] {
    return LoadError(LoadError::Kind::NotRunnable, name_ + ": no host memory for the program under the limit of " +
                                                       std::to_string(space.host().limit()) +
                                                       " bytes (--max-host-mem)");
  };
  for (auto it = pages.begin(); it != pages.end();) {
    // One map() per run of pages with the same protection.
    auto run_end = std::next(it);
    uint32_t count = 1;
    while (run_end != pages.end() && run_end->first == it->first + count && run_end->second == it->second) {
      ++run_end;
      ++count;
    }
    if (!space.map(it->first << kPageBits, count << kPageBits, it->second)) throw no_host_memory();
    it = run_end;
  }
  for (const Segment& s : segments_)
    if (s.filesz != 0 && !space.poke(s.vaddr, data_.data() + s.offset, s.filesz))
      throw LoadError(LoadError::Kind::NotRunnable, name_ + ": no host memory for the segment at " + hex(s.vaddr) +
                                                        " under the limit of " + std::to_string(space.host().limit()) +
                                                        " bytes (--max-host-mem)");
}

ElfImage ElfImage::read_file(const std::string& path) {
  auto fail = [&](LoadError::Kind kind, const std::string& why) { throw LoadError(kind, path + ": " + why); };
  auto kind_of = [&](const struct stat& st) {
    if (S_ISDIR(st.st_mode)) fail(LoadError::Kind::NotRunnable, "is a directory");
    if (!S_ISREG(st.st_mode)) fail(LoadError::Kind::NotRunnable, "not a regular file");
  };
  // A FIFO or a device is refused before it is opened: opening one may
  // block, or do something to the device.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    fail(LoadError::Kind::CannotOpen, std::string("cannot open: ") + std::strerror(errno));
  kind_of(st);
  // Non-blocking, in case it was replaced by one since.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) fail(LoadError::Kind::CannotOpen, std::string("cannot open: ") + std::strerror(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) fail(LoadError::Kind::CannotOpen, std::string("cannot stat: ") + std::strerror(errno));
  kind_of(st);
  if (st.st_size > static_cast<off_t>(kMaxFileSize))
    fail(LoadError::Kind::NotRunnable, "file too large (" + std::to_string(st.st_size) + " bytes)");
  ElfImage image = parse(FileSource(fd, static_cast<uint64_t>(st.st_size), path), path);
  image.file_id_ = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return image;
}

}  // namespace r3k
