"""A job in one of the library's slots."""

from __future__ import annotations

import asyncio
import atexit
import time
import warnings
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Tuple, Type

from ._codes import State
from ._errors import StartRefusedError
from ._library import StrPath, call, encode_path, lock, report

Report = Dict[str, Any]

# The slots this process's jobs hold, each with the token of the Job that
# holds it, so that the exit hook and a Job's free() never free a slot twice
# or one that another Job took since.
_held: Dict[int, object] = {}


class Job:
    """Copies every stream of ``in_path`` that is not audio into ``out_path``
    (whose name picks the container) in the background, in a slot of its own.

    The slot stays taken, even once the job has ended, until :meth:`free`,
    which also stops a job still running and removes its unfinished output.
    Used as a context manager, the job is freed on leaving the block. A job
    that is garbage-collected unfreed is freed then, with a ResourceWarning;
    one still held when the interpreter exits is cancelled and freed.

    Any thread may use a job: every call into the library is made under the
    binding's one lock.

    Raises :class:`StartRefusedError` when the library refuses the job.
    """

    _id: Optional[int] = None

    def __init__(self, in_path: StrPath, out_path: StrPath) -> None:
        in_bytes, out_bytes = encode_path(in_path), encode_path(out_path)
        self._token = object()
        with lock:
            code = call("tacetra_start", in_bytes, out_bytes)
            if code >= 0:
                _held[code] = self._token
        if code < 0:
            raise StartRefusedError(code)
        self._id = code

    @property
    def id(self) -> int:
        """The slot id, valid until the job is freed."""
        if self._id is None:
            raise ValueError("the job has been freed")
        return self._id

    @property
    def state(self) -> State:
        return State(call("tacetra_status", self.id))

    def progress(self) -> Report:
        """The progress report: state, percent (exactly 100.0 once done),
        processed_ms, total_ms, packets."""
        return report(call("tacetra_progress", self.id))

    def result(self) -> Report:
        """The result report: ok, out_path and the figures of the copy, or,
        once failed, the error."""
        return report(call("tacetra_result", self.id))

    def cancel(self) -> None:
        """Asks the job to stop and returns at once: it ends cancelled
        after its next packet read, or done if it had read its last one."""
        call("tacetra_cancel", self.id)

    def wait(self, poll: float = 0.1, on_progress: Optional[Callable[[Report], None]] = None,
             timeout: Optional[float] = None) -> State:
        """Polls the job every ``poll`` seconds until it has ended and
        returns its final state: DONE, CANCELLED or FAILED. ``on_progress``
        sees each progress report, the final one included. Raises
        TimeoutError, leaving the job running, when it has not ended within
        ``timeout`` seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            progress, state = self._read()
            if on_progress is not None:
                on_progress(progress)
            if state is not None:
                return state
            time.sleep(self._pause(poll, deadline, timeout))

    async def wait_async(self, poll: float = 0.1,
                         on_progress: Optional[Callable[[Report], None]] = None,
                         timeout: Optional[float] = None) -> State:
        """:meth:`wait` for asyncio: polls from a worker thread, so that the
        event loop never waits for the binding's lock. Cancelling the
        awaiting task cancels the job; a ``timeout`` raises TimeoutError and
        leaves the job running, as :meth:`wait` does."""
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            while True:
                progress, state = await asyncio.to_thread(self._read)
                if on_progress is not None:
                    on_progress(progress)
                if state is not None:
                    return state
                await asyncio.sleep(self._pause(poll, deadline, timeout))
        except asyncio.CancelledError:
            if self._id is not None:
                self.cancel()
            raise

    def _read(self) -> Tuple[Report, Optional[State]]:
        """The progress report, and the final state once the job has ended."""
        progress = self.progress()
        state = State(progress["state"])
        return progress, (state if state.final else None)

    def _pause(self, poll: float, deadline: Optional[float], timeout: Optional[float]) -> float:
        if deadline is None:
            return poll
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError(f"the job in slot {self._id} has not ended within {timeout} s")
        return min(poll, left)

    def free(self) -> None:
        """Stops the job if it still runs and waits for it, removes its output
        unless it ended done, and frees the slot. Does nothing the second time."""
        with lock:
            if self._holds():
                del _held[self._id]  # type: ignore[arg-type]
                call("tacetra_free", self._id)
            self._id = None

    def _holds(self) -> bool:
        return self._id is not None and _held.get(self._id) is self._token

    def __enter__(self) -> Job:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.free()

    def __del__(self) -> None:
        if self._holds():
            warnings.warn(f"unfreed job in slot {self._id}: freed as it was collected",
                          ResourceWarning, source=self)
            self.free()

    def __repr__(self) -> str:
        return f"<tacetra.Job slot {self._id}>" if self._id is not None else "<tacetra.Job freed>"


@atexit.register
def _free_at_exit() -> None:
    """Cancels every held job, then frees each: no worker outlives the
    interpreter, and no unfinished output is left behind."""
    with lock:
        for slot in _held:
            call("tacetra_cancel", slot)
        for slot in list(_held):
            call("tacetra_free", slot)
        _held.clear()
