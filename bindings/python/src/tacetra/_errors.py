"""The exceptions the binding raises."""

from __future__ import annotations

from typing import Union

from ._codes import StartCode


class TacetraError(Exception):
    """Base of the binding's own exceptions."""


class LibraryError(TacetraError):
    """The native library cannot be loaded or is not one this binding speaks to."""


class VersionMismatchError(LibraryError):
    """The native library's major version differs from the binding's."""


class StartRefusedError(TacetraError):
    """tacetra_start refused the job.

    ``code`` is the start code (a :class:`StartCode` when the header knows
    it), ``name`` its name in the header, such as ``"TACETRA_ERR_OPEN"``.
    """

    code: Union[StartCode, int]
    name: str

    def __init__(self, code: int) -> None:
        try:
            self.code = StartCode(code)
            self.name = "TACETRA_" + self.code.name
        except ValueError:
            self.code = code
            self.name = "unknown"
        super().__init__(f"tacetra_start refused the job: {self.name} ({code})")
