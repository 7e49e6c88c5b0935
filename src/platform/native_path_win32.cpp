#ifdef _WIN32

#include "platform/native_path.h"

#include <windows.h>

#include <new>

namespace tacetra {
namespace {

constexpr std::wstring_view extended_prefix = LR"(\\?\)";
constexpr std::wstring_view nt_prefix = LR"(\??\)";
constexpr std::wstring_view device_prefix = LR"(\\.\)";
constexpr std::wstring_view unc_prefix = LR"(\\)";
constexpr std::wstring_view extended_unc_prefix = LR"(\\?\UNC\)";

std::wstring full_path(const std::wstring& path) {
  const DWORD capacity = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (capacity == 0) return {};
  std::wstring full(capacity, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), capacity, full.data(), nullptr);
  if (length == 0 || length >= capacity) return {};
  full.resize(length);
  return full;
}

}  // namespace

std::wstring wide_from_utf8(std::string_view text) noexcept {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  try {
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::wstring native_path(const char* path) noexcept {
  try {
    std::wstring wide = wide_from_utf8(path);
    if (wide.empty() || wide.starts_with(extended_prefix) || wide.starts_with(nt_prefix)) return wide;
    wide = full_path(wide);
    if (wide.size() < MAX_PATH || wide.starts_with(device_prefix)) return wide;
    if (wide.starts_with(unc_prefix)) return std::wstring(extended_unc_prefix) + wide.substr(2);
    return std::wstring(extended_prefix) + wide;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace tacetra

#endif
