#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <string>
#endif

namespace tacetra {

// The named partial file's name on the `attempt`-th try: "<stem>.part",
// then "<stem>.part1", ...; false when it does not fit.
inline bool partial_file_name(char* out, std::size_t capacity, const char* stem, int attempt) {
  const int length = attempt == 0 ? std::snprintf(out, capacity, "%s.part", stem)
                                  : std::snprintf(out, capacity, "%s.part%d", stem, attempt);
  return length >= 0 && static_cast<std::size_t>(length) < capacity;
}

// The file a job writes its copy into: a new file beside the output path,
// written only through the handle that created it, so that nothing that
// already stands at or beside the output (a user's file, a symlink, a name
// swapped in while the job runs) is ever opened for writing. Where the file
// system allows it, the file has no name while it is written, so that a
// host killed mid-copy leaves nothing behind: on Linux an O_TMPFILE file,
// linked in at a fresh name nobody can guess only once complete; on Windows
// a file marked for deletion on close until it is committed. Elsewhere it is
// a named file, "<name>.part", created exclusively. It takes the output's
// name only once complete, and is deleted with the object unless it has
// been committed; either step first makes sure that its name still leads
// to this file.
class partial_file {
 public:
  enum class created { ok, directory_at_output, failed };
  // Whether the file may be written without a name. Windows files always
  // have one; `named` is the path taken on Linux file systems that have no
  // unnamed files.
  enum class naming { unnamed_where_possible, named };

  partial_file() = default;
  ~partial_file() { discard(); }
  partial_file(const partial_file&) = delete;
  partial_file& operator=(const partial_file&) = delete;

  // Creates the file beside `final_path`, an absolute path that must outlive
  // the object. A named one is "<name>.part", or ".part1", ".part2", ...
  // when taken, or a short name of its own, "tacetra.part", when the
  // output's name leaves no room for the suffix. Nothing is created when a
  // directory stands at the output path.
  created create(const char* final_path, naming how = naming::unnamed_where_possible);

  // Writes all of `size` bytes at the current position; FFmpeg's error code
  // (negative) when any of them could not be written.
  int write(const std::uint8_t* data, int size);

  // lseek's contract, with FFmpeg's error codes; AVSEEK_SIZE gives the size.
  std::int64_t seek(std::int64_t offset, int whence);

  // Gives the file the attributes of the file it is to replace (see
  // take_attributes_of_replaced) and makes every byte durable, keeping the
  // size; false when any of it fails. The handle stays open for commit,
  // which an unnamed file needs to be linked in.
  bool finish();

  std::int64_t size() const { return size_; }
#ifndef _WIN32
  int descriptor() const { return fd_; }  // for writing back while it is written
#endif

  // Gives the finished file the output's name, replacing what stands there,
  // and closes the handle. False, and nothing at the output touched, when
  // the partial name no longer leads to this file or the move fails.
  bool commit();

  // Makes the committed name durable: a crash after a true return finds the
  // copy at the output's name, not the file it replaced. False when the
  // flush fails; the copy then stands at the name all the same.
  bool flush_name();

  // Deletes the file unless it was committed, only where its name still
  // leads to it.
  void discard();

 private:
  bool is_still_named() const;
  // The permission bits (and, where allowed, the owner) of the regular file
  // at the output path, which the copy is to replace.
  bool take_attributes_of_replaced();

  static constexpr std::size_t name_capacity = 256 + 32;
  char name_[name_capacity] = {};  // the partial file's name in its directory
  bool exists_ = false;  // name_ leads to the file, which the job has to remove
  std::int64_t size_ = 0;
#ifdef _WIN32
  bool is_own(void* handle) const;  // a handle open on this very file
  // Creates "<stem>.part", or ".part1", ".part2", ... when taken, in the
  // directory (UTF-8, with its separator), naming it in name_ and
  // wide_name_; INVALID_HANDLE_VALUE, with the system's error, otherwise.
  void* create_new(const std::string& directory, const char* stem);

  void* handle_ = nullptr;  // the file's HANDLE; null once closed
  bool marked_ = false;     // to be deleted when the handle closes
  std::wstring final_;      // the output path as the system names it
  std::wstring wide_name_;  // the partial file's whole path, likewise
  unsigned long volume_ = 0, index_high_ = 0, index_low_ = 0;
#else
  // Links the unnamed file in at a fresh name of its own, named in name_.
  bool link_in();

  int fd_ = -1;
  int directory_fd_ = -1;
  bool unnamed_ = false;  // an O_TMPFILE file, not yet linked in
  const char* final_name_ = nullptr;  // within the caller's final path
  std::uint64_t device_ = 0, inode_ = 0;
#endif
};

}  // namespace tacetra
