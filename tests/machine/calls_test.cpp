// The calls on descriptors, pipes, the heap, the clock and the machine,
// family by family: each call's success and each error it returns, as
// rows; then whole programs that block, wait and deadlock.
#include "support/calls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "machine/machine_util.h"
#include "r3k/abi.h"

namespace {

using mtest::load;
using r3k::Err;

// Argument words that stand for buffers pushed into the guest's scratch area.
enum Place : uint32_t { kBuf = 0xb0000001, kHello = 0xb0000002, kFds = 0xb0000003, kStat = 0xb0000004 };
constexpr uint32_t kText = 0x400000;  // mapped, read-only

struct Row {
  const char* what;
  const char* call;
  std::vector<uint32_t> args;
  int64_t result;  // when err is kEOK; 64-bit calls (lseek, __time) give v0:v1
  Err err = r3k::kEOK;
  std::function<void(r3k::TestMachine&, const std::map<uint32_t, uint32_t>&)> then = nullptr;
};

// Runs the rows in order on one machine, the scratch buffers named by Place.
void run_rows(r3k::TestMachine& m, const std::vector<Row>& rows) {
  const std::map<uint32_t, uint32_t> at = {{kBuf, m.push_bytes(std::vector<uint8_t>(64, 0))},
                                           {kHello, m.push_string("hello")},
                                           {kFds, m.push_bytes(std::vector<uint8_t>(8, 0xee))},
                                           {kStat, m.push_bytes(std::vector<uint8_t>(r3k::kStatSize, 0xee))}};
  const uint32_t errno_at = *m.symbol("errno");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<uint32_t> args = row.args;
    for (uint32_t& a : args)
      if (at.count(a)) a = at.at(a);
    m.write32(errno_at, 0);
    const r3k::CallResult r = m.call(row.call, args);
    ASSERT_TRUE(r.returned);
    const std::string name = row.call;
    const bool wide = name == "lseek" || name == "__time";
    const int64_t got = wide ? static_cast<int64_t>(uint64_t{r.v0} << 32 | r.v1) : static_cast<int32_t>(r.v0);
    if (row.err == r3k::kEOK) {
      EXPECT_EQ(got, row.result);
      EXPECT_EQ(m.read32(errno_at), 0u);
    } else {
      EXPECT_EQ(got, -1);
      EXPECT_EQ(m.read32(errno_at), static_cast<uint32_t>(row.err)) << r3k::error_name(int32_t(row.err));
    }
    if (row.then) row.then(m, at);
  }
}

std::string bytes_at(r3k::TestMachine& m, uint32_t addr, uint32_t n) {
  const auto b = m.read(addr, n);
  return std::string(b.begin(), b.end());
}

void expect_fds(r3k::TestMachine& m, const std::map<uint32_t, uint32_t>& at, uint32_t rd, uint32_t wr) {
  EXPECT_EQ(m.read32(at.at(kFds)), rd);
  EXPECT_EQ(m.read32(at.at(kFds) + 4), wr);
}

