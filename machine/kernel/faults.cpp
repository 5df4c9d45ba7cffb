// The catalogue of kernel faults (r3k/faults.h) and where each one bends
// a call: before the handler (its arguments, or an answer of its own) or
// after it (the answer, or what the call left behind).  Every fault lives
// here; the handlers know nothing of them.
#include "r3k/faults.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "kernel/guest_words.h"
#include "kernel/host_file.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

using F = KernelFault;

constexpr KernelFaultInfo kCatalogue[] = {
    {F::SharedFork, "shared-fork", "fork shares data and bss with the child instead of copying them"},
    {F::ExitReturns, "exit-returns", "the first _exit returns 0 to its caller instead of ending the process"},
    {F::ForkParentPid, "fork-parent-pid", "fork returns the parent's own pid to the parent, not the child's"},
    {F::ForkDropsFds, "fork-drops-fds",
     "a forked child starts with descriptors 0-2 only: the others are not inherited"},
    {F::ForkCopiesOffsets, "fork-copies-offsets",
     "fork gives the child its own offset in each open file instead of sharing one"},
    {F::WaitpidEarly, "waitpid-early", "waitpid answers a running child at once (status 0) without waiting for it"},
    {F::WaitStatusZero, "wait-status-zero", "waitpid stores 0 as every child's status"},
    {F::OrphanKeepsPpid, "orphan-keeps-ppid", "getppid of an orphan still names its ended parent"},
    {F::SbrkGarbage, "sbrk-garbage", "sbrk growth gives pages full of old bytes instead of zeros"},
    {F::SbrkReturnsNew, "sbrk-returns-new", "sbrk returns the new break instead of the old one"},
    {F::PipeNoEof, "pipe-no-eof", "a read of an empty pipe with no writer left waits for good instead of giving 0"},
    {F::ReadEfaultTakes, "read-efault-takes", "a read into a bad buffer fails with EFAULT but takes the pipe's bytes"},
    {F::ErrnoSwap, "errno-swap", "the error numbers EBADF and EFAULT swapped"},
    {F::TimeHalvesSwapped, "time-halves-swapped", "__time returns its 64-bit result with the two words swapped"},
    {F::LseekLowWord, "lseek-low-word", "lseek and ftruncate ignore the high word of the 64-bit offset"},
    {F::ReadEofGarbage, "read-eof-garbage", "a read at or past the end of a file returns junk bytes instead of 0"},
    {F::DirSkipsLast, "getdirentry-skips-last", "getdirentry ends before a directory's last entry"},
    {F::ExecvDropsArgs, "execv-drops-args", "execv passes argv[0] only: the other arguments are lost"},
};
static_assert(std::size(kCatalogue) == static_cast<size_t>(F::Count));

}  // namespace

std::span<const KernelFaultInfo> kernel_fault_catalogue() {
  for (size_t i = 0; i < std::size(kCatalogue); ++i)
    if (static_cast<size_t>(kCatalogue[i].fault) != i) throw std::logic_error("the fault catalogue is out of order");
  return kCatalogue;
}

std::optional<KernelFault> parse_kernel_fault(std::string_view name) {
  for (const KernelFaultInfo& f : kCatalogue)
    if (name == f.name) return f.fault;
  return std::nullopt;
}

// fork-copies-offsets: the offset pid moves in the open file f, from the
// shared one when it has none yet (or an earlier file had f's address).
uint64_t& Kernel::own_offset(uint32_t pid, const std::shared_ptr<OpenFile>& f) {
  OwnOffset& own = own_offsets_[{pid, f.get()}];
  if (own.file.lock() != f) own = {f, f->offset};
  return own.offset;
}

// The call as a faulty kernel serves it.
std::optional<Kernel::Answer> Kernel::serve_faulty(Call& c) {
  if (auto a = fault_before(c)) return a;
  // The process's own offset stands in for the shared one while the call runs.
  std::shared_ptr<OpenFile> own;
  const Sys call = static_cast<Sys>(c.number);
  if (faulty(F::ForkCopiesOffsets) &&
      (call == Sys::read || call == Sys::write || call == Sys::lseek || call == Sys::getdirentry)) {
    own = c.p.files.share(static_cast<int32_t>(c.a[0]));
    if (own && (own->kind() == OpenFile::Kind::File || own->kind() == OpenFile::Kind::Directory))
      std::swap(own->offset, own_offset(c.p.pid, own));
    else own.reset();
  }
  std::optional<Answer> a = (this->*spec(c.number).handler)(c);
  if (own) std::swap(own->offset, own_offset(c.p.pid, own));
  if (a) fault_after(c, *a);
  if (c.p.state == ProcState::Blocked) return std::nullopt;  // pipe-no-eof
  return a;
}

// The faults the older options play, set in them.
Options Kernel::with_faults(Options o) {
  if (o.kernel_faults & fault_bit(F::SharedFork)) o.shared_fork = true;
  if (o.kernel_faults & fault_bit(F::ExitReturns)) o.exit_returns = std::max(o.exit_returns, 1u);
  return o;
}

