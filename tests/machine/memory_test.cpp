// AddressSpace: mapping rules, byte order, protection, kernel copies,
// the grow region and fork copies.
#include "r3k/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

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
      {"into_read_only", 0x2f80, 0x100, true, false}, {"into_unmapped", 0x3f80, 0x100, false, false},
      {"before_mapped", 0x0f80, 0x100, false, false}, {"kernel_space", 0x80000000, 4, false, false},
      {"wrapping", 0xffffff80, 0x100, false, false},  {"empty", 0x1000, 0, true, true},
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

TEST(MemoryGrow, KernelReadsNeverMapAndWritesMapAsTheGuestWould) {
  // Untouched stack pages read as zeros without being mapped (a check or a
  // trace of a write must not spend the limit); a kernel store maps the
  // page it lands on, like the guest's own store.
  AddressSpace s(8);
  s.set_grow_region(0x7ffe0000, 0x80000000);
  uint8_t b = 0xee;
  EXPECT_TRUE(s.readable(0x7ffe0000, 0x20000));
  EXPECT_TRUE(s.writable(0x7ffff000, 8));
  EXPECT_FALSE(s.readable(0x7ffdfffc, 8)) << "starts below the region";
  EXPECT_TRUE(s.copy_in(0x7ffff000, &b, 1));
  EXPECT_EQ(b, 0u);
  ASSERT_NE(s.read_view(0x7fffe010), nullptr);
  EXPECT_EQ(*s.read_view(0x7fffe010), 0u);
  EXPECT_EQ(s.read_view(0x7ffdf000), nullptr);
  EXPECT_EQ(s.mapped_pages(), 0u);
  uint32_t v = 1;
  EXPECT_EQ(s.load32(0x7ffffffc, v), MemError::None);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(s.prot(0x7ffff000), RW);
  b = 7;
  EXPECT_TRUE(s.copy_out(0x7fffdfff, &b, 1));
  EXPECT_EQ(s.mapped_pages(), 2u);
  EXPECT_EQ(s.load8(0x7fffdfff, v), MemError::None);
  EXPECT_EQ(v, 7u);
}

// Host pages behind a space: the zero page until written, shared until a
// side writes after a fork, never past the cap.
TEST(MemoryHost, PagesTakeHostMemoryOnlyWhenWritten) {
  auto host = std::make_shared<HostMemory>();
  AddressSpace s(1u << 16, host);
  ASSERT_TRUE(s.map(0x10000000, 60u << 20, RW));  // 60 MiB of bss
  EXPECT_EQ(s.mapped_pages(), 15360u);
  const uint64_t tables = host->used();
  uint32_t v = 1;
  EXPECT_EQ(s.load32(0x12000000, v), MemError::None);
  EXPECT_EQ(v, 0u);
  const uint8_t zeros[64] = {}, ones[4] = {1, 1, 1, 1};
  EXPECT_TRUE(s.poke(0x10000100, zeros, sizeof zeros)) << "zeros onto a zero page need no page";
  EXPECT_EQ(host->pages(), 0u);
  EXPECT_EQ(s.resident_pages(), 0u);
  ASSERT_EQ(s.store8(0x10000000, 1), MemError::None);
  ASSERT_TRUE(s.poke(0x10002000, ones, 4));
  ASSERT_EQ(s.store8(0x10000001, 2), MemError::None);
  EXPECT_EQ(host->pages(), 2u);
  EXPECT_EQ(host->used(), tables + 2 * kPageSize);

  // A fork copies page tables, not pages; each side's first store to a
  // shared page takes one page, later ones none.
  auto child = s.clone();
  ASSERT_TRUE(child);
  EXPECT_EQ(host->pages(), 2u);
  EXPECT_EQ(child->resident_pages(), 2u);
  ASSERT_EQ(child->store8(0x10000000, 9), MemError::None);
  ASSERT_EQ(child->store8(0x10000003, 9), MemError::None);
  EXPECT_EQ(host->pages(), 3u);
  ASSERT_EQ(s.store8(0x10000000, 5), MemError::None);
  EXPECT_EQ(host->pages(), 3u) << "the child's copy left the parent's page to the parent alone";
  ASSERT_EQ(s.load8(0x10000003, v), MemError::None);
  EXPECT_EQ(v, 0u) << "the child's store reached the parent";
  ASSERT_EQ(child->load8(0x10000000, v), MemError::None);
  EXPECT_EQ(v, 9u);
  ASSERT_EQ(child->load8(0x10000001, v), MemError::None);
  EXPECT_EQ(v, 2u);
  child.reset();
  EXPECT_EQ(host->pages(), 2u) << "pages go back with the space";
}

TEST(MemoryHost, TheCapFailsForksAndStoresNotTheHost) {
  // Enough for the page tables of one space and two pages.
  const auto build = [](std::shared_ptr<HostMemory> host) {
    auto s = std::make_unique<AddressSpace>(64, std::move(host));
    EXPECT_TRUE(s->map(0x10000000, 4 * kPageSize, RW));
    s->set_grow_region(0x7fff0000, 0x80000000);
    return s;
  };
  const uint64_t tables = build(std::make_shared<HostMemory>())->host().used();
  auto host = std::make_shared<HostMemory>(tables + 2 * kPageSize);
  auto s = build(host);
  EXPECT_EQ(s->store32(0x10000000, 1), MemError::None);
  EXPECT_EQ(s->store32(0x10001000, 2), MemError::None);
  EXPECT_EQ(s->store32(0x10002000, 3), MemError::NoMemory);
  uint8_t b = 1;
  EXPECT_FALSE(s->poke(0x10003000, &b, 1));
  uint32_t v = 0;
  EXPECT_EQ(s->load32(0x7ffffff0, v), MemError::NoMemory) << "the stack cannot get a page table";
  EXPECT_FALSE(s->clone()) << "no room for the copy's page tables";
  EXPECT_EQ(host->used(), host->limit());
  EXPECT_EQ(s->load32(0x10001000, v), MemError::None);
  EXPECT_EQ(v, 2u) << "a refused fork leaves the parent as it was";
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
