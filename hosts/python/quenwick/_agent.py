"""What a capture needs of the agent: where the binary is, and the command line of the options
(which must be able to work)."""
from __future__ import annotations

import math
import operator
import os
import pathlib
import platform
import shutil
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Literal, Optional, SupportsIndex, Union

from . import _system
from ._errors import BinaryNotFoundError, UsageError

LARGEST_PID = 2**31 - 1
# Where a platform wheel carries the agent, and the platforms (sys.platform, machine) that have
# such a wheel; elsewhere pip installs the wheel without one.
BUNDLED_IN = pathlib.Path(__file__).with_name("_bin")
WHEEL_PLATFORMS = {("linux", "x86_64"), ("linux", "aarch64"), ("darwin", "x86_64"),
                   ("darwin", "arm64"), ("win32", "AMD64")}

WaitForAudio = Union[bool, float, None]
# --quality: "high" band-limits before resampling; "linear" is the exact interpolation.
Quality = Literal["high", "linear"]


@dataclass(frozen=True)
class Options:
    pids: Optional[Sequence[int]]
    global_: bool
    exclude_self: Optional[int]
    tree: bool
    binary: Optional[str]
    env: Optional[Mapping[str, str]]
    wait_for_audio: WaitForAudio  # seconds, True for ever
    report: bool = True  # --report: who plays, who ended, silence and sleep, as events
    quality: Quality = "high"
    recover: bool = True  # --recover: a server that goes away is waited for, not the end

    def __post_init__(self) -> None:
        problem = self._problem()
        if problem is not None:
            raise UsageError(problem)

    def _problem(self) -> Optional[str]:
        """What is wrong with options that cannot work, before the agent sees them (it would
        drop a bad pid silently and then name its own flags)."""
        not_pid = f"which is not a process id (a whole number from 1 to {LARGEST_PID})"
        if self.pids is not None and (isinstance(self.pids, (str, bytes)) or
                                      not isinstance(self.pids, Sequence)):
            return f"pids is {self.pids!r}, not a sequence of process ids"
        bad = [pid for pid in self.pids or () if not _is_pid(pid)]
        if bad:
            return f"pids holds {bad[0]!r}, {not_pid}"
        if self.pids is not None and not self.pids and not self.global_:
            return "pids is empty: list at least one process to hear, or set global_=True"
        if self.exclude_self is not None and not _is_pid(self.exclude_self):
            return f"exclude_self is {self.exclude_self!r}, {not_pid}"
        for name, value in (("report", self.report), ("recover", self.recover)):
            if not isinstance(value, bool):
                return f"{name} is {value!r}: give True or False"
        if self.quality not in ("high", "linear"):
            return f"quality is {self.quality!r}: give 'high' or 'linear'"
        wait = self.wait_for_audio
        if not (wait is None or isinstance(wait, bool) or
                isinstance(wait, (int, float)) and wait >= 0):
            return f"wait_for_audio is {wait!r}: give True or a number of seconds, 0 or more"
        return None

    def environment(self) -> Mapping[str, str]:
        return self.env if self.env is not None else os.environ

    def waits(self) -> bool:
        """Whether the agent waits for a listed process to play (--wait): in processes mode."""
        return not self.global_ and bool(self.wait_for_audio)

    def deadline(self) -> Optional[float]:
        """How long the agent may wait, in seconds; None: as long as it takes."""
        wait = self.wait_for_audio
        if not self.waits() or wait is True or math.isinf(float(wait or 0)):
            return None
        return float(wait or 0)

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
        if self.waits():
            args.append("--wait")
        if self.report:
            args.append("--report")
        if self.recover:
            args.append("--recover")
        return [*args, "--quality", self.quality]


def _is_pid(value: object) -> bool:
    """A whole number (numpy's too) in a pid's range; True and False are no pids."""
    return (isinstance(value, SupportsIndex) and not isinstance(value, bool) and
            1 <= operator.index(value) <= LARGEST_PID)


def find_binary(binary: Optional[str], env: Mapping[str, str]) -> str:
    """The agent: `binary`, then QUENWICK_BINARY, then the agent inside this package (a
    platform wheel's), then quenwick on the PATH. A system that no agent can serve is refused
    first, in words, and so is one that the wheel's agent cannot serve, where pip installs the
    wheel without one or the agent's loader would refuse it."""
    system = _system.describe()
    problem = _system.problem(system, prebuilt=False)
    if problem is not None:
        raise BinaryNotFoundError(problem)
    if binary:
        return binary
    if env.get("QUENWICK_BINARY"):
        return env["QUENWICK_BINARY"]
    # Windows runs only an .exe; on the PATH, shutil.which adds the suffix itself.
    bundled_agent = BUNDLED_IN / ("quenwick.exe" if sys.platform == "win32" else "quenwick")
    found = shutil.which("quenwick", path=env.get("PATH", ""))
    if os.access(bundled_agent, os.X_OK) or found is None:
        problem = _system.problem(system, prebuilt=True)
        if problem is not None:
            raise BinaryNotFoundError(problem)
    if os.access(bundled_agent, os.X_OK):
        return str(bundled_agent)
    if found is None:
        place = f"{sys.platform}-{platform.machine()}"
        bundled = f"the package holds no agent ({bundled_agent})"
        if (sys.platform, platform.machine()) not in WHEEL_PLATFORMS:
            bundled += f" and no wheel with one is published for this platform ({place})"
        raise BinaryNotFoundError("no quenwick agent: the binary argument is not given, "
                                  f"QUENWICK_BINARY is not set, {bundled}, and there is no "
                                  "quenwick on the PATH")
    return found
