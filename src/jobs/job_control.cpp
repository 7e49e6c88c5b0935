#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/absolute_path.h"
#include "common/file_size.h"
#include "common/local_files.h"
#include "common/same_file.h"
#include "jobs/session.h"
#include "tacetra.h"

namespace tacetra {

mute_session g_sessions[MAX_SESSIONS];

mute_session* session_in_use(int id) {
  if (static_cast<unsigned>(id) >= MAX_SESSIONS) return nullptr;
  mute_session& s = g_sessions[id];
  return s.in_use != 0 ? &s : nullptr;
}

// The entry of every worker thread: adapts the platform's thread procedure
// to the worker's signature.
std::uint32_t TCT_THREAD_CALL tct_tramp(void* param) {
  auto* start = static_cast<thread_start*>(param);
  start->fn(start->arg);
  return 0;
}

namespace {

bool valid_path(const char* path) {
  return path != nullptr && path[0] != '\0' && std::strlen(path) <= PATH_MAX_LENGTH;
}

// Writing to the input itself, or to a file another live job reads or
// writes, would destroy what that job depends on (and a cancel would then
// delete the user's original). Every path here is one resolved when its
// job started, so a relative path names what it named then, whatever the
// host's current directory is now; same_file compares the files themselves
// where they exist, so links and other spellings of a name count too.
bool output_collides(const char* in_path_resolved, const char* out_path_resolved) {
  // Inputs are compared as FFmpeg reads them; outputs are written at the
  // name the runtime knows.
  if (same_file(ffmpeg_file_name(in_path_resolved), out_path_resolved)) return true;
  for (mute_session& other : g_sessions) {
    if (other.in_use == 0) continue;
    const std::int32_t state = load(other.state, std::memory_order_acquire);
    if (state != MUTE_PENDING && state != MUTE_RUNNING) continue;
    if (same_file(out_path_resolved, ffmpeg_file_name(other.in_path_resolved)) ||
        same_file(out_path_resolved, other.out_path_resolved)) {
      return true;
    }
  }
  return false;
}

// Opens the input once to check that it can be read and has both a video
// and an audio stream; returns 0 or the start code that refuses it.
int judge_input(const char* in_path) {
  input_context input;
  if (open_local_input(in_path, input) < 0) return START_ERR_OPEN;
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return START_ERR_OPEN;
  if (input->nb_streams == 0) return START_ERR_NO_VIDEO;
  bool has_video = false;
  bool has_audio = false;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVMediaType type = input->streams[i]->codecpar->codec_type;
    has_video |= type == AVMEDIA_TYPE_VIDEO;
    has_audio |= type == AVMEDIA_TYPE_AUDIO;
  }
  if (!has_video) return START_ERR_NO_VIDEO;
  if (!has_audio) return START_ERR_NO_AUDIO;
  return 0;
}

int lowest_free_slot() {
  for (int id = 0; id < MAX_SESSIONS; ++id) {
    if (g_sessions[id].in_use == 0) return id;
  }
  return START_ERR_BUSY;
}

}  // namespace
}  // namespace tacetra

using namespace tacetra;

extern "C" TACETRA_API int tacetra_start(const char* in_path, const char* out_path) {
  if (!valid_path(in_path) || !valid_path(out_path)) return START_ERR_ARGS;
  // The files the paths name now, whatever the host's current directory is
  // when the worker opens them.
  char in_path_resolved[RESOLVED_PATH_CAPACITY];
  char out_path_resolved[RESOLVED_PATH_CAPACITY];
  if (!absolute_path(in_path, in_path_resolved, sizeof in_path_resolved) ||
      !absolute_path(out_path, out_path_resolved, sizeof out_path_resolved)) {
    return START_ERR_ARGS;
  }
  if (output_collides(in_path_resolved, out_path_resolved)) return START_ERR_ARGS;
  if (const int refused = judge_input(in_path_resolved); refused != 0) return refused;
  const int id = lowest_free_slot();
  if (id < 0) return id;

  // A free slot's thread has been joined, so nothing else touches it now.
  mute_session& s = g_sessions[id];
  std::memset(&s, 0, sizeof s);
  s.in_use = 1;
  store(s.state, MUTE_PENDING);
  std::snprintf(s.in_path, PATH_CAPACITY, "%s", in_path);
  std::snprintf(s.out_path, PATH_CAPACITY, "%s", out_path);
  std::memcpy(s.in_path_resolved, in_path_resolved, sizeof in_path_resolved);
  std::memcpy(s.out_path_resolved, out_path_resolved, sizeof out_path_resolved);
  s.in_size_bytes = file_size(in_path_resolved);

  auto* start = static_cast<thread_start*>(std::calloc(1, sizeof(thread_start)));
  if (start == nullptr) {
    s.in_use = 0;
    return START_ERR_THREAD;
  }
  start->fn = mute_thread;
  start->arg = &s;
  start->handle = thread_create(tct_tramp, start);
  if (start->handle == nullptr) {
    std::free(start);
    s.thread = nullptr;
    s.in_use = 0;
    return START_ERR_THREAD;
  }
  s.thread = start;
  return id;
}

extern "C" TACETRA_API int tacetra_status(int id) {
  const mute_session* s = session_in_use(id);
  return s != nullptr ? load(s->state) : -1;
}

extern "C" TACETRA_API void tacetra_cancel(int id) {
  if (mute_session* s = session_in_use(id)) store(s->cancel, 1);
}

extern "C" TACETRA_API void tacetra_free(int id) {
  mute_session* s = session_in_use(id);
  if (s == nullptr) return;
  store(s->cancel, 1);
  if (s->thread != nullptr) {
    thread_wait(s->thread->handle);
    thread_close(s->thread->handle);
    std::free(s->thread);
    s->thread = nullptr;
  }
  // The worker has deleted its own unfinished output before it ended, and
  // nothing else at or beside the output path is the job's to remove.
  s->in_use = 0;
}
