"""The agent's status events, one per line of its standard error, as dataclasses."""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Optional, Union


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
class ErrorEvent:
    """The agent's last line: why it ends."""

    message: str


StatusEvent = Union[CreatingTapEvent, FormatEvent, RunningEvent, ErrorEvent]


def parse_event(line: Union[str, bytes]) -> Optional[StatusEvent]:
    """The event of one status line; None for a line that is none (the agent writes none)."""
    try:
        event = json.loads(line)
        kind = event["event"]
        if kind == "creating_tap":
            return CreatingTapEvent()
        if kind == "format":
            return FormatEvent(float(event["sample_rate"]), int(event["channels"]),
                               str(event["mode"]), tuple(int(pid) for pid in event["pids"]),
                               bool(event.get("changed", False)))
        if kind == "running":
            return RunningEvent()
        if kind == "error":
            return ErrorEvent(str(event["message"]))
    except (ValueError, KeyError, TypeError):
        pass
    return None