TEST(DescriptorCalls, EachCallAndEachError) {
  using namespace r3k;
  const uint32_t whence_set = kSEEK_SET;
  auto fds = [](uint32_t rd, uint32_t wr) {
    return [=](TestMachine& m, const std::map<uint32_t, uint32_t>& at) { expect_fds(m, at, rd, wr); };
  };
  auto mode = [](uint32_t want) {
    return [=](TestMachine& m, const std::map<uint32_t, uint32_t>& at) {
      EXPECT_EQ(m.read32(at.at(kStat) + 44), want);
      EXPECT_EQ(m.read32(at.at(kStat) + 12), 0u) << "size";
    };
  };
  const std::vector<Row> rows = {
      {"pipe", "pipe", {kFds}, 0, kEOK, fds(3, 4)},
      {"pipe into text", "pipe", {kText}, -1, kEFAULT},
      {"pipe into null", "pipe", {0}, -1, kEFAULT, fds(3, 4)},
      {"write a pipe", "write", {4, kHello, 5}, 5},
      {"read it",
       "read",
       {3, kBuf, 64},
       5,
       kEOK,
       [](TestMachine& m, const auto& at) { EXPECT_EQ(bytes_at(m, at.at(kBuf), 6), std::string("hello\0", 6)); }},
      {"read nothing", "read", {3, 0, 0}, 0},
      {"read closed", "read", {9, kBuf, 1}, -1, kEBADF},
      {"read stdout", "read", {1, kBuf, 1}, -1, kEBADF},
      {"read a write end", "read", {4, kBuf, 1}, -1, kEBADF},
      {"read into text", "read", {3, kText, 4}, -1, kEFAULT},
      {"read out of user space", "read", {3, 0x7ffffffe, 4}, -1, kEFAULT},
      {"write a read end", "write", {3, kHello, 1}, -1, kEBADF},
      {"write from null", "write", {4, 0, 5}, -1, kEFAULT},
      {"write stdin", "write", {0, kHello, 1}, -1, kEBADF},
      {"lseek a pipe", "lseek", {3, 0, 0, 0, whence_set}, -1, kESPIPE},
      {"lseek the console", "lseek", {1, 0, 0, 0, whence_set}, -1, kESPIPE},
      {"lseek closed", "lseek", {9, 0, 0, 0, whence_set}, -1, kEBADF},
      {"fstat a pipe", "fstat", {3, kStat}, 0, kEOK, mode(kS_IFIFO | 0600)},
      {"fstat the console", "fstat", {1, kStat}, 0, kEOK, mode(kS_IFCHR | 0620)},
      {"fstat into text", "fstat", {1, kText}, -1, kEFAULT},
      {"fstat closed", "fstat", {9, kStat}, -1, kEBADF},
      {"fsync the console", "fsync", {1}, -1, kEINVAL},
      {"fsync a pipe", "fsync", {4}, -1, kEINVAL},
      {"fsync closed", "fsync", {9}, -1, kEBADF},
      {"ftruncate the console", "ftruncate", {1, 0, 0, 0}, -1, kEINVAL},
      {"ftruncate negative", "ftruncate", {4, 0, 0xffffffff, 0xffffffff}, -1, kEINVAL},
      {"ftruncate closed", "ftruncate", {9, 0, 0, 0}, -1, kEBADF},
      {"ioctl the console", "ioctl", {0, 1, 0}, -1, kEIOCTL},
      {"ioctl closed", "ioctl", {9, 1, 0}, -1, kEBADF},
      {"dup2", "dup2", {4, 10}, 10},
      {"write the copy", "write", {10, kHello, 2}, 2},
      {"read through the original", "read", {3, kBuf, 64}, 2},
      {"dup2 onto itself", "dup2", {4, 4}, 4},
      {"dup2 closed", "dup2", {9, 5}, -1, kEBADF},
      {"dup2 past the table", "dup2", {4, kOPEN_MAX}, -1, kEBADF},
      {"dup2 negative", "dup2", {4, 0xffffffff}, -1, kEBADF},
      {"close", "close", {10}, 0},
      {"close again", "close", {10}, -1, kEBADF},
      {"close the write end", "close", {4}, 0},
      {"read to the end", "read", {3, kBuf, 64}, 0},
      {"lowest free descriptors", "pipe", {kFds}, 0, kEOK, fds(4, 5)},
      {"close its read end", "close", {4}, 0},
      {"write with no reader", "write", {5, kHello, 1}, -1, kEIO},
      {"sync", "sync", {}, 0},
      {"close stdin", "close", {0}, 0},
      {"descriptor 0 is free", "pipe", {kFds}, 0, kEOK, fds(0, 4)},
  };
  run_rows(*load("kernel_calls"), rows);
}

TEST(DescriptorCalls, TableAndMachineLimits) {
  using namespace r3k;
  auto m = load("kernel_calls");
  // 0-2 and 3-62: one descriptor left, and a pipe needs two.
  for (uint32_t fd = 3; fd < kOPEN_MAX - 1; ++fd) ASSERT_EQ(m->call("dup2", {1, fd}).v0, fd);
  const std::vector<Row> rows = {
      {"one free", "pipe", {kFds}, -1, kEMFILE},
      {"two free", "close", {62}, 0},
      {"a pipe again", "pipe", {kFds}, 0, kEOK, [](TestMachine& m, const auto& at) { expect_fds(m, at, 62, 63); }},
      {"open with none free", "open", {m->push_string("/"), kO_RDONLY, 0}, -1, kEMFILE},
  };
  run_rows(*m, rows);
  EXPECT_EQ(m->call("dup2", {1, kOPEN_MAX - 1}).v0, kOPEN_MAX - 1) << "replaces the write end";

  // Open files of the whole machine: children holding pipes until the
  // parent lets them go; once 1024 are open a pipe fails with ENFILE.
  auto limits = load("unix_calls", {"enfile"});
  EXPECT_EQ(limits->run().exit_code, 0);
  EXPECT_EQ(limits->output(1), "EMFILE 16, ENFILE 4\n");
}

