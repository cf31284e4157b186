"""A WAV file of the agent's PCM, written as it comes."""
from __future__ import annotations

import wave
from collections.abc import AsyncIterable, Iterable
from pathlib import Path
from typing import Union

# What the agent writes on standard output: raw mono signed 16-bit little-endian PCM.
SAMPLE_RATE = 16000
CHANNELS = 1
BYTES_PER_SAMPLE = 2


def _open(path: Union[str, Path]) -> wave.Wave_write:
    wav = wave.open(str(path), "wb")
    wav.setnchannels(CHANNELS)
    wav.setsampwidth(BYTES_PER_SAMPLE)
    wav.setframerate(SAMPLE_RATE)
    return wav


def write_wav(path: Union[str, Path], chunks: Iterable[bytes]) -> int:
    """Writes a capture's PCM (or any iterable of PCM bytes) to a WAV file until it ends; the
    samples written."""
    samples = 0
    with _open(path) as wav:
        for chunk in chunks:
            wav.writeframes(chunk)
            samples += len(chunk) // BYTES_PER_SAMPLE
    return samples


async def awrite_wav(path: Union[str, Path], chunks: AsyncIterable[bytes]) -> int:
    """The same for an asynchronous capture."""
    samples = 0
    with _open(path) as wav:
        async for chunk in chunks:
            wav.writeframes(chunk)
            samples += len(chunk) // BYTES_PER_SAMPLE
    return samples
