// execv: a program from the guest's tree replaces the caller's.  Every
// argument is read and the new image loaded into an address space of its
// own before anything of the caller changes, so a failed execv returns to
// it intact; a successful one keeps the pid, the parent, the descriptors
// and the current directory, and drops the old space with the code
// decoded and generated for it.
#include "kernel/guest_words.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

// The largest executable execv reads: the loader's own limit.
constexpr size_t kMaxExecutable = 256u << 20;

// The NULL-terminated vector at addr: EFAULT for a word or string that
// cannot be read, E2BIG when the strings with their NULs and the vector
// with its NULL pass ARG_MAX bytes.
Err read_argv(const AddressSpace& space, uint32_t addr, std::vector<std::string>* out) {
  uint64_t total = 4;  // the terminating NULL
  for (uint64_t at = addr;; at += 4) {
    uint8_t w[4];
    if (at > kUserEnd - 4 || !space.copy_in(static_cast<uint32_t>(at), w, 4)) return kEFAULT;
    const uint32_t str = get_be32(w);
    if (str == 0) return kEOK;
    total += 4;
    if (total >= kARG_MAX) return kE2BIG;
    GuestString s = read_string(space, str, static_cast<uint32_t>(kARG_MAX - total));
    if (!s.readable) return kEFAULT;
    if (!s.terminated) return kE2BIG;
    total += s.bytes.size() + 1;
    if (total > kARG_MAX) return kE2BIG;
    out->push_back(std::move(s.bytes));
  }
}

}  // namespace

std::optional<Kernel::Answer> Kernel::do_execv(Call& c) {
  Process& p = c.p;
  std::string path;
  if (const Err e = read_path(*p.space, c.a[0], &path); e != kEOK) return error(e);
  std::vector<std::string> argv;
  if (const Err e = read_argv(*p.space, c.a[1], &argv); e != kEOK) return error(e);
  fs::Result<std::vector<uint8_t>> file = tree_->read_executable(p.cwd, path, kMaxExecutable);
  if (!file.ok()) return failed(c, file.error);
  if (!exec_loader_) return failed(c, {kENOEXEC, "no loader"});
  ExecImage image = exec_loader_(file.value, path, argv);
  file.value = {};
  if (image.err != kEOK) {
    if (c.described) c.ev.why = image.why;
    return error(image.err);
  }
  // Done: the call's line goes out before anything the new program does.
  if (c.described) {
    SyscallEvent ev = std::move(c.ev);
    ev.failed = false;
    ev.v0 = 0;
    ev.v1 = 0;
    record(std::move(ev));
  }
  replace_image(p, std::move(image), path);
  return std::nullopt;
}

void Kernel::replace_image(Process& p, ExecImage image, const std::string& path) {
  // The CPU goes first: it refers to the old space's decoded code, which
  // goes with that space (and its host memory with it).
  p.cpu.reset();
  p.space = std::move(image.space);
  attach_cpu(p);
  p.cpu->state() = image.state;
  p.brk_start = p.brk = image.heap_start;
  p.share_lo = image.share_lo;
  p.share_hi = image.share_hi;
  p.program = std::move(image.program);
  ++p.execs;
  infos_[p.info].program = path;
}

}  // namespace r3k