// The calls on files and names in a temporary root: each call's success
// and each error it returns.
TEST(FileCalls, EachCallAndEachError) {
  using namespace r3k;
  mtest::TempDir root;
  Options o;
  o.root = root.str();
  auto m = load("kernel_calls", {}, o);
  auto path = [&](const std::string& p) { return m->push_string(p); };
  const uint32_t f = path("f"), g = path("g"), d = path("d"), s = path("s"), slash = path("/"), dot = path(".");
  const uint32_t dotdot_f = path("../../f"), missing = path("missing"), long_path = path(std::string(kPATH_MAX, 'a'));
  const uint32_t rw_new = kO_RDWR | kO_CREAT, set = kSEEK_SET, end = kSEEK_END;
  const uint32_t no_args = m->push_bytes(std::vector<uint8_t>(4, 0));
  auto size_is = [](int64_t want) {
    return [=](TestMachine& m, const std::map<uint32_t, uint32_t>& at) {
      EXPECT_EQ(m.read32(at.at(kStat) + 8), static_cast<uint32_t>(want >> 32));
      EXPECT_EQ(m.read32(at.at(kStat) + 12), static_cast<uint32_t>(want)) << "size";
    };
  };
  auto holds = [](const std::string& want) {
    return [=](TestMachine& m, const auto& at) { EXPECT_EQ(bytes_at(m, at.at(kBuf), uint32_t(want.size())), want); };
  };
  const std::vector<Row> rows = {
      {"open a new file", "open", {f, rw_new, 0644}, 3},
      {"write it", "write", {3, kHello, 5}, 5},
      {"lseek to the start", "lseek", {3, 0, 0, 0, set}, 0},
      {"read it", "read", {3, kBuf, 64}, 5, kEOK, holds("hello")},
      {"lseek past 4 GiB", "lseek", {3, 0, 1, 2, set}, (int64_t{1} << 32) + 2},
      {"lseek from the end", "lseek", {3, 0, 0xffffffff, 0xfffffffe, end}, 3},
      {"lseek before the start", "lseek", {3, 0, 0xffffffff, 0xfffffffa, end}, -1, kEINVAL},
      {"lseek a bad whence", "lseek", {3, 0, 0, 0, 3}, -1, kEINVAL},
      {"read from the offset", "read", {3, kBuf, 64}, 2, kEOK, holds("lo")},
      {"fstat", "fstat", {3, kStat}, 0, kEOK, size_is(5)},
      {"ftruncate", "ftruncate", {3, 0, 0, 2}, 0},
      {"fstat the shorter file", "fstat", {3, kStat}, 0, kEOK, size_is(2)},
      {"fsync", "fsync", {3}, 0},
      {"getdirentry of a file", "getdirentry", {3, kBuf, 64}, -1, kENOTDIR},
      {"open it again: exclusive", "open", {f, rw_new | kO_EXCL, 0644}, -1, kEEXIST},
      {"open with unknown flags", "open", {f, 0x40, 0}, -1, kEINVAL},
      {"open with access mode 3", "open", {f, kO_ACCMODE, 0}, -1, kEINVAL},
      {"open a null path", "open", {0, kO_RDONLY, 0}, -1, kEFAULT},
      {"open a path without its NUL in PATH_MAX", "open", {long_path, kO_RDONLY, 0}, -1, kENAMETOOLONG},
      {"open what is missing", "open", {missing, kO_RDONLY, 0}, -1, kENOENT},
      {"open through a file", "open", {path("f/x"), kO_RDONLY, 0}, -1, kENOTDIR},
      {"open a directory to write", "open", {slash, kO_WRONLY, 0}, -1, kEISDIR},
      {"open .. past the root", "open", {dotdot_f, kO_RDONLY, 0}, 4},
      {"read only what it opened for", "write", {4, kHello, 1}, -1, kEBADF},
      {"ftruncate a read-only descriptor", "ftruncate", {4, 0, 0, 0}, -1, kEINVAL},
      {"close", "close", {4}, 0},
      {"open the root", "open", {slash, kO_RDONLY, 0}, 4},
      {"first entry", "getdirentry", {4, kBuf, 64}, 1, kEOK, holds(".")},
      {"a name longer than the buffer", "getdirentry", {4, kBuf, 1}, -1, kERANGE},
      {"the same name with room", "getdirentry", {4, kBuf, 2}, 2, kEOK, holds("..")},
      {"into text", "getdirentry", {4, kText, 64}, -1, kEFAULT},
      {"the file", "getdirentry", {4, kBuf, 64}, 1, kEOK, holds("f")},
      {"the end", "getdirentry", {4, kBuf, 64}, 0},
      {"lseek a directory back", "lseek", {4, 0, 0, 1, set}, 1},
      {"read a directory", "read", {4, kBuf, 64}, -1, kEISDIR},
      {"fstat a directory", "fstat", {4, kStat}, 0},
      {"fsync a directory", "fsync", {4}, 0},
      {"ftruncate a directory", "ftruncate", {4, 0, 0, 0}, -1, kEINVAL},
      {"getdirentry closed", "getdirentry", {9, kBuf, 64}, -1, kEBADF},
      {"mkdir", "mkdir", {d, 0755}, 0},
      {"mkdir again", "mkdir", {d, 0755}, -1, kEEXIST},
      {"chdir into it", "chdir", {d}, 0},
      {"__getcwd", "__getcwd", {kBuf, 64}, 2, kEOK, holds(std::string("/d\0", 3))},
      {"__getcwd without room for the NUL", "__getcwd", {kBuf, 2}, -1, kERANGE},
      {"__getcwd into text", "__getcwd", {kText, 64}, -1, kEFAULT},
      {"chdir to a file", "chdir", {dotdot_f}, -1, kENOTDIR},
      {"chdir back", "chdir", {path("..")}, 0},
      {"rmdir the current directory's name", "rmdir", {dot}, -1, kEINVAL},
      {"rmdir the root", "rmdir", {slash}, -1, kEBUSY},
      {"stat", "stat", {f, kStat}, 0, kEOK, size_is(2)},
      {"stat into text", "stat", {f, kText}, -1, kEFAULT},
      {"lstat what is missing", "lstat", {missing, kStat}, -1, kENOENT},
      {"symlink", "symlink", {f, s}, 0},
      {"lstat the link", "lstat", {s, kStat}, 0, kEOK, size_is(1)},
      {"readlink", "readlink", {s, kBuf, 64}, 1, kEOK, holds("f")},
      {"readlink a file", "readlink", {f, kBuf, 64}, -1, kEINVAL},
      {"readlink into text", "readlink", {s, kText, 64}, -1, kEFAULT},
      {"link", "link", {f, g}, 0},
      {"link onto a name", "link", {f, g}, -1, kEEXIST},
      {"link a directory", "link", {d, path("e")}, -1, kEISDIR},
      {"rename", "rename", {g, path("d/g")}, 0},
      {"rename what is missing", "rename", {g, f}, -1, kENOENT},
      {"rmdir a full directory", "rmdir", {d}, -1, kENOTEMPTY},
      {"remove", "remove", {path("d/g")}, 0},
      {"remove again", "remove", {path("d/g")}, -1, kENOENT},
      {"remove a directory", "remove", {d}, -1, kEISDIR},
      {"rmdir", "rmdir", {d}, 0},
      {"execv a directory", "execv", {slash, no_args}, -1, kEISDIR},
      {"execv what is no program", "execv", {f, no_args}, -1, kENOEXEC},
      {"execv a null vector", "execv", {f, 0}, -1, kEFAULT},
      {"sync", "sync", {}, 0},
  };
  run_rows(*m, rows);
  EXPECT_TRUE(std::filesystem::is_symlink(root.path / "s"));
  EXPECT_EQ(std::filesystem::file_size(root.path / "f"), 2u);
}

