#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/thread.h"

namespace tacetra {

inline constexpr int MAX_SESSIONS = 4;
inline constexpr std::size_t PATH_CAPACITY = 1200;
// Longest accepted path: one byte shorter than the field could hold.
inline constexpr std::size_t PATH_MAX_LENGTH = 1198;
// A path made absolute when the job starts: the longest current directory a
// system reports, a separator, the path as given and a "file:" prefix.
inline constexpr std::size_t RESOLVED_PATH_CAPACITY = 4096 + PATH_CAPACITY + 8;

enum job_state : std::int32_t {
  MUTE_PENDING = 0,
  MUTE_RUNNING = 2,
  MUTE_DONE = 3,
  MUTE_CANCELLED = 4,
  MUTE_FAILED = 5,
};

enum start_error : int {
  START_ERR_ARGS = -1,
  START_ERR_BUSY = -2,
  START_ERR_OPEN = -3,
  START_ERR_THREAD = -4,
  START_ERR_NO_VIDEO = -5,
  START_ERR_NO_AUDIO = -7,
};

struct mute_session;

// One job's thread: created by tacetra_start, owned by the slot, freed by
// tacetra_free once the thread has been joined.
struct thread_start {
  thread_handle handle;
  void (*fn)(mute_session*);
  mute_session* arg;
};

// One job slot. The host thread and the slot's worker share it without a
// lock: every word both of them touch is accessed through std::atomic_ref
// (see load/store below). The worker publishes a final state last, with
// release ordering, after its figures and its error text.
struct mute_session {
  alignas(4) std::int32_t in_use;
  alignas(4) std::int32_t state;
  alignas(4) std::int32_t cancel;
  // The two paths as the host gave them, which the reports show.
  char in_path[PATH_CAPACITY];
  char out_path[PATH_CAPACITY];
  alignas(8) std::int64_t processed_ms;
  alignas(8) std::int64_t total_ms;
  alignas(8) std::int64_t packets;
  alignas(8) std::int64_t in_size_bytes;
  alignas(8) std::int64_t out_size_bytes;
  alignas(8) std::int64_t elapsed_ms;
  char error[256];
  char progress_json[512];
  char result_json[4096];
  thread_start* thread;
  // The same two paths as tacetra_start resolved them against the current
  // directory of that moment: what the worker reads and writes, and what
  // later starts compare their output with, whatever the host's current
  // directory becomes.
  char in_path_resolved[RESOLVED_PATH_CAPACITY];
  char out_path_resolved[RESOLVED_PATH_CAPACITY];
};

extern mute_session g_sessions[MAX_SESSIONS];

template <class T>
T load(const T& word, std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<T>(const_cast<T&>(word)).load(order);
}

template <class T>
void store(T& word, std::type_identity_t<T> value,
           std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<T>(word).store(value, order);
}

// The slot named by `id`, or null when the id is out of range or the slot free.
mute_session* session_in_use(int id);

inline bool is_final(std::int32_t state) {
  return state == MUTE_DONE || state == MUTE_CANCELLED || state == MUTE_FAILED;
}

void mute_thread(mute_session* s);

}  // namespace tacetra
