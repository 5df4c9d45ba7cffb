// The kernel interface the runtime library was built for: call numbers,
// error numbers with the names the trace prints, and the values the calls
// exchange (open flags, seek origins, struct stat, ...) from the same
// sources as the installed headers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace r3k {

enum class Sys : uint32_t {
#define R3K_SYSCALL(number, name) name = number,
#include "syscalls.def"
#undef R3K_SYSCALL
};
inline constexpr uint32_t kSyscallCount = 33;

// Named kEINVAL and so on: the bare names are <cerrno>'s macros on the host
// (pasting the prefix keeps them from expanding).
enum class Err : int32_t {
#define R3K_ERROR(number, name, message) k##name = number,
#include "errors.def"
#undef R3K_ERROR
};
#define R3K_ERROR(number, name, message) inline constexpr Err k##name = Err::k##name;
#include "errors.def"
#undef R3K_ERROR
inline constexpr int32_t kErrorCount = 27;

// The values of include/r3k/values.def, prefixed as the error numbers are
// (host headers define O_CREAT and the like as macros): kO_CREAT, kSEEK_END.
#define R3K_VALUE(group, name, value, doc) inline constexpr uint32_t k##name = value;
#define R3K_STAT_FIELD(type, name, doc)
#include "values.def"
#undef R3K_STAT_FIELD
#undef R3K_VALUE

// struct stat as the guest reads it, field by field (f_st_mode: the host's
// <sys/stat.h> makes st_atime and the like macros).
struct GuestStat {
#define R3K_VALUE(group, name, value, doc)
#define R3K_STAT_FIELD(type, name, doc) type f_##name = 0;
#include "values.def"
#undef R3K_STAT_FIELD
#undef R3K_VALUE
};
// Its bytes in guest memory: big-endian, the fields in order, no padding.
inline constexpr uint32_t kStatSize = 64;
std::array<uint8_t, kStatSize> encode_stat(const GuestStat& st);
// "{st_mode=S_IFREG|0644, st_size=12, ...}" as the trace shows it.
std::string describe_stat(const GuestStat& st);
std::string describe_mode(uint32_t mode);

// "write" for 6; empty for numbers outside the table.
std::string_view syscall_name(uint32_t number);
std::optional<uint32_t> syscall_number(std::string_view name);
// "EBADF" / "Bad file number" for 26; empty / "Unknown error number" outside.
std::string_view error_name(int32_t number);
std::string_view error_message(int32_t number);
std::optional<int32_t> error_number(std::string_view name);

}  // namespace r3k
