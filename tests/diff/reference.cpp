#include "diff/reference.h"

#include <vector>

namespace r3k::diff {

void uc_check(uc_err e, const char* what) {
  if (e != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(e));
}

Reference::Reference() {
  uc_check(uc_open(UC_ARCH_MIPS, uc_mode(UC_MODE_MIPS32 | UC_MODE_BIG_ENDIAN), &uc_), "uc_open");
  uc_check(uc_context_alloc(uc_, &fresh_), "uc_context_alloc");
  uc_check(uc_context_save(uc_, fresh_), "uc_context_save");
}

Reference::~Reference() {
  if (fresh_) uc_context_free(fresh_);
  if (uc_) uc_close(uc_);
}

void Reference::map(uint32_t addr, uint32_t len, uint32_t perms) {
  uc_check(uc_mem_map(uc_, addr, len, perms), "uc_mem_map");
}

void Reference::unmap_all() {
  uc_mem_region* regions = nullptr;
  uint32_t count = 0;
  uc_check(uc_mem_regions(uc_, &regions, &count), "uc_mem_regions");
  std::vector<uc_mem_region> copy(regions, regions + count);
  uc_free(regions);
  for (const uc_mem_region& r : copy) uc_check(uc_mem_unmap(uc_, r.begin, r.end - r.begin + 1), "uc_mem_unmap");
}

void Reference::write(uint32_t addr, const void* src, size_t len) {
  uc_check(uc_mem_write(uc_, addr, src, len), "uc_mem_write");
}

bool Reference::read(uint32_t addr, void* dst, size_t len) const {
  return uc_mem_read(uc_, addr, dst, len) == UC_ERR_OK;
}

namespace {

// Unicorn's register ids for every field of RefRegs, paired with the
// field's address, in the order the batch calls take them.
struct RegBatch {
  int ids[35];
  void* ptrs[35];
  explicit RegBatch(RefRegs& r) {
    for (int i = 0; i < 32; ++i) {
      ids[i] = UC_MIPS_REG_0 + i;
      ptrs[i] = &r.gpr[i];
    }
    ids[32] = UC_MIPS_REG_HI, ptrs[32] = &r.hi;
    ids[33] = UC_MIPS_REG_LO, ptrs[33] = &r.lo;
    ids[34] = UC_MIPS_REG_PC, ptrs[34] = &r.pc;
  }
};

}  // namespace

RefRegs Reference::regs() const {
  RefRegs r;
  RegBatch batch(r);
  uc_check(uc_reg_read_batch(uc_, batch.ids, batch.ptrs, 35), "uc_reg_read_batch");
  return r;
}

void Reference::set_regs(const RefRegs& in) {
  RefRegs r = in;  // the batch call takes non-const pointers
  RegBatch batch(r);
  uc_check(uc_reg_write_batch(uc_, batch.ids, batch.ptrs, 35), "uc_reg_write_batch");
}

uint32_t Reference::reg(int uc_reg) const {
  uint32_t v = 0;
  uc_check(uc_reg_read(uc_, uc_reg, &v), "uc_reg_read");
  return v;
}

void Reference::set_reg(int uc_reg, uint32_t v) { uc_check(uc_reg_write(uc_, uc_reg, &v), "uc_reg_write"); }

void Reference::forget_code(uint32_t addr, uint32_t len) {
  uc_check(uc_ctl_remove_cache(uc_, uint64_t(addr), uint64_t(addr) + len), "uc_ctl_remove_cache");
}

void Reference::reset_cpu() { uc_check(uc_context_restore(uc_, fresh_), "uc_context_restore"); }

}  // namespace r3k::diff
