#include "common/write_back.h"

#ifdef __linux__
#include <errno.h>
#include <fcntl.h>
#endif

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "common/partial_file.h"
#ifdef __linux__
#include "platform/thread.h"
#endif

namespace tacetra {

#ifndef __linux__

int write_back::write(const std::uint8_t* data, int size) { return file_.write(data, size); }

std::int64_t write_back::seek(std::int64_t offset, int whence) {
  return file_.seek(offset, whence);
}

bool write_back::finish() { return true; }

#else

namespace {

// What is handed to the disk at a time.
constexpr std::int64_t stretch = std::int64_t{8} << 20;
// Stretches handed over and not yet on the disk before the copy waits.
constexpr std::int64_t most_unwritten = 4 * stretch;

}  // namespace

int write_back::write(const std::uint8_t* data, int size) {
  const int written = file_.write(data, size);
  if (written <= 0) return written;
  position_ += written;
  if (position_ <= end_) return written;  // a rewrite of what was there
  end_ = position_;
  const std::int64_t complete = end_ / stretch * stretch;
  if (no_thread_ || complete < handed_ + stretch) return written;
  const int handed = hand_over(complete);
  return handed < 0 ? handed : written;
}

int write_back::hand_over(std::int64_t end) {
  std::unique_lock lock(mutex_);
  if (thread_ == nullptr) {
    thread_ = thread_create(run, this);
    if (thread_ == nullptr) {
      no_thread_ = true;
      return 0;
    }
  }
  handed_ = end;
  changed_.notify_all();
  changed_.wait(lock, [this] { return error_ != 0 || handed_ - on_disk_ <= most_unwritten; });
  return error_ != 0 ? AVERROR(error_) : 0;
}

std::uint32_t write_back::run(void* self) {
  static_cast<write_back*>(self)->write_back_stretches();
  return 0;
}

void write_back::write_back_stretches() {
  const int fd = file_.descriptor();
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || on_disk_ < handed_; });
    // What was handed over is written back even when the copy has ended:
    // the final flush would otherwise have to write it.
    if (on_disk_ == handed_) return;
    const std::int64_t from = on_disk_;
    const std::int64_t to = handed_;
    lock.unlock();
    // Starts writing every page of the range and waits until they are all on
    // the disk: the copy meanwhile goes on writing further pages.
    int failed = ::sync_file_range(fd, from, to - from,
                                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                       SYNC_FILE_RANGE_WAIT_AFTER) == 0
                     ? 0
                     : errno;
    // Written pages leave the page cache: a long copy does not push out what
    // the rest of the machine keeps there.
    if (failed == 0) (void)::posix_fadvise(fd, from, to - from, POSIX_FADV_DONTNEED);
    lock.lock();
    on_disk_ = to;
    if (failed != 0) {
      // A failure the disk reported here may not be reported to the final
      // flush again: it is kept to fail the copy.
      error_ = failed;
      changed_.notify_all();
      return;
    }
    changed_.notify_all();
  }
}

std::int64_t write_back::seek(std::int64_t offset, int whence) {
  const std::int64_t result = file_.seek(offset, whence);
  if (result >= 0 && !(whence & AVSEEK_SIZE)) position_ = result;
  return result;
}

bool write_back::finish() {
  if (thread_ != nullptr) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    thread_wait(thread_);
    thread_close(thread_);
    thread_ = nullptr;
  }
  std::lock_guard lock(mutex_);
  return error_ == 0;
}

#endif

}  // namespace tacetra
