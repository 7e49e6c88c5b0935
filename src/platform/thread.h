#pragma once

#include <cstdint>

#ifdef _WIN32
#define TCT_THREAD_CALL __stdcall
#else
#define TCT_THREAD_CALL
#endif

namespace tacetra {

// A thread procedure in the Win32 form: one pointer in, a 32-bit exit code out.
using thread_proc = std::uint32_t(TCT_THREAD_CALL*)(void*);

// An opaque handle that can be waited on once and must then be closed.
using thread_handle = void*;

// Starts a thread that runs `proc(arg)` at once; null when none was started.
thread_handle thread_create(thread_proc proc, void* arg);

// Returns only once the thread has ended.
void thread_wait(thread_handle handle);

// Releases the handle; the thread must have been waited for.
void thread_close(thread_handle handle);

}  // namespace tacetra
