// The calls on names in the file tree: open, stat, lstat, remove, rename,
// link, symlink, readlink, mkdir, rmdir, chdir, __getcwd, getdirentry, and
// sync.  They come with the file tree (machine/fs); until then each fails
// with EUNIMP, and sync has nothing to write back.
#include "r3k/kernel.h"

namespace r3k {

std::optional<Kernel::Answer> Kernel::do_sync(Call&) { return ok(0); }

std::optional<Kernel::Answer> Kernel::unimplemented(Call&) { return error(kEUNIMP); }

std::optional<Kernel::Answer> Kernel::no_such_call(Call&) { return error(kENOSYS); }

}  // namespace r3k
