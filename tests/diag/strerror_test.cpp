// strerror, sys_errlist and sys_nerr of the MIPS build, on r3krun.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "support/libcore.h"

namespace r3k::test {
namespace {

const char* const kMessages[] = {
    "Operation succeeded",
    "Invalid argument",
    "Bad memory address",
    "String too long",
    "Out of memory",
    "Input/output error",
    "No such file or directory",
    "Not a directory",
    "Is a directory",
    "File or object exists",
    "Cross-device link",
    "Try again later",
    "Illegal seek",
    "Unimplemented feature",
    "Device not available",
    "No such device",
    "Device or resource busy",
    "Invalid/inappropriate ioctl",
    "Directory not empty",
    "Result too large",
    "No space left on device",
    "Too many open files",
    "Too many open files in system",
    "No such system call",
    "File is not executable",
    "Argument list too long",
    "Bad file number",
};
constexpr uint32_t kCount = std::size(kMessages);

TEST(Strerror, EveryMessageFromTheTableAtAStableAddress) {
  LibCore lib;
  EXPECT_EQ(lib.machine().read32(lib.sym("sys_nerr")), kCount);
  const uint32_t table = lib.sym("sys_errlist");
  for (uint32_t n = 0; n < kCount; ++n) {
    uint32_t text = lib.call("strerror", {n});
    EXPECT_EQ(lib.machine().read_string(text), kMessages[n]) << n;
    EXPECT_EQ(lib.machine().read32(table + 4 * n), text) << n;
    EXPECT_EQ(lib.call("strerror", {n}), text) << n;
  }
}

TEST(Strerror, NumbersOutsideTheTableAreUnknown) {
  LibCore lib;
  const uint32_t errno_at = lib.sym("errno");
  lib.machine().write32(errno_at, 1234);
  for (int32_t n : {27, 28, 100, -1, -27, INT_MAX, INT_MIN}) {
    uint32_t text = lib.call("strerror", {static_cast<uint32_t>(n)});
    EXPECT_EQ(lib.machine().read_string(text), "Unknown error number") << n;
    EXPECT_EQ(lib.call("strerror", {static_cast<uint32_t>(n)}), text) << n;
  }
  EXPECT_EQ(lib.machine().read32(errno_at), 1234u);
}

// Tables and texts live in read-only memory: a guest store to them faults.
// The first row is the control that the store helper stores at all.
// sys_nerr is a small object, in small data where code built with -G 8
// looks for it, and small data is writable.
TEST(Strerror, TableAndTextsAreReadOnly) {
  struct Case {
    const char* what;
    std::function<uint32_t(LibCore&)> addr;
    bool faults;
  };
  const Case cases[] = {
      {"writable data (control)", [](LibCore& l) { return l.sym("rec_used"); }, false},
      {"sys_errlist", [](LibCore& l) { return l.sym("sys_errlist"); }, true},
      {"sys_errlist[26]", [](LibCore& l) { return l.sym("sys_errlist") + 4 * 26; }, true},
      {"sys_nerr", [](LibCore& l) { return l.sym("sys_nerr"); }, false},
      {"message 0", [](LibCore& l) { return l.call("strerror", {0}) & ~3u; }, true},
      {"unknown message", [](LibCore& l) { return l.call("strerror", {99}) & ~3u; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LibCore lib;
    uint32_t addr = c.addr(lib);
    auto r = lib.machine().call("store_word", {addr, 0xdeadbeef});
    if (!c.faults) {
      EXPECT_TRUE(r.returned);
      EXPECT_EQ(lib.machine().read32(addr), 0xdeadbeefu);
      continue;
    }
    ASSERT_TRUE(r.fault.has_value());
    EXPECT_EQ(r.fault->kind, FaultKind::BadAddress);
    EXPECT_EQ(r.fault->addr, addr);
  }
}

}  // namespace
}  // namespace r3k::test
