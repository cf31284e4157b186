"""--report on the scripted Core Audio: who plays, as each process's output state ('piro') says,
in the host's order and by tree, also where Core Audio tells of no change, as reported of 'piro'
and of the process list once a tap exists. Silence, sound and who ended are run control's own, decided on
its clock: its in-process table (tests/app/run_control_test.cpp) has them."""
import subprocess

import pytest

from conftest import code, noise, until
from following import children

REAL_TIME = {"pace": 10667}  # a list of 512 frames at 48000 Hz


@pytest.fixture
def players():
    """Processes that stand for players: their sound is the script's, their lives are real. The
    third is a tree: a shell and its child."""
    started = [subprocess.Popen(["sleep", "60"]) for _ in range(2)]
    started.append(subprocess.Popen(["sh", "-c", "sleep 60 & wait"]))
    yield started
    for process in started:
        process.kill()
        process.wait()


# c becomes an audio process, and plays, once the tap exists.
@pytest.mark.parametrize("silent", [False, True], ids=["Core Audio tells", "Core Audio is silent"])
def test_who_plays_follows_each_process_output_in_the_hosts_order(agent, players, tmp_path,
                                                                   silent):
    a, b, c = (p.pid for p in players)
    go = tmp_path / "go"
    run = agent(["--pids", f"{b},{a},{c},{a}", "--report"], script={
        "piroSilent": silent, "listQuietAfterTap": silent, "processes": [[7, a], [8, b]],
        "playing": [7], "source": noise(48000, 2),
        "steps": [{"sync": True}, {"play": 8}, {"sync": True},
                  {"processes": [[7, a], [8, b], [9, c]]}, {"notify": "prs#"}, {"play": 9},
                  {"sync": True},
                  {"await": str(go)}, {"quiet": 9}, {"sync": True},
                  REAL_TIME, {"deliver": -1, "frames": 512}]})
    until(lambda: {"event": "playing", "pids": [b, a, c]} in run.events(), what="all three")
    go.touch()
    until(lambda: {"event": "playing", "pids": [b, a]} in run.events(), what="c quiet")
    run.stop()
    events = run.reported()
    assert events[-1] == {"event": "playing", "pids": [b, a]}
    # Each change told once, in the host's order, each pid once.
    playing = [e["pids"] for e in events if e["event"] == "playing"]
    assert all(x != y for x, y in zip(playing, playing[1:]))
    assert playing[-2:] == [[b, a, c], [b, a]]


# A process left out of global mode is not told; a tree plays when a descendant plays.
@pytest.mark.parametrize("mode", ["global", "tree"])
def test_who_is_heard_is_who_plays(agent, players, mode):
    a, b, c = (p.pid for p in players)
    child = until(lambda: children(c), what="the tree's child")[0]
    args, script, heard = {
        "global": (["--global", "--exclude-self", b], {
            "pids": {str(b): 8}, "processes": [[9, c], [8, b], [7, a]], "playing": [7, 8, 9]},
            sorted([a, c])),
        "tree": (["--pids", c, "--tree"], {"processes": [[5, child]], "playing": [5]}, [c])}[mode]
    run = agent([*args, "--report"], script=dict(script, steps=[{"sync": True}]))
    run.wait_for_event("playing")
    run.stop_when_done()
    assert run.reported() == [{"event": "playing", "pids": heard}]


# What Apple's users report for a refused permission: the tap runs and hears only zeros, and a
# change of its processes is refused ('!hog'). The words are the backend's; when "silence" comes
# is run control's (its table has the cases).
ADVICE = (
    "only zeros were heard while the processes played. That may be true silence, or macOS "
    "withholding the permission to record other apps' audio from the app that started the agent: "
    "see System Settings > Privacy & Security > Screen & System Audio Recording (on macOS 15 its "
    "\"System Audio Recording Only\" list). The app is listed there only if its Info.plist "
    "declares NSAudioCaptureUsageDescription; after an earlier denial, tccutil reset AudioCapture "
    "<bundle id> lets macOS ask again.")
REFUSED = (f" Core Audio also refused a change of the tap's processes ({code('!hog')}), as it is "
           "reported to without that permission.")


@pytest.mark.parametrize("change", [False, True], ids=["", "a change refused"])
def test_a_tap_that_hears_only_zeros_while_its_process_plays_gives_core_audios_advice(
        agent, players, change):
    a, b = players[0].pid, players[1].pid
    joins = [{"processes": [[7, a], [8, b]]}, {"notify": "prs#"}, {"sync": True}] * change
    run = agent(["--pids", f"{a},{b}", "--report"], script={
        "processes": [[7, a]], "playing": [7], "silentTap": True, "descriptionStatus": code("!hog"),
        "source": noise(48000, 2), "steps": [{"sync": True}, *joins, REAL_TIME,
                                             {"deliver": -1, "frames": 512}]})
    run.wait_for_event("silence", timeout=10)
    run.stop()
    assert run.reported()[-1] == {"event": "silence", "seconds": 3,
                                  "advice": ADVICE + REFUSED * change}
