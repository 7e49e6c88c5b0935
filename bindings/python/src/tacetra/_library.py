"""Finding and loading the native library, and crossing its C boundary:
paths go in as NUL-terminated UTF-8, texts come back as parsed JSON."""

from __future__ import annotations

import ctypes
import json
import os
import threading
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

_loaded: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


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
    """The loaded library: the one TACETRA_LIBRARY names, else the first
    installed name that loads. Loaded on first use."""
    global _loaded
    with _loading:
        if _loaded is None:
            _loaded = _find()
        return _loaded


def _find() -> ctypes.CDLL:
    chosen = os.environ.get("TACETRA_LIBRARY")
    if chosen:
        return open_library(chosen)
    failures: List[str] = []
    for name in INSTALLED_NAMES:
        try:
            return open_library(name)
        except VersionMismatchError:
            raise
        except LibraryError as e:
            failures.append(str(e))
    raise LibraryError("; ".join(failures) + " (set TACETRA_LIBRARY to the library's path)")


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
