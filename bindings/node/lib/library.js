'use strict';
// Finding and loading the native library, and crossing its C boundary: paths
// go in as NUL-terminated UTF-8, texts come back as JavaScript strings.
//
// The library takes its calls from one thread at a time. Every call goes
// through one first-in-first-out queue on the main thread: a call starts
// only once the one before it has ended and its text has been copied. The
// calls that may take long (probing, starting and freeing a job: they open
// files or join a thread) run on koffi's worker thread, so that the event
// loop goes on meanwhile; the quick ones run on the main thread in their turn.

const fs = require('node:fs');
const path = require('node:path');
const { isMainThread } = require('node:worker_threads');
const { LibraryError, VersionMismatchError } = require('./errors');

// The library and its slots are one per process, and a queue cannot reach
// across threads: the binding lives on the main thread only.
if (!isMainThread) {
  throw new LibraryError('tacetra cannot be loaded in a worker thread: the native library is one per process ' +
    'and takes one call at a time, which the binding ensures on the main thread only; use it from there');
}

const koffi = require('koffi');
const { version: bindingVersion } = require('../package.json');

/** The native major version this binding speaks to. */
const NATIVE_MAJOR = Number(bindingVersion.split('.')[0]);

/** The names the native library is installed under. */
const INSTALLED_NAMES = process.platform === 'win32' ? ['quenlark-tacetra.dll'] : ['libquenlark-tacetra.so.1'];

// koffi copies a returned 'const char *' into a string and never frees it:
// the library owns its texts and may rewrite them later.
const PROTOTYPES = {
  version: 'const char *tacetra_version(void)',
  probe: 'const char *tacetra_probe(const char *path)',
  start: 'int tacetra_start(const char *in_path, const char *out_path)',
  status: 'int tacetra_status(int id)',
  progress: 'const char *tacetra_progress(int id)',
  result: 'const char *tacetra_result(int id)',
  cancel: 'void tacetra_cancel(int id)',
  free: 'void tacetra_free(int id)',
};

let loaded = null;
let versionText = null;
let tail = Promise.resolve();

/** Loads the library at `file` (a path or an installed name), declares its
 * functions and checks its major version. */
function openLibrary(file, expectedMajor = NATIVE_MAJOR) {
  let lib;
  try {
    lib = koffi.load(file);
  } catch (error) {
    throw new LibraryError(`cannot load the quenlark-tacetra library '${file}': ${error.message}`, { cause: error });
  }
  const native = {};
  for (const [name, prototype] of Object.entries(PROTOTYPES)) native[name] = lib.func(prototype);
  const version = native.version();
  const major = /^(\d+)\./.exec(version);
  if (major === null) {
    throw new LibraryError(`'${file}' does not look like quenlark-tacetra: its version text is '${version}'`);
  }
  if (Number(major[1]) !== expectedMajor) {
    throw new VersionMismatchError(`'${file}' is quenlark-tacetra ${version}, but the tacetra binding ${bindingVersion} ` +
      `needs major version ${expectedMajor}`);
  }
  return native;
}

/** The loaded library: the one TACETRA_LIBRARY names, else the first
 * installed name that loads. Loaded on first use. */
function native() {
  if (loaded === null) {
    loaded = find();
    versionText = loaded.version();
  }
  return loaded;
}

/** The version text, read once when the library was loaded: it never changes. */
function loadedVersion() {
  native();
  return versionText;
}

/** Runs `step` once every call queued before it has ended; resolves with
 * what it returns (or what the promise it returns resolves with). */
function enqueue(step) {
  const run = tail.then(step);
  tail = run.then(() => {}, () => {});
  return run;
}

/** Queues a quick call, made on the main thread in its turn. */
function call(name, ...args) {
  return enqueue(() => native()[name](...args));
}

/** Makes a call on koffi's worker thread, at once: only from a queued step. */
function runAsync(name, ...args) {
  return new Promise((resolve, reject) => {
    native()[name].async(...args, (error, value) => (error ? reject(error) : resolve(value)));
  });
}

/** Queues a call made on koffi's worker thread. */
function callAsync(name, ...args) {
  return enqueue(() => runAsync(name, ...args));
}

/** Where `cmake --install` puts the library by default: the loader finds it
 * there by name only once `ldconfig` has run. */
const DEFAULT_INSTALL_DIRS = process.platform === 'win32' ? [] : ['/usr/local/lib'];

/** Where the library is looked for, in order: the path TACETRA_LIBRARY names
 * (alone, when it is set); the installed name in the package's own folder;
 * the installed name as the system's loader finds it; the installed name in
 * the default install directories, which the loader may not know. */
function candidates() {
  const chosen = process.env.TACETRA_LIBRARY;
  if (chosen) return [chosen];
  const packageDir = path.join(__dirname, '..');
  const existing = (dir) => INSTALLED_NAMES.map((name) => path.join(dir, name)).filter((file) => fs.existsSync(file));
  return [...existing(packageDir), ...INSTALLED_NAMES, ...DEFAULT_INSTALL_DIRS.flatMap(existing)];
}

function find() {
  const failures = [];
  for (const candidate of candidates()) {
    try {
      return openLibrary(candidate);
    } catch (error) {
      if (error instanceof VersionMismatchError) throw error;
      failures.push(error.message);
    }
  }
  const hint = process.env.TACETRA_LIBRARY ? '' : " (set TACETRA_LIBRARY to the library's path)";
  throw new LibraryError(`${failures.join('; ')}${hint}`);
}

/** A path as the library takes it. */
function checkPath(value, name) {
  if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
  if (value.includes('\0')) throw new TypeError(`${name} cannot hold a NUL character`);
  return value;
}

module.exports = {
  NATIVE_MAJOR,
  INSTALLED_NAMES,
  candidates,
  openLibrary,
  native,
  loadedVersion,
  enqueue,
  call,
  runAsync,
  callAsync,
  checkPath,
};
