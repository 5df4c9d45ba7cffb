// Every disagreement the differential runs have met, kept as the exact
// instruction words that showed it, and edges the random runs seldom reach;
// each through the full sequence check (lockstep with the reference, then
// r3krun on its own), naming the faults the run must meet, so that a case
// cannot pass by running nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff/sequence_run.h"
#include "support/mips_encode.h"

namespace r3k::diff {
namespace {

using namespace enc;

struct Case {
  const char* name;
  std::vector<uint32_t> words;
  std::vector<FaultKind> faults;  // in order
  uint32_t start = kSeqCode;
};

// The unicorn quirks below are each handled in lockstep.cpp; these cases
// show the handling still matches r3krun's (and the R3000's) behaviour.
const Case kCases[] = {
    // The reference reports a swl/swr that cannot store one code hook late.
    {"SwlToUnmappedMemory", {lui(a1, 0x2000), swl(s4, 94, a1), addiu(t0, t0, 1)}, {FaultKind::BadAddress}},
    {"SwrToUnmappedMemoryInADelaySlot",
     {lui(a1, 0x2000), beq(zero, zero, 1), swr(s4, 3, a1), addiu(t0, t0, 1)},
     {FaultKind::BadAddress}},
    {"SwlToReadOnlyMemory",
     {lui(a1, kSeqRodata >> 16), ori(a1, a1, kSeqRodata & 0xffff), swl(s4, 5, a1), addiu(t0, t0, 1)},
     {FaultKind::BadAddress}},
    {"SwrAboveUserSpace", {lui(a1, 0x8000), swr(s4, 2, a1), addiu(t0, t0, 1)}, {FaultKind::AddressError}},
    // An unaligned access to unmapped memory: alignment is checked first.
    {"UnalignedHalfwordFromUnmappedMemory",
     {lui(t2, 0x2000), lh(t3, 229, t2), addiu(t0, t0, 1)},
     {FaultKind::AddressError}},
    {"UnalignedWordToUnmappedMemory", {lui(t2, 0x2000), sw(t3, 2, t2), addiu(t0, t0, 1)}, {FaultKind::AddressError}},
    // A branch in the last word of the code, its delay slot on an unmapped page.
    {"DelaySlotOnAnUnmappedPage",
     {addiu(t0, t0, 1), bne(zero, zero, 4)},
     {FaultKind::BadAddress},
     kSeqCode + kSeqCodeSize - 8},
    // A loop whose delay slot is the first word of the next page stores a
    // new instruction over it: the new one runs from that pass on.
    {"LoopStoresOverItsDelaySlotOnTheNextPage",
     {lui(a1, kSeqCode >> 16), ori(a1, a1, 0x1000), lui(a2, addiu(t0, t0, 5) >> 16),
      ori(a2, a2, addiu(t0, t0, 5) & 0xffff), addiu(t1, zero, 3), addiu(t1, t1, -1), sw(a2, 0, a1),
      bne(t1, zero, -3),  // the branch in the page's last word
      addiu(t0, t0, 1)},
     {},
     kSeqCode + 0x1000 - 4 * 8},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Regression : public ::testing::TestWithParam<Case> {};

TEST_P(Regression, AgreesWithTheReference) {
  const Case& c = GetParam();
  Reference ref;
  Sequence s = sequence_of({}, {{s0, kSeqData + 0x800}, {s4, 0x11223344}});
  s.code.insert(s.code.begin(), c.words.begin(), c.words.end());
  s.start = c.start;
  SequenceCheck check = check_sequence(ref, s);
  EXPECT_TRUE(check.ok()) << check.report(s);
  std::vector<FaultKind> got;
  for (const Fault& f : check.lockstep.faults) got.push_back(f.kind);
  EXPECT_EQ(got, c.faults);
}

INSTANTIATE_TEST_SUITE_P(Found, Regression, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace r3k::diff
