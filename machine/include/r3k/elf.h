// Loader for statically linked MIPS-I executables: 32-bit big-endian
// ET_EXEC ELF files with PT_LOAD segments only.
#pragma once

#include <cstdint>
#include <map>
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

class ElfImage {
 public:
  // Largest file read, and largest total of segment sizes accepted: far
  // beyond any real program for this machine, small enough for the host.
  static constexpr uint32_t kMaxFileSize = 256u << 20;
  static constexpr uint32_t kMaxMappedBytes = 256u << 20;
  static constexpr uint32_t kMaxProgramHeaders = 64;

  // Throws LoadError(NotRunnable) with "NAME: reason" for anything refused.
  static ElfImage parse(std::span<const uint8_t> bytes, const std::string& name);
  // Reads the file (and nothing else) then parses it.
  static ElfImage read_file(const std::string& path);

  const std::string& name() const { return name_; }
  uint32_t entry() const { return entry_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // Address range covering every writable segment, page-rounded; empty
  // (lo == hi) when there is none.
  std::pair<uint32_t, uint32_t> writable_range() const;

  // Symbols from .symtab, when the section table is present and sound;
  // globals win over locals of the same name.
  std::optional<uint32_t> symbol(std::string_view name) const;
  const std::map<std::string, uint32_t, std::less<>>& symbols() const { return symbols_; }

  // Maps the segments with their protection, copies the file bytes and
  // leaves the rest zero.  Throws LoadError if the space's page limit is
  // too small for the program.
  void load_into(AddressSpace& space) const;

 private:
  void read_symbols(std::span<const uint8_t> bytes);

  std::string name_;
  uint32_t entry_ = 0;
  std::vector<Segment> segments_;
  std::vector<uint8_t> data_;  // file bytes of all segments, back to back
  std::map<std::string, uint32_t, std::less<>> symbols_;
};

}  // namespace r3k