// A read-only root refuses every change; --max-disk is a quota on what
// the run adds.
TEST(FileCalls, ReadOnlyRootAndDiskQuota) {
  using namespace r3k;
  mtest::TempDir dir;
  { std::ofstream(dir.path / "old") << "old"; }
  Options ro;
  ro.root = dir.str() + ":ro";
  auto m = load("kernel_calls", {}, ro);
  const uint32_t old = m->push_string("old"), fresh = m->push_string("new");
  run_rows(*m, {
                   {"read", "open", {old, kO_RDONLY, 0}, 3},
                   {"write", "open", {old, kO_WRONLY, 0}, -1, kEIO},
                   {"truncate", "open", {old, kO_RDONLY | kO_TRUNC, 0}, -1, kEIO},
                   {"create", "open", {fresh, kO_RDONLY | kO_CREAT, 0644}, -1, kEIO},
                   {"mkdir", "mkdir", {fresh, 0755}, -1, kEIO},
                   {"remove", "remove", {old}, -1, kEIO},
               });
  EXPECT_EQ(m->events().back().why, "read-only tree");
  // 8 KiB: the new file's own cost (4 KiB) leaves 4 KiB for its bytes.
  Options quota;
  quota.root = dir.str();
  quota.max_disk = 8192;
  auto q = load("kernel_calls", {}, quota);
  const uint32_t big = q->push_bytes(std::vector<uint8_t>(6000, 'x'));
  const uint32_t name = q->push_string("new");
  run_rows(*q, {
                   {"create", "open", {name, kO_RDWR | kO_CREAT, 0644}, 3},
                   {"a write that fits in part", "write", {3, big, 6000}, 4096},
                   {"then nothing fits", "write", {3, big, 1}, -1, kENOSPC},
                   {"nor a longer file", "ftruncate", {3, 0, 0, 8192}, -1, kENOSPC},
                   {"a shorter one", "ftruncate", {3, 0, 0, 10}, 0},
                   {"back to the start", "lseek", {3, 0, 0, 0, kSEEK_SET}, 0},
                   {"room again", "write", {3, big, 100}, 100},
               });
  EXPECT_EQ(std::filesystem::file_size(dir.path / "new"), 100u);
}

