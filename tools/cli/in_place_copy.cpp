#include "in_place_copy.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace tacetra_cli {
namespace {

// Copies named so far by this process; the host thread alone names them.
int g_copies_named = 0;

int process_id() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

// Fails when the name exists, so nothing already there is ever taken.
int create_new(const std::string& path) {
#ifdef _WIN32
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
}

void close_file(int fd) {
#ifdef _WIN32
  _close(fd);
#else
  close(fd);
#endif
}

bool same_dates(const file_facts& a, const file_facts& b) {
  return a.modified_s == b.modified_s && a.modified_ns == b.modified_ns;
}

}  // namespace

in_place_copy::~in_place_copy() {
  if (owned_) std::remove(path_.c_str());
}

bool in_place_copy::reserve(std::error_code& error) {
  const fs::path original(original_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "." + original.stem().string() + ".tacetra-" + std::to_string(process_id()) +
                             "-" + std::to_string(g_copies_named++) + original.extension().string();
    path_ = (original.parent_path() / name).string();
    const int fd = create_new(path_);
    if (fd >= 0) {
      close_file(fd);
      owned_ = true;
      return true;
    }
    if (errno != EEXIST) break;
  }
  error.assign(errno, std::generic_category());
  return false;
}

std::string in_place_copy::replace_original(const file_facts& before, bool keep_dates) {
  std::error_code error;
  const auto now = facts_of(original_, error);
  if (!now) return "cannot look at it again: " + error.message();
  // Whatever was written to it meanwhile the copy does not hold.
  if (now->size != before.size || !same_dates(*now, before)) return "it changed while it was being copied";
  if (!give_mode_and_owner(path_, before, error))
    return "cannot give the copy its permissions: " + error.message();
  if (keep_dates && !give_dates(path_, before, error))
    return "cannot give the copy its dates: " + error.message();
  if (!replace_file(path_, original_, error)) return "cannot replace it: " + error.message();
  owned_ = false;
  return {};
}

}  // namespace tacetra_cli
