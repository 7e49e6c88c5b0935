#include "tmpfs_mount.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fixtures {

std::unique_ptr<TmpfsMount> TmpfsMount::mount(const std::string& dir, std::int64_t bytes, std::string& why) {
  if (::mkdir(dir.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    why = "mounting a tmpfs on " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<TmpfsMount>(new TmpfsMount(dir, options));
}

TmpfsMount::~TmpfsMount() {
  // Lazily, so that a child still holding a file open cannot keep it.
  ::umount2(path_.c_str(), MNT_DETACH);
}

void TmpfsMount::make_read_only() {
  if (::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
              options_.c_str()) != 0) {
    throw std::runtime_error("remounting " + path_ + " read-only: " + std::strerror(errno));
  }
}

}  // namespace fixtures
