"""A server or session manager that goes away while the agent captures."""
import os
import signal
import time

import pytest

from conftest import PipeWire, noise, pcm_samples, until


@pytest.fixture
def stack(tmp_path):
    stack = PipeWire(tmp_path / "stack")
    yield stack
    stack.stop()


def capturing(stack, tmp_path):
    player = stack.play(noise(48000 * 60, 2) * 0.25)
    run = stack.agent(["--pids", player.pid], tmp_path)
    run.wait_for_event("running")
    until(lambda: any(pcm_samples(run.out[-2000:])), what="the player's sound")
    return run


def test_the_agent_still_ends_on_sigterm_after_the_server_is_killed(stack, tmp_path):
    run = capturing(stack, tmp_path)
    os.kill(int(stack.vars["PRIVATE_PIPEWIRE_SERVER_PID"]), signal.SIGKILL)
    time.sleep(0.5)
    run.signal(signal.SIGTERM)
    assert run.finish() == 0


def test_capture_goes_on_when_the_session_manager_is_killed(stack, tmp_path):
    run = capturing(stack, tmp_path)
    os.kill(int(stack.vars["PRIVATE_PIPEWIRE_WIREPLUMBER_PID"]), signal.SIGKILL)
    before = len(run.out)
    time.sleep(1)
    assert any(pcm_samples(run.out[before:]))
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and len(run.events()) == 3
