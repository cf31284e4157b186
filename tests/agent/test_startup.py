"""Start-up on the scripted Core Audio: what the tap and the device are made as, the teardown's
order, the PCM of each layout, and each failing step's words and exit status."""
import re

import numpy as np
import pytest

from conftest import LISTED, NOTHING, STAND_INS, code, decimated, fmt, noise

UUID = re.compile(r"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")
A, B, C = STAND_INS
# args, the scripted layer's pids, the tap's kind and process objects, the "format" event's mode
# and pids
STARTS = {
    "processes": (["--pids", str(LISTED)], {str(LISTED): 7}, "mixdown", [7], "processes",
                  [LISTED]),
    # A pid no process has, or only another process since the start, or that is no audio process
    # (object 0), is left out; one object twice reaches the tap once.
    "processes, some resolving, in order, twice": (
        ["--exclude-self", "9", "--pids", f"{A},{B},{C},0,-5,9000001,{B}"],
        {str(B): 20, str(C): 30, str(A): 0, "9000001": 40},
        "mixdown", [20, 30], "processes", [A, B, C, 0, -5, 9000001, B]),
    "global excludes itself and the parent": (
        ["--global", "--pids", "5", "--exclude-self", str(B)], {str(B): 13, "parent": 9},
        "global", [13, 9], "global", [5]),
}
START_RUNS = {**{f"{name}, f32": (case, "f32") for name, case in STARTS.items()},
              **{f"processes, {layout}": (STARTS["processes"], layout)
                 for layout in ("s16", "planar")}}


@pytest.mark.parametrize("case, layout", START_RUNS.values(), ids=START_RUNS.keys())
def test_a_start_makes_a_private_tap_and_device_and_converts_every_list(agent, case, layout):
    args, pids, kind, processes, mode, pid_list = case
    frames = noise(20 * 512, 2)
    source = (np.round(frames * 32767).astype("<i2") if layout == "s16" else frames)
    run = agent(args, script={"pids": pids, "format": fmt(layout=layout), "source": source,
                              "steps": [{"deliver": 20, "frames": 512}]})
    run.stop_when_done()
    calls = {c["call"]: c for c in run.calls()}
    tap, device = calls["createProcessTap"], calls["createAggregateDevice"]
    # Private objects, so that no other app sees them; the tap mutes nobody and hears each
    # object once; the device starts at once (no "tapautostart": silence flows from the start)
    # and follows the tap's clock with drift correction.
    assert UUID.fullmatch(tap["uuid"]) and UUID.fullmatch(device["uid"])
    assert (tap["kind"], sorted(tap["processes"]), tap["private"], tap["mute"]) == (
        kind, sorted(processes), True, 0)
    assert (device["private"], device["tapautostart"], device["taps"]) == (
        True, False, [{"uid": tap["uuid"], "drift": True}])
    # The teardown undoes the start-up in reverse: nothing is destroyed while in use. The machine
    # may idle-sleep while the device runs.
    calls = [c["call"] for c in run.calls()]
    assert calls[-4:] == TEARDOWN
    assert calls.index("start") > next(i for i, c in enumerate(run.calls())
                                       if c.get("sleepingIsAllowed") == 1)
    assert run.events() == [{"event": "creating_tap"}, {
        "event": "format", "sample_rate": 48000, "channels": 2, "mode": mode, "pids": pid_list},
        {"event": "running"}]
    assert bytes(run.out) == decimated(source.reshape(-1, 2))


TEARDOWN = ["stop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"]
TAP_LINE = {"event": "creating_tap"}
# Where a refused tap sends the user: the scripted layer words its failures as Core Audio's does.
PRIVACY = "Check System Settings > Privacy & Security > Screen & System Audio Recording."
FORMAT_LINE = {"event": "format", "sample_rate": 48000, "channels": 2, "mode": "processes",
               "pids": [LISTED]}
