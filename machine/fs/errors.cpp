// The one table from host errno to the guest's error numbers.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "fs/fs_internal.h"

namespace r3k::fs {
namespace {

struct Mapping {
  int host;
  Err guest;
};

// What the file calls can meet on the host.  The guest has no permission
// errors: a refusal of the host's (EACCES, EPERM, a read-only mount) is
// EIO, with the host's name in the trace.  ELOOP is the host's own limit
// on symbolic links (this layer follows them itself, see kMaxSymlinks);
// EMFILE is r3krun out of host descriptors, which is the whole machine's
// limit to the guest.
constexpr Mapping kTable[] = {
    {ENOENT, kENOENT},   {ENOTDIR, kENOTDIR},   {EISDIR, kEISDIR},     {EEXIST, kEEXIST},
    {ENOTEMPTY, kENOTEMPTY}, {EXDEV, kEXDEV},   {ENAMETOOLONG, kENAMETOOLONG},
    {EINVAL, kEINVAL},   {ELOOP, kEINVAL},      {EOVERFLOW, kEINVAL},  {ENOSPC, kENOSPC},
    {EDQUOT, kENOSPC},   {EFBIG, kENOSPC},      {EACCES, kEIO},        {EPERM, kEIO},
    {EROFS, kEIO},       {EIO, kEIO},           {ENOMEM, kENOMEM},     {EMFILE, kENFILE},
    {ENFILE, kENFILE},   {EBUSY, kEBUSY},       {ETXTBSY, kEBUSY},     {ENXIO, kENXIO},
    {ENODEV, kENODEV},   {EAGAIN, kEAGAIN},     {EINTR, kEAGAIN},
};

}  // namespace

Error host_error(int host_errno) {
  const char* name = strerrorname_np(host_errno);
  const std::string_view why = name != nullptr ? name : "unknown host error";
  for (const Mapping& m : kTable) {
    if (m.host == host_errno) return {m.guest, why};
  }
  return {kEIO, why};
}

Error errno_error() { return host_error(errno); }

Error special_error(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return {kENXIO, "special file: FIFO"};
    case S_IFSOCK: return {kENXIO, "special file: socket"};
    default: return {kENXIO, "special file: device"};
  }
}

Error Quota::take(uint64_t bytes) {
  if (bytes > room()) return {kENOSPC, "disk quota reached"};
  used_ += bytes;
  return {};
}

void Quota::credit(const struct stat& st, uint64_t bytes) {
  if (bytes != 0) added_[{st.st_dev, st.st_ino}] += bytes;
}

void Quota::shrink(const struct stat& st, uint64_t bytes) {
  const auto it = added_.find({st.st_dev, st.st_ino});
  if (it == added_.end()) return;
  const uint64_t back = bytes < it->second ? bytes : it->second;
  give(back);
  it->second -= back;
  if (it->second == 0) added_.erase(it);
}

void Quota::forget(const struct stat& st) {
  const auto it = added_.find({st.st_dev, st.st_ino});
  if (it == added_.end()) return;
  give(it->second);
  added_.erase(it);
}

}  // namespace r3k::fs
