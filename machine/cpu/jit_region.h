// Region planning for the code generator, independent of the host: which
// blocks a hot block's code covers, which guest registers each op uses,
// which ways out a region needs and which branches it compares late.
#pragma once

#include <cstdint>
#include <vector>

namespace r3k {

struct Block;
struct CodePage;
struct Op;

namespace jit {

// A region holds at most this many blocks and ops.
inline constexpr uint32_t kRegionBlocks = 8;
inline constexpr uint32_t kRegionOps = 128;

// The head, then the blocks on its page it moves on to, already decoded
// and chainable, within the region's limits.
std::vector<Block*> region_of(Block& head, CodePage& page);

// The guest registers an op reads and writes ($zero and the sink left out).
struct OpRegs {
  uint64_t reads = 0, writes = 0;
};
OpRegs regs_of(const Op& o);

// Whether b's jr/jalr finds its target in the space's JumpCache: its exit
// leaves no hazard and no guard, so it may move on to any block there.
bool through_cache(const Block& b);

// Ways out of the region: one per jr/jalr not through the JumpCache, one
// per static successor that is not a member it moves on to.
uint32_t links_needed(const std::vector<Block*>& region);

// Whether b's conditional branch k is compared at the block's end instead:
// two successors, and a delay slot that leaves its registers alone and
// cannot stop the block on its own.
bool defers(const Block& b, uint32_t k);

}  // namespace jit
}  // namespace r3k
