/* Links against quenlark-tacetra.lib the way Microsoft's toolchain does
 * (clang for the MSVC target and lld-link, without any C runtime), so that
 * the package's MSVC import library is shown to resolve the DLL's functions.
 * Run under Windows, it exits 0 when the DLL it loaded has the header's
 * major version. */
#include "tacetra.h"

int mainCRTStartup(void) {
  const char* version = tacetra_version();
  return version[0] == '0' + TACETRA_VERSION_MAJOR && version[1] == '.' ? 0 : 1;
}
