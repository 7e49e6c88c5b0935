'use strict';
// The errors the binding throws.

const { StartCode } = require('./codes');

/** The native library cannot be loaded, or is not one this binding speaks to. */
class LibraryError extends Error {
  constructor(message, options) {
    super(message, options);
    this.name = 'LibraryError';
  }
}

/** The native library's major version differs from the binding's. */
class VersionMismatchError extends LibraryError {
  constructor(message) {
    super(message);
    this.name = 'VersionMismatchError';
  }
}

/** tacetra_start refused a job: `code` is the start code, `codeName` its
 * name in the header, such as 'TACETRA_ERR_OPEN'. */
class StartRefusedError extends Error {
  constructor(code) {
    const known = Object.keys(StartCode).find((key) => StartCode[key] === code);
    const codeName = known === undefined ? 'unknown' : `TACETRA_${known}`;
    super(`tacetra_start refused the job: ${codeName} (${code})`);
    this.name = 'StartRefusedError';
    this.code = code;
    this.codeName = codeName;
  }
}

module.exports = { LibraryError, VersionMismatchError, StartRefusedError };
