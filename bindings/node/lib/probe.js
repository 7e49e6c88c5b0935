'use strict';
// Describing a media file, and the native library's version.

const { callAsync, checkPath, loadedVersion } = require('./library');

/** Resolves with the library's report on a media file: { ok: true,
 * duration_ms, ..., streams } or { ok: false, error }. Uses no job slot. */
async function probe(path) {
  return JSON.parse(await callAsync('probe', checkPath(path, 'path')));
}

/** The native library's version text, 'MAJOR.MINOR.PATCH (libavformat X.Y.Z)'. */
function version() {
  return loadedVersion();
}

module.exports = { probe, version };
