// Size and speed of the library core in the MIPS build: bytes per module
// (read from the objects in libr3k.a), guest instructions per generated
// character of snprintf, per byte of the mem* routines and per call of the
// compiler's runtime, counted by r3krun.
//
//   libcore_bench [path/to/libr3k.a [path/to/libcore-guest]]
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/machine.h"
#include "support/guest_calls.h"

namespace {

// The aims these numbers are held against.
constexpr uint32_t kAimEngineBytes = 1200;
constexpr double kAimInsnsPerPlainChar = 40;

struct Size {
  uint32_t text = 0, rodata = 0, data = 0;
  uint32_t total() const { return text + rodata + data; }
  Size& operator+=(const Size& o) {
    text += o.text, rodata += o.rodata, data += o.data;
    return *this;
  }
};

uint32_t be32(std::string_view b, size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("truncated ELF object");
  return uint32_t{uint8_t(b[at])} << 24 | uint32_t{uint8_t(b[at + 1])} << 16 | uint32_t{uint8_t(b[at + 2])} << 8 |
         uint8_t(b[at + 3]);
}
uint32_t be16(std::string_view b, size_t at) { return be32(b, at) >> 16; }

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Allocated .text*, .rodata* and .data* sections of a 32-bit big-endian
// relocatable object; small data (.sdata*, .srodata*) counts with its kind.
Size object_size(std::string_view elf) {
  if (elf.size() < 52 ||
      elf.substr(0, 4) !=
          "\x7f"
          "ELF" ||
      elf[4] != 1 || elf[5] != 2)
    throw std::runtime_error("not a 32-bit big-endian ELF object");
  const uint32_t shoff = be32(elf, 0x20), shentsize = be16(elf, 0x2e), shnum = be16(elf, 0x30),
                 shstrndx = be16(elf, 0x32);
  auto sh = [&](uint32_t i, uint32_t field) { return be32(elf, shoff + i * shentsize + field); };
  const uint32_t strtab = sh(shstrndx, 16);
  Size s;
  for (uint32_t i = 1; i < shnum; ++i) {
    constexpr uint32_t kShfAlloc = 2, kShtNobits = 8;
    if (!(sh(i, 8) & kShfAlloc) || sh(i, 4) == kShtNobits) continue;
    std::string_view name(elf.data() + strtab + sh(i, 0));
    name = name.substr(0, name.find('\0'));
    const uint32_t size = sh(i, 20);
    if (starts(name, ".text")) s.text += size;
    else if (starts(name, ".rodata") || starts(name, ".srodata")) s.rodata += size;
    else if (starts(name, ".data") || starts(name, ".sdata")) s.data += size;
  }
  return s;
}

// Members of a GNU ar archive, by module name ("__printf" for
// "__printf.cpp.obj").
std::map<std::string, Size> archive_sizes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string ar{std::istreambuf_iterator<char>(in), {}};
  if (ar.substr(0, 8) != "!<arch>\n") throw std::runtime_error(path + ": not an ar archive");
  std::map<std::string, Size> sizes;
  std::string longnames;
  for (size_t at = 8; at + 60 <= ar.size();) {
    std::string name = ar.substr(at, 16);
    const size_t len = std::stoul(ar.substr(at + 48, 10));
    const std::string_view body(ar.data() + at + 60, std::min(len, ar.size() - at - 60));
    at += 60 + len + (len & 1);
    name = name.substr(0, name.find_last_not_of(' ') + 1);
    if (name == "/" || name == "/SYM64/") continue;
    if (name == "//") {
      longnames = body;
      continue;
    }
    if (name[0] == '/') name = longnames.substr(std::stoul(name.substr(1)));
    name = name.substr(0, name.find('/'));
    name = name.substr(0, name.find('.'));
    sizes[name] += object_size(body);
  }
  return sizes;
}

struct Speed {
  r3k::TestMachine m;
  uint32_t buf = 0;
  uint64_t base = 0;

