#include "AllowList.hpp"

#include <cstdint>
#include <cstring>

namespace dovi {
namespace {

constexpr std::string_view kScopeSuffix = ":read_items";
constexpr std::uint64_t kLongestExpirationSeconds = 31536000;

bool isIdentifierByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// One position of an allow-list row: a literal or a validated value.
struct Slot {
  std::string_view literal;
  bool (*validator)(std::string_view) = nullptr;
};

bool matches(const Slot& slot, const char* arg) {
  if (arg == nullptr) return false;
  const std::string_view value(arg);
  return slot.validator != nullptr ? slot.validator(value) : value == slot.literal;
}

template <std::size_t N>
bool matchesRow(const Slot (&row)[N], int argc, const char* const* argv) {
  if (argc != static_cast<int>(N) + 2) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (!matches(row[i], argv[i + 2])) return false;
  }
  return true;
}

constexpr Slot kVersion[] = {{"--version"}};
constexpr Slot kAccountList[] = {{"account"}, {"list"}, {"--format=json"}};
constexpr Slot kVaultList[] = {{"vault"}, {"list"}, {"--account"}, {{}, isSafeIdentifier}, {"--format=json"}};
constexpr Slot kVaultCreate[] = {{"vault"}, {"create"}, {{}, isSafeText}, {"--account"}, {{}, isSafeIdentifier},
                                 {"--format=json"}};
constexpr Slot kServiceAccountCreate[] = {
    {"service-account"}, {"create"},  {{}, isSafeText},          {"--account"},
    {{}, isSafeIdentifier}, {"--vault"}, {{}, isReadItemsScope}, {"--expires-in"},
    {{}, isAllowedExpiration}, {"--raw"}};

}  // namespace

bool isSafeText(std::string_view value) {
  if (value.empty() || value.size() > 256 || value.front() == '-') return false;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool isSafeIdentifier(std::string_view value) {
  if (!isSafeText(value)) return false;
  for (unsigned char c : value) {
    if (!isIdentifierByte(c)) return false;
  }
  return true;
}

bool isReadItemsScope(std::string_view value) {
  if (value.size() < 12 || value.size() > 512 || !value.ends_with(kScopeSuffix)) return false;
  const std::string_view vault = value.substr(0, value.size() - kScopeSuffix.size());
  return vault.size() <= 256 && isSafeIdentifier(vault);
}

bool isAllowedExpiration(std::string_view value) {
  if (value.size() < 2 || value.size() > 10 || value.back() != 's' || value.front() == '0') return false;
  std::uint64_t seconds = 0;
  for (unsigned char c : value.substr(0, value.size() - 1)) {
    if (c < '0' || c > '9') return false;
    seconds = seconds * 10 + (c - '0');  // at most 9 digits: cannot overflow
  }
  return seconds <= kLongestExpirationSeconds;
}

bool isAllowedInvocation(int argc, const char* const* argv) {
  switch (argc) {
    case 3: return matchesRow(kVersion, argc, argv);
    case 5: return matchesRow(kAccountList, argc, argv);
    case 7: return matchesRow(kVaultList, argc, argv);
    case 8: return matchesRow(kVaultCreate, argc, argv);
    case 12: return matchesRow(kServiceAccountCreate, argc, argv);
    default: return false;
  }
}

}  // namespace dovi
