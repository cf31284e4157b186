"""How a capture ends: an ending for exit status 0 (or a stop), an exception for every other way."""
from __future__ import annotations

import signal
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional

from ._events import ErrorEvent

# The agent's words for a start with nothing to hear, which a deadline of ours ends with too.
NOTHING_TO_HEAR = ("none of the requested processes are audio processes yet; is the app playing "
                   "sound?")
# Its words, with the same status 3, for a request none of whose processes lives.
NONE_EXISTS = "none of the requested processes exists"


@dataclass(frozen=True)
class Ending:
    """A capture that ended by itself or by stop()."""

    status: Optional[int]  # 0; None when stop() came before the agent ran (or while it waited)
    signal: Optional[signal.Signals]  # SIGTERM when stop() came before the agent handled it
    reason: str  # its last message ("parent exited"), else "stopped" after stop(), else "ended"


class QuenwickError(Exception):
    """The agent ended otherwise; ``status`` is its exit status, ``event`` its last line."""

    def __init__(self, message: str, status: Optional[int] = None,
                 event: Optional[ErrorEvent] = None,
                 signal_: Optional[signal.Signals] = None) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.event = event
        self.signal = signal_


class UsageError(QuenwickError):
    """Options that cannot work (status None: no agent was started, and the message names the
    option), or exit status 1: the agent refused the command line the options made."""


class AudioLayerError(QuenwickError):
    """Exit status 2: the audio layer refused, its server went away (with recover=False), or
    the PCM could not be written."""


class NothingToHearError(QuenwickError):
    """Exit status 3: none of the listed processes plays sound yet (or by the deadline of
    ``wait_for_audio``)."""


class NoSuchProcessError(QuenwickError):
    """Exit status 3, the agent's "none of the requested processes exists": none of the listed
    processes is alive (each has ended or never existed), at start or while it waited."""


class SignalError(QuenwickError):
    """A signal the agent does not handle ended it."""


class BinaryNotFoundError(QuenwickError):
    """No agent could be found or started."""


def ending_of(returncode: int, last: Optional[ErrorEvent], stopping: bool,
              said: Sequence[str] = ()) -> Ending:
    """The ending of an agent that exited with `returncode`, or the exception that says why
    it failed. `said`: its last lines that were no status line, which an ending without an
    "error" line carries (a loader's "GLIBC_2.34 not found", dyld's "Symbol not found")."""
    reason = last.message if last else None

    def with_said(message: str) -> str:
        return message + "; it wrote:\n" + "\n".join(said) if said else message

    if returncode == 0:
        return Ending(0, None, reason or ("stopped" if stopping else "ended"))
    # Windows has no signals: there os.kill(pid, SIGTERM) ends the process with TerminateProcess
    # and the signal's number as its exit status.
    if stopping and returncode == (signal.SIGTERM if sys.platform == "win32" else -signal.SIGTERM):
        return Ending(None, signal.SIGTERM, "stopped")
    if returncode < 0:
        number = signal.Signals(-returncode)
        raise SignalError(with_said(f"the agent was ended by {number.name}"), signal_=number)
    kind = {1: UsageError, 2: AudioLayerError, 3: NothingToHearError}.get(returncode,
                                                                         QuenwickError)
    raise kind(reason or with_said(f"the agent ended with status {returncode}"), returncode, last)