TEST(MemoryCalls, SbrkGrowsShrinksAndRefuses) {
  using namespace r3k;
  Options o;
  o.max_mem_pages = (kUserEnd >> kPageBits);  // only the mappings stop the heap
  auto m = load("kernel_calls", {}, o);
  uint64_t end = 0;
  for (const Segment& s : m->image().segments()) end = std::max(end, uint64_t{s.vaddr} + s.memsz);
  const uint32_t heap = static_cast<uint32_t>((end + kPageSize - 1) & ~uint64_t{kPageSize - 1});
  auto mapped = [heap](uint32_t offset, bool want) {
    return [=](TestMachine& m, const auto&) { EXPECT_EQ(m.space().prot(heap + offset) != kProtNone, want) << offset; };
  };
  const std::vector<Row> rows = {
      {"where it is", "sbrk", {0}, heap},
      {"grow",
       "sbrk",
       {5000},
       heap,
       kEOK,
       [heap](TestMachine& m, const auto&) {
         EXPECT_NE(m.space().prot(heap + 8191), kProtNone);
         m.write32(heap, 0x12345678);
       }},
      {"the new break",
       "sbrk",
       {0},
       heap + 5000,
       kEOK,
       [heap](TestMachine& m, const auto&) { EXPECT_EQ(m.read32(heap + 4996), 0u); }},
      {"below the start", "sbrk", {static_cast<uint32_t>(-5001)}, -1, kEINVAL},
      {"into the scratch area's mapping", "sbrk", {TestMachine::kScratchBase - heap}, -1, kENOMEM, mapped(8192, false)},
      {"past the stack", "sbrk", {0x7fffffff}, -1, kENOMEM},
      {"unchanged", "sbrk", {0}, heap + 5000},
      {"shrink to the start", "sbrk", {static_cast<uint32_t>(-5000)}, heap + 5000, kEOK, mapped(0, false)},
      {"grow again: zeros",
       "sbrk",
       {10},
       heap,
       kEOK,
       [heap](TestMachine& m, const auto&) { EXPECT_EQ(m.read32(heap), 0u); }},
  };
  run_rows(*m, rows);

  // --max-mem counts the heap's pages; the host cap the pages it could need.
  Options small;
  small.max_mem_pages = load("kernel_calls")->space().mapped_pages() + 8;
  auto tight = load("kernel_calls", {}, small);
  EXPECT_EQ(static_cast<int32_t>(tight->call("sbrk", {64 * kPageSize}).v0), -1);
  EXPECT_EQ(tight->call("sbrk", {kPageSize}).v0, heap);
  Options capped;
  capped.max_host_mem = 1 << 20;
  auto host = load("kernel_calls", {}, capped);
  EXPECT_EQ(static_cast<int32_t>(host->call("sbrk", {2 << 20}).v0), -1);
  EXPECT_EQ(host->read32(*host->symbol("errno")), static_cast<uint32_t>(kENOMEM));
}

