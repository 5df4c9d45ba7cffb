// Runaway and hostile guests against the r3krun binary: a fork bomb, endless
// loops, writes with absurd lengths, and calls aimed at host files.  Each
// must end cleanly, with bounded host time and memory, touching nothing on
// the host but r3krun's own standard streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "../../fuzz/harness.h"
#include "machine/machine_util.h"
#include "support/mips_encode.h"
#include "support/subprocess.h"

namespace {

namespace fs = std::filesystem;

using r3k::test::How;
using r3k::test::r3krun;
using r3k::test::Ran;
using r3k::test::within;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> f;
  size_t at = 0;
  for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
    f.push_back(line.substr(at, tab - at));
  f.push_back(line.substr(at));
  return f;
}

TEST(Limits, ForkBombEndsWithForkFailingAndEveryProcessExiting) {
  struct Case {
    std::vector<std::string> opts;
    int children;  // the first process's own: all the limit leaves it
  } cases[] = {{{}, 63}, {{"--max-procs", "8"}, 7}, {{"--max-procs", "1"}, 0}};
  for (const Case& c : cases) {
    std::vector<std::string> args = c.opts;
    for (const char* a : {"--trace", "--trace-format=tsv"}) args.push_back(a);
    args.push_back(mtest::guest("fork_storm"));
    const Ran r = r3krun(args);
    const std::string what = c.opts.empty() ? "default limit" : c.opts.back();
    // The first process saw EAGAIN, could still wait and write, and exited 0.
    EXPECT_EQ(r.code, 0) << what << "\n" << r.err.substr(0, 2000);
    EXPECT_EQ(r.out, "reaped " + std::to_string(c.children) + ", fork errno 11\n") << what;
    EXPECT_LT(r.seconds, 30) << what;

    size_t forked = 0, refused = 0, exited = 0;
    for (const std::string& line : lines_of(r.err)) {
      const auto f = fields(line);
      ASSERT_GE(f.size(), 3u) << line;
      if (f[1] == "killed") ADD_FAILURE() << what << ": " << line;
      if (f[1] == "exit") {
        EXPECT_EQ(f[2], "0") << what << ": " << line;
        ++exited;
      }
      if (f.size() == 12 && f[2] == "fork") {
        if (f[7] == "1") {
          EXPECT_EQ(f[8], "11") << what << ": fork must fail with EAGAIN: " << line;
          ++refused;
        } else {
          ++forked;
        }
      }
    }
    EXPECT_GE(forked, static_cast<size_t>(c.children)) << what;
    EXPECT_GE(refused, 1u) << what;
    EXPECT_EQ(exited, forked + 1) << what << ": every process made must end by exiting";
  }
}

TEST(Limits, EndlessLoopsStopAtTheBudgetWithOneLine) {
  struct Case {
    const char* mode;
    const char* budget;
    size_t procs;
  } cases[] = {{"tight", "2000000", 1}, {"calls", "2000000", 1}, {"child", "2000000", 2}, {"tight", "0", 1}};
  for (const Case& c : cases) {
    const Ran r = r3krun({"--max-insns", c.budget, mtest::guest("endless"), c.mode}, within(30));
    const std::string what = std::string(c.mode) + " with " + c.budget;
    EXPECT_EQ(r.code, 137) << what << "\n" << r.err;
    EXPECT_EQ(r.err, "r3krun: instruction budget of " + std::string(c.budget) + " exhausted\n") << what;
    EXPECT_EQ(r.out, "") << what;

    // Every process is killed, and together they ran the budget: no more
    // than the few instructions that finish a block.
    const Ran s = r3krun({"--stats", "--max-insns", c.budget, mtest::guest("endless"), c.mode}, within(30));
    const auto lines = lines_of(s.err);
    ASSERT_EQ(lines.size(), 1 + c.procs) << what << "\n" << s.err;
    uint64_t total = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].find("killed by SIGKILL: instruction budget exhausted"), std::string::npos) << lines[i];
      const size_t colon = lines[i].find(": ", 8);
      total += std::stoull(lines[i].substr(colon + 2));
    }
    const uint64_t budget = std::stoull(c.budget);
    EXPECT_GE(total, budget) << what;
    EXPECT_LE(total, budget + 64) << what;
  }
}

TEST(Limits, WritesWithHugeLengthsFailWithoutHostMemory) {
  const Ran r = r3krun({"--trace", mtest::guest("big_write")}, within(30));
  EXPECT_EQ(r.code, 0) << "first write that did not fail with EFAULT: " << r.code << "\n" << r.err;
  EXPECT_EQ(r.out, "") << "a refused write must write nothing";
  size_t efaults = 0;
  for (const std::string& line : lines_of(r.err))
    if (line.find("write(1, ") != std::string::npos) {
      EXPECT_NE(line.find(") = -1 EFAULT (Bad memory address)"), std::string::npos) << line;
      ++efaults;
    }
  EXPECT_EQ(efaults, 6u) << r.err;
  // Gigabytes asked for, a few MiB used: the buffer is checked, never
  // copied whole.  (The bound leaves room for a sanitizer runtime.)
  EXPECT_TRUE(r3k::test::peak_under(r, 256 * 1024)) << "peak host memory " << r.max_rss_kib << " KiB";
  EXPECT_LT(r.seconds, 20);
}

