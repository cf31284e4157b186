"""What the agent needs of the system it runs on, and what this one has: read before the agent
is started, so that a system it cannot serve is named in words instead of a loader's status 127."""
from __future__ import annotations

import os
import platform
import sys
from dataclasses import dataclass
from typing import Optional

# The oldest C library the Linux agents link against (the dist build's symbol versions), the
# first macOS with process taps, and the first Windows build with process loopback.
GLIBC_FLOOR = (2, 34)
MACOS_FLOOR = (14, 2)
WINDOWS_FLOOR = 20348


@dataclass(frozen=True)
class System:
    """This system as the checks read it; None where it could not be read (left unchecked)."""

    platform: str  # sys.platform
    libc: Optional[str] = None  # on Linux, "glibc 2.36", or "" for another C library (musl)
    macos: Optional[str] = None  # "14.1"
    windows_build: Optional[int] = None


def _glibc() -> str:
    try:
        found = os.confstr("CS_GNU_LIBC_VERSION")  # "glibc 2.36"; musl has no such name
    except (ValueError, OSError):
        found = None
    if found:
        return found
    name, version = platform.libc_ver()
    return f"{name} {version}" if name == "glibc" and version else ""


def describe() -> System:
    if sys.platform.startswith("linux"):
        return System(sys.platform, libc=_glibc())
    if sys.platform == "darwin":
        return System(sys.platform, macos=platform.mac_ver()[0] or None)
    windows_version = getattr(sys, "getwindowsversion", None)
    if sys.platform == "win32" and windows_version is not None:
        return System(sys.platform, windows_build=windows_version().build)
    return System(sys.platform)


def _version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split(".") if part.isdigit())


def problem(system: System, prebuilt: bool) -> Optional[str]:
    """Why the agent cannot run on `system`, naming what it needs and what was found; None when
    nothing is known against it. The C library matters to a `prebuilt` agent only (the wheel's):
    one built on the system itself, given as binary or found on the PATH, is its own judge."""
    cannot = "the quenwick agent cannot run on this system: it needs"
    glibc = ".".join(map(str, GLIBC_FLOOR))
    if prebuilt and system.libc == "":
        return (f"{cannot} glibc {glibc} or later, and this Linux has another C library (musl, "
                "as on Alpine)")
    if prebuilt and system.libc and _version(system.libc.split()[-1]) < GLIBC_FLOOR:
        return f"{cannot} glibc {glibc} or later, and this Linux has {system.libc}"
    # A Python built for macOS 10.15 or older may see "10.16" for any newer system: not read.
    if system.macos and system.macos != "10.16" and _version(system.macos) < MACOS_FLOOR:
        return (f"{cannot} macOS {'.'.join(map(str, MACOS_FLOOR))} or later (process taps), "
                f"and this Mac has macOS {system.macos}")
    if system.windows_build is not None and system.windows_build < WINDOWS_FLOOR:
        return (f"{cannot} Windows build {WINDOWS_FLOOR} or later (process loopback), and this "
                f"Windows is build {system.windows_build}")
    return None
