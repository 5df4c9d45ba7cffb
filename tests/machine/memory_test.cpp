// AddressSpace: mapping rules, byte order, protection, kernel copies,
// the grow region and fork copies.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "r3k/memory.h"

namespace r3k {
namespace {

constexpr uint8_t RW = kProtRead | kProtWrite;
constexpr uint8_t RX = kProtRead | kProtExec;

TEST(MemoryMap, RoundsOutToPagesAndZeroFills) {
  AddressSpace s(16);
  ASSERT_TRUE(s.map(0x1ffe, 4, RW));  // straddles two pages
  EXPECT_EQ(s.mapped_pages(), 2u);
  EXPECT_EQ(s.prot(0x1000), RW);
  EXPECT_EQ(s.prot(0x2fff), RW);
  EXPECT_EQ(s.prot(0x0fff), kProtNone);
  EXPECT_EQ(s.prot(0x3000), kProtNone);
  std::vector<uint8_t> bytes(0x2000, 0xee);
  ASSERT_TRUE(s.peek(0x1000, bytes.data(), 0x2000));
  EXPECT_EQ(bytes, std::vector<uint8_t>(0x2000, 0));
}

TEST(MemoryMap, RemapKeepsContentsAndChangesProtection) {
  AddressSpace s(16);
  ASSERT_TRUE(s.map(0x4000, 0x1000, RW));
  ASSERT_EQ(s.store32(0x4010, 0xcafef00d), MemError::None);
  ASSERT_TRUE(s.map(0x4000, 0x2000, kProtRead));
  EXPECT_EQ(s.mapped_pages(), 2u);
  uint32_t v = 0;
  EXPECT_EQ(s.load32(0x4010, v), MemError::None);
  EXPECT_EQ(v, 0xcafef00du);
  EXPECT_EQ(s.store32(0x4010, 1), MemError::ReadOnly);
}

TEST(MemoryMap, RefusesWithoutChangingAnything) {
  struct Case {
    const char* name;
    uint32_t addr, len;
  } cases[] = {
      {"leaves_user_space", 0x7ffff000, 0x2000},
      {"kernel_space", 0x80000000, 0x1000},
      {"wraps", 0xfffff000, 0x2000},
      {"over_the_limit", 0x00400000, 7 * kPageSize},  // 2 mapped + 5 new > 6
  };
  for (const Case& c : cases) {
    AddressSpace s(6);
    ASSERT_TRUE(s.map(0x00400000, 2 * kPageSize, RX));
    EXPECT_FALSE(s.map(c.addr, c.len, RW)) << c.name;
    EXPECT_EQ(s.mapped_pages(), 2u) << c.name;
    EXPECT_EQ(s.prot(0x00400000), RX) << c.name;
    EXPECT_EQ(s.prot(0x00402000), kProtNone) << c.name;
    EXPECT_EQ(s.prot(0x7ffff000), kProtNone) << c.name;
  }
  AddressSpace s(6);
  EXPECT_TRUE(s.map(0x00400000, 6 * kPageSize, RW));  // exactly the limit
  EXPECT_EQ(s.max_pages(), 6u);
}

TEST(MemoryAccess, BigEndianWordsHalvesAndBytes) {
  AddressSpace s(4);
  ASSERT_TRUE(s.map(0x1000, 0x1000, RW));
  ASSERT_EQ(s.store32(0x1000, 0x11223344), MemError::None);
  ASSERT_EQ(s.store16(0x1006, 0xa1b2), MemError::None);
  ASSERT_EQ(s.store8(0x1009, 0x1ff), MemError::None);  // only the low byte
  uint8_t raw[10];
  ASSERT_TRUE(s.peek(0x1000, raw, sizeof raw));
  EXPECT_EQ(std::vector<uint8_t>(raw, raw + 10),
            (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0xa1, 0xb2, 0, 0xff}));
  uint32_t v;
  ASSERT_EQ(s.load16(0x1002, v), MemError::None);
  EXPECT_EQ(v, 0x3344u);
  ASSERT_EQ(s.load8(0x1001, v), MemError::None);
  EXPECT_EQ(v, 0x22u);
  ASSERT_EQ(s.load32(0x1004, v), MemError::None);
  EXPECT_EQ(v, 0x0000a1b2u);
}

TEST(MemoryCopy, KernelCopiesAreAllOrNothing) {
  AddressSpace s(8);
  ASSERT_TRUE(s.map(0x1000, 0x2000, RW));
  ASSERT_TRUE(s.map(0x3000, 0x1000, kProtRead));
  std::vector<uint8_t> data(0x100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + 1);

  // Across a page boundary, both ways.
  ASSERT_TRUE(s.copy_out(0x1f80, data.data(), 0x100));
  std::vector<uint8_t> back(0x100);
  ASSERT_TRUE(s.copy_in(0x1f80, back.data(), 0x100));
  EXPECT_EQ(back, data);

  struct Case {
    const char* name;
    uint32_t addr, len;
    bool in_ok, out_ok;
  } cases[] = {
      {"into_read_only", 0x2f80, 0x100, true, false},
      {"into_unmapped", 0x3f80, 0x100, false, false},
      {"before_mapped", 0x0f80, 0x100, false, false},
      {"kernel_space", 0x80000000, 4, false, false},
      {"wrapping", 0xffffff80, 0x100, false, false},
      {"empty", 0x1000, 0, true, true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> before(0x3000), after(0x3000);
    ASSERT_TRUE(s.peek(0x1000, before.data(), 0x3000));
    EXPECT_EQ(s.copy_out(c.addr, data.data(), c.len), c.out_ok) << c.name;
    ASSERT_TRUE(s.peek(0x1000, after.data(), 0x3000));
    if (!c.out_ok) {
      EXPECT_EQ(after, before) << c.name << ": partial copy_out";
    }
    std::vector<uint8_t> dst(0x100, 0xee);
    EXPECT_EQ(s.copy_in(c.addr, dst.data(), c.len), c.in_ok) << c.name;
    if (!c.in_ok) {
      EXPECT_EQ(dst, std::vector<uint8_t>(0x100, 0xee)) << c.name << ": partial copy_in";
    }
  }
}

TEST(MemoryCopy, PeekAndPokeIgnoreProtectionButNotMapping) {
  AddressSpace s(4);
  ASSERT_TRUE(s.map(0x1000, 0x1000, RX));
  ASSERT_TRUE(s.map(0x2000, 0x1000, kProtNone));
  uint8_t word[4] = {1, 2, 3, 4}, got[4] = {};
  EXPECT_TRUE(s.poke(0x1ffe, word, 2));
  EXPECT_TRUE(s.poke(0x2000, word, 4));
  EXPECT_TRUE(s.peek(0x2000, got, 4));
  EXPECT_EQ(std::memcmp(got, word, 4), 0);
  EXPECT_FALSE(s.poke(0x2ffe, word, 4));
  EXPECT_FALSE(s.peek(0x0ffe, got, 4));
  EXPECT_FALSE(s.copy_out(0x1000, word, 4));  // kernel copies still honour it
}

TEST(MemoryGrow, KernelCopiesDoNotGrowTheRegion) {
  // Only guest accesses map grow-region pages (see CpuGrowRegion); the
  // kernel must touch the stack itself before copying to untouched parts.
  AddressSpace s(8);
  s.set_grow_region(0x7ffe0000, 0x80000000);
  uint8_t b = 0;
  EXPECT_FALSE(s.copy_out(0x7ffff000, &b, 1));
  EXPECT_FALSE(s.copy_in(0x7ffff000, &b, 1));
  EXPECT_EQ(s.mapped_pages(), 0u);
  uint32_t v = 1;
  EXPECT_EQ(s.load32(0x7ffffffc, v), MemError::None);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(s.prot(0x7ffff000), RW);
  EXPECT_TRUE(s.copy_out(0x7ffff000, &b, 1));
}

TEST(MemoryClone, CopiesArePrivateUnlessShared) {
  auto owner = std::make_unique<AddressSpace>(8);
  AddressSpace& s = *owner;
  ASSERT_TRUE(s.map(0x1000, 0x1000, RX));
  ASSERT_TRUE(s.map(0x10000000, 0x3000, RW));
  s.set_grow_region(0x7fff0000, 0x80000000);
  ASSERT_EQ(s.store32(0x10000000, 1), MemError::None);
  ASSERT_EQ(s.store32(0x10001000, 2), MemError::None);
  ASSERT_EQ(s.store32(0x10002000, 3), MemError::None);

  auto c = s.clone(0x10001000, 0x10002000);  // the middle page is shared
  ASSERT_TRUE(c);
  EXPECT_EQ(c->mapped_pages(), 4u);
  EXPECT_EQ(c->max_pages(), 8u);
  EXPECT_EQ(c->prot(0x1000), RX);
  uint32_t v;
  ASSERT_EQ(c->load32(0x10000000, v), MemError::None);
  EXPECT_EQ(v, 1u);

  ASSERT_EQ(c->store32(0x10000000, 10), MemError::None);
  ASSERT_EQ(c->store32(0x10001000, 20), MemError::None);
  ASSERT_EQ(s.store32(0x10002000, 30), MemError::None);
  ASSERT_EQ(s.load32(0x10000000, v), MemError::None);
  EXPECT_EQ(v, 1u) << "private page leaked from the copy";
  ASSERT_EQ(s.load32(0x10001000, v), MemError::None);
  EXPECT_EQ(v, 20u) << "shared page not shared";
  ASSERT_EQ(c->load32(0x10002000, v), MemError::None);
  EXPECT_EQ(v, 3u) << "private page leaked into the copy";

  // The grow region comes along; the shared page outlives the original.
  EXPECT_EQ(c->store32(0x7ffffff0, 5), MemError::None);
  owner.reset();
  ASSERT_EQ(c->load32(0x10001000, v), MemError::None);
  EXPECT_EQ(v, 20u);
}

}  // namespace
}  // namespace r3k
