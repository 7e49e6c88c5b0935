"""Finding and loading the native library, and crossing its C boundary:
paths go in as NUL-terminated UTF-8, texts come back as parsed JSON.

The library takes its calls from one thread at a time. Every call goes
through :func:`call`, which holds one process-wide lock around the call and
the copying of the text it returns, so that no two threads of the host ever
reach the library at once.
"""

from __future__ import annotations

import ctypes
import json
import os
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

from ._errors import LibraryError, VersionMismatchError
from ._version import __version__

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: The native major version this binding speaks to.
NATIVE_MAJOR = int(__version__.split(".", 1)[0])

#: The names the native library is installed under.
INSTALLED_NAMES = ("quenlark-tacetra.dll",) if os.name == "nt" else ("libquenlark-tacetra.so.1",)

# Returned texts are declared as c_char_p, which copies them into bytes and
# never frees them: the library owns them and may rewrite them later.
_FUNCTIONS = [
    ("tacetra_version", [], ctypes.c_char_p),
    ("tacetra_probe", [ctypes.c_char_p], ctypes.c_char_p),
    ("tacetra_start", [ctypes.c_char_p, ctypes.c_char_p], ctypes.c_int),
    ("tacetra_status", [ctypes.c_int], ctypes.c_int),
    ("tacetra_progress", [ctypes.c_int], ctypes.c_char_p),
    ("tacetra_result", [ctypes.c_int], ctypes.c_char_p),
    ("tacetra_cancel", [ctypes.c_int], None),
    ("tacetra_free", [ctypes.c_int], None),
]

#: Where ``cmake --install`` puts the library by default: the loader finds it
#: there by name only once ``ldconfig`` has run.
DEFAULT_INSTALL_DIRS = () if os.name == "nt" else ("/usr/local/lib",)

_loaded: Optional[ctypes.CDLL] = None
# Reentrant: a job collected by the garbage collector frees its slot from
# whatever code happens to run, which may be this thread's own call.
lock = threading.RLock()


def call(name: str, *args: Any) -> Any:
    """Calls the library's function ``name`` under the binding's one lock. Returned
    texts are copied into bytes before the lock is let go."""
    with lock:
        return getattr(native(), name)(*args)


def open_library(path: str, expected_major: int = NATIVE_MAJOR) -> ctypes.CDLL:
    """Loads the library at ``path`` (a path or an installed name), declares
    its functions and checks its major version."""
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise LibraryError(f"cannot load the quenlark-tacetra library {path!r}: {e}") from e
    for name, args, result in _FUNCTIONS:
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = result
    with lock:
        version = text(lib.tacetra_version())
    major = version.split(".", 1)[0]
    if not major.isdigit():
        raise LibraryError(
            f"{path!r} does not look like quenlark-tacetra: its version text is {version!r}")
    if int(major) != expected_major:
        raise VersionMismatchError(
            f"{path!r} is quenlark-tacetra {version}, but the tacetra binding {__version__} "
            f"needs major version {expected_major}")
    return lib


def native() -> ctypes.CDLL:
    """The loaded library, loaded on first use (see :func:`candidates`)."""
    global _loaded
    with lock:
        if _loaded is None:
            _loaded = _find()
        return _loaded


def candidates() -> List[str]:
    """Where the library is looked for, in order: the path TACETRA_LIBRARY
    names (alone, when it is set); the installed name in this package's own
    folder; the installed name as the system's loader finds it; the installed
    name in the default install directories, which the loader may not know."""
    chosen = os.environ.get("TACETRA_LIBRARY")
    if chosen:
        return [chosen]
    here = Path(__file__).resolve().parent
    found = [str(here / name) for name in INSTALLED_NAMES if (here / name).exists()]
    found += INSTALLED_NAMES
    found += [os.path.join(d, name) for d in DEFAULT_INSTALL_DIRS for name in INSTALLED_NAMES
              if os.path.exists(os.path.join(d, name))]
    return found


def _find() -> ctypes.CDLL:
    failures: List[str] = []
    for path in candidates():
        try:
            return open_library(path)
        except VersionMismatchError:
            raise
        except LibraryError as e:
            failures.append(str(e))
    hint = "" if os.environ.get("TACETRA_LIBRARY") else " (set TACETRA_LIBRARY to the library's path)"
    raise LibraryError("; ".join(failures) + hint)


def encode_path(path: StrPath) -> bytes:
    """A path as the library takes it: UTF-8 (bytes pass unchanged)."""
    raw = os.fspath(path)
    # surrogateescape gives back the bytes of a POSIX file name that is not UTF-8.
    data = raw if isinstance(raw, bytes) else raw.encode("utf-8", "surrogateescape")
    if b"\0" in data:
        raise ValueError(f"a path cannot hold a NUL character: {raw!r}")
    return data


def text(data: Optional[bytes]) -> str:
    """A returned text, decoded; bytes that are not UTF-8 (say, of a path)
    survive as surrogate escapes."""
    return (data or b"").decode("utf-8", "surrogateescape")


def report(data: Optional[bytes]) -> Dict[str, Any]:
    """A returned JSON report, parsed: every report is one JSON object."""
    parsed: Dict[str, Any] = json.loads(text(data))
    return parsed
