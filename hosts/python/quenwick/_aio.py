"""A capture on asyncio: the agent as a child process, followed by one task from its start to
its end, and its PCM read as the caller asks for it."""
from __future__ import annotations

import asyncio
import collections
import contextlib
import os
import signal
from asyncio.subprocess import DEVNULL, PIPE
from collections.abc import AsyncIterator, Callable
from types import TracebackType
from typing import Optional

from ._agent import Options
from ._errors import (NONE_EXISTS, NOTHING_TO_HEAR, BinaryNotFoundError, Ending,
                      NoSuchProcessError, NothingToHearError, ending_of)
from ._events import CreatingTapEvent, ErrorEvent, RunningEvent, StatusEvent, parse_event
from ._wav import BYTES_PER_SAMPLE

# How many of those lines an error carries.
LINES_KEPT = 5


class AsyncCapture:
    """``async with`` starts the agent and stops it; ``async for`` yields its PCM as bytes of
    whole samples. ``events`` holds the status lines so far. Cancelling the task that starts it
    or runs the ``async with`` body ends the agent too."""

    def __init__(self, options: Options, on_event: Optional[Callable[[StatusEvent], None]],
                 chunk_bytes: int) -> None:
        self._options = options
        self._on_event = on_event
        self._chunk_bytes = max(BYTES_PER_SAMPLE, chunk_bytes - chunk_bytes % BYTES_PER_SAMPLE)
        self._events: list[StatusEvent] = []
        self._process: Optional[asyncio.subprocess.Process] = None
        self._pcm: Optional[asyncio.StreamReader] = None  # the agent's standard output
        self._follower: Optional[asyncio.Task[Ending]] = None
        self._running = asyncio.Event()
        self._stopping = asyncio.Event()
        self._deadline_passed = False  # wait_for_audio's: the agent was ended while it waited
        self._kept = b""  # a lone byte of a sample that the next read completes
        # The agent's last lines that are no status line: its loader's, should it fail to start.
        self._said: collections.deque[str] = collections.deque(maxlen=LINES_KEPT)

    @property
    def events(self) -> list[StatusEvent]:
        return list(self._events)

    @property
    def pid(self) -> Optional[int]:
        """The agent's process id, once it is started."""
        return self._process.pid if self._process else None

    async def __aenter__(self) -> AsyncCapture:
        await self.start()
        return self

    async def __aexit__(self, kind: Optional[type[BaseException]],
                        error: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        if kind is None:
            await self.stop()
        elif self._follower is not None:  # the body failed: its error is the one to tell
            self._halt()
            await asyncio.wait([self._follower])

    async def start(self) -> None:
        """Returns once the agent runs, or once it ended by itself or by stop() before; raises
        how it failed. While nothing plays, the agent waits as long as ``wait_for_audio`` allows."""
        if self._follower is None:
            self._follower = asyncio.ensure_future(self._follow())
            self._follower.add_done_callback(_retrieve)
        running = asyncio.ensure_future(self._running.wait())
        try:
            await asyncio.wait([running, self._follower], return_when=asyncio.FIRST_COMPLETED)
        except BaseException:  # cancelled: the agent ends too
            self._halt()
            raise
        finally:
            running.cancel()
        if self._follower.done():
            self._follower.result()

    async def wait(self) -> Ending:
        """Waits until the capture ends: its ending, or raises how it failed."""
        await self.start()
        assert self._follower is not None
        return await asyncio.shield(self._follower)

    async def stop(self) -> Ending:
        """Stops the agent with SIGTERM, which removes what it made in the audio layer, or ends
        the wait for audio (on Windows it ends the agent's process); then as wait()."""
        self._halt()
        return await self.wait()

    async def read(self) -> bytes:
        """The next PCM as it comes, in whole samples; b"" once it has all been read."""
        if not self._running.is_set():
            await self.start()
        stdout = self._pcm
        while stdout is not None and (data := await stdout.read(self._chunk_bytes)):
            data = self._kept + data
            whole = len(data) - len(data) % BYTES_PER_SAMPLE
            self._kept = data[whole:]
            if whole:
                return data[:whole]
        return b""

    async def __aiter__(self) -> AsyncIterator[bytes]:
        while chunk := await self.read():
            yield chunk

    def _halt(self) -> None:
        self._stopping.set()
        if self._process is not None:
            _terminate(self._process)

    async def _follow(self) -> Ending:
        if self._stopping.is_set():  # stop() came before the start
            return Ending(None, None, "stopped")
        returncode = await self._run()
        last = self._last_error()
        if returncode == 3 and last is not None and last.message == NONE_EXISTS:
            listed = ", ".join(str(pid) for pid in self._options.pids or ())
            raise NoSuchProcessError(f"no requested process is alive (pids {listed}): each has "
                                     "ended or never existed", 3, last)
        if self._deadline_passed and returncode < 0:
            raise NothingToHearError(NOTHING_TO_HEAR, 3)
        return ending_of(returncode, last, self._stopping.is_set(), list(self._said))

    async def _run(self) -> int:
        """The agent, from its start to its exit and its last status line: its exit status."""
        # The PCM comes through a pipe of our own, not asyncio's: asyncio may tell the exit only
        # once every pipe of the process is read to its end, and the host may never read it all.
        command = self._options.command()
        read_end, write_end = os.pipe()
        try:
            pcm = asyncio.StreamReader()
            transport, _ = await asyncio.get_running_loop().connect_read_pipe(
                lambda: asyncio.StreamReaderProtocol(pcm),  # the transport closes at its end
                os.fdopen(read_end, "rb", buffering=0))
            try:
                process = await asyncio.create_subprocess_exec(
                    *command, stdin=DEVNULL, stdout=write_end, stderr=PIPE,
                    env=self._options.environment())
            except BaseException as error:
                transport.close()
                if isinstance(error, OSError):
                    raise BinaryNotFoundError(f"could not start the agent: {error}") from None
                raise
        finally:
            os.close(write_end)
        self._pcm = pcm
        self._process = process
        if self._stopping.is_set():  # stop() came while it started
            _terminate(process)
        wait = self._options.deadline()
        deadline = None if wait is None else asyncio.get_running_loop().call_later(
            wait, self._deadline_reached, process)
        assert process.stderr is not None
        try:
            async for line in process.stderr:
                event = parse_event(line)
                if event is None:
                    if line.strip():
                        self._said.append(line.decode(errors="replace").rstrip())
                    continue
                self._events.append(event)
                if isinstance(event, CreatingTapEvent) and deadline is not None:
                    deadline.cancel()  # it has found a process to hear: it starts
                if isinstance(event, RunningEvent):
                    self._running.set()
                if self._on_event is not None:
                    self._on_event(event)
            return await process.wait()
        except BaseException:  # on_event raised, or the loop is closing: the agent ends too
            _terminate(process)
            await process.wait()
            raise
        finally:
            if deadline is not None:
                deadline.cancel()

    def _deadline_reached(self, process: asyncio.subprocess.Process) -> None:
        """Ends an agent that still waits; before "running" SIGTERM ends it by the signal,
        which _follow reads as this deadline."""
        if not self._stopping.is_set():
            self._deadline_passed = True
            _terminate(process)

    def _last_error(self) -> Optional[ErrorEvent]:
        errors = [event for event in self._events if isinstance(event, ErrorEvent)]
        return errors[-1] if errors else None


def _terminate(process: asyncio.subprocess.Process) -> None:
    """SIGTERM to the agent unless it is known to have ended. Not Process.send_signal(), which
    polls the child first and may reap it: asyncio's own watcher then finds no child and reports
    status 255."""
    if process.returncode is None:
        with contextlib.suppress(ProcessLookupError):  # it has just exited
            os.kill(process.pid, signal.SIGTERM)


def _retrieve(task: asyncio.Task[Ending]) -> None:
    """Marks a failure as seen: whoever wants it gets it from the task, and nobody may."""
    if not task.cancelled():
        task.exception()
