"""A job in one of the library's slots."""

from __future__ import annotations

import time
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Type

from ._codes import State
from ._errors import StartRefusedError
from ._library import StrPath, encode_path, native, report

Report = Dict[str, Any]


class Job:
    """Copies every stream of ``in_path`` that is not audio into ``out_path``
    (whose name picks the container) in the background, in a slot of its own.

    The slot stays taken, even once the job has ended, until :meth:`free`,
    which also stops a job still running and removes its unfinished output.
    Used as a context manager, the job is freed on leaving the block.

    Like the library, a job is driven from one thread at a time.

    Raises :class:`StartRefusedError` when the library refuses the job.
    """

    def __init__(self, in_path: StrPath, out_path: StrPath) -> None:
        code = native().tacetra_start(encode_path(in_path), encode_path(out_path))
        if code < 0:
            raise StartRefusedError(code)
        self._id: Optional[int] = code

    @property
    def id(self) -> int:
        """The slot id, valid until the job is freed."""
        if self._id is None:
            raise ValueError("the job has been freed")
        return self._id

    @property
    def state(self) -> State:
        return State(native().tacetra_status(self.id))

    def progress(self) -> Report:
        """The progress report: state, percent (exactly 100.0 once done),
        processed_ms, total_ms, packets."""
        return report(native().tacetra_progress(self.id))

    def result(self) -> Report:
        """The result report: ok, out_path and the figures of the copy, or,
        once failed, the error."""
        return report(native().tacetra_result(self.id))

    def cancel(self) -> None:
        """Asks the job to stop and returns at once: it ends cancelled
        after its next packet read, or done if it had read its last one."""
        native().tacetra_cancel(self.id)

    def wait(self, poll: float = 0.1,
             on_progress: Optional[Callable[[Report], None]] = None) -> State:
        """Polls the job every ``poll`` seconds until it has ended and
        returns its final state: DONE, CANCELLED or FAILED. ``on_progress``
        sees each progress report, the final one included."""
        while True:
            progress = self.progress()
            if on_progress is not None:
                on_progress(progress)
            state = State(progress["state"])
            if state.final:
                return state
            time.sleep(poll)

    def free(self) -> None:
        """Stops the job if it still runs and waits for it, removes its output
        unless it ended done, and frees the slot. Does nothing the second time."""
        if self._id is not None:
            native().tacetra_free(self._id)
            self._id = None

    def __enter__(self) -> Job:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.free()

    def __repr__(self) -> str:
        return f"<tacetra.Job slot {self._id}>" if self._id is not None else "<tacetra.Job freed>"
