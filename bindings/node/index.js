'use strict';
// Node binding of quenlark-tacetra: strips the audio out of video files by
// stream copy, as background jobs, and describes media files as JSON. The
// native library is found through TACETRA_LIBRARY (its path), else by its
// installed name, and loaded on first use; its major version must be this
// binding's. Like the library, it is driven from one thread.

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
