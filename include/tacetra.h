/*
 * quenlark-tacetra: strips the audio out of video files by stream copy, as
 * background jobs in four fixed slots, and describes media files as JSON.
 *
 * Every returned text is owned by the library: never free or write it.
 * Calls are made from one host thread at a time. Before unloading the
 * library, call tacetra_free on every slot that was used.
 */
#ifndef QUENLARK_TACETRA_H
#define QUENLARK_TACETRA_H

#if defined(_WIN32)
#  if defined(TACETRA_BUILDING)
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

/* Job states returned by tacetra_status (1 is never used). */
#define TACETRA_PENDING 0
#define TACETRA_RUNNING 2
#define TACETRA_DONE 3
#define TACETRA_CANCELLED 4
#define TACETRA_FAILED 5

/* Negative results of tacetra_start. */
#define TACETRA_ERR_ARGS (-1)
#define TACETRA_ERR_BUSY (-2)
#define TACETRA_ERR_OPEN (-3)
#define TACETRA_ERR_THREAD (-4)
#define TACETRA_ERR_NO_VIDEO (-5)
#define TACETRA_ERR_NO_AUDIO (-7)

/* One-line JSON description of a media file; valid until the next call. */
TACETRA_API const char* tacetra_probe(const char* path);

/* Starts copying every non-audio stream of `in_path` into `out_path`.
 * Returns the slot id 0..3, or one of the TACETRA_ERR_* codes. */
TACETRA_API int tacetra_start(const char* in_path, const char* out_path);

/* The job state of a slot, or -1 when the id is invalid or the slot free. */
TACETRA_API int tacetra_status(int id);

/* JSON progress of a slot's job; valid until the next call for that slot. */
TACETRA_API const char* tacetra_progress(int id);

/* JSON outcome of a slot's job; valid until the next call for that slot. */
TACETRA_API const char* tacetra_result(int id);

/* Asks a job to stop; returns at once. */
TACETRA_API void tacetra_cancel(int id);

/* Stops and joins the job, removes an unfinished output, frees the slot. */
TACETRA_API void tacetra_free(int id);

/* "1.0.0 (libavformat X.Y.Z)" with the libavformat the library was built with. */
TACETRA_API const char* tacetra_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUENLARK_TACETRA_H */
