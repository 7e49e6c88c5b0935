// A small tmpfs mounted for one test: a filesystem that fills up after a
// few MiB, or that refuses every write once made read-only, which permission
// bits cannot do for root. Linux only; mounting needs root (as in CI).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace fixtures {

class TmpfsMount {
 public:
  // Mounts a tmpfs of `bytes` on the new directory `dir`; null, with the
  // reason in `why`, where mounting is not permitted.
  static std::unique_ptr<TmpfsMount> mount(const std::string& dir, std::int64_t bytes, std::string& why);
  ~TmpfsMount();  // unmounts, leaving the empty directory
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // From now on every write is refused.
  void make_read_only();

 private:
  TmpfsMount(std::string path, std::string options) : path_(std::move(path)), options_(std::move(options)) {}

  std::string path_;
  std::string options_;
};

}  // namespace fixtures
