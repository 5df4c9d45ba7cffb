// The kernel interface the runtime library was built for: call numbers and
// error numbers, with the names the trace prints.
#pragma once

#include <cstdint>
#include <optional>
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

// "write" for 6; empty for numbers outside the table.
std::string_view syscall_name(uint32_t number);
std::optional<uint32_t> syscall_number(std::string_view name);
// "EBADF" / "Bad file number" for 26; empty / "Unknown error number" outside.
std::string_view error_name(int32_t number);
std::string_view error_message(int32_t number);
std::optional<int32_t> error_number(std::string_view name);

}  // namespace r3k
