#ifdef _WIN32

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "common/partial_file.h"
#include "platform/native_path.h"

namespace tacetra {
namespace {

// The file a handle is open on: its volume and index.
bool identity_of(HANDLE h, unsigned long& volume, unsigned long& high, unsigned long& low) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  high = info.nFileIndexHigh;
  low = info.nFileIndexLow;
  return true;
}

// Opens what a name leads to itself, a link rather than its target, for
// `access` and nothing more, letting others keep it open.
HANDLE open_named(const std::wstring& name, DWORD access) {
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Marks the file open at `h` for deletion once its last handle is closed,
// whoever closes it, the system included when the process dies; or takes
// the mark back.
bool delete_on_close(HANDLE h, bool marked) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked ? TRUE : FALSE)};
  return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

int write_error() {
  const DWORD code = GetLastError();
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL ? AVERROR(ENOSPC) : AVERROR(EIO);
}

}  // namespace

HANDLE partial_file::create_new(const std::string& directory, const char* stem) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!partial_file_name(name_, name_capacity, stem, attempt)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    wide_name_ = native_path((directory + name_).c_str());
    if (wide_name_.empty()) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    // CREATE_NEW: a name that exists, a link included, is never opened. No
    // sharing: nobody else opens, renames or deletes the file while the job
    // holds it.
    const HANDLE h = CreateFileW(wide_name_.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) {
      return h;
    }
  }
  return INVALID_HANDLE_VALUE;
}

partial_file::created partial_file::create(const char* final_path, naming) {
  const char* cut = nullptr;
  for (const char* p = final_path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') cut = p;
  }
  if (cut == nullptr || cut[1] == '\0') return created::failed;
  const char* final_name = cut + 1;
  const std::string directory(final_path, static_cast<std::size_t>(final_name - final_path));
  final_ = native_path(final_path);
  if (final_.empty()) return created::failed;
  const DWORD at_output = GetFileAttributesW(final_.c_str());
  if (at_output != INVALID_FILE_ATTRIBUTES && (at_output & FILE_ATTRIBUTE_DIRECTORY)) {
    return created::directory_at_output;
  }

  // A name's UTF-16 units are what the file system limits, to 255: one at
  // the limit leaves no room for the suffix.
  constexpr std::size_t longest_suffix = sizeof ".part99" - 1;
  const bool room = wide_from_utf8(final_name).size() + longest_suffix <= 255;
  HANDLE h = room ? create_new(directory, final_name) : INVALID_HANDLE_VALUE;
  if (!room || (h == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILENAME_EXCED_RANGE ||
                                               GetLastError() == ERROR_INVALID_NAME))) {
    h = create_new(directory, "tacetra");
  }
  if (h == INVALID_HANDLE_VALUE) return created::failed;
  handle_ = h;
  exists_ = true;
  if (!identity_of(h, volume_, index_high_, index_low_)) return created::failed;
  // Until the commit takes the mark back, a host that dies mid-copy leaves
  // nothing behind. A file system that refuses the mark keeps the named
  // file, which the job itself still removes.
  marked_ = delete_on_close(h, true);
  return created::ok;
}

int partial_file::write(const std::uint8_t* data, int size) {
  for (int left = size; left > 0;) {
    DWORD written = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(left), &written, nullptr)) return write_error();
    if (written == 0) return AVERROR(EIO);
    data += written;
    left -= static_cast<int>(written);
  }
  return size;
}

std::int64_t partial_file::seek(std::int64_t offset, int whence) {
  if (whence & AVSEEK_SIZE) {
    LARGE_INTEGER size;
    return GetFileSizeEx(handle_, &size) ? size.QuadPart : AVERROR(EIO);
  }
  DWORD method = FILE_BEGIN;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: method = FILE_BEGIN; break;
    case SEEK_CUR: method = FILE_CURRENT; break;
    case SEEK_END: method = FILE_END; break;
    default: return AVERROR(EINVAL);
  }
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  return SetFilePointerEx(handle_, distance, &position, method) ? position.QuadPart : AVERROR(EIO);
}

// ReplaceFileW gives the copy the replaced file's attributes and security.
bool partial_file::take_attributes_of_replaced() { return true; }

bool partial_file::finish() {
  LARGE_INTEGER size;
  if (!FlushFileBuffers(handle_) || !GetFileSizeEx(handle_, &size)) return false;
  size_ = size.QuadPart;
  return true;
}

bool partial_file::is_own(void* h) const {
  unsigned long volume = 0, high = 0, low = 0;
  return identity_of(h, volume, high, low) && volume == volume_ && high == index_high_ &&
         low == index_low_;
}

bool partial_file::is_still_named() const {
  const HANDLE h = open_named(wide_name_, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool own = is_own(h);
  CloseHandle(h);
  return own;
}

bool partial_file::commit() {
  if (!exists_ || handle_ == nullptr) return false;
  // ReplaceFileW works on names, with no handle of the job's open; the file
  // keeps its name from here on, and discard removes it by name if the
  // commit goes no further.
  const bool unmarked = !marked_ || delete_on_close(handle_, false);
  const bool closed = CloseHandle(handle_) != 0;
  handle_ = nullptr;
  if (!unmarked || !closed || !is_still_named()) return false;
  const DWORD at_output = GetFileAttributesW(final_.c_str());
  const bool replaces_file = at_output != INVALID_FILE_ATTRIBUTES &&
                             !(at_output & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  const bool moved = replaces_file ? ReplaceFileW(final_.c_str(), wide_name_.c_str(), nullptr,
                                                  REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                                   : MoveFileExW(wide_name_.c_str(), final_.c_str(),
                                                 MOVEFILE_REPLACE_EXISTING) != 0;
  if (!moved) return false;
  exists_ = false;
  // ReplaceFileW keeps the replaced file's attributes; set them again where
  // an implementation of it does not (Wine).
  constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (replaces_file && (at_output & kept) != 0) {
    const DWORD now = GetFileAttributesW(final_.c_str());
    if (now != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(final_.c_str(), (now & ~FILE_ATTRIBUTE_NORMAL) | (at_output & kept));
  }
  return true;
}

void partial_file::discard() {
  if (handle_ != nullptr) {
    // Deleted through the job's own handle: whatever the name leads to.
    if (exists_) delete_on_close(handle_, true);
    CloseHandle(handle_);
    handle_ = nullptr;
  } else if (exists_) {
    const HANDLE h = open_named(wide_name_, DELETE);
    if (h != INVALID_HANDLE_VALUE) {
      if (is_own(h)) delete_on_close(h, true);
      CloseHandle(h);
    }
  }
  exists_ = false;
}

// Windows gives the job no flush of a directory: the copy's bytes were
// flushed before the move (finish), and its name is left to the file system.
bool partial_file::flush_name() { return true; }

}  // namespace tacetra

#endif
