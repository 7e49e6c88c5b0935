#ifndef _WIN32

#include <pthread.h>

#include <new>

#include "platform/thread.h"

namespace tacetra {
namespace {

// What a Win32 thread handle stands for: the thread and what it runs.
struct posix_thread {
  pthread_t id;
  thread_proc proc;
  void* arg;
};

void* posix_entry(void* p) {
  auto* t = static_cast<posix_thread*>(p);
  t->proc(t->arg);
  return nullptr;
}

}  // namespace

thread_handle thread_create(thread_proc proc, void* arg) {
  auto* t = new (std::nothrow) posix_thread{{}, proc, arg};
  if (t == nullptr) return nullptr;
  if (pthread_create(&t->id, nullptr, posix_entry, t) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void thread_wait(thread_handle handle) {
  pthread_join(static_cast<posix_thread*>(handle)->id, nullptr);
}

void thread_close(thread_handle handle) { delete static_cast<posix_thread*>(handle); }

}  // namespace tacetra

#endif
