"""A capture for threads: the asyncio capture, run on one event loop thread that all captures
of the process share, behind calls that block until it answers."""
from __future__ import annotations

import asyncio
import os
import sys
import threading
from collections.abc import Callable, Coroutine, Iterator
from types import TracebackType
from typing import Any, Optional, TypeVar

from ._agent import Options
from ._aio import AsyncCapture
from ._errors import Ending
from ._events import StatusEvent

T = TypeVar("T")
_lock = threading.Lock()
_loop: Optional[asyncio.AbstractEventLoop] = None
_thread: Optional[threading.Thread] = None


def _shared_loop() -> asyncio.AbstractEventLoop:
    global _loop, _thread
    with _lock:
        if _loop is None:
            _loop = asyncio.new_event_loop()
            _thread = threading.Thread(target=_loop.run_forever, name="quenwick", daemon=True)
            _thread.start()
        return _loop


def _forget_loop() -> None:
    global _loop
    _loop = None  # a forked child has the loop but not its thread


if sys.platform != "win32":  # Windows has no fork
    os.register_at_fork(after_in_child=_forget_loop)


class Capture:
    """A capture: a context manager that starts the agent and stops it, and an iterator of its
    PCM as bytes of whole samples. ``events`` holds the status lines so far; ``on_event`` hears
    each one on the package's thread. stop() from any thread, on_event too, ends the wait for
    audio or the run."""

    def __init__(self, options: Options, on_event: Optional[Callable[[StatusEvent], None]],
                 chunk_bytes: int) -> None:
        self._async = AsyncCapture(options, on_event, chunk_bytes)
        self._loop = _shared_loop()

    def _call(self, coroutine: Coroutine[Any, Any, T]) -> T:
        if threading.current_thread() is _thread:
            coroutine.close()
            raise RuntimeError("on_event runs on the capture's own thread, which this call "
                               "would wait for: call it from another thread")
        future = asyncio.run_coroutine_threadsafe(coroutine, self._loop)
        try:
            return future.result()
        except BaseException:  # interrupted (KeyboardInterrupt): what it waited for ends too
            future.cancel()
            raise

    @property
    def events(self) -> list[StatusEvent]:
        return self._async.events

    @property
    def pid(self) -> Optional[int]:
        """The agent's process id, once it is started."""
        return self._async.pid

    def __enter__(self) -> Capture:
        self.start()
        return self

    def __exit__(self, kind: Optional[type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._call(self._async.__aexit__(kind, error, traceback))

    def start(self) -> None:
        """Returns once the agent runs, or once it ended by itself or by stop() before; raises
        how it failed. While nothing plays, the agent waits as long as ``wait_for_audio`` allows."""
        self._call(self._async.start())

    def wait(self) -> Ending:
        """Waits until the capture ends: its ending, or raises how it failed."""
        return self._call(self._async.wait())

    def stop(self) -> Optional[Ending]:
        """Stops the agent with SIGTERM, which removes what it made in the audio layer, or ends
        the wait for audio (on Windows it ends the agent's process); then as wait(). From on_event, on the package's thread, which must
        not wait for itself, it only asks for the stop and returns None."""
        if threading.current_thread() is _thread:
            self._async._halt()
            return None
        return self._call(self._async.stop())

    def __iter__(self) -> Iterator[bytes]:
        """The PCM from the start, as the agent writes it, until it ends."""
        while chunk := self._call(self._async.read()):
            yield chunk
