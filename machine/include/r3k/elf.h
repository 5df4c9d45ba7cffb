// Loader for statically linked MIPS-I executables: 32-bit big-endian
// ET_EXEC ELF files with PT_LOAD segments only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/memory.h"

namespace r3k {

// Why a program cannot be run.  what() is one line naming the file and the
// reason.  CannotOpen (missing file, unreadable) and NotRunnable (anything
// the loader refuses) give different exit statuses on the command line.
class LoadError : public std::runtime_error {
 public:
  enum class Kind : uint8_t { CannotOpen, NotRunnable };
  LoadError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct Segment {
  uint32_t vaddr = 0;
  uint32_t memsz = 0;
  uint32_t filesz = 0;
  uint32_t offset = 0;  // of the file bytes in the image
  uint8_t prot = kProtNone;
};

// The program's .symtab, kept as the file's own bytes: a name is a view
// into the string table, never a copy, and nothing is indexed until a
// lookup asks for it, so a table costs memory and time in proportion to
// its bytes in the file, whatever its names look like.
class SymbolTable {
 public:
  // Largest tables kept; a bigger one is dropped like a damaged one.
  static constexpr uint32_t kMaxEntries = 1u << 20;
  static constexpr uint32_t kMaxNameBytes = 16u << 20;

  SymbolTable() = default;
  // entries: the raw Elf32_Sym records (big-endian); names: the string table.
  SymbolTable(std::vector<uint8_t> entries, std::vector<char> names);

  // The address of a defined symbol; globals win over locals of the same
  // name.  A linear scan, comparing names only as far as they match.
  std::optional<uint32_t> find(std::string_view name) const;

  // The function (or untyped code label) addr lies in: its name and
  // addr's offset from it.  The first call sorts an index of addresses
  // (12 bytes per symbol); later ones are a binary search.
  struct Location {
    std::string_view name;
    uint32_t offset = 0;
  };
  std::optional<Location> locate(uint32_t addr) const;

  size_t size() const;                              // entries in the table
  size_t indexed() const { return index_.size(); }  // entries the address index holds so far
  size_t bytes() const { return entries_.size() + names_.size() + index_.size() * sizeof(Entry); }

 private:
  struct Entry {
    uint32_t value, size, name;
  };
  struct Sym {
    uint32_t value, size, name;
    uint8_t type, bind;
    uint16_t shndx;
  };
  Sym entry(size_t i) const;
  std::string_view name_at(uint32_t offset) const;  // empty when out of bounds or unterminated

  std::vector<uint8_t> entries_;
  std::vector<char> names_;
  mutable std::vector<Entry> index_;
  mutable bool indexed_ = false;
};

class ElfImage {
 public:
  // Largest file accepted, and largest total of segment sizes: far beyond
  // any real program for this machine, small enough for the host.  Only
  // the headers, the segments' file bytes and the symbol table are read.
  static constexpr uint32_t kMaxFileSize = 256u << 20;
  static constexpr uint32_t kMaxMappedBytes = 256u << 20;
  static constexpr uint32_t kMaxProgramHeaders = 64;

  // Throws LoadError(NotRunnable) with "NAME: reason" for anything refused.
  static ElfImage parse(std::span<const uint8_t> bytes, const std::string& name);
  // Refuses anything but a regular file before reading it, then reads the
  // parts parse() needs, header first.
  static ElfImage read_file(const std::string& path);

  const std::string& name() const { return name_; }
  // The file read_file() read, to tell it from other files; none for bytes
  // parsed from memory.
  struct FileId {
    uint64_t device = 0, inode = 0;
    bool operator==(const FileId&) const = default;
  };
  const std::optional<FileId>& file_id() const { return file_id_; }
  uint32_t entry() const { return entry_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // Address range covering every writable segment, page-rounded; empty
  // (lo == hi) when there is none.
  std::pair<uint32_t, uint32_t> writable_range() const;

  // Symbols from .symtab, when the section table is present and sound.
  std::optional<uint32_t> symbol(std::string_view name) const { return symbols_.find(name); }
  const SymbolTable& symbols() const { return symbols_; }

  // The program's call-frame information, the sections' bytes as in the
  // file (big-endian), read with the symbols: .debug_frame (built with -g)
  // and .eh_frame with its address.  Empty when absent, damaged or larger
  // than kMaxFrameBytes; only a fault's report reads them (loader/unwind.cpp).
  static constexpr uint32_t kMaxFrameBytes = 16u << 20;
  struct FrameTables {
    std::vector<uint8_t> debug_frame, eh_frame;
    uint32_t eh_frame_addr = 0;
  };
  const FrameTables& frame_tables() const { return frames_; }

  // Maps the segments with their protection, copies the file bytes and
  // leaves the rest zero (untouched: no host memory).  Throws LoadError,
  // naming the limit, if the space's page limit is too small for the
  // program's pages (each counted once, however many segments share it) or
  // the host cap for its page tables.
  void load_into(AddressSpace& space) const;

  class Source;  // where parse reads from: bytes in memory or a file

 private:
  static ElfImage parse(const Source& source, const std::string& name);
  void read_segments(const Source& source, uint32_t phoff, uint16_t phnum, uint16_t phentsize);
  void read_sections(const Source& source, uint32_t shoff, uint16_t shnum, uint16_t shentsize, uint16_t shstrndx);

  std::string name_;
  std::optional<FileId> file_id_;
  uint32_t entry_ = 0;
  std::vector<Segment> segments_;
  std::vector<uint8_t> data_;  // file bytes of all segments, back to back
  SymbolTable symbols_;
  FrameTables frames_;
};

}  // namespace r3k
