"""The tap follows its targets for the whole run on an audio layer that announces its processes
(as Core Audio does): each change of the layer's process list gives the tap the objects of the
processes the targets cover now, by identity and, with --tree, by descent. Real processes stand
for the targets, as the agent reads their start times and parents from the system."""
import signal
import subprocess

import pytest

from conftest import code, until


@pytest.fixture(scope="module")
def procs():
    """A, B and C, three processes; T, a process whose child K runs beside it."""
    started = {name: subprocess.Popen(["sleep", "60"]) for name in "ABC"}
    started["T"] = subprocess.Popen(["sh", "-c", "sleep 60 & wait"])
    children = f"/proc/{started['T'].pid}/task/{started['T'].pid}/children"
    pids = {name: p.pid for name, p in started.items()}
    pids["K"] = int(until(lambda: open(children).read().split(), what="T's child")[0])
    yield pids
    for p in started.values():
        p.kill()
        p.wait()


def described(processes):
    return {"call": "setPropertyData", "object": 100, "selector": code("tdsc"),
            "processes": processes, "uuid": "TAP", "status": 0}


# the arguments, the layer's processes (object, process) at start and after a change, the tap's
# processes at start, and each description written after a change
CASES = {
    "a listed process that plays late is heard": (
        "--pids A,B", [(7, "A")], [(7, "A"), (8, "B"), (9, "C")], [7], [[7, 8]]),
    "one that stops is dropped": ("--pids A,B", [(7, "A"), (8, "B")], [(8, "B")], [7, 8], [[8]]),
    "nothing changes for an unlisted process": ("--pids A", [(7, "A")], [(7, "A"), (9, "C")], [7], []),
    "a tree plays from a child": ("--tree --pids T", [(5, "K")], [(5, "K"), (6, "T")], [5], [[5, 6]]),
    "without --tree a child is not heard": ("--pids T,A", [(7, "A")], [(7, "A"), (5, "K")], [7], []),
    "an excluded process that plays late is left out": (
        "--global --exclude-self B", [(9, "C")], [(9, "C"), (8, "B")], [], [[8]]),
    # Every process here descends from this test, the agent's parent, whose tree is left out too.
    "an excluded tree": ("--global --tree --exclude-self T", [(9, "C"), (5, "K")],
                         [(9, "C"), (5, "K"), (6, "T")], [9, 5], [[9, 5, 6]]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_the_tap_follows_its_targets(agent, procs, case):
    args, before, after, at_start, written = case
    pid = lambda name: str(procs[name])  # noqa: E731
    args = [",".join(map(pid, word.split(","))) if word[0] != "-" else word
            for word in args.split()]
    listed = lambda pairs: [[obj, procs[name]] for obj, name in pairs]  # noqa: E731
    run = agent(args, script={
        "pids": {pid(name): obj for obj, name in before},
        "processes": listed(before),
        "steps": [{"sync": True}, {"processes": listed(after)}, {"notify": "prs#"},
                  {"sync": True}]})
    run.wait_until_done()
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    calls = run.calls()
    tap = next(c for c in calls if c["call"] == "createProcessTap")
    assert tap["processes"] == at_start
    writes = [dict(c, uuid="TAP" if c["uuid"] == tap["uuid"] else c["uuid"])
              for c in calls if c["call"] == "setPropertyData"]
    assert writes == [described(processes) for processes in written]


@pytest.mark.parametrize("plays, status", [(None, 3), ("K", 0)])
def test_a_tree_is_an_audio_process_when_any_process_in_it_plays(agent, procs, plays, status):
    run = agent(["--pids", procs["T"], "--tree"],
                script={"processes": [[5, procs[plays]]] if plays else []})
    if status == 0:
        run.wait_for_event("running")
        run.signal(signal.SIGTERM)
    assert run.finish() == status
