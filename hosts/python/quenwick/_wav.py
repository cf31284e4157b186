"""A WAV file of the agent's PCM, written as it comes."""
from __future__ import annotations

import itertools
import wave
from collections.abc import AsyncIterable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

# What the agent writes on standard output: raw mono signed 16-bit little-endian PCM.
SAMPLE_RATE = 16000
CHANNELS = 1
BYTES_PER_SAMPLE = 2


@dataclass(frozen=True)
class WavWritten:
    """What write_wav wrote: the samples, and how long they last."""

    samples: int
    seconds: float


def _open(path: Union[str, Path]) -> wave.Wave_write:
    wav = wave.open(str(path), "wb")
    wav.setnchannels(CHANNELS)
    wav.setsampwidth(BYTES_PER_SAMPLE)
    wav.setframerate(SAMPLE_RATE)
    return wav


def _written(samples: int) -> WavWritten:
    return WavWritten(samples, samples / SAMPLE_RATE)


def write_wav(path: Union[str, Path], chunks: Iterable[bytes]) -> WavWritten:
    """Writes a capture's PCM (or any iterable of PCM bytes) to a WAV file until it ends. A
    capture starts at the first chunk asked for, before the file is made: one that fails to
    start raises how, and leaves no file."""
    iterator = iter(chunks)
    first = list(itertools.islice(iterator, 1))
    samples = 0
    with _open(path) as wav:
        for chunk in itertools.chain(first, iterator):
            wav.writeframes(chunk)
            samples += len(chunk) // BYTES_PER_SAMPLE
    return _written(samples)


async def awrite_wav(path: Union[str, Path], chunks: AsyncIterable[bytes]) -> WavWritten:
    """The same for an asynchronous capture."""
    iterator = aiter(chunks)
    chunk: Optional[bytes] = await anext(iterator, None)
    samples = 0
    with _open(path) as wav:
        while chunk is not None:
            wav.writeframes(chunk)
            samples += len(chunk) // BYTES_PER_SAMPLE
            chunk = await anext(iterator, None)
    return _written(samples)
