#include "r3k/abi.h"

#include <array>

namespace r3k {
namespace {

constexpr std::array<std::string_view, kSyscallCount> kSyscallNames = {
#define R3K_SYSCALL(number, name) #name,
#include "syscalls.def"
#undef R3K_SYSCALL
};

struct ErrorInfo {
  std::string_view name, message;
};
constexpr std::array<ErrorInfo, kErrorCount> kErrors = {{
#define R3K_ERROR(number, name, message) {#name, message},
#include "errors.def"
#undef R3K_ERROR
}};

}  // namespace

std::string_view syscall_name(uint32_t number) {
  return number < kSyscallNames.size() ? kSyscallNames[number] : std::string_view{};
}

std::optional<uint32_t> syscall_number(std::string_view name) {
  for (uint32_t i = 0; i < kSyscallNames.size(); ++i)
    if (kSyscallNames[i] == name) return i;
  return std::nullopt;
}

std::string_view error_name(int32_t number) {
  return number >= 0 && number < kErrorCount ? kErrors[number].name : std::string_view{};
}

std::string_view error_message(int32_t number) {
  return number >= 0 && number < kErrorCount ? kErrors[number].message : std::string_view{"Unknown error number"};
}

std::optional<int32_t> error_number(std::string_view name) {
  for (int32_t i = 0; i < kErrorCount; ++i)
    if (kErrors[i].name == name) return i;
  return std::nullopt;
}

}  // namespace r3k
