#pragma once

namespace tacetra {

// True when both paths name the same file: the same file by identity when
// both exist (hard links, symlinks and other spellings included), otherwise
// the same name in the same directory.
bool same_file(const char* a, const char* b);

}  // namespace tacetra