// A jr ra every 64 words of a 256 KiB executable bss, a fork, then each
// process calls every word: a block per word, hundreds of bytes each, which
// must stay inside --max-host-mem, each run counting the same instructions.
std::vector<uint8_t> entries_at_every_word() {
  using namespace enc;
  constexpr uint32_t kBss = 0x10000000, kSize = 256u << 10;
  const uint32_t code[] = {lui(t0, kBss >> 16),
                           lui(t1, (kBss + kSize) >> 16),
                           lui(t2, jr(ra) >> 16),
                           ori(t2, t2, jr(ra) & 0xffff),
                           sw(t2, 248, t0),
                           addiu(t0, t0, 256),
                           bne(t0, t1, -3),
                           nop(),
                           addiu(v0, zero, 2),
                           syscall(),
                           lui(t0, kBss >> 16),
                           addiu(t1, t1, -4),
                           jalr(t0),
                           nop(),
                           addiu(t0, t0, 4),
                           bne(t0, t1, -4),
                           nop(),
                           addiu(a0, zero, 0),
                           addiu(v0, zero, 0),
                           syscall()};
  std::vector<uint8_t> bytes;
  for (uint32_t w : code)
    for (uint8_t b : be_bytes(w)) bytes.push_back(b);
  r3kfuzz::TinyElf e;
  e.code = bytes;
  e.data_size = kSize;
  e.data_flags = 7;
  return r3kfuzz::tiny_elf(e);
}

// A sanitized r3krun holds its runtime's shadow memory and quarantine on
// top of what it counts (about 70 MiB here); the plain build holds the bound.
#ifdef __SANITIZE_ADDRESS__
constexpr long kSanitizerKib = 128 << 10;
#else
constexpr long kSanitizerKib = 0;
#endif

TEST(Limits, DecodedCodeStaysInsideTheHostMemoryCap) {
  char tmpl[] = "/tmp/r3k-entries-XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> elf = entries_at_every_word();
  ASSERT_EQ(write(fd, elf.data(), elf.size()), ssize_t(elf.size()));
  close(fd);
  struct Case {
    std::vector<std::string> opts;
    long peak_kib;  // 0: no bound
  } cases[] = {{{}, 0}, {{"--max-host-mem", "1M"}, 16 << 10}, {{"--max-host-mem", "1M", "--no-jit"}, 16 << 10}};
  std::string want;
  for (const Case& c : cases) {
    std::vector<std::string> args = c.opts;
    args.insert(args.end(), {"--stats", tmpl});
    const Ran r = r3krun(args, within(120));
    const std::string what = args.size() > 2 ? args[1] + (args.size() > 4 ? " --no-jit" : "") : "default";
    EXPECT_EQ(r.code, 0) << what << "\n" << r.err;
    EXPECT_EQ(lines_of(r.err).size(), 2u) << what << "\n" << r.err;
    if (want.empty()) want = r.err;
    EXPECT_EQ(r.err, want) << what << ": the same instructions whatever code is kept";
    if (c.peak_kib) {
      EXPECT_TRUE(r3k::test::peak_under(r, c.peak_kib + kSanitizerKib)) << what << ": " << r.max_rss_kib << " KiB";
    }
  }
  unlink(tmpl);
}

