'use strict';
// Finding and loading the native library, and crossing its C boundary: paths
// go in as NUL-terminated UTF-8, texts come back as JavaScript strings.

const koffi = require('koffi');
const { LibraryError, VersionMismatchError } = require('./errors');
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

/** Loads the library at `path` (a path or an installed name), declares its
 * functions and checks its major version. */
function openLibrary(path, expectedMajor = NATIVE_MAJOR) {
  let lib;
  try {
    lib = koffi.load(path);
  } catch (error) {
    throw new LibraryError(`cannot load the quenlark-tacetra library '${path}': ${error.message}`, { cause: error });
  }
  const native = {};
  for (const [name, prototype] of Object.entries(PROTOTYPES)) native[name] = lib.func(prototype);
  const version = native.version();
  const major = /^(\d+)\./.exec(version);
  if (major === null) {
    throw new LibraryError(`'${path}' does not look like quenlark-tacetra: its version text is '${version}'`);
  }
  if (Number(major[1]) !== expectedMajor) {
    throw new VersionMismatchError(`'${path}' is quenlark-tacetra ${version}, but the tacetra binding ${bindingVersion} ` +
      `needs major version ${expectedMajor}`);
  }
  return native;
}

/** The loaded library: the one TACETRA_LIBRARY names, else the first
 * installed name that loads. Loaded on first use. */
function native() {
  if (loaded === null) loaded = find();
  return loaded;
}

function find() {
  const chosen = process.env.TACETRA_LIBRARY;
  if (chosen) return openLibrary(chosen);
  const failures = [];
  for (const name of INSTALLED_NAMES) {
    try {
      return openLibrary(name);
    } catch (error) {
      if (error instanceof VersionMismatchError) throw error;
      failures.push(error.message);
    }
  }
  throw new LibraryError(`${failures.join('; ')} (set TACETRA_LIBRARY to the library's path)`);
}

/** A path as the library takes it. */
function checkPath(path, name) {
  if (typeof path !== 'string') throw new TypeError(`${name} must be a string`);
  if (path.includes('\0')) throw new TypeError(`${name} cannot hold a NUL character`);
  return path;
}

module.exports = { NATIVE_MAJOR, INSTALLED_NAMES, openLibrary, native, checkPath };
