'use strict';
// Node binding of quenlark-tacetra: strips the audio out of video files by
// stream copy, as background jobs, and describes media files as JSON. The
// native library is found as lib/library.js's candidates() says, and loaded
// on first use; its major version must be this
// binding's. Every call into the library is queued, one at a time, on the
// main thread (see lib/library.js); the binding refuses to load elsewhere.

const { MAX_JOBS, PATH_MAX, State, StartCode } = require('./lib/codes');
const { LibraryError, VersionMismatchError, StartRefusedError } = require('./lib/errors');
const { Job } = require('./lib/job');
const { probe, version } = require('./lib/probe');

module.exports = {
  MAX_JOBS,
  PATH_MAX,
  State,
  StartCode,
  LibraryError,
  VersionMismatchError,
  StartRefusedError,
  Job,
  probe,
  version,
};
