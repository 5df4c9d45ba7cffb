// The lockstep checker itself: with different code on the two sides, every
// kind of difference must be reported, naming what differs; with the same
// code, none.  Without this, a comparison that silently looked at nothing
// would pass every differential test.
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
  std::vector<uint32_t> mine, theirs;  // r3krun's code, the reference's
  const char* expect;                  // in the report; empty: no difference
};

Sequence with_code(const std::vector<uint32_t>& words) {
  Sequence s = sequence_of({}, {{a0, 0x7fffffff}, {a1, 5}, {s0, kSeqData + 0x800}, {t0, 0x20000000}});
  s.code.insert(s.code.begin(), words.begin(), words.end());
  return s;
}

const Case kCases[] = {
    {"SameCode", {addiu(v0, zero, 1), sb(a1, 0, s0), mthi(a0)}, {addiu(v0, zero, 1), sb(a1, 0, s0), mthi(a0)}, ""},
    {"Register", {addiu(v0, zero, 1)}, {addiu(v0, zero, 2)}, "v0: r3krun 0x00000001, reference 0x00000002"},
    {"Hi", {mthi(a0)}, {mthi(a1)}, "hi: r3krun 0x7fffffff, reference 0x00000005"},
    {"Lo", {mtlo(a1)}, {mtlo(a0)}, "lo: r3krun 0x00000005, reference 0x7fffffff"},
    {"StoredByte", {sb(a1, 0, s0)}, {sb(a1, 1, s0)}, "byte 0x1000080"},
    {"BranchDirection",
     {beq(zero, zero, 2), nop(), nop(), nop()},
     {bne(zero, zero, 2), nop(), nop(), nop()},
     "pc: r3krun 0x0040000c, reference 0x00400008"},
    {"LinkRegister",
     {jal(kSeqCode + 8), nop()},
     {j(kSeqCode + 8), nop()},
     "ra: r3krun 0x00400008, reference 0x00000000"},
    {"FaultOnR3krunOnly", {add(v0, a0, a0)}, {addu(v0, a0, a0)}, "r3krun stopped at fault: integer overflow"},
    {"FaultOnReferenceOnly", {addu(v0, a0, a0)}, {add(v0, a0, a0)}, "the reference stopped with exception 21"},
    {"DifferentFaults", {add(v0, a0, a0)}, {lw(v0, 0, t0)}, "the reference: Invalid memory read"},
    {"SyscallOnR3krunOnly", {syscall()}, {nop()}, "r3krun stopped at a syscall"},
    {"SyscallOnReferenceOnly", {nop()}, {syscall()}, "the reference trapped on a syscall"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Checker : public ::testing::TestWithParam<Case> {};

TEST_P(Checker, ReportsWhatDiffers) {
  const Case& c = GetParam();
  Reference ref;
  for (bool track_writes : {false, true}) {
    LockstepOutcome o = lockstep_pair(ref, with_code(c.mine), with_code(c.theirs), track_writes);
    if (*c.expect == '\0') {
      EXPECT_TRUE(o.agreed) << o.disagreement;
      EXPECT_TRUE(o.reached_stop);
    } else {
      EXPECT_FALSE(o.agreed);
      EXPECT_NE(o.disagreement.find(c.expect), std::string::npos)
          << (track_writes ? "stores tracked: " : "data area watched: ") << o.disagreement;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Differences, Checker, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace r3k::diff
