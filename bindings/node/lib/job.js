'use strict';
// A job in one of the library's slots.

const { setTimeout: sleep } = require('node:timers/promises');
const { isFinal } = require('./codes');
const { StartRefusedError } = require('./errors');
const { call, callAsync, checkPath, enqueue, native, runAsync } = require('./library');

// Node 18 knows no Symbol.asyncDispose; the name it will have is this.
const asyncDispose = Symbol.asyncDispose ?? Symbol.for('nodejs.asyncDispose');

// The slots this process's jobs hold, each with the token of the Job that
// holds it, so that the exit hook, the collector and a Job's free() never
// free a slot twice or one that another Job took since.
const held = new Map();

// Frees a slot in its turn in the queue. The slot stays held until the call
// begins, so that the exit hook frees it if the process ends first.
function release(slot, token) {
  return enqueue(() => {
    if (held.get(slot) !== token) return undefined;
    held.delete(slot);
    return runAsync('free', slot);
  });
}

// A job collected unfreed frees its slot then, with a warning.
const collected = new FinalizationRegistry(({ slot, token }) => {
  if (held.get(slot) !== token) return;
  process.emitWarning(`unfreed job in slot ${slot}: freed as it was collected`, 'ResourceWarning');
  release(slot, token);
});

// At exit no asynchronous call can end: cancel every held job, then free
// each, with the synchronous calls, so that no worker outlives the process
// and no unfinished output is left behind.
function freeAtExit() {
  for (const slot of held.keys()) native().cancel(slot);
  for (const slot of held.keys()) native().free(slot);
  held.clear();
}

let exitHooked = false;
const starting = Symbol('Job.start');

/** Copies every stream of `inPath` that is not audio into `outPath` (whose
 * name picks the container) in the background, in a slot of its own: see
 * Job.start. The slot stays taken, even once the job has ended, until free(),
 * which also stops a job still running and removes its unfinished output. */
class Job {
  #id;
  #token = {};

  /** Not for use: a job is started with `await Job.start(inPath, outPath)`. */
  constructor(key, id) {
    if (key !== starting) throw new TypeError('a job is started with await Job.start(inPath, outPath)');
    this.#id = id;
    held.set(id, this.#token);
    collected.register(this, { slot: id, token: this.#token }, this.#token);
    if (!exitHooked) {
      process.on('exit', freeAtExit);
      exitHooked = true;
    }
  }

  /** Starts a job; rejects with StartRefusedError when the library refuses it. */
  static async start(inPath, outPath) {
    checkPath(inPath, 'inPath');
    checkPath(outPath, 'outPath');
    // The job is made in the same turn as the call ends, so that it is
    // known to the exit hook as soon as it holds its slot.
    const job = await callAsync('start', inPath, outPath)
      .then((code) => (code < 0 ? code : new Job(starting, code)));
    if (typeof job === 'number') throw new StartRefusedError(job);
    return job;
  }

  /** The slot id, valid until the job is freed. */
  get id() {
    if (this.#id === null) throw new Error('the job has been freed');
    return this.#id;
  }

  /** Resolves with the job's state. */
  async state() {
    return call('status', this.id);
  }

  /** Resolves with the progress report: state, percent (exactly 100 once
   * done), processed_ms, total_ms, packets. */
  async progress() {
    return JSON.parse(await call('progress', this.id));
  }

  /** Resolves with the result report: ok, out_path and the figures of the
   * copy, or, once failed, the error. */
  async result() {
    return JSON.parse(await call('result', this.id));
  }

  /** Asks the job to stop: it ends cancelled after its next packet read, or
   * done if it had read its last one. */
  async cancel() {
    return call('cancel', this.id);
  }

  /** Polls the job every `poll` milliseconds until it has ended; resolves
   * with its final state. `onProgress` sees each progress report, the final
   * one included. Aborting `signal` cancels the job and rejects with the
   * signal's reason. */
  async done({ poll = 100, onProgress, signal } = {}) {
    try {
      for (;;) {
        signal?.throwIfAborted();
        const progress = await this.progress();
        if (onProgress) onProgress(progress);
        if (isFinal(progress.state)) return progress.state;
        await sleep(poll, undefined, { signal });
      }
    } catch (error) {
      if (signal?.aborted && this.#id !== null) await call('cancel', this.#id);
      throw error;
    }
  }

  /** Stops the job if it still runs and waits for it, removes its output
   * unless it ended done, and frees the slot. Does nothing the second time. */
  async free() {
    const slot = this.#id;
    this.#id = null;
    if (slot === null) return;
    collected.unregister(this.#token);
    await release(slot, this.#token);
  }

  /** `await using job = await Job.start(...)` frees the job at the block's end. */
  [asyncDispose]() {
    return this.free();
  }
}

module.exports = { Job };
