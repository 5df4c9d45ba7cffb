#include "r3k/abi.h"

#include <array>
#include <cstdio>
#include <utility>

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

constexpr uint32_t stat_bytes() {
  uint32_t n = 0;
#define R3K_VALUE(group, name, value, doc)
#define R3K_STAT_FIELD(type, name, doc) n += sizeof(type);
#include "values.def"
#undef R3K_STAT_FIELD
#undef R3K_VALUE
  return n;
}
static_assert(stat_bytes() == kStatSize, "struct stat is 64 bytes, the wider fields first: no padding");

}  // namespace

std::array<uint8_t, kStatSize> encode_stat(const GuestStat& st) {
  std::array<uint8_t, kStatSize> out{};
  size_t at = 0;
  auto put = [&](uint64_t v, size_t size) {
    for (size_t i = 0; i < size; ++i) out[at + i] = static_cast<uint8_t>(v >> 8 * (size - 1 - i));
    at += size;
  };
#define R3K_VALUE(group, name, value, doc)
#define R3K_STAT_FIELD(type, name, doc) put(static_cast<uint64_t>(st.f_##name), sizeof(type));
#include "values.def"
#undef R3K_STAT_FIELD
#undef R3K_VALUE
  return out;
}

std::string describe_mode(uint32_t mode) {
  static constexpr std::pair<uint32_t, std::string_view> kTypes[] = {
      {kS_IFSOCK, "S_IFSOCK"}, {kS_IFLNK, "S_IFLNK"}, {kS_IFREG, "S_IFREG"}, {kS_IFBLK, "S_IFBLK"},
      {kS_IFDIR, "S_IFDIR"},   {kS_IFCHR, "S_IFCHR"}, {kS_IFIFO, "S_IFIFO"}};
  std::string type;
  for (const auto& [bits, name] : kTypes)
    if ((mode & kS_IFMT) == bits) type = std::string(name) + "|";
  char perm[16];
  std::snprintf(perm, sizeof perm, "%#o", mode & (type.empty() ? ~0u : ~kS_IFMT));
  return type + perm;
}

// strace's short form.
std::string describe_stat(const GuestStat& st) {
  return "{st_mode=" + describe_mode(st.f_st_mode) + ", st_size=" + std::to_string(st.f_st_size) + ", ...}";
}

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
