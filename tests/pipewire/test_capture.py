"""The real agent on a private PipeWire server, capturing real players: what it hears, to the
byte, and what it leaves out."""
import signal
import time

import pytest

from conftest import LIVENESS, assert_holds, noise, write_float_wav

SECONDS = 2


def test_processes_mode_hears_the_player_to_the_byte_and_nothing_else(pipewire, tmp_path):
    heard = noise(48000 * SECONDS, 2, seed=1) * 0.5
    player = pipewire.play(heard)
    other = pipewire.play(noise(48000 * 30, 2, seed=2))
    run = pipewire.agent(["--pids", player.pid], tmp_path)
    player.wait(LIVENESS)
    run.wait_for_silence()
    run.stop()
    other.kill()
    assert run.events() == [{"event": "creating_tap"}, {
        "event": "format", "sample_rate": 48000, "channels": 2, "mode": "processes",
        "pids": [player.pid]}, {"event": "running"}]
    assert_holds(run.out, heard)


def test_global_mode_leaves_out_the_excluded_process_and_the_parent_and_hears_a_late_player(
        pipewire, tmp_path):
    excluded = pipewire.play(noise(48000 * 30, 2, seed=3))
    parent_sound = tmp_path / "parent.wav"
    write_float_wav(parent_sound, noise(48000 * 30, 2, seed=4), 48000)
    # The agent's parent is itself a player: the shell that starts the agent becomes pw-play.
    run = pipewire.agent(["--global", "--exclude-self", excluded.pid], tmp_path, wrapper=[
        "sh", "-c", f'(sleep 1; exec "$@") & exec pw-play {parent_sound}', "sh"])
    run.wait_for_event("running")
    assert pipewire.playing(run.proc.pid)
    late = noise(48000 * SECONDS, 2, seed=5) * 0.5
    pipewire.play(late).wait(LIVENESS)
    run.wait_for_silence()
    run.proc.kill()  # the parent goes, and the agent with it
    run.finish()
    excluded.kill()
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
    assert_holds(run.out, late)


@pytest.mark.parametrize("env", [{"PIPEWIRE_DEBUG": "5"},
                                 {"PIPEWIRE_DEBUG": "*:4", "PIPEWIRE_CONFIG_NAME": "missing.conf"}])
def test_pipewire_writes_nothing_to_standard_error_whatever_its_environment(pipewire, tmp_path,
                                                                            env):
    run = pipewire.agent(["--global"], tmp_path, env=env)
    run.wait_for_event("running")
    time.sleep(0.5)
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and len(run.events()) == 3  # any other line fails the parse


NO_SERVER = ("could not connect to PipeWire: no server answers on this session's socket (Host is "
             "down). Check that PipeWire is running and that XDG_RUNTIME_DIR is this session's.")


# Never "nothing to hear yet" (status 3): a host that waits for audio would wait in vain.
@pytest.mark.parametrize("args", [["--pids", "1"], ["--pids", "1", "--tree"], ["--global"]],
                         ids=["processes", "tree", "global"])
def test_without_a_server_the_agent_ends_at_once_in_pipewires_words(agent, tmp_path, args):
    (tmp_path / "empty").mkdir(mode=0o700)
    empty = str(tmp_path / "empty")
    run = agent(args, env={"XDG_RUNTIME_DIR": empty, "PIPEWIRE_RUNTIME_DIR": empty,
                           "PIPEWIRE_REMOTE": "pipewire-0"})
    assert run.finish() == 2
    assert run.events() == [{"event": "error", "message": NO_SERVER}]
