#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "in_place_copy.h"

namespace fs = std::filesystem;

namespace tacetra_cli {

// A placeholder name beside the file, created empty and exclusively, which
// the job's copy replaces when it commits.
struct in_place_copy::place {
  std::string original;
  std::string path;
  bool owned = false;  // `path` is ours to remove
  file_facts before;
};

namespace {

// Copies named so far by this process; the host thread alone names them.
int g_copies_named = 0;

}  // namespace

in_place_copy::in_place_copy(std::string original) : place_(std::make_unique<place>()) {
  place_->original = std::move(original);
}

in_place_copy::~in_place_copy() {
  if (place_->owned) std::remove(place_->path.c_str());
}

std::string in_place_copy::take_hold() {
  std::error_code error;
  const auto facts = facts_of(place_->original, error);
  if (!facts) return "cannot open the input as a local media file";
  place_->before = *facts;
  return {};
}

const file_facts& in_place_copy::original_facts() const { return place_->before; }

std::string in_place_copy::make_place() {
  const fs::path original(place_->original);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "." + original.stem().string() + ".tacetra-" +
                             std::to_string(_getpid()) + "-" + std::to_string(g_copies_named++) +
                             original.extension().string();
    place_->path = (original.parent_path() / name).string();
    const int fd = _open(place_->path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                         _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
      _close(fd);
      place_->owned = true;
      return {};
    }
    if (errno != EEXIST) break;
  }
  return "cannot create its copy beside it: " +
         std::error_code(errno, std::generic_category()).message();
}

const std::string& in_place_copy::input_path() const { return place_->original; }

const std::string& in_place_copy::copy_path() const { return place_->path; }

std::string in_place_copy::replace_original(bool keep_dates) {
  const file_facts& before = place_->before;
  std::error_code error;
  const auto now = facts_of(place_->original, error);
  if (!now) return "cannot look at it again: " + error.message();
  // Whatever was written to it meanwhile the copy does not hold.
  if (now->size != before.size || now->modified_s != before.modified_s) {
    return "it changed while it was being copied";
  }
  if (_chmod(place_->path.c_str(), static_cast<int>(before.mode)) != 0) {
    return "cannot give the copy its permissions: " +
           std::error_code(errno, std::generic_category()).message();
  }
  if (keep_dates && !give_dates(place_->path, before, error)) {
    return "cannot give the copy its dates: " + error.message();
  }
  if (MoveFileExA(place_->path.c_str(), place_->original.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    return "cannot replace it: " +
           std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
  }
  place_->owned = false;
  return {};
}

}  // namespace tacetra_cli

#endif
