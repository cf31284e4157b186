"""Target following on the scripted audio layer, which announces its processes as Core Audio
does, or stops announcing them once a tap exists, as reported: each change of the layer's process
list gives the tap the objects of the processes its targets cover now, by identity and, with
--tree, by descent. Real processes stand for the roles, as the agent reads their start times and
parents from the system."""
import subprocess

import pytest

from conftest import NOTHING, code, noise, until
from following import arguments, cases, children, start_apart, take_pid

OBJECTS = {"A": 7, "B": 8, "T": 9, "K": 5, "G": 6, "X": 10, "S": 11, "R": 12}


@pytest.fixture
def roles():
    """The roles' processes and their pids; S will take X's."""
    started = [subprocess.Popen(["sleep", "60"]) for _ in "ABX"]
    started.append(subprocess.Popen(["sh", "-c", 'sh -c "sleep 60 & exec sleep 60" & wait']))
    pids = dict(zip("ABXT", (p.pid for p in started)))
    pids["K"] = until(lambda: children(pids["T"]), what="T's child")[0]
    pids["G"] = until(lambda: children(pids["K"]), what="K's child")[0]
    pids["S"] = pids["X"]
    ended = subprocess.Popen(["true"])
    ended.wait()
    pids["D"] = pids["R"] = ended.pid
    yield pids, started
    for process in started:
        process.kill()
        process.wait()


def held(calls):
    """What the tap holds now: its last description written, or what it was made with."""
    written = [c["processes"] for c in calls if "processes" in c and c["status"] == 0]
    return sorted(written[-1]) if written else None


@pytest.mark.parametrize("quiet", [False, True], ids=["list notifies", "list quiet after tap"])
@pytest.mark.parametrize("line, start, later, heard", cases())
def test_the_tap_follows_its_targets(agent, roles, tmp_path, line, start, later, heard, quiet):
    pids, started = roles
    listed = lambda names: [[OBJECTS[name], pids[name]] for name in names]  # noqa: E731
    go = tmp_path / "go"
    waits = "--wait" in line  # and starts only once the later roles play: they join then
    run = start_apart(agent, arguments(line, pids), script={
        "listQuietAfterTap": quiet, "pids": {str(pids[name]): OBJECTS[name] for name in start},
        "processes": listed(start),
        "joins": [{"await": str(go), "pid": pids[name], "object": OBJECTS[name]}
                  for name in (later if waits else "")],
        "steps": [{"sync": True}, {"await": str(go)}, {"processes": listed(start + later)},
                  {"notify": "prs#"}, {"sync": True}]})
    if waits:  # its targets are taken before its first look
        until(run.calls, what="the agent's first look")
    else:
        run.wait_for_event("running")
    if "S" in later:
        started[2].kill()
        started[2].wait()
        started.append(take_pid(pids["X"], lambda: subprocess.Popen(["sleep", "60"])))
    if "R" in later:
        started.append(take_pid(pids["D"], lambda: subprocess.Popen(["sleep", "60"])))
    go.touch()
    # What the tap holds in the end: who is heard, or in global mode who is left out; a quiet list
    # is looked at again within a second.
    left_out = "--global" in line
    expected = sorted(OBJECTS[role] for role in start + later if (role in heard) != left_out)
    if quiet:
        until(lambda: held(run.calls()) == expected, what=f"the tap to hold {expected}")
    run.stop_when_done()
    assert held(run.calls()) == expected


# Apple's header does not say what a read of the process list into too little room gives: the
# list cut to the room, or '!siz'. The list grows between the agent's asking its size and its
# read, as processes come and go.
@pytest.mark.parametrize("reading", ["truncates", "fails"])
def test_a_process_list_that_grows_while_it_is_read_is_read_whole(agent, roles, reading):
    pids, _ = roles
    others = [[1000 + n, 0] for n in range(300)]
    run = agent(["--pids", pids["A"], "--tree"], script={
        "listTooSmall": reading, "processes": others,
        "growsAfterSize": [[2000 + n, 0] for n in range(40)] + [[7, pids["A"]]]})
    run.wait_for_event("running")
    run.stop()
    assert next(c for c in run.calls() if c["call"] == "createProcessTap")["processes"] == [7]


# Core Audio refuses a change of the tap's processes ('!hog', reported without the permission):
# a process to leave out that cannot be ends a global run rather than be recorded.
def test_a_refused_change_that_would_record_a_process_to_leave_out_ends_the_run(agent, roles):
    pids, _ = roles
    run = agent(["--global", "--exclude-self", pids["B"]], script={
        "descriptionStatus": code("!hog"), "processes": [[7, pids["A"]]],
        "steps": [{"sync": True}, {"processes": [[7, pids["A"]], [8, pids["B"]]]}]})
    assert run.finish() == 2
    assert run.events()[-1] == {"event": "error", "message":
                                f"could not leave out the host's processes ({code('!hog')})"}
    assert run.left_behind() == NOTHING


# Apple's header does not say what a mixdown tap of no process hears. Once its one target has
# left, the tap keeps its object: a process that plays is not heard, in either reading.
@pytest.mark.parametrize("reading", ["silent", "everything"])
def test_a_tap_whose_targets_all_left_hears_nobody_else(agent, roles, reading):
    pids, _ = roles
    run = agent(["--pids", pids["A"]], script={
        "emptyMixdown": reading, "processes": [[7, pids["A"]]], "playing": [8],
        "source": noise(4800, 2), "steps": [{"sync": True}, {"processes": [[8, pids["B"]]]},
                                            {"notify": "prs#"}, {"sync": True},
                                            {"deliver": 20, "frames": 480}]})
    run.stop_when_done()
    assert held(run.calls()) == [7] and len(run.out) > 6000 and not any(run.out)
