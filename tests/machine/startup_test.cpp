// The runtime's start-up, exit and kernel-call stubs as they meet this
// kernel: statuses, entry alignment, __argv, errno.
#include <gtest/gtest.h>

#include "machine/machine_util.h"
#include "support/calls.h"

namespace {

using mtest::load;

TEST(Startup, MainsResultIsTheFullExitWord) {
  struct Case {
    std::vector<std::string> args;
    int32_t status;
    int exit_code;
  } cases[] = {{{}, 0, 0}, {{"3"}, 3, 3}, {{"-1"}, -1, 255}, {{"256"}, 256, 0}, {{"-2147483648"}, INT32_MIN, 0}};
  for (const Case& c : cases) {
    auto m = load("exit_status", c.args);
    EXPECT_EQ(m->run().exit_code, c.exit_code);
    EXPECT_EQ(m->processes()[0].status, c.status);
    const auto exits = mtest::calls(*m, "_exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].args[0], static_cast<uint32_t>(c.status)) << "handed to the kernel unmasked";
  }
}

TEST(Startup, AbortEndsWith255) {
  auto m = load("calls_abort");
  EXPECT_EQ(m->run().exit_code, 255);
  EXPECT_EQ(m->processes()[0].status, 255);
}

TEST(Startup, StackAlignedAndArgumentSaveAreaReservedBeforeMain) {
  for (uint32_t off = 0; off < 8; ++off) {
    r3k::Options o;
    o.sp_offset = off;
    auto m = load("exit_status", {}, o);
    const uint32_t entry_sp = m->entry_sp();
    ASSERT_EQ(entry_sp % 8, off);
    ASSERT_TRUE(m->run_to("main"));
    EXPECT_EQ(m->regs().gpr[r3k::regs::sp], entry_sp - off - 16) << "entry sp offset " << off;
    EXPECT_EQ(m->run().exit_code, 0) << "and main still runs to the end";
  }
}

TEST(Startup, ArgvIsTheVeryVectorMainGets) {
  auto m = load("exit_status", {"5", "x"});
  const uint32_t vector = m->regs().gpr[r3k::regs::a1];
  ASSERT_TRUE(m->run_to("main"));
  EXPECT_EQ(m->regs().gpr[r3k::regs::a0], 3u);
  EXPECT_EQ(m->regs().gpr[r3k::regs::a1], vector);
  EXPECT_EQ(m->read32(*m->symbol("__argv")), vector);
  EXPECT_EQ(m->run().exit_code, 5);
}

TEST(Startup, NoArgumentsAtAll) {
  r3k::Options o;
  o.null_argv = true;
  auto m = load("exit_status", {"9"}, o);
  ASSERT_TRUE(m->run_to("main"));
  EXPECT_EQ(m->regs().gpr[r3k::regs::a0], 0u);
  EXPECT_EQ(m->regs().gpr[r3k::regs::a1], 0u);
  EXPECT_EQ(m->read32(*m->symbol("__argv")), 0u);
  EXPECT_EQ(m->run().exit_code, 0);
}

TEST(Startup, ExitKeepsAskingWhenTheKernelReturns) {
  r3k::Options o;
  o.exit_returns = 3;
  auto m = load("exit_status", {"7"}, o);
  EXPECT_EQ(m->run().exit_code, 7);
  const auto exits = mtest::calls(*m, "_exit");
  ASSERT_EQ(exits.size(), 4u);
  for (size_t i = 0; i < exits.size(); ++i) {
    EXPECT_EQ(exits[i].args[0], 7u);
    EXPECT_EQ(exits[i].returned, i < 3);
  }
}

TEST(Stubs, ErrorFlagDecidesFailure) {
  struct Case {
    const char* what;
    std::vector<std::string> fail, result;
    std::vector<uint32_t> v0, v1, err;  // after each of two getpid calls
  } cases[] = {
      {"failure", {"getpid=2"}, {}, {0xffffffff, 0xffffffff}, {0xffffffff, 0xffffffff}, {2, 2}},
      {"success after failure", {"getpid:1=2"}, {}, {0xffffffff, 2}, {0xffffffff, 0}, {2, 2}},
      {"negative success", {}, {"getpid=-5"}, {0xfffffffb, 0xfffffffb}, {0, 0}, {0, 0}},
      {"errno outside the table", {"getpid:2=300"}, {}, {2, 0xffffffff}, {0, 0xffffffff}, {0, 300}},
  };
  for (const Case& c : cases) {
    r3k::Options o;
    for (const auto& t : c.fail) o.fail.push_back(r3k::test::fail(t));
    for (const auto& t : c.result) o.result.push_back(r3k::test::answer(t));
    auto m = load("kernel_calls", {}, o);
    for (size_t i = 0; i < 2; ++i) {
      m->regs().gpr[r3k::regs::v1] = 0x12345678;
      const r3k::CallResult r = m->call("getpid", {});
      ASSERT_TRUE(r.returned) << c.what;
      EXPECT_EQ(r.v0, c.v0[i]) << c.what << " call " << i + 1;
      EXPECT_EQ(r.v1, c.v1[i]) << c.what << " call " << i + 1;
      EXPECT_EQ(m->read32(*m->symbol("errno")), c.err[i]) << c.what << " call " << i + 1;
    }
  }
}

}  // namespace
