"""A server or session manager that goes away while the agent captures."""
import os
import signal
import time

import pytest

import restarts
from conftest import PipeWire, assert_holds, noise, pcm_samples, until


@pytest.fixture
def stack(tmp_path):
    stack = PipeWire(tmp_path / "stack")
    yield stack
    stack.stop()


PLAYED = noise(48000 * 60, 2) * 0.25


def capturing(stack, tmp_path, *args):
    player = stack.play(PLAYED)
    run = stack.agent(["--pids", player.pid, *args], tmp_path)
    run.wait_for_event("running")
    until(lambda: any(pcm_samples(run.out[-2000:])), what="the player's sound")
    time.sleep(1)
    return run


def test_a_server_that_goes_away_ends_the_agent_after_the_sound_it_had(stack, tmp_path):
    run = capturing(stack, tmp_path)
    os.kill(int(stack.vars["PRIVATE_PIPEWIRE_SERVER_PID"]), signal.SIGKILL)
    started = time.monotonic()
    assert run.finish() == 2 and time.monotonic() - started < 2
    assert run.events()[-1] == {"event": "error", "message": "the audio server went away"}
    assert_holds(run.out, PLAYED, to_the_end=False)


def test_capture_goes_on_when_the_session_manager_is_killed(stack, tmp_path):
    run = capturing(stack, tmp_path)
    os.kill(int(stack.vars["PRIVATE_PIPEWIRE_WIREPLUMBER_PID"]), signal.SIGKILL)
    before = len(run.out) // 2 * 2
    until(lambda: len(run.out) > before + 32000, what="a second more of capture")
    assert any(pcm_samples(run.out[before: before + 32000]))
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and len(run.events()) == 3


def test_a_server_that_drops_the_agent_is_reached_again_and_the_player_heard(stack, tmp_path):
    run = capturing(stack, tmp_path, "--recover")
    for client, props in stack.props("Client").items():
        if props.get("application.process.binary") == "quenwick":
            stack.run("pw-cli", "destroy", str(client))
    until(lambda: {"event": "resumed"} in run.events(), what="resumed")
    before = len(run.out) // 2 * 2
    until(lambda: len(run.out) > before + 32000, what="a second more of capture")
    assert any(pcm_samples(run.out[before: before + 32000]))
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and run.events()[3:] == [restarts.GONE, restarts.BACK]


@pytest.mark.parametrize("recover", [True, False])
def test_a_restart_while_waiting(stack, tmp_path, recover):
    restarts.a_restart_while_waiting(stack, tmp_path, recover)


def test_two_restarts_in_a_run_are_heard_as_silence_in_time(stack, tmp_path):
    restarts.two_restarts_in_a_run(stack, tmp_path)
