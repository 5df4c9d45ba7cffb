// The guest-call test API: calling image functions by symbol, memory and
// register access, and what happens when a call does not simply return.
#include <gtest/gtest.h>

#include "machine/machine_util.h"

namespace {

using mtest::load;

TEST(GuestCall, ArgumentsInRegistersAndOnTheStack) {
  auto m = load("api_probe");
  const r3k::CallResult r = m->call("weigh6", {1, 10, 100, 1000, 10000, 100000});
  ASSERT_TRUE(r.returned);
  EXPECT_EQ(r.v0, 1 + 20 + 300 + 4000 + 50000 + 600000u);
  EXPECT_FALSE(r.exited);
  EXPECT_FALSE(r.fault);
  EXPECT_GT(r.insns, 0u);
  EXPECT_LT(r.insns, 50u);
  // gp came from _gp and the return went to the sentinel.
  EXPECT_EQ(m->regs().gpr[r3k::regs::gp], *m->symbol("_gp"));
  EXPECT_EQ(m->regs().pc, r3k::TestMachine::kSentinel);
  EXPECT_EQ(m->regs().gpr[r3k::regs::sp] % 8, 0u);
}

TEST(GuestCall, TwoWordResult) {
  auto m = load("api_probe");
  const r3k::CallResult r = m->call("pair_of", {0x12345678, 0x9abcdef0});
  EXPECT_EQ(r.v0, 0x12345678u);
  EXPECT_EQ(r.v1, 0x9abcdef0u);
}

TEST(GuestCall, StateAndMemoryPersistBetweenCalls) {
  auto m = load("api_probe");
  const uint32_t counter = *m->symbol("counter");
  for (uint32_t i = 1; i <= 1000; ++i) ASSERT_EQ(m->call("bump", {}).v0, i);
  EXPECT_EQ(m->read32(counter), 1000u);
  m->write32(counter, 41);
  EXPECT_EQ(m->call("bump", {}).v0, 42u);

  const uint32_t s = m->push_string("hello, world");
  EXPECT_EQ(m->read_string(s), "hello, world");
  EXPECT_EQ(m->call("length_of", {s}).v0, 12u);
  const std::vector<uint8_t> bytes = {1, 2, 3, 0, 5};
  const uint32_t b = m->push_bytes(bytes);
  EXPECT_NE(b, s);
  EXPECT_EQ(m->read(b, 5), bytes);
  EXPECT_EQ(m->call("length_of", {b}).v0, 3u);
  m->write_bytes(b + 3, std::vector<uint8_t>{9});
  EXPECT_EQ(m->call("length_of", {b}).v0, 5u);
}

TEST(GuestCall, ExitAndFaultEndTheCall) {
  auto m = load("api_probe");
  const r3k::CallResult e = m->call("exit", {3});
  EXPECT_FALSE(e.returned);
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.status, 3);
  EXPECT_THROW(m->call("bump", {}), std::logic_error);
  EXPECT_EQ(m->read32(*m->symbol("counter")), 0u) << "memory stays readable after the end";

  auto f = load("api_probe");
  const r3k::CallResult c = f->call("crash", {});
  EXPECT_FALSE(c.returned);
  ASSERT_TRUE(c.fault);
  EXPECT_EQ(c.fault->kind, r3k::FaultKind::BadAddress);
  EXPECT_EQ(c.fault->addr, 0u);
  EXPECT_EQ(f->diagnostics().size(), 1u);
}

TEST(GuestCall, ForkInsideACall) {
  auto m = load("api_probe");
  const r3k::CallResult r = m->call("fork_here", {});
  ASSERT_TRUE(r.returned);
  EXPECT_EQ(r.v0, 3u);
  ASSERT_EQ(m->processes().size(), 2u);
  // Running on: each process leaves through the sentinel as if main had
  // returned its v0.
  EXPECT_EQ(m->run().exit_code, 3);
  EXPECT_TRUE(m->processes()[1].exited);
  EXPECT_EQ(m->processes()[1].status, 0);
}

TEST(GuestCall, MisuseIsReported) {
  r3k::TestMachine empty;
  EXPECT_THROW(empty.call("main", {}), std::logic_error);
  EXPECT_TRUE(empty.events().empty());
  auto m = load("api_probe");
  EXPECT_THROW(m->call("no_such_function", {}), std::invalid_argument);
  EXPECT_THROW(m->run_to("no_such_function"), std::invalid_argument);
  EXPECT_THROW(m->read(0x10, 4), std::out_of_range);
  EXPECT_THROW(m->load_file(mtest::guest("api_probe"), {}), std::logic_error);
}

TEST(GuestCall, RunToAFunctionNeverReached) {
  auto m = load("api_probe");
  EXPECT_FALSE(m->run_to("crash"));
  EXPECT_TRUE(m->processes()[0].exited);
}

}  // namespace
