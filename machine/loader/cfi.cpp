// The program's call-frame tables, read and run by elfutils' libdw; here
// only the few DWARF operations its frame rules come as are evaluated,
// against the registers and memory of the faulting process.
#include <dwarf.h>
#include <elf.h>
#include <elfutils/libdw.h>
#include <endian.h>
#include <libelf.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "loader/unwind_frame.h"

namespace r3k {
namespace {

using unwind::Regs;

// The tables as an ELF file of their own, which is what libdw reads:
// header, the two sections, their names, the section headers; big-endian
// like the tables.
//
// The file says ARM, not MIPS: libdw (elfutils 0.188) knows no MIPS
// calling convention and refuses every MIPS frame rule for want of one.
// ARM's defaults, which libdw then merges in, only name registers that a
// MIPS call does not preserve and this walk never reads (4-15, 256 on);
// their initial CFA (register 13 + 0) every MIPS CIE replaces (GCC's and
// the assembler's say def_cfa_register 29), and a CFA on any register but
// sp or fp is refused below all the same.
std::vector<uint8_t> elf_holding(const ElfImage::FrameTables& t) {
  static constexpr char kNames[] = "\0.debug_frame\0.eh_frame\0.shstrtab";
  constexpr uint32_t kDebugName = 1, kEhName = 14, kNamesName = 24;
  std::vector<uint8_t> out(sizeof(Elf32_Ehdr));
  auto append = [&](const void* p, size_t n) {
    const uint32_t at = static_cast<uint32_t>(out.size());
    out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    return at;
  };
  const uint32_t debug_at = append(t.debug_frame.data(), t.debug_frame.size());
  const uint32_t eh_at = append(t.eh_frame.data(), t.eh_frame.size());
  const uint32_t names_at = append(kNames, sizeof kNames);
  out.resize((out.size() + 3) & ~size_t{3});

  Elf32_Shdr sh[4] = {};
  auto section = [](Elf32_Shdr& s, uint32_t name, uint32_t type, uint32_t addr, uint32_t at, size_t size) {
    s.sh_name = htobe32(name);
    s.sh_type = htobe32(type);
    s.sh_flags = htobe32(addr ? SHF_ALLOC : 0);
    s.sh_addr = htobe32(addr);
    s.sh_offset = htobe32(at);
    s.sh_size = htobe32(static_cast<uint32_t>(size));
    s.sh_addralign = htobe32(1);
  };
  section(sh[1], kDebugName, SHT_PROGBITS, 0, debug_at, t.debug_frame.size());
  section(sh[2], kEhName, SHT_PROGBITS, t.eh_frame_addr, eh_at, t.eh_frame.size());
  section(sh[3], kNamesName, SHT_STRTAB, 0, names_at, sizeof kNames);
  const uint32_t shoff = append(sh, sizeof sh);

  Elf32_Ehdr h = {};
  std::memcpy(h.e_ident, ELFMAG, SELFMAG);
  h.e_ident[EI_CLASS] = ELFCLASS32;
  h.e_ident[EI_DATA] = ELFDATA2MSB;
  h.e_ident[EI_VERSION] = EV_CURRENT;
  h.e_type = htobe16(ET_EXEC);
  h.e_machine = htobe16(EM_ARM);
  h.e_version = htobe32(EV_CURRENT);
  h.e_shoff = htobe32(shoff);
  h.e_ehsize = htobe16(sizeof h);
  h.e_shentsize = htobe16(sizeof(Elf32_Shdr));
  h.e_shnum = htobe16(4);
  h.e_shstrndx = htobe16(3);
  std::memcpy(out.data(), &h, sizeof h);
  return out;
}

// The value of a rule as libdw hands it over: a location (the register was
// saved there), or a value (DW_OP_stack_value last; a lone DW_OP_regx: it
// is in that register).  Only the operations frame rules are made of;
// nothing for anything else, or for a register the walk does not know.
std::optional<uint32_t> evaluate(const Dwarf_Op* ops, size_t n, const Regs& r, uint32_t cfa,
                                 const AddressSpace& space) {
  auto reg = [&](uint64_t number) -> std::optional<uint32_t> {
    if (number >= 32 || !r.has(static_cast<unsigned>(number))) return std::nullopt;
    return r.v[number];
  };
  if (n == 1 && (ops[0].atom == DW_OP_regx || (ops[0].atom >= DW_OP_reg0 && ops[0].atom <= DW_OP_reg31)))
    return reg(ops[0].atom == DW_OP_regx ? ops[0].number : ops[0].atom - DW_OP_reg0);
  constexpr size_t kDepth = 8;
  uint32_t stack[kDepth];
  size_t depth = 0;
  bool value = false;
  for (size_t i = 0; i < n; ++i) {
    const Dwarf_Op& op = ops[i];
    const uint8_t a = op.atom;
    std::optional<uint32_t> push;
    if (value) return std::nullopt;  // DW_OP_stack_value comes last
    if (a == DW_OP_call_frame_cfa) {
      push = cfa;
    } else if (a == DW_OP_bregx || (a >= DW_OP_breg0 && a <= DW_OP_breg31)) {
      const auto base = reg(a == DW_OP_bregx ? op.number : a - DW_OP_breg0);
      if (!base) return std::nullopt;
      push = *base + static_cast<uint32_t>(a == DW_OP_bregx ? op.number2 : op.number);
    } else if (a >= DW_OP_lit0 && a <= DW_OP_lit31) {
      push = a - DW_OP_lit0;
    } else if ((a >= DW_OP_const1u && a <= DW_OP_consts) || a == DW_OP_addr) {
      push = static_cast<uint32_t>(op.number);
    } else if (a == DW_OP_stack_value) {
      value = true;
      continue;
    } else if (depth == 0) {
      return std::nullopt;
    } else if (a == DW_OP_plus_uconst) {
      stack[depth - 1] += static_cast<uint32_t>(op.number);
      continue;
    } else if (a == DW_OP_deref) {
      if (!unwind::read_word(space, stack[depth - 1], stack[depth - 1])) return std::nullopt;
      continue;
    } else if ((a == DW_OP_plus || a == DW_OP_minus) && depth >= 2) {
      const uint32_t top = stack[--depth];
      stack[depth - 1] = a == DW_OP_plus ? stack[depth - 1] + top : stack[depth - 1] - top;
      continue;
    } else {
      return std::nullopt;
    }
    if (depth == kDepth) return std::nullopt;
    stack[depth++] = *push;
  }
  if (depth != 1) return std::nullopt;
  uint32_t word = stack[0];
  if (!value && !unwind::read_word(space, stack[0], word)) return std::nullopt;
  return word;
}

// The caller's registers and the return address by the frame's rules.
bool apply(Dwarf_Frame* frame, const Regs& callee, const AddressSpace& space, unwind::Step& out) {
  Dwarf_Op* ops = nullptr;
  size_t n = 0;
  if (dwarf_frame_info(frame, nullptr, nullptr, nullptr) != static_cast<int>(regs::ra)) return false;
  if (dwarf_frame_cfa(frame, &ops, &n) != 0 || n != 1 || ops[0].atom != DW_OP_bregx) return false;
  const auto base = static_cast<unsigned>(ops[0].number);
  if ((base != regs::sp && base != regs::fp) || !callee.has(base)) return false;
  const uint32_t cfa = callee.v[base] + static_cast<uint32_t>(ops[0].number2);
  Regs caller;
  std::memcpy(caller.v, callee.v, sizeof caller.v);
  caller.known = callee.known & unwind::kCalleeSaved;
  caller.set(regs::sp, cfa);
  std::optional<uint32_t> ret;
  for (unsigned r = regs::s0; r < kGprCount; ++r) {
    if (!((unwind::kCalleeSaved | 1u << regs::ra) >> r & 1) || r == regs::sp) continue;
    Dwarf_Op mem[3];
    Dwarf_Op* rule = nullptr;
    size_t rn = 0;
    if (dwarf_frame_register(frame, static_cast<int>(r), mem, &rule, &rn) != 0) return false;
    // No rule: kept by the callee.  (libdw cannot say "same value" from
    // "undefined" here, lacking MIPS defaults; for these registers o32
    // means the first.)
    std::optional<uint32_t> value =
        rn == 0 ? (callee.has(r) ? std::optional(callee.v[r]) : std::nullopt) : evaluate(rule, rn, callee, cfa, space);
    if (r == regs::ra) ret = value;
    else if (value) caller.set(r, *value);
    else caller.forget(r);
  }
  if (!ret) return false;
  caller.forget(regs::ra);  // the caller's own return address is its frame's business
  out = {caller, *ret};
  return true;
}

}  // namespace

struct Unwinder::Cfi::Handles {
  std::vector<uint8_t> bytes;  // what elf reads
  Elf* elf = nullptr;
  Dwarf* dwarf = nullptr;
  Dwarf_CFI* debug = nullptr;  // .debug_frame, owned by dwarf
  Dwarf_CFI* eh = nullptr;     // .eh_frame
  ~Handles() {
    if (eh) dwarf_cfi_end(eh);
    if (dwarf) dwarf_end(dwarf);
    if (elf) elf_end(elf);
  }
};

Unwinder::Cfi::Cfi(std::unique_ptr<Handles> h) : h_(std::move(h)) {}
Unwinder::Cfi::~Cfi() = default;

std::unique_ptr<Unwinder::Cfi> Unwinder::Cfi::open(const ElfImage::FrameTables& tables) {
  if ((tables.debug_frame.empty() && tables.eh_frame.empty()) || elf_version(EV_CURRENT) == EV_NONE) return nullptr;
  auto h = std::make_unique<Handles>();
  h->bytes = elf_holding(tables);
  h->elf = elf_memory(reinterpret_cast<char*>(h->bytes.data()), h->bytes.size());
  if (!h->elf) return nullptr;
  if (!tables.debug_frame.empty() && (h->dwarf = dwarf_begin_elf(h->elf, DWARF_C_READ, nullptr)))
    h->debug = dwarf_getcfi(h->dwarf);
  if (!tables.eh_frame.empty()) h->eh = dwarf_getcfi_elf(h->elf);
  if (!h->debug && !h->eh) return nullptr;
  return std::unique_ptr<Cfi>(new Cfi(std::move(h)));
}

Unwinder::Cfi::Found Unwinder::Cfi::step(uint32_t pc, const Regs& callee, const AddressSpace& space,
                                         unwind::Step& out) const {
  for (Dwarf_CFI* cfi : {h_->debug, h_->eh}) {
    Dwarf_Frame* frame = nullptr;
    // Not covered, or an entry libdw finds damaged: the other table, or none.
    if (!cfi || dwarf_cfi_addrframe(cfi, pc, &frame) != 0) continue;
    const bool done = apply(frame, callee, space, out);
    std::free(frame);
    return done ? Found::Unwound : Found::Failed;
  }
  return Found::NotCovered;
}

}  // namespace r3k
