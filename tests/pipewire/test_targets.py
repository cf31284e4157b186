"""Targets are processes, followed for the whole run on a real server: whenever a target plays it
is heard (an excluded one never), a stranger that takes a target's pid is not a target, and with
--tree a target's descendants count as the target."""
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import LIVENESS, level_dbfs, pcm_samples, until, write_float_wav

TONE = np.repeat((0.5 * np.sin(2 * np.pi * 441 * np.arange(48000 * 2) / 48000))[:, None], 2, 1)
TONE_DBFS = -9.03  # a sine at half scale
SILENCE = np.zeros((48000 * 30, 2))


@pytest.fixture(autouse=True)
def players_of_this_test_only(pipewire):
    yield
    for player in pipewire.players:
        player.kill()
        player.wait()
    pipewire.players.clear()


@pytest.fixture
def sounds(tmp_path):
    write_float_wav(tmp_path / "tone.wav", TONE, 48000)
    write_float_wav(tmp_path / "short.wav", TONE[:4800], 48000)
    return tmp_path


def heard_dbfs(pcm):
    """The level of what was heard, from its first sample to its last; None for silence."""
    samples = pcm_samples(pcm)
    heard = np.flatnonzero(samples)
    return level_dbfs(samples[heard[0]: heard[-1] + 1]) if len(heard) else None


def late(pipewire, sounds, command="pw-play tone.wav"):
    """A process that exists now and plays a second later, under the same pid."""
    process = subprocess.Popen(["sh", "-c", f"sleep 1; exec {command}"], cwd=sounds,
                               env=pipewire.env)
    pipewire.players.append(process)
    return process


def run_until(run, process, timeout=LIVENESS):
    process.wait(timeout)
    time.sleep(0.3)
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    return heard_dbfs(run.out)


def test_a_listed_process_that_plays_late_is_heard(pipewire, tmp_path, sounds):
    quiet = pipewire.play(SILENCE)  # the one audio process at start
    player = late(pipewire, sounds)
    run = pipewire.agent(["--pids", f"{quiet.pid},{player.pid}"], tmp_path)
    assert abs(run_until(run, player) - TONE_DBFS) < 0.5


def test_an_excluded_process_that_plays_late_stays_out(pipewire, tmp_path, sounds):
    player = late(pipewire, sounds)
    run = pipewire.agent(["--global", "--exclude-self", player.pid], tmp_path)
    assert run_until(run, player) is None


def test_a_parent_that_plays_late_stays_out(pipewire, tmp_path, sounds):
    # The shell that starts the agent becomes a player a second later, and ends two after.
    run = pipewire.agent(["--global"], tmp_path, wrapper=[
        "sh", "-c", f'"$@" & sleep 1; exec pw-play {sounds}/tone.wav', "sh"])
    until(lambda: pipewire.playing(run.proc.pid), what="the parent to play")
    run.finish()  # the parent's end, and the agent's after it
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
    assert heard_dbfs(run.out) is None


def test_a_stranger_that_takes_a_targets_pid_is_not_heard(pipewire, tmp_path, sounds):
    quiet = pipewire.play(SILENCE)
    target = subprocess.Popen(["sleep", "0.5"])
    run = pipewire.agent(["--pids", f"{quiet.pid},{target.pid}"], tmp_path)
    run.wait_for_event("running")
    target.wait()
    for _ in range(20):  # the kernel hands out the freed pid again when told the one before
        with open("/proc/sys/kernel/ns_last_pid", "w") as last:
            last.write(str(target.pid - 1))
        stranger = subprocess.Popen(["pw-play", sounds / "tone.wav"], env=pipewire.env)
        pipewire.players.append(stranger)
        if stranger.pid == target.pid:
            break
        stranger.kill()
    assert stranger.pid == target.pid
    until(lambda: pipewire.playing(stranger.pid), what="the stranger to play")
    assert run_until(run, stranger) is None


@pytest.mark.parametrize("args, heard", [(["--pids"], True), (["--global", "--exclude-self"], False)])
def test_a_tree_counts_a_child_player_as_its_root(pipewire, tmp_path, sounds, args, heard):
    quiet = pipewire.play(SILENCE)
    root = late(pipewire, sounds, "sh -c 'pw-play tone.wav; true'")  # the child plays
    pids = f"{quiet.pid},{root.pid}" if heard else root.pid
    level = run_until(pipewire.agent([*args, pids, "--tree"], tmp_path), root)
    assert abs(level - TONE_DBFS) < 0.5 if heard else level is None


def test_fifty_children_that_come_and_go_leave_no_links_behind(pipewire, tmp_path, sounds):
    root = subprocess.Popen(["sh", "-c", "pw-play tone.wav; for i in $(seq 50); do pw-play short.wav; "
                             "done"], cwd=sounds, env=pipewire.env)
    pipewire.players.append(root)
    children = f"/proc/{root.pid}/task/{root.pid}/children"
    until(lambda: any(pipewire.playing(int(pid)) for pid in open(children).read().split()),
          what="the first child to play")
    run = pipewire.agent(["--pids", root.pid, "--tree"], tmp_path)
    assert run_until(run, root, timeout=60) is not None
    assert pipewire.links_into("quenwick-capture") == []


def test_a_listed_process_that_plays_nothing_at_start_ends_the_start(pipewire, tmp_path):
    # Targets are followed for the whole run, but a start with none of them playing still ends.
    idle = pipewire.play_command(["sleep", "60"])
    run = pipewire.agent(["--pids", idle.pid], tmp_path)
    assert run.finish() == 3
    assert run.events() == [{"event": "error", "message": "none of the requested processes are "
                             "audio processes yet; is the app playing sound?"}]