# a setting of the script, the status lines, the exit status
FAILURES = {
    # A layer that cannot be reached, or a look that fails, says nothing of the processes: no
    # status 3. Only 'stop' is a server that is not running.
    "audio server not running": ({"pids": {str(LISTED): [0, code("stop")]}}, [], 2,
                                 f"could not reach the audio server ({code('stop')})"),
    "audio server not running, a tree": ({"args": ["--tree"], "listStatus": code("stop")}, [], 2,
                                         f"could not reach the audio server ({code('stop')})"),
    "a pid's translation fails": ({"pids": {str(LISTED): [7, code("!obj")]}}, [], 2,
                                  f"could not look up the audio processes ({code('!obj')})"),
    "the process list fails, a tree": ({"args": ["--tree"], "listStatus": -50}, [], 2,
                                       "could not look up the audio processes (-50)"),
    # Only -50 keeps the words hosts know; no other status is said to be the permission's.
    "tap refused": ({"tapStatus": -50}, [TAP_LINE], 2,
                    f"could not create the audio tap (-50). {PRIVACY}"),
    "tap refused with a code": ({"tapStatus": code("nope")}, [TAP_LINE], 2,
                                f"could not create the audio tap ({code('nope')})"),
    "device refused": ({"deviceStatus": -1}, [TAP_LINE], 2,
                       "could not create the capture device (-1)"),
    "format unreadable": ({"format": {"fail": code("who?")}}, [TAP_LINE], 2,
                          "could not read the tap format"),
    "rate 0": ({"format": fmt(rate=0)}, [TAP_LINE], 2, "could not read the tap format"),
    "rate not a number": ({"format": fmt(rate="nan")}, [TAP_LINE], 2,
                          "could not read the tap format"),
    "rate below 250 Hz": ({"format": fmt(rate=249.5)}, [TAP_LINE], 2,
                          "could not read the tap format"),
    "IO proc refused": ({"ioprocStatus": -2}, [TAP_LINE, FORMAT_LINE], 2,
                        "could not attach to the capture device (-2)"),
    "start refused": ({"startStatus": 1}, [TAP_LINE, FORMAT_LINE], 2,
                      "could not start capture (1)"),
    # A device runs without any IO proc, and would run capturing nothing.
    "IO proc made without an id": ({"ioproc": None}, [TAP_LINE, FORMAT_LINE], 2,
                                   "could not attach to the capture device (0): Core Audio made "
                                   "no IO proc"),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES.keys())
def test_a_failing_step_ends_the_start_with_its_message_and_status(agent, case):
    setting, lines, status, message = case
    setting = dict(setting)
    run = agent(["--pids", str(LISTED), *setting.pop("args", [])],
                script={"pids": {str(LISTED): 7}, **setting})
    assert run.finish() == status
    assert run.events() == [*lines, {"event": "error", "message": message}]
    # What a failed start made goes, and only that; a create refused is not tried again when a
    # fresh look finds the same processes.
    assert run.left_behind() == NOTHING
    assert [c["call"] for c in run.calls()].count("createProcessTap") <= 1
    assert run.out == b""


def test_a_tap_refused_for_a_stale_object_is_made_again_from_a_fresh_look(agent):
    # The process reconnected between the agent's look and its create: its old object is stale.
    run = agent(["--pids", str(LISTED)], script={
        "pids": {str(LISTED): 7}, "steps": [{"deliver": 5, "frames": 512}],
        "staleAtCreate": {"gone": [7], "processes": [[17, LISTED]], "pids": {str(LISTED): 17}}})
    run.stop_when_done()
    assert [(c["processes"], c["status"]) for c in run.calls()
            if c["call"] == "createProcessTap"] == [([7], code("!obj")), ([17], 0)]
    assert run.events()[-1] == {"event": "running"}


GONE, BACK = {"event": "interrupted", "reason": "the audio server went away"}, {"event": "resumed"}
# A restart of the audio server while the agent runs (after ten lists) or waits, told after its
# objects went or before, with and without --recover; after one, the process list stays empty
# until the agent has looked at it.
RESTARTS = {f"{when}, told {told}{', --recover' * recover}": (when, told, recover)
            for when in ("running", "waiting") for told in ("after", "before")
            for recover in (False, True)}


@pytest.mark.parametrize("when, told, recover", RESTARTS.values(), ids=RESTARTS.keys())
def test_a_restarted_audio_server_ends_the_run_or_interrupts_it(agent, when, told, recover):
    source, lists = noise(30 * 480, 2), {"deliver": 10, "frames": 480}
    comes_back = [{"restart": {"told": told}}, {"sync": True}, {"processes": [[7, LISTED]]},
                  {"notify": "prs#"}, lists]
    script = {"pids": {str(LISTED): 7}, "steps": [lists, *comes_back * 2]} \
        if when == "running" else {"joins": [dict(comes_back[0], after=0),
                                              {"after": 0, "pid": LISTED, "object": 7}],
                                   "steps": [lists]}
    run = agent(["--pids", str(LISTED), "--wait", *["--recover"] * recover],
                script=dict(script, source=source))
    if recover:
        run.stop_when_done()
    else:
        assert run.finish() == 2
    # Sound, and silence while no server is there, in time.
    started, ended = [TAP_LINE, FORMAT_LINE, {"event": "running"}], \
        [{"event": "error", "message": "the audio server went away"}]
    heard = [decimated(source[n * 4800:(n + 1) * 4800]) for n in range(3)]
    events, heard = {("running", False): (started + ended, heard[:1]),
                     ("waiting", False): (ended, []),
                     ("running", True): (started + [GONE, BACK] * 2, heard),
                     ("waiting", True): ([GONE, BACK] + started, heard[:1])}[when, recover]
    assert run.events() == events
    assert re.fullmatch(b"(?:\0\0)*".join(map(re.escape, heard)), bytes(run.out), re.S)
    # Nothing that a server took is destroyed by the agent: only what it made on the last one, as
    # it stops.
    calls = [c["call"] for c in run.calls()]
    assert [c for c in calls if c.startswith("destroy")] == TEARDOWN[1:] * recover
    assert ("stop" in calls) == (when == "running" or recover)
