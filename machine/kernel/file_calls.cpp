// Files of the guest's tree behind descriptors: open, host files and
// directories as open files, reading a file in pieces, getdirentry, and
// struct stat from what the tree reports.
#include <algorithm>
#include <limits>

#include "kernel/guest_words.h"
#include "kernel/host_file.h"
#include "r3k/kernel.h"

namespace r3k {
namespace {

uint32_t type_bits(fs::Type type) {
  switch (type) {
    case fs::Type::Regular: return kS_IFREG;
    case fs::Type::Directory: return kS_IFDIR;
    case fs::Type::Symlink: return kS_IFLNK;
    case fs::Type::CharDevice: return kS_IFCHR;
    case fs::Type::BlockDevice: return kS_IFBLK;
    case fs::Type::Fifo: return kS_IFIFO;
    case fs::Type::Socket: return kS_IFSOCK;
  }
  return 0;
}

// open's flags as the tree takes them; nullopt for bits outside the
// interface and for the access mode 3.
std::optional<fs::OpenFlags> open_flags(uint32_t flags) {
  constexpr uint32_t kKnown = kO_ACCMODE | kO_CREAT | kO_EXCL | kO_TRUNC | kO_APPEND;
  if ((flags & ~kKnown) != 0 || (flags & kO_ACCMODE) == kO_ACCMODE) return std::nullopt;
  fs::OpenFlags f;
  const uint32_t mode = flags & kO_ACCMODE;
  f.access = mode == kO_RDONLY ? fs::Access::Read : mode == kO_WRONLY ? fs::Access::Write : fs::Access::ReadWrite;
  f.create = flags & kO_CREAT;
  f.exclusive = flags & kO_EXCL;
  f.truncate = flags & kO_TRUNC;
  return f;
}

}  // namespace

GuestStat guest_stat(const fs::Stat& st) {
  GuestStat g;
  g.f_st_ino = st.ino;
  g.f_st_size = st.size;
  g.f_st_atime = st.atime;
  g.f_st_mtime = st.mtime;
  g.f_st_ctime = st.ctime;
  g.f_st_dev = st.dev;
  g.f_st_mode = type_bits(st.type) | (st.perm & 07777);
  g.f_st_nlink = st.nlink;
  g.f_st_blocks = st.blocks;
  g.f_st_blksize = st.blksize;
  return g;
}

// ---- an open file of the tree ----------------------------------------------------

HostFile::HostFile(std::unique_ptr<fs::File> file, uint32_t flags)
    : OpenFile(file->is_directory() ? Kind::Directory : Kind::File, flags), file_(std::move(file)) {}

OpenFile::Io HostFile::read(uint8_t* into, uint32_t len) {
  const fs::Result<size_t> r = file_->read(offset, {into, len});
  if (!r.ok()) return Io{0, r.error.err, false, r.error.why};
  offset += r.value;
  return Io{static_cast<uint32_t>(r.value)};
}

OpenFile::Io HostFile::write(const uint8_t* from, uint32_t len, bool) {
  if (flags() & kO_APPEND) {
    const fs::Result<fs::File::Appended> r = file_->append({from, len});
    if (!r.ok()) return Io{0, r.error.err, false, r.error.why};
    offset = r.value.end;
    return Io{static_cast<uint32_t>(r.value.bytes)};
  }
  const fs::Result<size_t> r = file_->write(offset, {from, len});
  if (!r.ok()) return Io{0, r.error.err, false, r.error.why};
  offset += r.value;
  return Io{static_cast<uint32_t>(r.value)};
}

void HostFile::unread(const uint8_t*, uint32_t n) { offset -= n; }

std::optional<int64_t> HostFile::seek(int64_t pos, uint32_t whence, fs::Error* err) {
  int64_t base = 0;
  if (whence == kSEEK_CUR) {
    base = static_cast<int64_t>(offset);
  } else if (whence == kSEEK_END) {
    if (is_directory()) {
      *err = {kEINVAL, "a directory has no end to seek from"};
      return std::nullopt;
    }
    const fs::Result<fs::Stat> st = file_->stat();
    if (!st.ok()) {
      *err = st.error;
      return std::nullopt;
    }
    base = st.value.size;
  }
  if ((pos > 0 && base > std::numeric_limits<int64_t>::max() - pos) || base + pos < 0) {
    *err = {kEINVAL, "the offset would be negative or past 2^63 - 1"};
    return std::nullopt;
  }
  offset = static_cast<uint64_t>(base + pos);
  return base + pos;
}

fs::Error HostFile::truncate(int64_t length) { return file_->truncate(static_cast<uint64_t>(length)); }

fs::Error HostFile::sync() { return file_->sync(); }

fs::Error HostFile::stat(GuestStat* st) const {
  const fs::Result<fs::Stat> r = file_->stat();
  if (r.ok()) *st = guest_stat(r.value);
  return r.error;
}

// ---- the calls ------------------------------------------------------------------

void Kernel::stabilize(GuestStat& st) {
  if (!opts_.stable_stat || st.f_st_ino == 0) return;
  const auto key = std::make_pair(st.f_st_ino, st.f_st_dev);
  const auto it = stable_inodes_.try_emplace(key, stable_inodes_.size() + 1).first;
  st.f_st_ino = it->second;
  st.f_st_dev = 1;
  st.f_st_atime = st.f_st_mtime = st.f_st_ctime = 0;
}

// The lowest free descriptor for path; the descriptor is taken only once
// the file is open, and a full table is refused before anything is made.
std::optional<Kernel::Answer> Kernel::do_open(Call& c) {
  const auto flags = open_flags(c.a[1]);
  if (!flags) return error(kEINVAL);
  std::string path;
  if (const Err e = read_path(*c.p.space, c.a[0], &path); e != kEOK) return error(e);
  if (!c.p.files.lowest_free()) return error(kEMFILE);
  if (open_files_ >= kMaxOpenFiles) return error(kENFILE);
  fs::Result<std::unique_ptr<fs::File>> f = tree_->open(c.p.cwd, path, *flags, c.a[2]);
  if (!f.ok()) return failed(c, f.error);
  Err err = kEOK;
  const auto fd = install(c.p, std::make_shared<HostFile>(std::move(f.value), c.a[1] & (kO_ACCMODE | kO_APPEND)), &err);
  return fd ? ok(*fd) : error(err);
}

// A file reads on, piece by piece through the kernel's buffer, until len
// bytes or its end: as Unix does for regular files, whatever the length.
std::optional<Kernel::Answer> Kernel::read_file(Call& c, OpenFile& f, uint32_t addr, uint32_t len) {
  piece_.resize(kPiece);
  uint32_t done = 0;
  while (done < len) {
    const uint32_t want = std::min(len - done, kPiece);
    const OpenFile::Io r = f.read(piece_.data(), want);
    if (r.err != kEOK) {
      if (done > 0) break;
      return failed(c, {r.err, r.why});
    }
    // A store the host memory cap refuses loses nothing: the offset goes back.
    if (r.n > 0 && !c.p.space->copy_out(addr + done, piece_.data(), r.n)) {
      f.unread(piece_.data(), r.n);
      if (done > 0) break;
      return error(kEFAULT);
    }
    done += r.n;
    if (r.n < want) break;
  }
  return ok(done);
}

// The name at the directory's offset, unterminated; 0 at the end.  A name
// longer than len is ERANGE and the offset stays, so a bigger buffer gets it.
std::optional<Kernel::Answer> Kernel::do_getdirentry(Call& c) {
  OpenFile* f = c.p.files.at(static_cast<int32_t>(c.a[0]));
  const uint32_t addr = c.a[1], len = c.a[2];
  if (f == nullptr) return error(kEBADF);
  if (f->kind() != OpenFile::Kind::Directory) return error(kENOTDIR);
  const fs::Result<std::string_view> name = static_cast<HostFile*>(f)->file().entry(f->offset);
  if (!name.ok()) return failed(c, name.error);
  const uint32_t n = static_cast<uint32_t>(name.value.size());
  if (n == 0) return ok(0);
  if (n > len) return error(kERANGE);
  if (!c.p.space->copy_out(addr, name.value.data(), n)) return error(kEFAULT);
  ++f->offset;
  return ok(n);
}

}  // namespace r3k
