"""The numbers of the C header tacetra.h, under Python names."""

from __future__ import annotations

import enum

#: TACETRA_MAX_JOBS: the number of job slots, so of jobs that run at once.
MAX_JOBS = 4

#: TACETRA_PATH_MAX: the longest path a job accepts, in bytes of UTF-8.
PATH_MAX = 1198


class State(enum.IntEnum):
    """A job's state, as tacetra_status and the reports give it."""

    PENDING = 0
    RUNNING = 2
    DONE = 3
    CANCELLED = 4
    FAILED = 5

    @property
    def final(self) -> bool:
        """Done, cancelled and failed change no more."""
        return self in (State.DONE, State.CANCELLED, State.FAILED)


class StartCode(enum.IntEnum):
    """Why tacetra_start refused a job; the header's TACETRA_<name>."""

    ERR_ARGS = -1
    ERR_BUSY = -2
    ERR_OPEN = -3
    ERR_THREAD = -4
    ERR_NO_VIDEO = -5
    ERR_NO_AUDIO = -7
