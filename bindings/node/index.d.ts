// Types of the tacetra package.

/** TACETRA_MAX_JOBS: the number of job slots. */
export const MAX_JOBS: number;
/** TACETRA_PATH_MAX: the longest path a job accepts, in bytes of UTF-8. */
export const PATH_MAX: number;

export const State: Readonly<{ PENDING: 0; RUNNING: 2; DONE: 3; CANCELLED: 4; FAILED: 5 }>;
export type State = (typeof State)[keyof typeof State];

export const StartCode: Readonly<{
  ERR_ARGS: -1;
  ERR_BUSY: -2;
  ERR_OPEN: -3;
  ERR_THREAD: -4;
  ERR_NO_VIDEO: -5;
  ERR_NO_AUDIO: -7;
}>;
export type StartCode = (typeof StartCode)[keyof typeof StartCode];

export class LibraryError extends Error {}
export class VersionMismatchError extends LibraryError {}
export class StartRefusedError extends Error {
  readonly code: number;
  /** The code's name in the header, such as 'TACETRA_ERR_OPEN', or 'unknown'. */
  readonly codeName: string;
}

export interface StreamReport {
  index: number;
  type: 'video' | 'audio' | 'subtitle' | 'other';
  codec: string;
  width: number;
  height: number;
  fps: number;
  bitrate: number;
}

export type ProbeReport =
  | {
      ok: true;
      duration_ms: number;
      format: string;
      size_bytes: number;
      audio_tracks: number;
      audio_bytes_estimate: number;
      streams: StreamReport[];
    }
  | { ok: false; error: string };

export interface ProgressReport {
  state: State;
  percent: number;
  processed_ms: number;
  total_ms: number;
  packets: number;
}

export type ResultReport =
  | {
      state: State;
      ok: boolean;
      out_path: string;
      out_size_bytes: number;
      in_size_bytes: number;
      bytes_saved: number;
      duration_ms: number;
      packets_written: number;
      elapsed_ms: number;
    }
  | { state: 5; ok: false; error: string };

/**
 * A job in one of the library's slots. Every call into the library goes
 * through one first-in-first-out queue on the main thread, so no two calls
 * ever overlap; the binding cannot be loaded in a worker thread.
 */
export class Job implements AsyncDisposable {
  /** Starts a job; rejects with StartRefusedError when the library refuses it. */
  static start(inPath: string, outPath: string): Promise<Job>;
  private constructor();
  /** The slot id; throws once the job is freed. */
  readonly id: number;
  state(): Promise<State>;
  progress(): Promise<ProgressReport>;
  result(): Promise<ResultReport>;
  /** Asks the job to stop: it ends cancelled, or done if it had read its last packet. */
  cancel(): Promise<void>;
  /**
   * Polls every `poll` ms (100 by default) until the job has ended; resolves
   * with its final state. Aborting `signal` cancels the job and rejects with
   * the signal's reason.
   */
  done(options?: {
    poll?: number;
    onProgress?: (progress: ProgressReport) => void;
    signal?: AbortSignal;
  }): Promise<State>;
  /** Stops the job if it still runs, removes an unfinished output, frees the slot. */
  free(): Promise<void>;
  [Symbol.asyncDispose](): Promise<void>;
}

/** Resolves with the library's report on a media file. Uses no job slot. */
export function probe(path: string): Promise<ProbeReport>;
/** The native library's version text, read once when it was loaded. */
export function version(): string;