TEST(TimeCalls, VirtualClockStoresWhatItReturns) {
  using namespace r3k;
  Options o;
  o.clock = 1'700'000'000;
  auto m = load("kernel_calls", {}, o);
  const uint32_t secs = m->push_bytes(std::vector<uint8_t>(8, 0xaa)), nsecs = m->push_bytes(std::vector<uint8_t>(4));
  uint32_t first_ns = 0;
  const std::vector<Row> rows = {
      {"both stored",
       "__time",
       {secs, nsecs},
       1'700'000'000,
       kEOK,
       [&](TestMachine& m, const auto&) {
         EXPECT_EQ(m.read32(secs), 0u);
         EXPECT_EQ(m.read32(secs + 4), 1'700'000'000u);
         first_ns = m.read32(nsecs);
         EXPECT_GT(first_ns, 0u);
         EXPECT_LE(first_ns, m.total_insns()) << "one nanosecond per instruction so far";
       }},
      {"neither", "__time", {0, 0}, 1'700'000'000},
      {"nanoseconds advance",
       "__time",
       {0, nsecs},
       1'700'000'000,
       kEOK,
       [&](TestMachine& m, const auto&) { EXPECT_GT(m.read32(nsecs), first_ns); }},
      {"seconds into text: nothing stored",
       "__time",
       {kText, nsecs},
       -1,
       kEFAULT,
       [&](TestMachine& m, const auto&) { EXPECT_GT(m.read32(nsecs), first_ns); }},
      {"nanoseconds into text", "__time", {secs, kText + 2}, -1, kEFAULT},
  };
  run_rows(*m, rows);
  // The host's clock without --clock.
  auto host = load("kernel_calls");
  const int64_t now = std::time(nullptr);
  const r3k::CallResult r = host->call("__time", {0, 0});
  const int64_t got = static_cast<int64_t>(uint64_t{r.v0} << 32 | r.v1);
  EXPECT_GE(got, now - 5);
  EXPECT_LE(got, now + 5);
}

TEST(MachineCalls, RebootEndsEveryProcessWithItsStatus) {
  using namespace r3k;
  auto m = load("kernel_calls");
  run_rows(*m, {{"unknown code", "reboot", {3}, -1, kEINVAL}, {"ioctl has no codes", "ioctl", {1, 0, 0}, -1, kEIOCTL}});
  for (uint32_t code : {kRB_REBOOT, kRB_HALT, kRB_POWEROFF}) {
    auto r = load("kernel_calls");
    ASSERT_EQ(r->call("fork", {}).v0, 3u);
    EXPECT_FALSE(r->call("reboot", {code}).returned);
    const RunResult end = r->run();
    EXPECT_EQ(end.exit_code, 120 + static_cast<int>(code));
    EXPECT_EQ(end.message, "r3krun: reboot(" +
                               std::string(code == 0   ? "RB_REBOOT"
                                           : code == 1 ? "RB_HALT"
                                                       : "RB_POWEROFF") +
                               ") by pid 2");
    for (const ProcessInfo& p : r->processes()) EXPECT_TRUE(p.ended()) << p.pid;
  }
}

// --fail and --result answer every call without performing it: no process
// ends, forks or blocks, no descriptor or page changes.
TEST(MachineCalls, RulesAnswerEveryCallWithoutPerformingIt) {
  for (const bool fail : {true, false}) {
    r3k::Options o;
    for (uint32_t n = 0; n < r3k::kSyscallCount; ++n)
      (fail ? o.fail : o.result).push_back(r3k::test::rule(std::string(r3k::syscall_name(n)) + "=5", fail));
    auto m = load("kernel_calls", {}, o);
    const uint32_t fds = m->push_bytes(std::vector<uint8_t>(8, 0xee));
    const uint32_t pages = m->space().mapped_pages();
    for (uint32_t n = 0; n < r3k::kSyscallCount; ++n) {
      const std::string name(r3k::syscall_name(n));
      m->write32(*m->symbol("errno"), 0);
      const r3k::CallResult r = m->call(name, {name == "read" ? 0u : fds, 4096, 1, 0});
      ASSERT_TRUE(r.returned) << name;
      EXPECT_EQ(r.v0, fail ? 0xffffffffu : 5u) << name;
      EXPECT_EQ(m->read32(*m->symbol("errno")), fail ? 5u : 0u) << name;
      EXPECT_TRUE(m->events().back().injected) << name;
    }
    EXPECT_EQ(m->processes().size(), 1u);
    EXPECT_EQ(m->space().mapped_pages(), pages) << "sbrk answered, not performed";
    EXPECT_EQ(m->read32(fds), 0xeeeeeeeeu) << "pipe answered, not performed";
  }
}

// Whole programs: what each prints and how the run ends, with calls
// served in place and with every call stopping the CPU.
TEST(Blocking, ProgramsOnPipesHeapAndWaits) {
  struct Case {
    const char* scenario;
    std::string out;
    int code;
    std::string message;
  } cases[] = {
      {"pingpong", "read 21: hello through a pipe\nstatus 3\n", 0, ""},
      {"bulk", "read 100000, 0 wrong, status 0\n", 0, ""},
      {"no_reader", "write -1 failed\n", 0, ""},
      {"redirect", "got 21: printed by the child\nstatus 0\n", 0, ""},
      {"heap", "after the child: parent, break +10000, status 0\ngrown again: 0 0\n", 0, ""},
      {"waiting", "nohang 0\nany child is it, status 5\nno child left: -1 1\n", 0, ""},
      {"describe", "pipe fifo 1\n", 0, ""},
      {"deadlock", "", r3k::kExitDeadlock,
       "r3krun: deadlock: pid 2 waits for child 3, pid 3 waits in read(3) on a pipe"},
      {"cat", "0 bytes, last read 0\n", 0, ""},  // the console's input is at its end
  };
  for (const Case& c : cases) {
    for (bool in_place : {true, false}) {
      SCOPED_TRACE(std::string(c.scenario) + (in_place ? "" : ", calls stopping the CPU"));
      r3k::Options o;
      o.in_place_calls = in_place;
      o.quantum = 300;  // many switches between the processes
      auto m = load("unix_calls", {c.scenario}, o);
      const r3k::RunResult r = m->run();
      EXPECT_EQ(r.exit_code, c.code);
      EXPECT_EQ(r.message, c.message);
      EXPECT_EQ(m->output(1), c.out);
    }
  }
  // The deadlock's processes end killed, each saying what it waited on.
  auto m = load("unix_calls", {"deadlock"});
  m->run();
  ASSERT_EQ(m->processes().size(), 2u);
  EXPECT_EQ(m->processes()[1].kill_signal(), r3k::kSIGKILL);
  EXPECT_EQ(m->processes()[1].report, "deadlock: waits in read(3) on a pipe");
  EXPECT_EQ(m->processes()[0].report, "deadlock: waits for child 3");
}

// Whole programs on files, names and execv in a temporary root beside a
// file of the host's: every way out of the root ends inside it.
TEST(FilePrograms, ScenariosStayInsideTheRoot) {
  struct Case {
    const char* scenario;
    std::string out;
    std::vector<std::string> made;  // what the root holds afterwards besides what the test put there
  } cases[] = {
      {"rw", "data: hello++\nrw done\n", {"data"}},
      {"names", "entries: . .. a b c (0)\nthrough the link: ay\nnames done\n", {}},
      {"escape",
       "dotdot: in\nabsolute link: in\nrelative link: in\nrenamed: in\nlinked: in\nescape done\n",
       {"linked", "loop1", "loop2", "moved", "sub"}},
      {"exec",
       "exec'd as first, 3 args, cwd /w, fd 5 read 9 kept open\nchild status 7\n"
       "parent still here, offset 9\n",
       {"msg", "text", "w"}},
  };
  for (const Case& c : cases) {
    for (bool in_place : {true, false}) {
      SCOPED_TRACE(std::string(c.scenario) + (in_place ? "" : ", calls stopping the CPU"));
      mtest::TempDir dir;
      const std::filesystem::path root = dir.path / "root";
      std::filesystem::create_directory(root);
      { std::ofstream(dir.path / "outside") << "host"; }
      ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
      std::filesystem::copy_file(mtest::guest("file_calls"), root / "prog");
      r3k::Options o;
      o.in_place_calls = in_place;
      o.quantum = 300;
      o.root = root.string();
      auto m = load("file_calls", {c.scenario}, o);
      const r3k::RunResult r = m->run();
      EXPECT_EQ(r.exit_code, 0) << "the line of the first failed check";
      EXPECT_EQ(m->output(1), c.out);
      std::vector<std::string> names;
      for (const auto& e : std::filesystem::directory_iterator(dir.path)) names.push_back(e.path().filename());
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<std::string>{"outside", "root"}));
      names.clear();
      for (const auto& e : std::filesystem::directory_iterator(root))
        if (e.path().filename() != "fifo" && e.path().filename() != "prog") names.push_back(e.path().filename());
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, c.made);
      std::ifstream in(dir.path / "outside");
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "host");
    }
  }
}

