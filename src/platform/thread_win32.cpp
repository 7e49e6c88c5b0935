#ifdef _WIN32

#include <windows.h>

#include "platform/thread.h"

namespace tacetra {

static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

thread_handle thread_create(thread_proc proc, void* arg) {
  // thread_proc has the LPTHREAD_START_ROUTINE calling convention and layout;
  // only the spelling of its 32-bit return type differs (UINT32 vs DWORD).
  return CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(proc), arg, 0, nullptr);
}

void thread_wait(thread_handle handle) { WaitForSingleObject(handle, INFINITE); }

void thread_close(thread_handle handle) { CloseHandle(handle); }

}  // namespace tacetra

#endif
