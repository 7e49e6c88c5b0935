/*
 * quenlark-tacetra: strips the audio out of video files by stream copy, as
 * background jobs in TACETRA_MAX_JOBS fixed slots, and describes media files
 * as JSON.
 *
 * Paths are NUL-terminated byte strings, handed to FFmpeg unchanged; on
 * Windows they are UTF-8. Every returned text is owned by the library: never
 * free or write it, and copy it if it must outlive the point where the
 * function's comment says it changes. Calls are made from one host thread at
 * a time. Before unloading the library, call tacetra_free on every slot that
 * was used.
 *
 * Windows: a program that links the library statically defines
 * TACETRA_STATIC before including this header; one that uses the DLL
 * defines nothing.
 */
#ifndef QUENLARK_TACETRA_H
#define QUENLARK_TACETRA_H

#include "tacetra_version.h"

#if defined(_WIN32)
#  if defined(TACETRA_STATIC)
#    define TACETRA_API
#  elif defined(TACETRA_BUILDING)
#    define TACETRA_API __declspec(dllexport)
#  else
#    define TACETRA_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define TACETRA_API __attribute__((visibility("default")))
#else
#  define TACETRA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The number of job slots; slot ids run from 0 to TACETRA_MAX_JOBS - 1. */
#define TACETRA_MAX_JOBS 4

/* The longest path tacetra_start accepts, in bytes, the NUL not counted. */
#define TACETRA_PATH_MAX 1198

/* Job states returned by tacetra_status (1 is never used). Done, cancelled
 * and failed are final. */
#define TACETRA_PENDING 0   /* slot taken, the worker has not begun */
#define TACETRA_RUNNING 2   /* copying */
#define TACETRA_DONE 3      /* the output is complete */
#define TACETRA_CANCELLED 4 /* stopped on request; the output was removed */
#define TACETRA_FAILED 5    /* failed; the result text says why; no output left */

/* Negative results of tacetra_start (there is no -6). */
#define TACETRA_ERR_ARGS (-1)     /* a path null, empty or longer than TACETRA_PATH_MAX,
                                     or the output names the input or a file of a
                                     pending or running job (by each job's paths as
                                     resolved at its start, and by file identity) */
#define TACETRA_ERR_BUSY (-2)     /* all TACETRA_MAX_JOBS slots are in use */
#define TACETRA_ERR_OPEN (-3)     /* the input cannot be opened as a local media file */
#define TACETRA_ERR_THREAD (-4)   /* the worker thread cannot be started */
#define TACETRA_ERR_NO_VIDEO (-5) /* the input has no video stream */
#define TACETRA_ERR_NO_AUDIO (-7) /* the input has no audio stream: nothing to remove */

/* Describes the media file at `path` (null allowed) as one line of JSON:
 * {"ok":true,...,"streams":[...]} or {"ok":false,"error":"..."}.
 * Returns the library's one probe buffer, the same pointer every time; the
 * text stays valid until the next tacetra_probe. Uses no slot: may be called
 * while jobs run. */
TACETRA_API const char* tacetra_probe(const char* path);

/* Starts copying every non-audio stream of `in_path` into `out_path`, whose
 * name picks the container, as a job in the lowest free slot. Both paths are
 * copied, relative ones resolved against the current directory of this call:
 * they need to live only for the call. The copy is written beside `out_path`
 * and replaces what stands there only once it is complete. While it is
 * written it has no name where the system allows it (an O_TMPFILE file on
 * Linux; on Windows a file deleted on close until it is complete), so a host
 * that crashes or is killed mid-copy leaves no partial copy behind; on other
 * file systems it is a named OUTPUT.part, which such a host leaves.
 * Returns the slot id, 0 to TACETRA_MAX_JOBS - 1, or a TACETRA_ERR_* code.
 * The checks run in this order: ARGS, OPEN, NO_VIDEO, NO_AUDIO, BUSY,
 * THREAD, so a bad input gives its own code even when every slot is busy.
 * A started job keeps its slot, even once it has ended, until tacetra_free. */
TACETRA_API int tacetra_start(const char* in_path, const char* out_path);

/* Returns the state of a slot's job (TACETRA_PENDING ... TACETRA_FAILED),
 * or -1 when `id` is not a slot in use. */
TACETRA_API int tacetra_status(int id);

/* Returns the job's progress as one line of JSON,
 * {"state":2,"percent":45.2,"processed_ms":3620,"total_ms":8005,"packets":92};
 * percent is exactly 100.0 once the job is done. The text belongs to the slot
 * and stays valid until the next tacetra_progress on that slot, or until a
 * tacetra_start takes the slot again after it was freed. For an id not in
 * use: {"error":"bad id"}, valid while the library is loaded. */
TACETRA_API const char* tacetra_progress(int id);

/* Returns the job's outcome as one line of JSON, {"state":3,"ok":true,
 * "out_path":...} ("ok" is true only when done), or when it failed
 * {"state":5,"ok":false,"error":"..."}. The text belongs to the slot and
 * stays valid until the next tacetra_result on that slot, or until a
 * tacetra_start takes the slot again after it was freed. For an id not in
 * use: {"error":"bad id"}, valid while the library is loaded. */
TACETRA_API const char* tacetra_result(int id);

/* Asks a job to stop and returns at once. The job becomes cancelled after
 * its next packet read; one that has read its last packet ends done. An id
 * not in use is ignored. */
TACETRA_API void tacetra_cancel(int id);

/* Stops the job, waits for its thread without a time limit, and frees the
 * slot, whose id becomes invalid. A job that did not end done has removed
 * what it wrote by then; nothing else is ever removed. An id not in use is
 * ignored. */
TACETRA_API void tacetra_free(int id);

/* Returns "MAJOR.MINOR.PATCH (libavformat X.Y.Z)": this library's version,
 * the TACETRA_VERSION_* numbers it was built with, and that of the
 * libavformat headers it was built against. Valid while the library is
 * loaded. */
TACETRA_API const char* tacetra_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUENLARK_TACETRA_H */
