#pragma once

#ifdef _WIN32

#include <string>
#include <string_view>

namespace tacetra {

// The library hands paths to FFmpeg unchanged, and FFmpeg's file protocol on
// Windows reads them as UTF-8. The library's own file calls must reach the
// same file, so they read a path the same way.

// UTF-16 of a UTF-8 text; empty when the bytes are not UTF-8 (or memory ran
// out).
std::wstring wide_from_utf8(std::string_view text) noexcept;

// The path as FFmpeg opens it: UTF-16, made absolute, with the \\?\ prefix
// once it reaches MAX_PATH; a path that already has the prefix stays as it
// is. Empty when the path is not UTF-8. When a wide call fails to open a
// file for reading, FFmpeg tries the ANSI call with the bytes unchanged; the
// library's readers do the same.
std::wstring native_path(const char* path) noexcept;

}  // namespace tacetra

#endif
