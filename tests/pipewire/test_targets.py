"""Targets are processes, followed for the whole run on a real server: the table of following
cases that the scripted layer runs too (tests/following.py), each role a player of its own
pitch, so that what the agent hears says who it hears; and what the table does not hold: a
parent that plays, a tree of many short-lived children, a start with nothing to hear."""
import contextlib
import os
import signal
import subprocess

import numpy as np
import pytest

from conftest import (assert_heard_from_the_start, level_dbfs, noise, pcm_samples, until,
                      write_float_wav)
from following import arguments, cases, children, command_of, start_apart, take_pid

# How many short-lived players the tree's root starts one after another; a soak's are a parameter.
CHILDREN = int(os.environ.get("QUENWICK_CHILDREN", "10"))
PITCHES = {"A": 300, "B": 500, "K": 700, "G": 900, "S": 1100, "R": 1300}


def tone(hz, seconds=30):
    wave = 0.25 * np.sin(2 * np.pi * hz * np.arange(48000 * seconds) / 48000)
    return np.stack([wave, wave], 1)


def heard_roles(pcm):
    """The roles whose pitch a stretch of the output holds, from its spectrum."""
    samples = pcm_samples(pcm).astype(np.float64) / 32767
    if len(samples) < 1600:
        return set()
    spectrum = np.abs(np.fft.rfft(samples)) * 2 / len(samples)
    hz = np.fft.rfftfreq(len(samples), 1 / 16000)
    return {role for role, pitch in PITCHES.items()
            if spectrum[np.abs(hz - pitch) < 4].max() > 0.02}


@pytest.fixture(autouse=True)
def players_and_agents_of_this_test_only(pipewire):
    yield
    for run in pipewire.agents:  # the agent itself, under a wrapper that holds its pid till then
        if run.proc.poll() is None:
            os.kill(run.pid, signal.SIGKILL)
    for player in pipewire.players:
        player.kill()
        with contextlib.suppress(ProcessLookupError):  # what it started, in its group
            os.killpg(player.pid, signal.SIGKILL)
        player.wait()
    pipewire.players.clear()


def started(pipewire, command, cwd):
    """A process of the test's, run in `cwd` with the stack's environment, stopped with all it
    starts at the end of the test."""
    pipewire.players.append(subprocess.Popen(command, cwd=cwd, env=pipewire.env,
                                             process_group=0))
    return pipewire.players[-1]


def waiting(pipewire, tmp_path, role):
    """A process that plays the role's tone once told, under the same pid."""
    return started(pipewire, ["sh", "-c", f"while [ ! -e go{role} ]; do sleep 0.05; done; "
                              f"exec pw-play {role}.wav"], tmp_path)


