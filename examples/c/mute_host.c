/* A host in plain C: probes the input, mutes it into the output while
 * printing the job's progress, prints the result and frees the slot.
 *
 *   mute_host INPUT OUTPUT
 *
 * Build it against an installed library with CMake (CMakeLists.txt here) or
 * with pkg-config:
 *   cc -std=c99 mute_host.c $(pkg-config --cflags --libs quenlark-tacetra)
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
static void pause_briefly(void) { Sleep(200); }
#else
#include <time.h>
static void pause_briefly(void) {
  const struct timespec fifth_of_a_second = {0, 200000000L};
  nanosleep(&fifth_of_a_second, NULL);
}
#endif

#include "tacetra.h"

int main(int argc, char** argv) {
  int id;
  int state;
  if (argc != 3) {
    fprintf(stderr, "usage: mute_host INPUT OUTPUT\n");
    return 2;
  }
  /* Each returned text belongs to the library and stays valid only until
   * the next call of the same kind: print it (or copy it) at once. */
  printf("library: %s\n", tacetra_version());
  printf("probe: %s\n", tacetra_probe(argv[1]));

  id = tacetra_start(argv[1], argv[2]);
  if (id < 0) {
    fprintf(stderr, "mute_host: the job was refused with code %d\n", id);
    return 1;
  }
  do {
    pause_briefly();
    /* The state first: a final state here means the progress text below is
     * final too. */
    state = tacetra_status(id);
    printf("progress: %s\n", tacetra_progress(id));
  } while (state == TACETRA_PENDING || state == TACETRA_RUNNING);
  printf("result: %s\n", tacetra_result(id));

  /* A finished job keeps its slot until it is freed. */
  tacetra_free(id);
  return state == TACETRA_DONE ? 0 : 1;
}