  explicit Speed(const std::string& guest) {
    m.load_file(guest, {"libcore"});
    buf = m.push_bytes(std::vector<uint8_t>(16384));
    base = snprintf_insns("", {});
  }
  uint64_t snprintf_insns(const std::string& fmt, std::vector<uint32_t> args, const char* fn = "snprintf") {
    args.insert(args.begin(), {buf, 16384, m.push_string(fmt)});
    if (std::string_view(fn) == "vsnprintf") args = {args[0], args[1], args[2], m.push_bytes(words(args, 3))};
    r3k::CallResult r = m.call(fn, args);
    if (!r.returned) throw std::runtime_error(std::string(fn) + " of \"" + fmt.substr(0, 20) + "\" did not return");
    return r.insns;
  }
  static std::vector<uint8_t> words(const std::vector<uint32_t>& w, size_t from) {
    std::vector<uint8_t> b;
    for (size_t i = from; i < w.size(); ++i)
      for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(w[i] >> s));
    return b;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string lib = argc > 1 ? argv[1] : R3K_TARGET_DIR "/lib/libr3k.a";
  const std::string guest = argc > 2 ? argv[2] : R3K_TARGET_DIR "/guests/libcore";
  try {
    const auto sizes = archive_sizes(lib);
    std::printf("Library modules of %s (bytes; .bss not counted)\n\n", lib.c_str());
    std::printf("  %-12s %7s %7s %7s %7s\n", "module", ".text", ".rodata", ".data", "total");
    Size all, engine;
    for (const auto& [name, s] : sizes) {
      std::printf("  %-12s %7u %7u %7u %7u\n", name.c_str(), s.text, s.rodata, s.data, s.total());
      all += s;
    }
    for (const char* name : {"__printf", "snprintf", "printf", "putchar"})
      if (auto it = sizes.find(name); it != sizes.end()) engine += it->second;
    std::printf("  %-12s %7u %7u %7u %7u\n\n", "all", all.text, all.rodata, all.data, all.total());
    std::printf("  engine + both front ends (__printf, snprintf, printf, putchar):\n");
    std::printf("    code (.text)             %5u bytes   aim: under %u  %s\n", engine.text, kAimEngineBytes,
                engine.text < kAimEngineBytes ? "met" : "MISSED");
    std::printf("    .text + .rodata + .data  %5u bytes   aim: under %u  %s\n\n", engine.total(), kAimEngineBytes,
                engine.total() < kAimEngineBytes ? "met" : "MISSED");

    Speed sp(guest);
    const uint32_t kPlain = 8000;
    const std::string plain(kPlain, 'a');
    auto per = [&](uint64_t insns, uint32_t chars) { return double(insns - sp.base) / chars; };
    const double plain_s = per(sp.snprintf_insns(plain, {}), kPlain);
    const double plain_v = per(sp.snprintf_insns(plain, {}, "vsnprintf"), kPlain);
    const double plain_cut = [&] {  // everything past the first byte dropped
      Speed s(guest);
      std::vector<uint32_t> args = {s.buf, 1, s.m.push_string(plain)};
      return double(s.m.call("snprintf", args).insns - s.base) / kPlain;
    }();
    const double dmin = per(sp.snprintf_insns("%d", {0x80000000u}), 11);
    const double left20 = per(sp.snprintf_insns("%-20s", {sp.m.push_string("abc")}), 20);

    std::printf("Guest instructions per generated character (r3krun, MIPS build)\n");
    std::printf(
        "  method: instructions of the call, minus those of the same call with\n"
        "  the empty format (%llu: call, set-up, NUL), divided by the characters\n"
        "  the format generates; buffer large enough to keep them all.\n\n",
        static_cast<unsigned long long>(sp.base));
    std::printf("  %-44s %8s\n", "case", "insns/ch");
    std::printf("  %-44s %8.2f   aim: at most %.0f  %s\n", "snprintf, plain string of 8000 chars", plain_s,
                kAimInsnsPerPlainChar, plain_s <= kAimInsnsPerPlainChar ? "met" : "MISSED");
    std::printf("  %-44s %8.2f   aim: at most %.0f  %s\n", "vsnprintf, plain string of 8000 chars", plain_v,
                kAimInsnsPerPlainChar, plain_v <= kAimInsnsPerPlainChar ? "met" : "MISSED");
    std::printf("  %-44s %8.2f\n", "snprintf size 1, plain (all chars dropped)", plain_cut);
    std::printf("  %-44s %8.2f\n", "snprintf \"%d\" of INT_MIN (11 chars)", dmin);
    std::printf("  %-44s %8.2f\n", "snprintf \"%-20s\" of \"abc\" (3 + 17 fill)", left20);

    std::printf("\nGuest instructions per byte of the mem* routines (r3krun, MIPS build)\n");
    std::printf(
        "  method: instructions of the call minus those of the same call with\n"
        "  size 0, divided by the size.  Offsets are from an 8-aligned address\n"
        "  (memmove: destination 5 bytes above the source, overlapping).\n\n");
    const uint32_t kSizes[] = {8, 16, 64, 256, 4096};
    std::printf("  %-34s", "routine (dst, src offsets)");
    for (uint32_t n : kSizes) std::printf(" %7u", n);
    std::printf("\n");
    struct MemCase {
      const char* label;
      const char* fn;
      uint32_t dst, src;  // offsets; src ~0u: memset of 0x5a
    };
    const MemCase mem_cases[] = {
        {"memcpy (0, 0) both aligned", "memcpy", 0, 8192},
        {"memcpy (1, 1) aligned alike", "memcpy", 1, 8193},
        {"memcpy (0, 1) unaligned source", "memcpy", 0, 8193},
        {"memcpy (3, 2)", "memcpy", 3, 8194},
        {"memmove (5, 0) backwards", "memmove", 5, 0},
        {"memmove (0, 5) forwards", "memmove", 0, 5},
        {"memset (0)", "memset", 0, ~0u},
        {"memset (3)", "memset", 3, ~0u},
        {"memcmp (0, 0) equal", "memcmp", 0, 8192},
        {"memcmp (1, 2) equal", "memcmp", 1, 8194},
    };
    const uint32_t base = (sp.buf + 7) & ~7u;
    for (const MemCase& c : mem_cases) {
      if (std::string_view(c.fn) == "memcmp") {  // equal operands: compared to the end
        const std::vector<uint8_t> same(4104, 0x33);
        sp.m.write_bytes(base, same);
        sp.m.write_bytes(base + 8192, same);
      }
      std::printf("  %-34s", c.label);
      for (uint32_t n : kSizes) {
        auto insns = [&](uint32_t len) {
          const uint32_t second = c.src == ~0u ? 0x5a : base + c.src;
          r3k::CallResult r = sp.m.call(c.fn, {base + c.dst, second, len});
          if (!r.returned) throw std::runtime_error(std::string(c.fn) + " did not return");
          return r.insns;
        };
        std::printf(" %7.2f", double(insns(n) - insns(0)) / n);
      }
      std::printf("\n");
    }

    // The compiler's runtime: what one soft-float or 64-bit operation costs.
    r3k::TestMachine rt;
    rt.load_file(R3K_TARGET_DIR "/guests/compiler_rt", {"compiler_rt"});
    std::printf("\nGuest instructions per call of the compiler runtime (libr3kgcc.a)\n\n");
    struct RtCase {
      const char* label;
      const char* fn;
      std::vector<uint32_t> args;
    };
    const uint32_t pi_hi = 0x400921fb, pi_lo = 0x54442d18, e_hi = 0x4005bf0a, e_lo = 0x8b145769;
    const RtCase rt_cases[] = {
        {"__adddf3 pi + e", "__adddf3", {pi_hi, pi_lo, e_hi, e_lo}},
        {"__muldf3 pi * e", "__muldf3", {pi_hi, pi_lo, e_hi, e_lo}},
        {"__divdf3 pi / e", "__divdf3", {pi_hi, pi_lo, e_hi, e_lo}},
        {"__ltdf2 pi < e", "__ltdf2", {pi_hi, pi_lo, e_hi, e_lo}},
        {"__addsf3 pi + e", "__addsf3", {0x40490fdb, 0x402df854}},
        {"__mulsf3 pi * e", "__mulsf3", {0x40490fdb, 0x402df854}},
        {"__divsf3 pi / e", "__divsf3", {0x40490fdb, 0x402df854}},
        {"__fixdfsi (int)1e9", "__fixdfsi", {0x41cdcd65, 0}},
        {"__floatsidf (double)123456789", "__floatsidf", {123456789}},
        {"__divdi3 2^62 / 3", "__divdi3", {0x40000000, 0, 0, 3}},
        {"__divdi3 2^62 / (2^33 + 1)", "__divdi3", {0x40000000, 0, 2, 1}},
        {"__muldi3", "__muldi3", {0x12345678, 0x9abcdef0, 0x0fedcba9, 0x87654321}},
        {"__ashldi3 by 40", "__ashldi3", {0x12345678, 0x9abcdef0, 40}},
    };
    for (const RtCase& c : rt_cases) {
      const r3k::CallResult r = rt.call(c.fn, c.args);
      if (!r.returned) throw std::runtime_error(std::string(c.fn) + " did not return");
      std::printf("  %-34s %7llu\n", c.label, static_cast<unsigned long long>(r.insns));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "libcore_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
