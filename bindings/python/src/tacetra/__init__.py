"""Python binding of quenlark-tacetra: strips the audio out of video files by
stream copy, as background jobs, and describes media files as JSON.

The native library is found as ``_library.candidates()`` says (first the
path in TACETRA_LIBRARY), and loaded on first use; its major version must be
this binding's. Every call into it is made under one process-wide lock, so
any thread may use the binding.
"""

from ._codes import MAX_JOBS, PATH_MAX, StartCode, State
from ._errors import LibraryError, StartRefusedError, TacetraError, VersionMismatchError
from ._job import Job
from ._probe import probe, version
from ._version import __version__

# Tracebacks and reprs name the classes where users import them from.
for _public in (Job, LibraryError, StartCode, StartRefusedError, State, TacetraError,
                VersionMismatchError):
    _public.__module__ = __name__
del _public

__all__ = [
    "MAX_JOBS",
    "PATH_MAX",
    "Job",
    "LibraryError",
    "StartCode",
    "StartRefusedError",
    "State",
    "TacetraError",
    "VersionMismatchError",
    "__version__",
    "probe",
    "version",
]
