// Seeded random MIPS-I sequences, each run on r3krun and on the reference
// CPU in lockstep (see sequence.h for what is generated and sequence_run.h
// for how it is checked).
//
// CI runs a fixed set.  A longer or different run:
//   R3K_DIFF_SEQUENCES=200000 R3K_DIFF_SEED=7 build/tests/diff_tests --gtest_filter='RandomSequences.*'
// Sequence k uses seed R3K_DIFF_SEED + k, and a failure prints its seed, so
//   R3K_DIFF_SEED=<seed> R3K_DIFF_SEQUENCES=1 ...
// replays just that one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "diff/sequence_run.h"
#include "r3k/cpu.h"
#include "support/random.h"

namespace r3k::diff {
namespace {

using test::env_number;

std::string mnemonic(uint32_t w) {
  std::string d = disassemble(w, kSeqCode);
  return d.substr(0, d.find(' '));
}

TEST(RandomSequences, AgreeWithTheReferenceAtEveryInstruction) {
  const uint64_t count = env_number("R3K_DIFF_SEQUENCES", 3000);
  const uint64_t first = env_number("R3K_DIFF_SEED", 1);
  Reference ref;
  std::map<std::string, uint64_t> seen;  // mnemonics generated
  std::map<FaultKind, uint64_t> faults;
  uint64_t units = 0, insns = 0, taken = 0, not_taken = 0, syscalls = 0, failures = 0;
  for (uint64_t k = 0; k < count; ++k) {
    Sequence s = generate(first + k);
    for (uint32_t w : s.code) ++seen[mnemonic(w)];
    SequenceCheck c = check_sequence(ref, s);
    units += c.lockstep.units;
    insns += c.lockstep.insns;
    taken += c.lockstep.taken;
    not_taken += c.lockstep.not_taken;
    syscalls += c.lockstep.syscalls;
    for (const Fault& f : c.lockstep.faults) ++faults[f.kind];
    if (!c.ok()) {
      ADD_FAILURE() << c.report(s);
      if (++failures >= 3) break;
    }
  }
  std::printf("%llu sequences, %llu units, %llu instructions, branches %llu taken / %llu not, %llu syscalls\n",
              (unsigned long long)count, (unsigned long long)units, (unsigned long long)insns,
              (unsigned long long)taken, (unsigned long long)not_taken, (unsigned long long)syscalls);

  // The run must have exercised what it claims to, or its passing says little.
  if (count < 500) return;
  static const char* const kAll[] = {
      "sll",  "srl",  "sra",  "sllv",  "srlv", "srav",  "jr",     "jalr",   "syscall", "break", "mfhi", "mthi",
      "mflo", "mtlo", "mult", "multu", "div",  "divu",  "add",    "addu",   "sub",     "subu",  "and",  "or",
      "xor",  "nor",  "slt",  "sltu",  "bltz", "bgez",  "bltzal", "bgezal", "j",       "jal",   "beq",  "bne",
      "blez", "bgtz", "addi", "addiu", "slti", "sltiu", "andi",   "ori",    "xori",    "lui",   "lb",   "lh",
      "lwl",  "lw",   "lbu",  "lhu",   "lwr",  "sb",    "sh",     "swl",    "sw",      "swr"};
  for (const char* m : kAll) EXPECT_GE(seen[m], 20u) << m << " was hardly generated";
  EXPECT_GT(taken, count);
  EXPECT_GT(not_taken, count);
  EXPECT_GT(syscalls, count / 10);
  for (FaultKind k : {FaultKind::Overflow, FaultKind::AddressError, FaultKind::BadAddress, FaultKind::Break})
    EXPECT_GT(faults[k], count / 100) << fault_name(k) << " faults were hardly met";
}

}  // namespace
}  // namespace r3k::diff
