"""The agent's status events, one per line of its standard error, as dataclasses."""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Optional, Union


@dataclass(frozen=True)
class BackendEvent:
    """The backend that serves the run (``report``), the first line: "pipewire" or "pulseaudio"
    on Linux, "coreaudio" on macOS, "loopback" on Windows."""

    name: str


@dataclass(frozen=True)
class CreatingTapEvent:
    """Written just before the tap is created."""


@dataclass(frozen=True)
class FormatEvent:
    """The tap's format at start, and each change of it (``changed``)."""

    sample_rate: float
    channels: int
    mode: str  # "processes" or "global"
    pids: tuple[int, ...]  # exactly the pids given with --pids
    changed: bool = False


@dataclass(frozen=True)
class RunningEvent:
    """Capture has started."""


@dataclass(frozen=True)
class PlayingEvent:
    """The processes heard playing now (``report``): right after "running", then at each
    change. In processes mode the listed pids in the order given, in global mode ascending."""

    pids: tuple[int, ...]


@dataclass(frozen=True)
class EndedEvent:
    """A listed process has ended (``report``, processes mode); the capture goes on."""

    pid: int


@dataclass(frozen=True)
class SilenceEvent:
    """Every sample was zero for ``seconds`` while a process played (``report``). ``advice``
    (macOS and Windows, the first of a run that heard nothing) says what it may mean and where to
    look."""

    seconds: float
    advice: Optional[str] = None


@dataclass(frozen=True)
class SoundEvent:
    """Sound again after a SilenceEvent (``report``)."""


@dataclass(frozen=True)
class SleptEvent:
    """The machine slept for ``seconds`` and is awake again (``report``); the PCM holds no
    samples for that time."""

    seconds: int


@dataclass(frozen=True)
class InterruptedEvent:
    """The audio server went away, for ``reason`` (``recover``): the PCM goes on as silence in
    time until a ResumedEvent."""

    reason: str


@dataclass(frozen=True)
class ResumedEvent:
    """The agent captures again after an InterruptedEvent (``recover``), or, still waiting for
    audio, waits again; a FormatEvent with ``changed`` follows when the format differs."""


@dataclass(frozen=True)
class ErrorEvent:
    """The agent's last line: why it ends."""

    message: str


StatusEvent = Union[BackendEvent, CreatingTapEvent, FormatEvent, RunningEvent, PlayingEvent, EndedEvent,
                    SilenceEvent, SoundEvent, SleptEvent, InterruptedEvent, ResumedEvent,
                    ErrorEvent]


def parse_event(line: Union[str, bytes]) -> Optional[StatusEvent]:
    """The event of one status line; None for a line that is none (the agent writes none)."""
    try:
        event = json.loads(line)
        kind = event["event"]
        if kind == "backend":
            return BackendEvent(str(event["name"]))
        if kind == "creating_tap":
            return CreatingTapEvent()
        if kind == "format":
            return FormatEvent(float(event["sample_rate"]), int(event["channels"]),
                               str(event["mode"]), tuple(int(pid) for pid in event["pids"]),
                               bool(event.get("changed", False)))
        if kind == "running":
            return RunningEvent()
        if kind == "playing":
            return PlayingEvent(tuple(int(pid) for pid in event["pids"]))
        if kind == "ended":
            return EndedEvent(int(event["pid"]))
        if kind == "silence":
            advice = event.get("advice")
            return SilenceEvent(float(event["seconds"]), None if advice is None else str(advice))
        if kind == "sound":
            return SoundEvent()
        if kind == "slept":
            return SleptEvent(int(event["seconds"]))
        if kind == "interrupted":
            return InterruptedEvent(str(event["reason"]))
        if kind == "resumed":
            return ResumedEvent()
        if kind == "error":
            return ErrorEvent(str(event["message"]))
    except (ValueError, KeyError, TypeError):
        pass
    return None
