"""The contract's table (tests/contract.py) on a private PulseAudio daemon with real players: P a
paplay that plays, Q a process with no stream, L a paplay that starts half a second later."""
import subprocess
import time

import pytest

from conftest import noise, write_float_wav
from contract import rows, run_row


@pytest.fixture
def roles(pulseaudio, tmp_path):
    write_float_wav(tmp_path / "late.wav", noise(48000 * 30, 2, seed=3) * 0.25, 48000)
    started = {"P": pulseaudio.play(noise(48000 * 30, 2, seed=2) * 0.25),
               "Q": pulseaudio.play_command(["sleep", "60"]),
               "L": subprocess.Popen(["sh", "-c", "sleep 0.5; exec paplay late.wav"],
                                     cwd=tmp_path, env=pulseaudio.env)}
    yield started
    for process in started.values():
        process.kill()
        process.wait()


@pytest.mark.parametrize("args, act, status, lines", rows())
def test_the_contract_holds_on_pulseaudio(pulseaudio, roles, tmp_path, args, act, status, lines):
    run_row(lambda a, **o: pulseaudio.agent(a, tmp_path, **o), roles, "pulseaudio", args, act,
            status, lines, lambda run: time.sleep(0.3))
