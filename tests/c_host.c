/* A host written in C: the public header must compile as C, and the shared
 * library must link and answer from it. */
#include <stdio.h>
#include <string.h>

#include "tacetra.h"

static int expect(int ok, const char* what) {
  if (!ok) fprintf(stderr, "c_host: %s\n", what);
  return ok ? 0 : 1;
}

int main(void) {
  int failures = 0;
  char version[64];
  const int version_length = snprintf(version, sizeof version, "%d.%d.%d (libavformat ", TACETRA_VERSION_MAJOR,
                                      TACETRA_VERSION_MINOR, TACETRA_VERSION_PATCH);
  failures += expect(strncmp(tacetra_version(), version, (size_t)version_length) == 0, "version text");
  failures += expect(tacetra_status(0) == -1, "free slot status");
  failures += expect(tacetra_status(TACETRA_MAX_JOBS) == -1, "the id past the last slot");
  failures += expect(strcmp(tacetra_progress(-1), "{\"error\":\"bad id\"}") == 0, "bad id text");
  failures += expect(tacetra_start(NULL, "x.mkv") == TACETRA_ERR_ARGS, "null input refused");
  failures += expect(strcmp(tacetra_probe(""), "{\"ok\":false,\"error\":\"empty path\"}") == 0,
                     "empty path probe");
  tacetra_cancel(7);
  tacetra_free(-3);
  return failures;
}
