#ifdef _WIN32

#include <windows.h>

// The library keeps all its state in zero-initialised static storage, so
// loading and unloading need no work of their own.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

#endif