// execv in the first process: the trace shows the call, then the new
// program's calls; its run ends as the new program does.
TEST(FilePrograms, ExecReplacesTheFirstProgram) {
  mtest::TempDir root;
  std::filesystem::copy_file(mtest::guest("exit_status"), root.path / "next");
  std::vector<std::string> lines;
  r3k::Options o;
  o.root = root.str();
  o.trace = true;
  o.trace_sink = [&](std::string_view l) { lines.emplace_back(l.substr(0, l.size() - 1)); };
  auto m = load("kernel_calls", {}, o);
  const uint32_t path = m->push_string("/next"), a0 = m->push_string("as passed"), a1 = m->push_string("5");
  std::vector<uint8_t> vec(12, 0);
  for (int i = 0; i < 2; ++i)
    for (int b = 0; b < 4; ++b) vec[4 * i + b] = static_cast<uint8_t>((i ? a1 : a0) >> (24 - 8 * b));
  EXPECT_FALSE(m->call("execv", {path, m->push_bytes(vec)}).returned);
  const r3k::RunResult r = m->run();
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_EQ(m->output(1), "hi\n");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"([pid 2] execv("/next", ["as passed", "5"]) = 0)");
  EXPECT_EQ(lines[1], R"([pid 2] write(1, "hi\n", 3) = 3)");
  EXPECT_EQ(m->processes()[0].program, "/next");
}

