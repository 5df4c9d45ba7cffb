// The disk quota's count, per host file.
#include "fs/fs_internal.h"

namespace r3k::fs {

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
