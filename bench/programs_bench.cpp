// Size and run length of the three check programs: text, data and bss
// from each ELF's sections, and the guest instructions of one full run on
// r3krun (all processes), beside the same programs written against the
// cross toolchain's glibc and linked statically (MIPS32r2, -O2), whose
// instructions are counted by qemu-mips when it is there.
//
//   programs_bench [our-bin-dir [glibc-bin-dir [qemu-mips]]]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "r3k/machine.h"

namespace {

struct Program {
  const char* name;
  uint32_t aim_bytes;  // text + data
};
// The aims these numbers are held against.
constexpr Program kPrograms[] = {{"quendle", 3200}, {"tallowin", 2000}, {"marrowick", 2000}};
constexpr double kAimRatio = 150;

struct Size {
  uint32_t text = 0, data = 0, bss = 0;
  uint32_t loaded() const { return text + data; }
};

std::optional<std::string> slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32_t be(std::string_view b, size_t at, int bytes) {
  if (at + bytes > b.size()) throw std::runtime_error("truncated ELF file");
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}

// Berkeley sizes, as binutils' size prints them: allocated sections that
// are read-only count as text, writable ones with contents as data,
// those without contents as bss.
Size elf_size(std::string_view elf) {
  if (elf.size() < 52 ||
      elf.substr(0, 4) !=
          "\x7f"
          "ELF" ||
      elf[4] != 1 || elf[5] != 2)
    throw std::runtime_error("not a 32-bit big-endian ELF file");
  const uint32_t shoff = be(elf, 0x20, 4), shentsize = be(elf, 0x2e, 2), shnum = be(elf, 0x30, 2);
  auto sh = [&](uint32_t i, uint32_t field) { return be(elf, shoff + i * shentsize + field, 4); };
  constexpr uint32_t kShfWrite = 1, kShfAlloc = 2, kShtNobits = 8;
  Size s;
  for (uint32_t i = 1; i < shnum; ++i) {
    const uint32_t flags = sh(i, 8), size = sh(i, 20);
    if (!(flags & kShfAlloc)) continue;
    if (sh(i, 4) == kShtNobits) s.bss += size;
    else if (flags & kShfWrite) s.data += size;
    else s.text += size;
  }
  return s;
}

// Guest instructions of one run on r3krun, every process summed.
uint64_t r3k_insns(const std::string& path, const char* name) {
  r3k::Options o;
  o.record = false;
  r3k::Machine m(o);
  m.load_file(path, {name});
  const r3k::RunResult r = m.run();
  uint64_t n = 0;
  for (const r3k::ProcessInfo& p : m.processes()) {
    if (!p.exited || p.status != 0) throw std::runtime_error(path + ": a process did not exit with 0");
    n += p.insns;
  }
  if (r.exit_code != 0) throw std::runtime_error(path + ": " + r.message);
  return n;
}

// Instructions of one run under qemu-mips, one translation block per
// instruction and none chained, so that the exec log has one line per
// instruction executed; forked processes share the log file.
std::optional<uint64_t> qemu_insns(const std::string& qemu, const std::string& path) {
  char log_template[] = "/tmp/programs_bench_XXXXXX";
  const int fd = mkstemp(log_template);
  if (fd < 0) return std::nullopt;
  close(fd);
  const std::string log = log_template;
  std::vector<std::string> args{qemu, "-singlestep", "-d", "exec,nochain", "-D", log, path};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = 0;
  const bool ran = posix_spawn(&pid, qemu.c_str(), &fa, nullptr, argv.data(), environ) == 0 &&
                   waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  posix_spawn_file_actions_destroy(&fa);
  std::optional<uint64_t> n;
  if (ran) {
    std::ifstream f(log);
    n = 0;
    for (std::string line; std::getline(f, line);)
      if (line.rfind("Trace ", 0) == 0) ++*n;
  }
  std::remove(log.c_str());
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string ours = argc > 1 ? argv[1] : R3K_PROGRAM_DIR;
  const std::string glibc = argc > 2 ? argv[2] : R3K_GLIBC_DIR;
  const std::string qemu = argc > 3 ? argv[3] : R3K_QEMU_MIPS;
  try {
    std::printf(
        "Check programs: bytes from the ELF sections (text = read-only, data = writable, bss),\n"
        "guest instructions of one full run (quendle: both processes).\n"
        "glibc: the same programs against the cross toolchain's glibc, g++ -static -O2\n"
        "(MIPS32r2, the toolchain's default), instructions counted by qemu-mips.\n\n");
    std::printf("%-10s %6s %5s %5s %9s %6s %4s | %8s %6s %6s %9s %6s %4s | %9s %9s\n", "program", "text", "data", "bss",
                "text+data", "aim<", "ok", "glibc t+d", "data", "bss", "ratio", "aim>=", "ok", "r3k insns",
                "glibc ins");
    bool all_ok = true;
    for (const Program& p : kPrograms) {
      const std::string path = ours + "/" + p.name;
      auto bytes = slurp(path);
      if (!bytes) throw std::runtime_error("cannot read " + path);
      const Size s = elf_size(*bytes);
      const uint64_t insns = r3k_insns(path, p.name);
      const bool size_ok = s.loaded() < p.aim_bytes;
      all_ok = all_ok && size_ok;
      std::printf("%-10s %6u %5u %5u %9u %6u %4s |", p.name, s.text, s.data, s.bss, s.loaded(), p.aim_bytes,
                  size_ok ? "yes" : "NO");

      const std::string gpath = glibc + "/" + p.name;
      auto gbytes = glibc.empty() ? std::nullopt : slurp(gpath);
      if (gbytes) {
        const Size g = elf_size(*gbytes);
        const double ratio = double(g.loaded()) / s.loaded();
        all_ok = all_ok && ratio >= kAimRatio;
        std::printf(" %8u %6u %6u %8.1fx %5.0fx %4s |", g.loaded(), g.data, g.bss, ratio, kAimRatio,
                    ratio >= kAimRatio ? "yes" : "NO");
      } else {
        std::printf(" %8s %6s %6s %9s %6s %4s |", "-", "-", "-", "-", "-", "-");
      }
      std::optional<uint64_t> gins;
      if (gbytes && !qemu.empty()) gins = qemu_insns(qemu, gpath);
      std::printf(" %9llu %9s\n", static_cast<unsigned long long>(insns), gins ? std::to_string(*gins).c_str() : "-");
    }
    if (glibc.empty())
      std::printf("\nglibc builds skipped: no static glibc for mips-linux-gnu (package libc6-dev-mips-cross).\n");
    else if (qemu.empty())
      std::printf("\nglibc instruction counts skipped: qemu-mips not found (package qemu-user).\n");
    std::printf("\n%s\n", all_ok ? "All size aims met." : "Some size aims missed.");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "programs_bench: %s\n", e.what());
    return 1;
  }
}
