"""What a capture needs of the agent: where the binary is, the command line of the options,
and the pauses between tries while nothing plays."""
from __future__ import annotations

import math
import os
import shutil
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Optional, Union

from ._errors import BinaryNotFoundError

FIRST_RETRY = 0.25  # seconds; each next try waits twice as long, up to the longest
LONGEST_RETRY = 4.0

WaitForAudio = Union[bool, float, None]


@dataclass(frozen=True)
class Options:
    pids: Optional[Sequence[int]]
    global_: bool
    exclude_self: Optional[int]
    tree: bool
    binary: Optional[str]
    env: Optional[Mapping[str, str]]
    wait_for_audio: WaitForAudio  # seconds, True for ever

    def environment(self) -> Mapping[str, str]:
        return self.env if self.env is not None else os.environ

    def command(self) -> list[str]:
        """The agent and its command line: each option is the agent's own."""
        args = [find_binary(self.binary, self.environment())]
        if self.pids is not None:
            args += ["--pids", ",".join(str(pid) for pid in self.pids)]
        if self.global_:
            args.append("--global")
        if self.exclude_self is not None:
            args += ["--exclude-self", str(self.exclude_self)]
        if self.tree:
            args.append("--tree")
        return args


def find_binary(binary: Optional[str], env: Mapping[str, str]) -> str:
    """The agent: `binary`, then QUENWICK_BINARY, then quenwick on the PATH."""
    if binary:
        return binary
    if env.get("QUENWICK_BINARY"):
        return env["QUENWICK_BINARY"]
    found = shutil.which("quenwick", path=env.get("PATH", ""))
    if found is None:
        raise BinaryNotFoundError("no quenwick agent: the binary argument is not given, "
                                  "QUENWICK_BINARY is not set, and there is no quenwick on the PATH")
    return found


class Retries:
    """The pauses before each new try while nothing plays, as long as the next try comes before
    the deadline, `wait_for_audio` seconds from now."""

    def __init__(self, wait_for_audio: WaitForAudio) -> None:
        wait = math.inf if wait_for_audio is True else float(wait_for_audio or 0)
        self._deadline = time.monotonic() + wait
        self._delay = FIRST_RETRY

    def next(self) -> Optional[float]:
        delay = self._delay
        if time.monotonic() + delay >= self._deadline:
            return None
        self._delay = min(delay * 2, LONGEST_RETRY)
        return delay
