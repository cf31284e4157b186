"""The contract's table (tests/contract.py) on a private PipeWire server with real players: P a
pw-play that plays, Q a process with no stream, L a pw-play that starts half a second later."""
import subprocess
import time

import pytest

from conftest import noise, write_float_wav
from contract import rows, run_row


@pytest.fixture
def roles(pipewire, tmp_path):
    write_float_wav(tmp_path / "late.wav", noise(48000 * 30, 2, seed=3) * 0.25, 48000)
    started = {"P": pipewire.play(noise(48000 * 30, 2, seed=2) * 0.25),
               "Q": pipewire.play_command(["sleep", "60"]),
               "L": subprocess.Popen(["sh", "-c", "sleep 0.5; exec pw-play late.wav"],
                                     cwd=tmp_path, env=pipewire.env)}
    yield started
    for process in started.values():
        process.kill()
        process.wait()


@pytest.mark.parametrize("args, act, status, lines", rows())
def test_the_contract_holds_on_pipewire(pipewire, roles, tmp_path, args, act, status, lines):
    run_row(lambda a, **o: pipewire.agent(a, tmp_path, **o), roles, "pipewire", args, act,
            status, lines, lambda run: time.sleep(0.3))
