// What the layer takes from the host: the one table from host errno to the
// guest's error numbers, and what stat says.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "fs/fs_internal.h"

namespace r3k::fs {
namespace {

uint32_t clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

Type type_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return Type::Directory;
    case S_IFLNK: return Type::Symlink;
    case S_IFCHR: return Type::CharDevice;
    case S_IFBLK: return Type::BlockDevice;
    case S_IFIFO: return Type::Fifo;
    case S_IFSOCK: return Type::Socket;
    default: return Type::Regular;
  }
}

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
    {ENOENT, kENOENT},
    {ENOTDIR, kENOTDIR},
    {EISDIR, kEISDIR},
    {EEXIST, kEEXIST},
    {ENOTEMPTY, kENOTEMPTY},
    {EXDEV, kEXDEV},
    {ENAMETOOLONG, kENAMETOOLONG},
    {EINVAL, kEINVAL},
    {ELOOP, kEINVAL},
    {EOVERFLOW, kEINVAL},
    {ENOSPC, kENOSPC},
    {EDQUOT, kENOSPC},
    {EFBIG, kENOSPC},
    {EACCES, kEIO},
    {EPERM, kEIO},
    {EROFS, kEIO},
    {EIO, kEIO},
    {ENOMEM, kENOMEM},
    {EMFILE, kENFILE},
    {ENFILE, kENFILE},
    {EBUSY, kEBUSY},
    {ETXTBSY, kEBUSY},
    {ENXIO, kENXIO},
    {ENODEV, kENODEV},
    {EAGAIN, kEAGAIN},
    {EINTR, kEAGAIN},
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

Stat to_stat(const struct stat& st) {
  Stat s;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.atime = st.st_atim.tv_sec;
  s.mtime = st.st_mtim.tv_sec;
  s.ctime = st.st_ctim.tv_sec;
  s.dev = static_cast<uint32_t>(st.st_dev);
  s.type = type_of(st.st_mode);
  s.perm = st.st_mode & 07777;
  s.nlink = clamp32(st.st_nlink);
  s.blocks = clamp32(static_cast<uint64_t>(st.st_blocks));
  s.blksize = clamp32(static_cast<uint64_t>(st.st_blksize));
  return s;
}

struct stat empty_root_stat() {
  struct stat st {};
  st.st_mode = S_IFDIR | 0555;
  st.st_nlink = 2;
  st.st_ino = 1;
  st.st_blksize = 4096;
  return st;
}

void Fd::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace r3k::fs
