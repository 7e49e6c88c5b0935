'use strict';
// Describing a media file, and the native library's version.

const { native, checkPath } = require('./library');

/** The library's report on a media file: { ok: true, duration_ms, ...,
 * streams } or { ok: false, error }. Uses no job slot. */
function probe(path) {
  return JSON.parse(native().probe(checkPath(path, 'path')));
}

/** The native library's version text, 'MAJOR.MINOR.PATCH (libavformat X.Y.Z)'. */
function version() {
  return native().version();
}

module.exports = { probe, version };
