#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include "hidden_places.h"
#include "in_place_copy.h"

namespace fs = std::filesystem;

namespace tacetra_cli {
namespace {

class descriptor {
 public:
  descriptor() = default;
  explicit descriptor(int fd) : fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  descriptor& operator=(descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string with_reason(const std::string& what, int error) {
  return what + ": " + std::error_code(error, std::generic_category()).message();
}

constexpr const char* acl_attribute = "system.posix_acl_access";

// The access control list and the user's own attributes: what decides who
// may read the file, and what the user keeps with it. Other namespaces
// belong to the system (security labels, capabilities) or to root.
bool carried_over(const std::string& name) {
  return name == acl_attribute || name.starts_with("user.");
}

struct attribute {
  std::string name;
  std::string value;
};

// The attributes carried over of the file open on `fd`; false, with errno
// set, when they cannot be read. A file system without extended attributes
// gives none.
bool read_attributes(int fd, std::vector<attribute>& out) {
  ssize_t size = ::flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::string names(static_cast<std::size_t>(size), '\0');
  while ((size = ::flistxattr(fd, names.data(), names.size())) < 0 && errno == ERANGE) {
    names.resize(names.size() * 2 + 64);  // grew meanwhile
  }
  if (size < 0) return false;
  names.resize(static_cast<std::size_t>(size));
  for (std::size_t at = 0; at < names.size();) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (!carried_over(name)) continue;
    std::string value(256, '\0');
    ssize_t length;
    while ((length = ::fgetxattr(fd, name.c_str(), value.data(), value.size())) < 0 &&
           errno == ERANGE) {
      value.resize(value.size() * 4);
    }
    if (length < 0 && errno == ENODATA) continue;  // removed meanwhile
    if (length < 0) return false;
    value.resize(static_cast<std::size_t>(length));
    out.push_back({name, std::move(value)});
  }
  return true;
}

// ".tacetra-" and twelve random letters and digits: no other run, and no
// one watching, can tell the name before it exists.
std::string random_place_name() {
  static constexpr char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[12] = {};
  for (std::size_t got = 0; got < sizeof bytes;) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  std::string name = ".tacetra-";
  for (const unsigned char b : bytes) name += digits[b % (sizeof digits - 1)];
  return name;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_file(const struct stat& a, const file_facts& b) {
  return static_cast<std::uint64_t>(a.st_dev) == b.device &&
         static_cast<std::uint64_t>(a.st_ino) == b.inode;
}

std::string through_proc(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Releases a lease taken on a descriptor.
struct lease_holder {
  int fd = -1;
  ~lease_holder() {
    if (fd >= 0) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  }
};

}  // namespace

struct in_place_copy::place {
  std::string original;
  descriptor parent;  // the directory that holds the file
  std::string name;   // the file's name in it
  descriptor file;    // the file as it was found, read only
  file_facts before;
  std::vector<attribute> attributes;
  std::string input_path;  // the file, through its descriptor

  descriptor dir;  // the private directory, once made
  struct stat dir_stat {};
  std::string dir_name;
  std::string copy_name;  // the copy's name in the directory
  std::string copy_path;  // the copy, through the directory's descriptor
  int record = -1;        // in hidden_places
  bool keep_dir = false;  // it holds what must not be lost

  // Everything in the private directory is the program's, then the
  // directory itself, where its name still leads to it.
  void remove_dir() {
    const descriptor listing(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (DIR* entries = listing ? ::fdopendir(::dup(listing.get())) : nullptr) {
      while (const dirent* entry = ::readdir(entries)) {
        const std::string n = entry->d_name;
        if (n != "." && n != "..") ::unlinkat(dir.get(), n.c_str(), 0);
      }
      ::closedir(entries);
    }
    struct stat named;
    if (::fstatat(parent.get(), dir_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, dir_stat)) {
      ::unlinkat(parent.get(), dir_name.c_str(), AT_REMOVEDIR);
    }
  }

  // Gives the copy open on `copy` what the file had: owner, the user's
  // attributes, the ACL, then the mode (after chown, which clears the set-id
  // bits, and after the ACL, whose mask the mode's group bits are).
  std::string give_attributes(int copy, bool keep_dates) {
    struct stat own;
    if (::fstat(copy, &own) != 0) return with_reason("cannot look at its copy", errno);
    const auto owner = static_cast<uid_t>(before.owner);
    const auto group = static_cast<gid_t>(before.group);
    if (own.st_uid != owner || own.st_gid != group) {
      // Only root may give a file away; anyone may give it a group they are
      // in. What cannot be given stays the user's, as with cp -p.
      if (::fchown(copy, owner, group) != 0) (void)::fchown(copy, static_cast<uid_t>(-1), group);
      if (::fstat(copy, &own) != 0) return with_reason("cannot look at its copy", errno);
    }
    // The group's rights would go to a group that had none.
    if (own.st_gid != group && (before.mode & 070) != 0) {
      return "cannot give its copy the group " + std::to_string(group);
    }
    bool has_acl = false;
    for (const attribute& a : attributes) {
      has_acl |= a.name == acl_attribute;
      if (::fsetxattr(copy, a.name.c_str(), a.value.data(), a.value.size(), 0) != 0) {
        return with_reason("cannot give its copy the attribute " + a.name, errno);
      }
    }
    // One inherited from the directory's default ACL must not stay.
    if (!has_acl && ::fremovexattr(copy, acl_attribute) != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
      return with_reason("cannot take an inherited ACL off its copy", errno);
    }
    if (::fchmod(copy, static_cast<mode_t>(before.mode)) != 0) {
      return with_reason("cannot give its copy its permissions", errno);
    }
    if (keep_dates) {
      const timespec times[2] = {{before.accessed_s, before.accessed_ns},
                                 {before.modified_s, before.modified_ns}};
      if (::futimens(copy, times) != 0) return with_reason("cannot give its copy its dates", errno);
    }
    return {};
  }

  // The file at its name is still the one opened, unchanged.
  std::string still_as_found() const {
    struct stat named;
    if (::fstatat(parent.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, before)) {
      return "it was replaced by another file while it was being copied";
    }
    std::error_code error;
    const auto now = facts_of(file.get(), error);
    if (!now) return "cannot look at it again: " + error.message();
    // A user can put the modification time back, but not the change time.
    if (now->size != before.size || now->modified_s != before.modified_s ||
        now->modified_ns != before.modified_ns || now->changed_s != before.changed_s ||
        now->changed_ns != before.changed_ns) {
      return "it changed while it was being copied";
    }
    return {};
  }
};

in_place_copy::in_place_copy(std::string original) : place_(std::make_unique<place>()) {
  place_->original = std::move(original);
}

in_place_copy::~in_place_copy() {
  place& p = *place_;
  forget_hidden_place(p.record);
  if (p.dir && !p.keep_dir) p.remove_dir();
}

std::string in_place_copy::take_hold() {
  place& p = *place_;
  const fs::path path(p.original);
  p.name = path.filename().string();
  p.parent = descriptor(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!p.parent) return with_reason("cannot open its directory", errno);
  // Non-blocking: a FIFO put at the name meanwhile must not hold the
  // program up; it is refused below.
  p.file = descriptor(
      ::openat(p.parent.get(), p.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!p.file) return with_reason("cannot open it", errno);
  std::error_code error;
  const auto facts = facts_of(p.file.get(), error);
  if (!facts) return "cannot open it: " + error.message();
  if (!facts->regular) return "not a regular file, cannot be replaced in place";
  p.before = *facts;
  if (!read_attributes(p.file.get(), p.attributes))
    return with_reason("cannot read its attributes", errno);
  p.input_path = through_proc(p.file.get());
  return {};
}

const file_facts& in_place_copy::original_facts() const { return place_->before; }

std::string in_place_copy::make_place() {
  place& p = *place_;
  const std::string cannot = "cannot create its copy beside it";
  std::string failure = with_reason(cannot, EEXIST);
  for (int attempt = 0; attempt < 16 && !p.dir; ++attempt) {
    const std::string name = random_place_name();
    if (::mkdirat(p.parent.get(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return with_reason(cannot, errno);
    }
    // Anyone who may write the file's directory can move the new directory
    // away and put something of theirs at its name before it is opened:
    // that is left to them, and another name is tried.
    descriptor made(
        ::openat(p.parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made) {
      if (errno != ENOTDIR && errno != ELOOP) return with_reason(cannot, errno);
      failure = cannot + ": its directory was replaced";
      continue;
    }
    struct stat made_stat;
    if (::fstat(made.get(), &made_stat) != 0) return with_reason(cannot, errno);
    if (made_stat.st_uid != ::geteuid()) {
      failure = cannot + ": its directory was replaced";
      continue;
    }
    p.dir_name = name;
    p.dir = std::move(made);
    p.dir_stat = made_stat;
  }
  if (!p.dir) return failure;
  if (::fchmod(p.dir.get(), 0700) != 0) return with_reason(cannot, errno);

  // The copy keeps the file's extension, which decides its container.
  const std::string extension = fs::path(p.name).extension().string();
  p.copy_name = (extension.size() + 4 <= NAME_MAX ? "copy" : "c") + extension;
  p.record =
      remember_hidden_place(p.parent.get(), p.dir_name.c_str(), p.dir.get(), p.copy_name.c_str());
  p.copy_path = through_proc(p.dir.get()) + "/" + p.copy_name;

  // The job reaches both through /proc, which must lead to them.
  struct stat via_proc;
  if (::stat(through_proc(p.dir.get()).c_str(), &via_proc) != 0 ||
      !same_file(via_proc, p.dir_stat) || ::stat(p.input_path.c_str(), &via_proc) != 0 ||
      !same_file(via_proc, p.before)) {
    return cannot + ": /proc/self/fd does not lead to the files the program holds";
  }
  return {};
}

const std::string& in_place_copy::input_path() const { return place_->input_path; }

const std::string& in_place_copy::copy_path() const { return place_->copy_path; }

std::string in_place_copy::replace_original(bool keep_dates) {
  place& p = *place_;
  // Only the job could have written in the private directory; still, what
  // stands at the copy's name must be a file of the user's own.
  const descriptor copy(
      ::openat(p.dir.get(), p.copy_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!copy) return with_reason("cannot open its copy", errno);
  struct stat own;
  if (::fstat(copy.get(), &own) != 0) return with_reason("cannot look at its copy", errno);
  if (!S_ISREG(own.st_mode) || own.st_uid != ::geteuid() || own.st_nlink != 1) {
    return "its copy is not the one the job wrote";
  }
  if (std::string why = p.give_attributes(copy.get(), keep_dates); !why.empty()) return why;

  // Linux: a read lease is refused while anyone has the file open for
  // writing, and broken when anyone opens it so until it is released. Only
  // the file's owner (or root) may take one; others go by the checks alone.
  lease_holder lease;
  if (::fcntl(p.file.get(), F_SETLEASE, F_RDLCK) == 0) {
    lease.fd = p.file.get();
  } else if (errno == EAGAIN) {
    return "it is open for writing in another program";
  }
  if (std::string why = p.still_as_found(); !why.empty()) return why;
  struct stat named;
  if (::fstatat(p.dir.get(), p.copy_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(named, own)) {
    return "its copy is not the one the job wrote";
  }

  if (!hold_hidden_place(p.record)) return "interrupted";
  // Exchanged rather than moved over it, the file keeps a name until the
  // lease shows that no one opened it for writing meanwhile.
  const bool exchanged = ::renameat2(p.dir.get(), p.copy_name.c_str(), p.parent.get(),
                                     p.name.c_str(), RENAME_EXCHANGE) == 0;
  if (!exchanged) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
      return with_reason("cannot replace it", errno);
    // The file system cannot exchange: moved over in one step.
    if (::renameat(p.dir.get(), p.copy_name.c_str(), p.parent.get(), p.name.c_str()) != 0) {
      return with_reason("cannot replace it", errno);
    }
  }
  if (exchanged && lease.fd >= 0 && ::fcntl(lease.fd, F_GETLEASE) != F_RDLCK) {
    if (::renameat2(p.dir.get(), p.copy_name.c_str(), p.parent.get(), p.name.c_str(),
                    RENAME_EXCHANGE) != 0) {
      p.keep_dir = true;  // it holds the file's old self
      return with_reason(
          "it was opened for writing as it was being replaced, and could not be put back; it is "
          "in " +
              p.dir_name,
          errno);
    }
    return "it was opened for writing as it was being replaced";
  }
  // The file's old self, now in the private directory, goes with it.
  return {};
}

}  // namespace tacetra_cli

#endif