@pytest.mark.parametrize("line, start, later, heard", cases())
def test_the_agent_follows_its_targets(pipewire, tmp_path, line, start, later, heard):
    for role, pitch in PITCHES.items():
        write_float_wav(tmp_path / f"{role}.wav", tone(pitch), 48000)
    # A plays from the start, or waits with the agent; B waits, then plays; X is a listed process
    # that will end; T waits, then its child K plays, and K's child G; D ended before the agent.
    pids = {"A": (pipewire.play(tone(PITCHES["A"])) if "A" in start else
                  waiting(pipewire, tmp_path, "A")).pid}
    late = waiting(pipewire, tmp_path, "B")
    listed = started(pipewire, ["sleep", "60"], tmp_path)
    tree = started(pipewire, ["sh", "-c", "while [ ! -e goK ]; do sleep 0.05; done; "
                              'sh -c "pw-play G.wav & exec pw-play K.wav"'], tmp_path)
    ended = subprocess.Popen(["true"])
    ended.wait()
    pids.update(B=late.pid, X=listed.pid, T=tree.pid, D=ended.pid)
    run = start_apart(lambda args, **options: pipewire.agent(args, tmp_path, **options),
                      arguments(line, pids))
    if start:
        run.wait_for_event("running")
    else:  # a waiting agent has looked once it has made its node (its own, not a last agent's)
        until(lambda: "quenwick-capture" in pipewire.nodes_of(pipewire.dump(), run.pid).values(),
              what="the waiting agent's node")
    playing = [pids["A"]] if start else []
    if "R" in later:  # a stranger takes the dead one's pid and plays before A does
        playing.append(take_pid(pids["D"], lambda: started(pipewire, ["pw-play", "R.wav"],
                                                           tmp_path)).pid)
    if "A" in later:
        (tmp_path / "goA").touch()
        playing.append(pids["A"])
        run.wait_for_event("running")
    if "B" in later:
        (tmp_path / "goB").touch()
        playing.append(late.pid)
    if "S" in later:
        listed.kill()
        listed.wait()
        playing.append(take_pid(pids["X"], lambda: started(pipewire, ["pw-play", "S.wav"],
                                                           tmp_path)).pid)
    if "K" in later:
        (tmp_path / "goK").touch()
        k = until(lambda: [pid for pid in children(tree.pid) if command_of(pid) == "pw-play"],
                  what="K")[0]
        playing += [k, until(lambda: children(k), what="G")[0]]
    until(lambda: all(pipewire.playing(pid) for pid in playing), what="the players to play")
    # Once every role to hear is heard, a second of output holds them and no other.
    until(lambda: heard_roles(run.out[-8000:]) >= set(heard), what=f"{heard} to be heard")
    mark = len(run.out) // 2 * 2
    until(lambda: len(run.out) >= mark + 32000, what="a second of output")
    run.stop()
    assert heard_roles(run.out[mark: mark + 32000]) == set(heard)


def test_a_parent_that_plays_late_stays_out(pipewire, tmp_path):
    # The shell that starts the agent becomes a player a second later, and ends two after.
    write_float_wav(tmp_path / "tone.wav", tone(PITCHES["A"], 2), 48000)
    run = pipewire.agent(["--global"], tmp_path, wrapper=[
        "sh", "-c", f'"$@" & sleep 1; exec pw-play {tmp_path}/tone.wav', "sh"])
    until(lambda: pipewire.playing(run.proc.pid), what="the parent to play")
    run.finish()  # the parent's end, and the agent's after it
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
    assert not any(run.out)


def test_children_that_come_and_go_leave_no_links_behind(pipewire, tmp_path):
    write_float_wav(tmp_path / "tone.wav", tone(PITCHES["A"], 2), 48000)
    write_float_wav(tmp_path / "short.wav", tone(PITCHES["A"], 2)[:4800], 48000)
    root = started(pipewire, ["sh", "-c", f"pw-play tone.wav; for i in $(seq {CHILDREN}); do pw-play "
                              "short.wav; done; exec sleep 60"], tmp_path)
    until(lambda: any(pipewire.playing(pid) for pid in children(root.pid)),
          what="the first child to play")
    run = pipewire.agent(["--pids", root.pid, "--tree"], tmp_path)
    run.wait_for_event("running")
    # Once the last child has ended, while the agent still runs: none of their links is left.
    until(lambda: command_of(root.pid) == "sleep", timeout=60,
          what="the children to end")
    until(lambda: pipewire.links_into("quenwick-capture") == [], what="the links to go")
    run.stop()
    assert level_dbfs(run.out) > -20  # it heard them


def test_a_player_that_starts_a_second_after_a_waiting_agent_is_heard_from_its_first_cycle(
        pipewire, tmp_path):
    # Holds under load too: with two pocketsphinx decoders busy on both cores
    # (bench/late-player-under-load), 0 samples were lost in 40 rounds of 40, where the agent that
    # made its node only after the wait lost a whole 2048-frame cycle (683 samples) in 1 of 10.
    played = noise(48000 * 2, 2, seed=5) * 0.25
    write_float_wav(tmp_path / "late.wav", played, 48000)
    late = started(pipewire, ["sh", "-c", "sleep 1; exec pw-play late.wav"], tmp_path)
    run = pipewire.agent(["--pids", late.pid, "--wait"], tmp_path)
    run.wait_for_event("running")
    late.wait()
    run.wait_for_silence()
    run.stop()
    assert_heard_from_the_start(run.out, played)
