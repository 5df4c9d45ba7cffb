// Loads and stores: extension, byte order, the unaligned lwl/lwr/swl/swr
// family at every alignment, and the faults of bad addresses.
#include <string>

#include "cpu_harness.h"

namespace r3k::test {
namespace {

using namespace enc;

// Memory at kData: 80 01 ff 7f | 12 34 56 78
const std::vector<uint32_t> kBytes = {0x8001ff7f, 0x12345678};

struct LoadCase {
  const char* name;
  uint32_t insn;  // loads into v0 from a0 = kData (or a1 = kData + 8)
  uint32_t v0;
};

class CpuLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(CpuLoad, ReadsBigEndianAndExtends) {
  const LoadCase& c = GetParam();
  Harness h;
  h.put(kData, kBytes);
  h.load({c.insn, nop(), syscall()});
  h.reg(a0) = kData;
  h.reg(a1) = kData + 8;
  h.reg(v0) = 0xaabbccdd;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), c.v0) << std::hex << "got 0x" << h.reg(v0);
}

const LoadCase kLoadCases[] = {
    {"lb_negative", lb(v0, 0, a0), 0xffffff80},
    {"lb_positive", lb(v0, 3, a0), 0x7f},
    {"lbu", lbu(v0, 0, a0), 0x80},
    {"lbu_ff", lbu(v0, 2, a0), 0xff},
    {"lh_negative", lh(v0, 0, a0), 0xffff8001},
    {"lh_ff7f", lh(v0, 2, a0), 0xffffff7f},
    {"lhu", lhu(v0, 0, a0), 0x8001},
    {"lw", lw(v0, 0, a0), 0x8001ff7f},
    {"lw_second", lw(v0, 4, a0), 0x12345678},
    {"lw_negative_offset", lw(v0, -4, a1), 0x12345678},
    {"lb_negative_offset", lb(v0, -8, a1), 0xffffff80},
    // Unaligned loads; register starts as aabbccdd, word is 8001ff7f.
    {"lwl_0", lwl(v0, 0, a0), 0x8001ff7f},
    {"lwl_1", lwl(v0, 1, a0), 0x01ff7fdd},
    {"lwl_2", lwl(v0, 2, a0), 0xff7fccdd},
    {"lwl_3", lwl(v0, 3, a0), 0x7fbbccdd},
    {"lwr_0", lwr(v0, 0, a0), 0xaabbcc80},
    {"lwr_1", lwr(v0, 1, a0), 0xaabb8001},
    {"lwr_2", lwr(v0, 2, a0), 0xaa8001ff},
    {"lwr_3", lwr(v0, 3, a0), 0x8001ff7f},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuLoad, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct StoreCase {
  const char* name;
  uint32_t insn;          // stores v0 = 11223344 relative to a0 = kData
  uint32_t word0, word1;  // memory afterwards; before: aabbccdd 01020304
};

class CpuStore : public ::testing::TestWithParam<StoreCase> {};

TEST_P(CpuStore, WritesOnlyItsBytes) {
  const StoreCase& c = GetParam();
  Harness h;
  h.put(kData, {0xaabbccdd, 0x01020304});
  h.load({c.insn, syscall()});
  h.reg(a0) = kData;
  h.reg(v0) = 0x11223344;
  h.run_to_syscall();
  EXPECT_EQ(h.word(kData), c.word0) << std::hex << "got 0x" << h.word(kData);
  EXPECT_EQ(h.word(kData + 4), c.word1) << std::hex << "got 0x" << h.word(kData + 4);
}

const StoreCase kStoreCases[] = {
    {"sb_0", sb(v0, 0, a0), 0x44bbccdd, 0x01020304},   {"sb_3", sb(v0, 3, a0), 0xaabbcc44, 0x01020304},
    {"sh_0", sh(v0, 0, a0), 0x3344ccdd, 0x01020304},   {"sh_2", sh(v0, 2, a0), 0xaabb3344, 0x01020304},
    {"sw", sw(v0, 4, a0), 0xaabbccdd, 0x11223344},     {"swl_0", swl(v0, 0, a0), 0x11223344, 0x01020304},
    {"swl_1", swl(v0, 1, a0), 0xaa112233, 0x01020304}, {"swl_2", swl(v0, 2, a0), 0xaabb1122, 0x01020304},
    {"swl_3", swl(v0, 3, a0), 0xaabbcc11, 0x01020304}, {"swr_0", swr(v0, 0, a0), 0x44bbccdd, 0x01020304},
    {"swr_1", swr(v0, 1, a0), 0x3344ccdd, 0x01020304}, {"swr_2", swr(v0, 2, a0), 0x223344dd, 0x01020304},
    {"swr_3", swr(v0, 3, a0), 0x11223344, 0x01020304}, {"swr_next_word", swr(v0, 4, a0), 0xaabbccdd, 0x44020304},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuStore, ::testing::ValuesIn(kStoreCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuUnaligned, LwlLwrAndSwlSwrPairsMoveAnyWord) {
  for (uint32_t k = 0; k < 4; ++k) {
    Harness h;
    h.put(kData, {0x00112233, 0x44556677, 0x8899aabb});
    h.load({lwl(t0, 0, a0), lwr(t0, 3, a0), nop(), swl(t0, 0, a1), swr(t0, 3, a1), syscall()});
    h.reg(a0) = kData + k;
    h.reg(a1) = kData + 0x100 + (3 - k);
    h.run_to_syscall();
    uint8_t want[4], got[4];
    ASSERT_TRUE(h.space.peek(kData + k, want, 4));
    ASSERT_TRUE(h.space.peek(kData + 0x100 + (3 - k), got, 4));
    EXPECT_EQ(h.reg(t0), be32(want)) << k;
    EXPECT_EQ(std::vector<uint8_t>(got, got + 4), std::vector<uint8_t>(want, want + 4)) << k;
    // Bytes around the stored word are untouched.
    EXPECT_EQ(h.word(kData + 0xfc), 0u);
    EXPECT_EQ(h.word(kData + 0x108), 0u);
  }
}

struct AddressFaultCase {
  const char* name;
  uint32_t insn;  // uses a0 as base
  uint32_t a0;
  FaultKind kind;
  uint32_t addr;
};

class CpuAddressFault : public ::testing::TestWithParam<AddressFaultCase> {};

TEST_P(CpuAddressFault, StopsAtTheAccessWithoutEffect) {
  const AddressFaultCase& c = GetParam();
  Harness h;
  h.load({addiu(t0, zero, 1), c.insn, addiu(t1, zero, 1), syscall()});
  h.reg(a0) = c.a0;
  h.reg(v0) = 0x5a5a5a5a;
  Fault f = h.run_to_fault(c.kind);
  EXPECT_EQ(f.pc, kCode + 4);
  EXPECT_EQ(f.addr, c.addr) << std::hex << f.addr;
  EXPECT_EQ(f.insn, c.insn);
  EXPECT_FALSE(f.in_delay_slot);
  EXPECT_EQ(h.cpu.state().pc, kCode + 4);
  EXPECT_EQ(h.reg(v0), 0x5a5a5a5au);  // a faulting load does not write
  EXPECT_EQ(h.reg(t0), 1u);
  EXPECT_EQ(h.reg(t1), 0u);
  EXPECT_EQ(h.word(kCode), addiu(t0, zero, 1));  // a faulting store does not write
  EXPECT_EQ(fault_signal(c.kind), c.kind == FaultKind::AddressError ? 10 : 11);
}

constexpr auto AE = FaultKind::AddressError;
constexpr auto BA = FaultKind::BadAddress;
const AddressFaultCase kAddressFaultCases[] = {
    {"lw_unaligned", lw(v0, 2, a0), kData, AE, kData + 2},
    {"lw_unaligned_by_base", lw(v0, 0, a0), kData + 1, AE, kData + 1},
    {"lh_odd", lh(v0, 1, a0), kData, AE, kData + 1},
    {"lhu_odd", lhu(v0, 3, a0), kData, AE, kData + 3},
    {"sw_unaligned", sw(v0, 0, a0), kData + 2, AE, kData + 2},
    {"sh_odd", sh(v0, 0, a0), kData + 1, AE, kData + 1},
    {"lw_kernel", lw(v0, 0, a0), 0x80000000, AE, 0x80000000},
    {"lb_kernel_by_wrap", lb(v0, -1, a0), 0, AE, 0xffffffff},
    {"sb_kernel", sb(v0, 0, a0), 0xbfc00000, AE, 0xbfc00000},
    {"lwl_kernel", lwl(v0, 1, a0), 0x80000000, AE, 0x80000001},
    {"swr_kernel", swr(v0, 0, a0), 0xfffffffe, AE, 0xfffffffe},
    {"lw_null", lw(v0, 0, a0), 0, BA, 0},
    {"lbu_unmapped", lbu(v0, 0, a0), kData + kDataSize, BA, kData + kDataSize},
    {"lwr_unmapped", lwr(v0, 2, a0), 0x20000000, BA, 0x20000002},
    {"sw_read_only", sw(v0, 0, a0), kCode, BA, kCode},
    {"sb_read_only", sb(v0, 3, a0), kCode, BA, kCode + 3},
    {"swl_read_only", swl(v0, 1, a0), kCode, BA, kCode + 1},
    {"sh_unmapped", sh(v0, 0, a0), 0x7ffffffe, BA, 0x7ffffffe},
};
INSTANTIATE_TEST_SUITE_P(Cpu, CpuAddressFault, ::testing::ValuesIn(kAddressFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuAddressFault, ReportNamesAddressPcAndInstruction) {
  Harness h;
  h.load({nop(), nop(), lw(a0, 0, zero)});
  Fault f = h.run_to_fault(FaultKind::BadAddress);
  EXPECT_EQ(f.describe(), "bad address 0x00000000 at pc 0x00400008: lw a0,0(zero)");
  h.load({beq(zero, zero, 4), sw(ra, 3, sp)});
  h.reg(sp) = kData;
  f = h.run_to_fault(FaultKind::AddressError);
  EXPECT_TRUE(f.in_delay_slot);
  EXPECT_EQ(f.describe(), "address error 0x10000003 at pc 0x00400004: sw ra,3(sp) (in a branch delay slot)");
}

TEST(CpuGrowRegion, FirstTouchMapsZeroPagesWithinTheLimit) {
  Harness h;
  h.space.set_grow_region(0x7ff00000, 0x80000000);
  uint32_t before = h.space.mapped_pages();
  h.load({lw(v0, 0, a0), sw(a1, 0, a1), lw(v1, 0, a1), syscall()});
  h.reg(a0) = 0x7ffffffc;
  h.reg(a1) = 0x7ff00000;
  h.run_to_syscall();
  EXPECT_EQ(h.reg(v0), 0u);
  EXPECT_EQ(h.reg(v1), 0x7ff00000u);
  EXPECT_EQ(h.space.mapped_pages(), before + 2);

  // Just below the region nothing grows.
  h.load({sw(a1, -4, a1)});
  h.run_to_fault(FaultKind::BadAddress);

  // Out of pages: the access faults instead of mapping.
  Harness small(2 * kCodeSize / kPageSize + 1);  // room for one grown page
  small.space.set_grow_region(0x7ff00000, 0x80000000);
  small.load({sw(a1, 0, a0), sw(a1, 0, a1), syscall()});
  small.reg(a0) = 0x7ffff000;
  small.reg(a1) = 0x7fff0000;
  Fault f = small.run_to_fault(FaultKind::BadAddress);
  EXPECT_EQ(f.pc, kCode + 4);
  EXPECT_EQ(small.space.mapped_pages(), small.space.max_pages());
}

}  // namespace
}  // namespace r3k::test
