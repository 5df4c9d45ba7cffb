// An open file of the guest's tree behind a descriptor: a regular file or
// a directory of machine/fs, with the offset its descriptors share.
#pragma once

#include <memory>

#include "r3k/files.h"
#include "r3k/fs.h"

namespace r3k {

// What stat reports, laid out for the guest: the type's S_IF bits from the
// shared values, the permission bits, the rest as the host gave them.
GuestStat guest_stat(const fs::Stat& st);

class HostFile final : public OpenFile {
 public:
  // flags: the access mode and O_APPEND, as open() was given them.
  HostFile(std::unique_ptr<fs::File> file, uint32_t flags);

  fs::File& file() { return *file_; }

  // At the shared offset (O_APPEND: at the end, which the offset then is).
  Io read(uint8_t* into, uint32_t len) override;
  Io write(const uint8_t* from, uint32_t len, bool atomic) override;
  // The bytes the last read gave go back: the offset moves back over them.
  void unread(const uint8_t* bytes, uint32_t n) override;
  // A directory's offset is the index of its next entry; it has no end to
  // seek from (EINVAL).
  std::optional<int64_t> seek(int64_t pos, uint32_t whence, fs::Error* err) override;
  fs::Error truncate(int64_t length) override;
  fs::Error sync() override;
  fs::Error stat(GuestStat* st) const override;
  std::string describe() const override { return is_directory() ? "a directory" : "a file"; }

 private:
  bool is_directory() const { return kind() == Kind::Directory; }
  std::unique_ptr<fs::File> file_;
};

}  // namespace r3k