TEST(Blocking, OneProcessAloneDeadlocksOnItsOwnPipe) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, std::vector<uint32_t>>> calls;  // the last one blocks
    const char* waits;
  } cases[] = {
      {"reading an empty pipe", {{"pipe", {kFds}}, {"read", {3, kBuf, 1}}}, "waits in read(3) on a pipe"},
      // 4000 bytes in, 96 free: a write of 200, at most PIPE_BUF, is never split.
      {"an atomic write into a full pipe",
       {{"pipe", {kFds}}, {"write", {4, 0x400000, 4000}}, {"write", {4, 0x400000, 200}}},
       "waits in write(4) on a pipe"},
      {"a write of more than the pipe holds",
       {{"pipe", {kFds}}, {"write", {4, 0x400000, 5000}}},
       "waits in write(4) on a pipe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = load("kernel_calls");
    const std::map<uint32_t, uint32_t> at = {{kFds, m->push_bytes(std::vector<uint8_t>(8))},
                                             {kBuf, m->push_bytes(std::vector<uint8_t>(8))}};
    for (size_t i = 0; i < c.calls.size(); ++i) {
      std::vector<uint32_t> args = c.calls[i].second;
      for (uint32_t& a : args)
        if (at.count(a)) a = at.at(a);
      const r3k::CallResult r = m->call(c.calls[i].first, args);
      EXPECT_EQ(r.returned, i + 1 < c.calls.size()) << c.calls[i].first;
    }
    const r3k::RunResult r = m->run();
    EXPECT_EQ(r.exit_code, r3k::kExitDeadlock);
    EXPECT_EQ(r.message, std::string("r3krun: deadlock: pid 2 ") + c.waits);
  }
}

// A call that blocks is traced when it completes, after the call that let
// it go on; the trace decodes what each call read and stored.
TEST(Blocking, TraceShowsEachCallWhenItCompletes) {
  std::vector<std::string> lines;
  r3k::Options o;
  o.trace = true;
  o.trace_sink = [&](std::string_view l) { lines.emplace_back(l.substr(0, l.size() - 1)); };
  auto m = load("unix_calls", {"pingpong"}, o);
  m->run();
  const std::vector<std::string> want = {
      "[pid 2] pipe([3, 4]) = 0",
      "[pid 2] fork() = 3",
      "[pid 2] close(4) = 0",
      "[pid 3] close(3) = 0",
      "[pid 3] write(4, \"hello through a pipe\\n\", 21) = 21",
      "[pid 2] read(3, \"hello through a pipe\\n\", 512) = 21",
      "[pid 3] _exit(3) = ?",
      "[pid 3] +++ exited with 3 +++",
      "[pid 2] read(3, \"\", 512) = 0",
  };
  ASSERT_GE(lines.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(want.size())), want);
  size_t counted = 0;
  for (const r3k::ProcessInfo& p : m->processes()) counted += p.calls[static_cast<size_t>(r3k::Sys::read)];
  EXPECT_EQ(counted, 2u) << "a read that blocked counts once";
}

}  // namespace
