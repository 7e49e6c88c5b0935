#pragma once

#include <cstdint>

#ifdef __linux__
#include <condition_variable>
#include <mutex>
#endif

namespace tacetra {

class partial_file;

// Writes a job's copy into its partial file and, on Linux, hands every
// completed stretch of it to the disk while the copy goes on, so that the
// final flush waits only for the tail. A thread of the object's own waits
// on the disk (sync_file_range), never the copy: the copy waits only when
// more than a few tens of MiB are still on their way, which bounds the
// memory a job's unwritten pages hold. The thread starts with the first
// completed stretch and ends with the object or finish(), so it never
// outlives the job. Elsewhere (Windows) the writes go straight to the file,
// which is flushed whole at the end.
class write_back {
 public:
  explicit write_back(partial_file& file) : file_(file) {}
  ~write_back() { finish(); }
  write_back(const write_back&) = delete;
  write_back& operator=(const write_back&) = delete;

  // partial_file's write and seek, which this object follows to know how far
  // the file is complete.
  int write(const std::uint8_t* data, int size);
  std::int64_t seek(std::int64_t offset, int whence);

  // Ends the thread once the stretches it was given are on the disk; false
  // when the disk failed one. The file's own flush, for the tail and for
  // what was written again, still has to follow. Called again, it tells the
  // same.
  bool finish();

 private:
  partial_file& file_;
#ifdef __linux__
  // Hands [handed_, end) to the thread, `end` a whole number of stretches;
  // FFmpeg's error code once a stretch has failed.
  int hand_over(std::int64_t end);
  static std::uint32_t run(void* self);
  void write_back_stretches();

  std::int64_t position_ = 0;  // where the next write lands
  std::int64_t end_ = 0;       // how far the file has been written, at most
  std::mutex mutex_;
  std::condition_variable changed_;
  void* thread_ = nullptr;
  bool no_thread_ = false;  // none could be started: the final flush does it all
  // Guarded by mutex_: the thread writes [on_disk_, handed_) back.
  std::int64_t handed_ = 0;
  std::int64_t on_disk_ = 0;
  int error_ = 0;  // errno of a stretch that failed
  bool stopping_ = false;
#endif
};

}  // namespace tacetra
