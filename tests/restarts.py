"""A server that restarts under the agent: killed with SIGKILL (with its session manager) and
started again, on the private servers of tests/pipewire and tests/pulseaudio alike, with a real
player whose process tree plays again once the server is back, as a desktop app's does."""
import signal
import time

import numpy as np

from conftest import LIVENESS, pcm_samples, until, write_float_wav
from contract import started

GONE = {"event": "interrupted", "reason": "the audio server went away"}
BACK = {"event": "resumed"}
SECOND = 32000  # bytes of PCM


def looping_player(server, tmp_path, gate=None):
    """A shell that plays a tone again and again, from when `gate` exists: each player dies with
    its server, and the next one plays once the server is back."""
    tone = 0.25 * np.sin(2 * np.pi * 440 * np.arange(48000 * 2) / 48000)
    path = tmp_path / "tone.wav"
    write_float_wav(path, np.column_stack([tone, tone]).astype(np.float32), 48000)
    wait = f'until [ -e "{gate}" ]; do sleep 0.05; done; ' if gate else ""
    return server.play_command(
        ["sh", "-c", wait + f'while :; do {server.PLAYER} "$0"; sleep 0.1; done', path])


def heard(run):
    until(lambda: np.abs(pcm_samples(run.out[-4000:])).max(initial=0) > 5000,
          what="the tone in the last 1/8 s of the capture")


def two_restarts_in_a_run(server, tmp_path, seconds=30):
    """Both outages are heard as silence in time, the tone again after each, and the stream's
    length is the time the run lasted."""
    player = looping_player(server, tmp_path)
    run = server.agent(["--pids", str(player.pid), "--tree", "--recover"], tmp_path)
    run.wait_for_event("running")
    began = time.monotonic()
    for outage in (1, 2):
        heard(run)
        server.kill_server()
        until(lambda: run.events().count(GONE) == outage, what="interrupted")
        quiet = len(run.out) // 2 * 2
        time.sleep(2)
        # Silence flows while no server is there, at most about a second behind the clock.
        assert len(run.out) / SECOND > time.monotonic() - began - 1.0
        assert not pcm_samples(run.out[quiet:len(run.out) // 2 * 2]).any()
        server.restart()
        until(lambda: run.events().count(BACK) == outage, what="resumed")
    heard(run)
    time.sleep(max(0.0, seconds - (time.monotonic() - began)))
    run.signal(signal.SIGTERM)
    lasted = time.monotonic() - began
    assert run.finish() == 0
    assert run.events() == started("processes", player.pid) + [GONE, BACK, GONE, BACK]
    assert abs(len(run.out) / SECOND - lasted) < 0.01 * lasted


def a_restart_while_waiting(server, tmp_path, recover):
    """With --recover the wait goes on on the new server; without, it ends as a running agent
    does."""
    gate = tmp_path / "play"
    player = looping_player(server, tmp_path, gate)
    run = server.agent(["--pids", str(player.pid), "--tree", "--wait"] +
                       (["--recover"] if recover else []), tmp_path)
    time.sleep(1)
    server.kill_server()
    if not recover:
        assert run.finish() == 2
        assert run.events() == [{"event": "error", "message": "the audio server went away"}]
        return server.restart()
    until(lambda: GONE in run.events(), what="interrupted")
    server.restart()
    until(lambda: BACK in run.events(), what="resumed")
    gate.touch()
    run.wait_for_event("running", LIVENESS)
    heard(run)
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    assert run.events() == [GONE, BACK] + started("processes", player.pid)
