"""--report on the scripted audio layer: who plays, as each process's output state says, who of
the listed processes ended, and digital silence while something plays, as the host reads them;
among the silences, the one Apple's users report for a refused permission (a tap that runs and
hears only zeros), which carries the advice."""
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import noise, until
from following import children

REAL_TIME = {"pace": 10667}  # a list of 512 frames at 48000 Hz
PRIVACY = "System Settings > Privacy & Security > Screen & System Audio Recording"


@pytest.fixture
def players():
    """Processes that stand for players: their sound is the script's, their lives are real."""
    started = [subprocess.Popen(["sleep", "60"]) for _ in range(3)]
    yield started
    for process in started:
        process.kill()
        process.wait()


def source_file(tmp_path, *parts):
    """A source of interleaved stereo floats: each part is (seconds, loud)."""
    frames = [noise(int(48000 * seconds), 2) * (1 if loud else 0) for seconds, loud in parts]
    path = tmp_path / "source.raw"
    path.write_bytes(np.concatenate(frames).astype("<f4").tobytes())
    return str(path)


def reported(run):
    """The events after "running", of the four that --report adds."""
    events = run.events()
    return [e for e in events[events.index({"event": "running"}) + 1:]
            if e["event"] in ("playing", "ended", "silence", "sound")]


def stop(run):
    run.signal(signal.SIGTERM)
    assert run.finish() == 0


# what the tap hears (a source of (seconds, loud) parts, or the refused permission's zeros),
# how long the run is watched, and the events reported
SILENCES = {
    "a refused permission: playing, then silence with the advice": (
        dict(silentTap=True), [(1, True)], 4.5,
        ["playing", "silence+advice"]),
    "sound throughout: no silence": (
        {}, [(1, True)], 4.5, ["playing"]),
    "zeros that the process plays, then its sound": (
        {}, [(3.6, False), (30, True)], 5, ["playing", "silence+advice", "sound"]),
    "sound, then zeros: silence, without the advice": (
        {}, [(0.5, True), (30, False)], 5, ["playing", "silence"]),
}


@pytest.mark.parametrize("setting, parts, seconds, expected", SILENCES.values(),
                         ids=SILENCES.keys())
def test_silence_while_a_process_plays_is_reported_once_and_sound_after_it(
        agent, players, tmp_path, setting, parts, seconds, expected):
    pid = players[0].pid
    run = agent(["--pids", pid, "--report"], script={
        "pids": {str(pid): 7}, "processes": [[7, pid]], "playing": [7],
        "source": source_file(tmp_path, *parts), **setting,
        "steps": [REAL_TIME, {"deliver": -1, "frames": 512}]})
    run.wait_for_event("running")
    time.sleep(seconds)
    stop(run)
    events = reported(run)
    assert [e["event"] + ("+advice" if "advice" in e else "") for e in events] == expected
    assert events[0] == {"event": "playing", "pids": [pid]}
    for event in events:
        if event["event"] == "silence":
            assert event["seconds"] == 3
            if "advice" in event:
                assert PRIVACY in event["advice"] and "started the agent" in event["advice"]
    if setting.get("silentTap"):
        assert len(run.out) > 0 and not any(run.out)


def test_without_report_the_lines_are_those_of_any_start(agent, players, tmp_path):
    pid = players[0].pid
    run = agent(["--pids", pid], script={
        "pids": {str(pid): 7}, "processes": [[7, pid]], "playing": [7], "silentTap": True,
        "source": source_file(tmp_path, (1, True)),
        "steps": [REAL_TIME, {"deliver": -1, "frames": 512}]})
    run.wait_for_event("running")
    time.sleep(3.5)
    stop(run)
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    assert not any(c.get("selector") == int.from_bytes(b"piro", "big") for c in run.calls())


def test_nothing_that_plays_is_no_silence(agent, players, tmp_path):
    pid = players[0].pid
    run = agent(["--pids", pid, "--report"], script={
        "pids": {str(pid): 7}, "processes": [[7, pid]], "playing": [],
        "steps": [REAL_TIME, {"deliver": -1, "frames": 512}]})
    run.wait_for_event("running")
    time.sleep(3.8)
    stop(run)
    assert reported(run) == [{"event": "playing", "pids": []}]


def test_who_plays_follows_each_process_output_and_ended_comes_once(agent, players, tmp_path):
    a, b, c = (p.pid for p in players)
    go = tmp_path / "go"
    run = agent(["--pids", f"{b},{a},{c},{a}", "--report"], script={
        "pids": {str(a): 7, str(b): 8, str(c): 9}, "processes": [[7, a], [8, b], [9, c]],
        "playing": [7], "source": source_file(tmp_path, (1, True)),
        "steps": [{"sync": True}, {"play": 8}, {"sync": True}, {"play": 9}, {"sync": True},
                  {"await": str(go)}, {"quiet": 9}, {"sync": True},
                  REAL_TIME, {"deliver": -1, "frames": 512}]})
    until(lambda: {"event": "playing", "pids": [b, a, c]} in run.events(), what="all three")
    players[2].kill()  # unreaped: a zombie has ended
    until(lambda: {"event": "ended", "pid": c} in run.events(), what='"ended"')
    go.touch()
    until(lambda: {"event": "playing", "pids": [b, a]} in run.events(), what="c quiet")
    time.sleep(0.6)  # a look or two more: each ending is told once
    stop(run)
    events = reported(run)
    assert events[-1] == {"event": "playing", "pids": [b, a]}
    assert [e for e in events if e["event"] == "ended"] == [{"event": "ended", "pid": c}]
    # Each change told once, in the host's order, each pid once.
    playing = [e["pids"] for e in events if e["event"] == "playing"]
    assert all(x != y for x, y in zip(playing, playing[1:]))
    assert playing[-2:] == [[b, a, c], [b, a]]


def test_global_mode_tells_who_is_heard_and_leaves_the_excluded_out(agent, players):
    a, b, c = (p.pid for p in players)
    run = agent(["--global", "--exclude-self", b, "--report"], script={
        "pids": {str(b): 8}, "processes": [[9, c], [8, b], [7, a]], "playing": [7, 8, 9],
        "steps": [{"sync": True}]})
    run.wait_for_event("playing")
    run.wait_until_done()
    stop(run)
    assert reported(run) == [{"event": "playing", "pids": sorted([a, c])}]


def test_a_tree_plays_when_a_descendant_plays(agent, tmp_path):
    tree = subprocess.Popen(["sh", "-c", "sleep 60 & wait"])
    try:
        child = until(lambda: children(tree.pid), what="the child")[0]
        run = agent(["--pids", tree.pid, "--tree", "--report"], script={
            "processes": [[5, child]], "playing": [5], "steps": [{"sync": True}]})
        run.wait_for_event("playing")
        stop(run)
    finally:
        tree.kill()
        tree.wait()
    assert reported(run) == [{"event": "playing", "pids": [tree.pid]}]