std::optional<Kernel::Answer> Kernel::fault_before(Call& c) {
  const Sys call = static_cast<Sys>(c.number);
  if (faulty(F::LseekLowWord) && (call == Sys::lseek || call == Sys::ftruncate)) c.a[2] = 0;
  if (faulty(F::ExecvDropsArgs) && call == Sys::execv && c.p.space->readable(c.a[1], 8)) {
    // Cuts the caller's vector after argv[0].
    const uint8_t null[4] = {};
    c.p.space->copy_out(c.a[1] + 4, null, 4);
  }
  if (faulty(F::ReadEfaultTakes) && call == Sys::read && c.a[2] != 0) {
    OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
    if (f != nullptr && f->kind() == OpenFile::Kind::Pipe && !c.p.space->writable(c.a[1], c.a[2])) {
      std::array<uint8_t, 4096> lost;
      f->read(lost.data(), std::min<uint32_t>(c.a[2], lost.size()));
      return error(kEFAULT);
    }
  }
  if (faulty(F::WaitpidEarly) && call == Sys::waitpid && c.a[2] == 0) {
    const int32_t pid = static_cast<int32_t>(c.a[0]);
    for (Process* q : live_) {
      if (q->ppid != c.p.pid || q->outside_parent || (pid != -1 && q->pid != static_cast<uint32_t>(pid))) continue;
      const uint8_t zero[4] = {};
      if (c.a[1] != 0 && !c.p.space->copy_out(c.a[1], zero, 4)) return error(kEFAULT);
      return ok(q->pid);
    }
  }
  return std::nullopt;
}

void Kernel::fault_after(Call& c, Answer& a) {
  const Sys call = static_cast<Sys>(c.number);
  if (a.failed) {
    const uint32_t badf = static_cast<uint32_t>(kEBADF), fault = static_cast<uint32_t>(kEFAULT);
    if (faulty(F::ErrnoSwap) && (a.v0 == badf || a.v0 == fault)) a.v0 = a.v0 == badf ? fault : badf;
    return;
  }
  switch (call) {
    case Sys::fork:
      if (Process* child = find(a.v0); child && faulty(F::ForkCopiesOffsets)) {
        for (int32_t fd = 0; fd < static_cast<int32_t>(FileTable::kMax); ++fd)
          if (auto f = child->files.share(fd); f && f->kind() != OpenFile::Kind::Pipe) {
            const uint64_t at = own_offset(c.p.pid, f);
            own_offset(child->pid, f) = at;
          }
      }
      if (faulty(F::ForkDropsFds))
        if (Process* child = find(a.v0))
          for (uint32_t fd = 3; fd < FileTable::kMax; ++fd)
            if (child->files.at(static_cast<int32_t>(fd))) drop(child->files.take(fd));
      if (faulty(F::ForkParentPid)) a.v0 = c.p.pid;
      break;
    case Sys::waitpid:
      if (faulty(F::WaitStatusZero) && a.v0 != 0 && c.a[1] != 0) {
        const uint8_t zero[4] = {};
        c.p.space->copy_out(c.a[1], zero, 4);
      }
      break;
    case Sys::getppid:
      if (faulty(F::OrphanKeepsPpid)) a.v0 = infos_[c.p.info].ppid;
      break;
    case Sys::sbrk: {
      const int32_t amount = static_cast<int32_t>(c.a[0]);
      if (faulty(F::SbrkGarbage) && amount > 0) {
        std::array<uint8_t, kPageSize> junk;
        junk.fill(0xa5);
        for (uint32_t done = 0; done < static_cast<uint32_t>(amount);) {
          const uint32_t n = std::min<uint32_t>(kPageSize, static_cast<uint32_t>(amount) - done);
          c.p.space->copy_out(a.v0 + done, junk.data(), n);
          done += n;
        }
      }
      if (faulty(F::SbrkReturnsNew)) a.v0 += c.a[0];
      break;
    }
    case Sys::getdirentry:
      // The entry just given was the last: say the directory ended.
      if (OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
          faulty(F::DirSkipsLast) && a.v0 != 0 && f && f->kind() == OpenFile::Kind::Directory) {
        const auto next = static_cast<HostFile*>(f)->file().entry(f->offset);
        if (next.ok() && next.value.empty()) a.v0 = 0;
      }
      break;
    case Sys::__time:
      if (faulty(F::TimeHalvesSwapped)) std::swap(a.v0, a.v1);
      break;
    case Sys::read: {
      const OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
      if (a.v0 != 0 || c.a[2] == 0 || f == nullptr) break;
      if (faulty(F::PipeNoEof) && f->kind() == OpenFile::Kind::Pipe) {
        WaitOn w;
        w.kind = WaitOn::Kind::PipeRead;
        w.fd = static_cast<int32_t>(c.a[0]);
        w.object = f->waitable();
        block(c, w);  // serve_faulty answers nothing
      }
      if (faulty(F::ReadEofGarbage) && f->kind() == OpenFile::Kind::File) {
        uint8_t junk[16];
        std::fill(std::begin(junk), std::end(junk), uint8_t{0xa5});
        const uint32_t n = std::min<uint32_t>(c.a[2], sizeof junk);
        if (c.p.space->copy_out(c.a[1], junk, n)) a.v0 = n;
      }
      break;
    }
    default: break;
  }
}

}  // namespace r3k
