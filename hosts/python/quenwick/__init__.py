"""Hear what other processes play: start the quenwick agent, read its PCM (16 kHz mono signed
16-bit little-endian) and its status events, and learn how it ended.

    with quenwick.capture(pids=[pid]) as run:
        for chunk in run:
            ...

The agent is the ``binary`` argument, else $QUENWICK_BINARY, else the agent inside the package
(a platform wheel carries one), else quenwick on the PATH.
"""
from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from typing import Optional

from ._agent import Options, Quality, WaitForAudio, find_binary
from ._aio import AsyncCapture
from ._capture import Capture
from ._errors import (AudioLayerError, BinaryNotFoundError, Ending, NoSuchProcessError,
                      NothingToHearError, QuenwickError, SignalError, UsageError)
from ._events import (BackendEvent, CreatingTapEvent, EndedEvent, ErrorEvent, FormatEvent,
                      InterruptedEvent, PlayingEvent, ResumedEvent, RunningEvent, SilenceEvent,
                      SleptEvent, SoundEvent, StatusEvent)
from ._wav import BYTES_PER_SAMPLE, CHANNELS, SAMPLE_RATE, WavWritten, awrite_wav, write_wav

__all__ = [
    "AsyncCapture", "AudioLayerError", "BYTES_PER_SAMPLE", "BackendEvent", "BinaryNotFoundError", "CHANNELS",
    "Capture", "CreatingTapEvent", "EndedEvent", "Ending", "ErrorEvent", "FormatEvent",
    "InterruptedEvent", "NoSuchProcessError", "NothingToHearError", "PlayingEvent", "Quality",
    "QuenwickError", "ResumedEvent", "RunningEvent", "SAMPLE_RATE", "SignalError",
    "SilenceEvent", "SleptEvent", "SoundEvent", "StatusEvent", "UsageError",
    "WavWritten", "acapture", "awrite_wav", "binary_path", "capture", "write_wav",
]


def capture(*, pids: Optional[Sequence[int]] = None, global_: bool = False,
            exclude_self: Optional[int] = None, tree: bool = False,
            binary: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
            wait_for_audio: WaitForAudio = None, report: bool = True,
            quality: Quality = "high", recover: bool = True,
            on_event: Optional[Callable[[StatusEvent], None]] = None,
            chunk_bytes: int = 6400) -> Capture:
    """A capture of the processes `pids` (with their descendants, with `tree`), or with
    `global_` of the whole system but this process and `exclude_self`. While none of them plays
    yet, the agent waits until one does, for up to `wait_for_audio` seconds (True: until one
    plays, none lives, or stop()). With `report` (the default) the agent also tells who plays,
    which listed process ended, stretches of silence and sleep. The agent band-limits the sound
    before it resamples it to 16 kHz (`quality` "high"); "linear" gives its exact linear
    interpolation instead. With `recover` (the default) a server that goes away (restarts) is
    told as an InterruptedEvent, the PCM goes on as silence in time, and a ResumedEvent tells
    that the agent captures again; without it the capture ends with AudioLayerError. Options
    that cannot work raise UsageError here."""
    return Capture(Options(pids, global_, exclude_self, tree, binary, env, wait_for_audio,
                           report, quality, recover), on_event, chunk_bytes)


def acapture(*, pids: Optional[Sequence[int]] = None, global_: bool = False,
             exclude_self: Optional[int] = None, tree: bool = False,
             binary: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
             wait_for_audio: WaitForAudio = None, report: bool = True,
             quality: Quality = "high", recover: bool = True,
             on_event: Optional[Callable[[StatusEvent], None]] = None,
             chunk_bytes: int = 6400) -> AsyncCapture:
    """The asyncio counterpart of capture(): ``async with quenwick.acapture(...) as run``."""
    return AsyncCapture(Options(pids, global_, exclude_self, tree, binary, env, wait_for_audio,
                                report, quality, recover), on_event, chunk_bytes)


def binary_path(*, binary: Optional[str] = None, env: Optional[Mapping[str, str]] = None) -> str:
    """The path of the agent that a capture with `binary` and `env` would start (the same rules),
    for an app that copies it into its bundle. Raises BinaryNotFoundError with the reason when
    there is none."""
    return find_binary(binary, env if env is not None else os.environ)
