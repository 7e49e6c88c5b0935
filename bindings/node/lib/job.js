'use strict';
// A job in one of the library's slots.

const { setTimeout: sleep } = require('node:timers/promises');
const { isFinal } = require('./codes');
const { StartRefusedError } = require('./errors');
const { native, checkPath } = require('./library');

/** Copies every stream of `inPath` that is not audio into `outPath` (whose
 * name picks the container) in the background, in a slot of its own. The
 * slot stays taken, even once the job has ended, until free(), which also
 * stops a job still running and removes its unfinished output.
 * Throws StartRefusedError when the library refuses the job. */
class Job {
  #id;

  constructor(inPath, outPath) {
    const code = native().start(checkPath(inPath, 'inPath'), checkPath(outPath, 'outPath'));
    if (code < 0) throw new StartRefusedError(code);
    this.#id = code;
  }

  /** The slot id, valid until the job is freed. */
  get id() {
    if (this.#id === null) throw new Error('the job has been freed');
    return this.#id;
  }

  get state() {
    return native().status(this.id);
  }

  /** The progress report: state, percent (exactly 100 once done),
   * processed_ms, total_ms, packets. */
  progress() {
    return JSON.parse(native().progress(this.id));
  }

  /** The result report: ok, out_path and the figures of the copy, or, once
   * failed, the error. */
  result() {
    return JSON.parse(native().result(this.id));
  }

  /** Asks the job to stop and returns at once: it ends cancelled after its
   * next packet read, or done if it had read its last one. */
  cancel() {
    native().cancel(this.id);
  }

  /** Polls the job every `poll` milliseconds, between turns of the event
   * loop, until it has ended; resolves with its final state. `onProgress`
   * sees each progress report, the final one included. */
  async done({ poll = 100, onProgress } = {}) {
    for (;;) {
      const progress = this.progress();
      if (onProgress) onProgress(progress);
      if (isFinal(progress.state)) return progress.state;
      await sleep(poll);
    }
  }

  /** Stops the job if it still runs and waits for it, removes its output
   * unless it ended done, and frees the slot. Does nothing the second time. */
  free() {
    if (this.#id !== null) {
      native().free(this.#id);
      this.#id = null;
    }
  }
}

module.exports = { Job };
