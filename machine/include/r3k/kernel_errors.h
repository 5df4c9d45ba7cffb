// abi.h for code that also sees <cerrno>: the enumerators of r3k::Err
// share their names with errno.h's macros (EINVAL, EFAULT, ...), so the
// header is included with those macros set aside, and code names the
// kernel's error numbers as r3k::kEINVAL and so on.
#pragma once

#include <cerrno>

#pragma push_macro("EINVAL")
#pragma push_macro("EFAULT")
#pragma push_macro("ENAMETOOLONG")
#pragma push_macro("ENOMEM")
#pragma push_macro("EIO")
#pragma push_macro("ENOENT")
#pragma push_macro("ENOTDIR")
#pragma push_macro("EISDIR")
#pragma push_macro("EEXIST")
#pragma push_macro("EXDEV")
#pragma push_macro("EAGAIN")
#pragma push_macro("ESPIPE")
#pragma push_macro("ENXIO")
#pragma push_macro("ENODEV")
#pragma push_macro("EBUSY")
#pragma push_macro("ENOTEMPTY")
#pragma push_macro("ERANGE")
#pragma push_macro("ENOSPC")
#pragma push_macro("EMFILE")
#pragma push_macro("ENFILE")
#pragma push_macro("ENOSYS")
#pragma push_macro("ENOEXEC")
#pragma push_macro("E2BIG")
#pragma push_macro("EBADF")
#undef EINVAL
#undef EFAULT
#undef ENAMETOOLONG
#undef ENOMEM
#undef EIO
#undef ENOENT
#undef ENOTDIR
#undef EISDIR
#undef EEXIST
#undef EXDEV
#undef EAGAIN
#undef ESPIPE
#undef ENXIO
#undef ENODEV
#undef EBUSY
#undef ENOTEMPTY
#undef ERANGE
#undef ENOSPC
#undef EMFILE
#undef ENFILE
#undef ENOSYS
#undef ENOEXEC
#undef E2BIG
#undef EBADF

#include "r3k/abi.h"

namespace r3k {
#define R3K_ERROR(number, name, message) inline constexpr Err k##name = Err::name;
#include "errors.def"
#undef R3K_ERROR
}  // namespace r3k

#pragma pop_macro("EINVAL")
#pragma pop_macro("EFAULT")
#pragma pop_macro("ENAMETOOLONG")
#pragma pop_macro("ENOMEM")
#pragma pop_macro("EIO")
#pragma pop_macro("ENOENT")
#pragma pop_macro("ENOTDIR")
#pragma pop_macro("EISDIR")
#pragma pop_macro("EEXIST")
#pragma pop_macro("EXDEV")
#pragma pop_macro("EAGAIN")
#pragma pop_macro("ESPIPE")
#pragma pop_macro("ENXIO")
#pragma pop_macro("ENODEV")
#pragma pop_macro("EBUSY")
#pragma pop_macro("ENOTEMPTY")
#pragma pop_macro("ERANGE")
#pragma pop_macro("ENOSPC")
#pragma pop_macro("EMFILE")
#pragma pop_macro("ENFILE")
#pragma pop_macro("ENOSYS")
#pragma pop_macro("ENOEXEC")
#pragma pop_macro("E2BIG")
#pragma pop_macro("EBADF")
