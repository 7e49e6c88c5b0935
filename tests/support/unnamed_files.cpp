#include "unnamed_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>

namespace fixtures {

bool has_unnamed_files(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// An O_TMPFILE file's descriptor leads to "<dir>/#<inode> (deleted)".
std::vector<struct stat> unnamed_files_open_in(const std::string& dir) {
  std::vector<struct stat> found;
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return found;
  const std::string prefix = dir + "/#";
  const std::string suffix = " (deleted)";
  while (const dirent* entry = ::readdir(fds)) {
    const std::string fd = std::string("/proc/self/fd/") + entry->d_name;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(fd.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    const std::string to(target, static_cast<std::size_t>(length));
    if (to.size() <= prefix.size() + suffix.size() || to.compare(0, prefix.size(), prefix) != 0 ||
        to.compare(to.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    struct stat st {};
    if (::stat(fd.c_str(), &st) == 0) found.push_back(st);
  }
  ::closedir(fds);
  return found;
}

}  // namespace fixtures