// A scratch directory holding one file the guest aims at.
struct Sandbox {
  fs::path dir;
  Sandbox() {
    char tmpl[] = "/tmp/r3k-limits-XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir / "victim") << "keep me\n";
  }
  ~Sandbox() { fs::remove_all(dir); }
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string content(const std::string& name) const {
    std::ifstream in(dir / name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

TEST(Limits, GuestCallsNeverReachHostFiles) {
  Sandbox box;
  const std::string victim = (box.dir / "victim").string();
  // An inherited descriptor: r3krun's 3 is not the guest's 3.
  const int inherited = open((box.dir / "inherited").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(inherited, 0);
  How how;
  how.cwd = box.dir.string();
  how.extra_fd = inherited;
  const Ran r = r3krun({"--trace", mtest::guest("host_files"), victim, "fresh", "newdir"}, how);
  close(inherited);
  EXPECT_EQ(r.code, 0) << "first call not refused: " << r.code << "\n" << r.err;
  EXPECT_EQ(r.out, "ok\n");
  // Each call on a name met the empty tree, none the host's files.
  size_t refused = 0;
  for (const std::string& line : lines_of(r.err))
    if (line.find(": read-only tree)") != std::string::npos || line.find(": empty tree)") != std::string::npos)
      ++refused;
  EXPECT_EQ(refused, 13u) << r.err;
  EXPECT_EQ(box.listing(), (std::vector<std::string>{"inherited", "victim"}));
  EXPECT_EQ(box.content("victim"), "keep me\n");
  EXPECT_EQ(box.content("inherited"), "");
}

// Under strace: once r3krun has read the program, its only file or
// descriptor calls are writes to its own stdout and stderr (and anonymous
// memory), and it never starts a host process, whatever the guest asks.
// A sanitizer runtime probes memory through pipes it makes and closes
// itself; those pipes are allowed, and its leak check, which cannot run
// under ptrace, is off.
TEST(Limits, AfterLoadingOnlyStandardStreamsAreUsed) {
  ASSERT_EQ(system("command -v strace >/dev/null 2>&1"), 0) << "strace is missing (tools/setup installs it)";
  Sandbox box;
  const fs::path log = box.dir / "strace.log";
  const std::string victim = (box.dir / "victim").string();
  struct Case {
    std::vector<std::string> opts;
    std::string guest;
    std::vector<std::string> args;
  } cases[] = {
      {{}, "host_files", {victim, "fresh", "newdir"}},
      {{"--trace"}, "big_write", {}},
      {{"--max-procs", "6"}, "fork_storm", {}},
      {{"--max-insns", "100000"}, "endless", {"child"}},
      {{}, "null_load", {}},
  };
  for (const Case& c : cases) {
    const std::string& what = c.guest;
    const std::string program = mtest::guest(c.guest);
    std::vector<std::string> args = c.opts;
    args.push_back(program);
    args.insert(args.end(), c.args.begin(), c.args.end());
    How how;
    how.cwd = box.dir.string();
    const char* asan = getenv("ASAN_OPTIONS");
    how.env = {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
    how.prefix = {"strace", "-f",         "-qq", "-s", "4096", "-o", log.string(), "-e", "trace=%file,%desc,%process",
                  "-e",     "signal=none"};
    const Ran r = r3krun(args, how);
    EXPECT_LT(r.code, 1000) << what;
    std::ifstream in(log);
    bool loaded = false;
    std::string program_fd;
    std::set<std::string> pipe_fds;    // made by r3krun itself after loading
    std::set<std::string> memory_fds;  // its own anonymous memory files
    size_t after = 0;
    for (std::string line; std::getline(in, line);) {
      // "PID  call(...)": strace pads the pid, so short pids get more spaces.
      const size_t start = line.find_first_not_of(' ', line.find(' '));
      const std::string call = start == std::string::npos ? line : line.substr(start);
      if (call.rfind("memfd_create(", 0) == 0) {
        memory_fds.insert(call.substr(call.rfind("= ") + 2));
        continue;
      }
      if (!loaded) {
        // The program's own open, then its close: the end of loading.
        if (call.find("\"" + program + "\"") != std::string::npos && call.rfind("openat(", 0) == 0)
          program_fd = call.substr(call.rfind("= ") + 2);
        else if (!program_fd.empty() && call.rfind("close(" + program_fd + ")", 0) == 0) loaded = true;
        continue;
      }
      ++after;
      const std::string fd = call.substr(call.find('(') + 1, call.find_first_of(",)") - call.find('(') - 1);
      const std::string name = call.substr(0, call.find('('));
      if (name == "pipe2" && call.size() > 6 && call[6] == '[') {
        // "pipe2([5, 6], 0) = 0"
        const size_t comma = call.find(", ");
        pipe_fds.insert(call.substr(7, comma - 7));
        pipe_fds.insert(call.substr(comma + 2, call.find(']') - comma - 2));
        continue;
      }
      const bool standard_write = name == "write" && (fd == "1" || fd == "2");
      const bool own_pipe = (name == "write" || name == "read" || name == "close") && pipe_fds.count(fd);
      // mmap(addr, len, prot, flags, fd, offset)
      std::string mapped_fd = call;
      for (int comma = 0; comma < 4 && mapped_fd.find(", ") != std::string::npos; ++comma)
        mapped_fd = mapped_fd.substr(mapped_fd.find(", ") + 2);
      mapped_fd = mapped_fd.substr(0, mapped_fd.find(','));
      const bool anonymous =
          name == "mmap" && (call.find("MAP_ANONYMOUS") != std::string::npos || memory_fds.count(mapped_fd));
      const bool own_memory = name == "ftruncate" && memory_fds.count(fd);
      const bool leaving = name == "exit_group";
      EXPECT_TRUE(standard_write || own_pipe || anonymous || own_memory || leaving) << what << ": " << call;
    }
    EXPECT_TRUE(loaded) << what << ": the program was never opened and closed";
    EXPECT_GT(after, 0u) << what << ": nothing traced after loading";
  }
  EXPECT_EQ(box.listing(), (std::vector<std::string>{"strace.log", "victim"}));
}

}  // namespace
