'use strict';
// The numbers of the C header tacetra.h, under JavaScript names.

/** TACETRA_MAX_JOBS: the number of job slots, so of jobs that run at once. */
const MAX_JOBS = 4;

/** TACETRA_PATH_MAX: the longest path a job accepts, in bytes of UTF-8. */
const PATH_MAX = 1198;

/** A job's state (TACETRA_PENDING ... TACETRA_FAILED). */
const State = Object.freeze({ PENDING: 0, RUNNING: 2, DONE: 3, CANCELLED: 4, FAILED: 5 });

/** Why tacetra_start refused a job: TACETRA_<name>. */
const StartCode = Object.freeze({
  ERR_ARGS: -1,
  ERR_BUSY: -2,
  ERR_OPEN: -3,
  ERR_THREAD: -4,
  ERR_NO_VIDEO: -5,
  ERR_NO_AUDIO: -7,
});

/** Done, cancelled and failed change no more. */
function isFinal(state) {
  return state === State.DONE || state === State.CANCELLED || state === State.FAILED;
}

module.exports = { MAX_JOBS, PATH_MAX, State, StartCode, isFinal };
