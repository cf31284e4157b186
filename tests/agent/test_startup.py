"""Start-up on the scripted audio layer: the whole call log, the status lines, the PCM and the
exit status of each way a start can go."""
import os
import re
import signal

import numpy as np
import pytest

from conftest import LISTED, STAND_INS, code, decimated, fmt, noise

UUID = re.compile(r"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")
FORMAT_OUT = {"rate": 48000.0, "flags": 9, "bpf": 8, "channels": 2, "bits": 32, "id": code("lpcm")}


def read(obj, selector, status=0, **more):
    return {"call": "getPropertyData", "object": obj, "selector": code(selector),
            "scope": code("glob"), "element": 0, **more, "status": status}


def id2p(pid, out=0, status=0):
    return read(1, "id2p", status, qualifierSize=4, dataSize=4, qualifier=pid,
                **({"out": out} if status == 0 else {}))


def tfmt(out=FORMAT_OUT, status=0):
    return read(100, "tfmt", status, qualifierSize=0, dataSize=40, **({"out": out} if out else {}))


def tap(kind, processes, status=0):
    return {"call": "createProcessTap", "kind": kind, "processes": processes,
            "name": "Quenwick tap", "private": True, "mute": 0, "uuid": "TAP", "status": status,
            **({"tap": 100} if status == 0 else {})}


def heard(call):
    """A call with the processes of a tap in order: each must be given once."""
    return dict(call, processes=sorted(call["processes"])) if "processes" in call else call


def device(status=0):
    return {"call": "createAggregateDevice", "name": "Quenwick capture", "uid": "DEVICE",
            "private": True, "tapautostart": False, "taps": [{"uid": "TAP", "drift": True}],
            "status": status, **({"device": 200} if status == 0 else {})}


IOPROC = {"call": "createIOProcID", "device": 200, "status": 0, "proc": 300}
START = {"call": "start", "device": 200, "proc": 300, "status": 0}
TEARDOWN = [{"call": "stop", "device": 200, "proc": 300},
            {"call": "destroyIOProcID", "device": 200, "proc": 300},
            {"call": "destroyAggregateDevice", "device": 200},
            {"call": "destroyProcessTap", "tap": 100}]


def anonymous(calls):
    """The call log with the tap's random UUID, the device's fresh UID and the parent's pid
    named by their role."""
    tap_uuid = next((c["uuid"] for c in calls if c["call"] == "createProcessTap"), None)
    named = []
    for call in map(dict, calls):
        if "uuid" in call:
            assert UUID.fullmatch(call["uuid"]), call
            call["uuid"] = "TAP"
        if call["call"] == "createAggregateDevice":
            assert UUID.fullmatch(call["uid"]) and call["uid"] != tap_uuid, call
            call["uid"] = "DEVICE"
            call["taps"] = [dict(t, uid="TAP" if t["uid"] == tap_uuid else t["uid"])
                            for t in call["taps"]]
        if call.get("qualifier") == os.getpid():  # the scripted layer's parent is this test
            call["qualifier"] = "PARENT"
        named.append(call)
    return named


def format_event(mode, pids, **more):
    return {"event": "format", "sample_rate": 48000, "channels": 2, "mode": mode, "pids": pids,
            **more}


A, B, C = STAND_INS
# args, the scripted layer's pids, the calls that resolve them, the tap's kind and process
# objects, the "format" event's mode and pids
STARTS = {
    "processes": (["--pids", str(LISTED)], {str(LISTED): 7}, [id2p(LISTED, 7)], "mixdown", [7], "processes", [LISTED]),
    # A pid no process has, or only another process since the start, is never asked about;
    # one object twice reaches the tap once.
    "processes, some resolving, in order, twice": (
        ["--exclude-self", "9", "--pids", f"{A},{B},{C},0,-5,9000001,{B}"],
        {str(B): 20, str(C): 30, str(A): [5, -50], "9000001": 40},
        [id2p(A, status=-50), id2p(B, 20), id2p(C, 30), id2p(B, 20)],
        "mixdown", [20, 30], "processes", [A, B, C, 0, -5, 9000001, B]),
    "global excludes itself and the parent": (
        ["--global", "--pids", "5", "--exclude-self", str(B)], {str(B): 13, "parent": 9},
        [id2p(B, 13), id2p("PARENT", 9)], "global", [13, 9], "global", [5]),
    "global excludes the parent once": (
        ["--global", "--exclude-self", str(os.getpid())], {"parent": 9},
        [id2p("PARENT", 9), id2p("PARENT", 9)], "global", [9], "global", []),
    "global, an unresolved exclude-self": (
        ["--exclude-self", str(C), "--global"], {"parent": 9},
        [id2p(C), id2p("PARENT", 9)], "global", [9], "global", []),
    "global without anything to leave out": (
        ["--global"], {}, [id2p("PARENT")], "global", [], "global", []),
}
START_RUNS = {**{f"{name}, f32": (case, "f32") for name, case in STARTS.items()},
              **{f"processes, {layout}": (STARTS["processes"], layout)
                 for layout in ("s16", "planar")}}


@pytest.mark.parametrize("case, layout", START_RUNS.values(), ids=START_RUNS.keys())
def test_a_start_makes_its_calls_writes_its_lines_and_converts_every_list(agent, tmp_path, case,
                                                                          layout):
    args, pids, resolution, kind, processes, mode, pid_list = case
    frames = noise(20 * 512, 2)
    source = (np.round(frames * 32767).astype("<i2") if layout == "s16" else frames)
    (tmp_path / "source.raw").write_bytes(source.tobytes())
    run = agent(args, script={"pids": pids, "format": fmt(layout=layout),
                              "source": str(tmp_path / "source.raw"),
                              "steps": [{"deliver": 20, "frames": 512}]})
    run.wait_for_event("running")
    run.wait_until_done()
    run.signal(signal.SIGTERM)
    assert run.finish() == 0

    flags = {"f32": 9, "s16": 12, "planar": 41}[layout]
    out = dict(FORMAT_OUT, flags=flags, bpf={"planar": 4, "s16": 4}.get(layout, 8),
               bits=16 if layout == "s16" else 32)
    # The start-up's steps and the teardown in their order; the processes the tap hears, whatever
    # their order.
    steps = [heard(c) for c in anonymous(run.calls()) if c["call"] != "addPropertyListener"]
    assert steps == [*resolution, heard(tap(kind, processes)), device(), tfmt(out), IOPROC, START,
                     *TEARDOWN]
    assert run.events() == [{"event": "creating_tap"}, format_event(mode, pid_list),
                            {"event": "running"}]
    assert bytes(run.out) == decimated(source.reshape(-1, 2))


TAP_LINE = {"event": "creating_tap"}
# Where a refused tap sends the user: the scripted layer words its failures as Core Audio's does.
PRIVACY = "Check System Settings > Privacy & Security > Screen & System Audio Recording."
FORMAT_LINE = format_event("processes", [LISTED])
# a setting of the script, the status lines, the exit status, the last calls of the log
FAILURES = {
    "no audio process": ({"pids": {}}, [], 3, [id2p(LISTED)],
                         "none of the requested processes are audio processes yet; is the app "
                         "playing sound?"),
    # A layer that cannot be reached says nothing of the processes: no status 3.
    "audio server not running": ({"pids": {str(LISTED): [0, code("stop")]}}, [], 2,
                                 [id2p(LISTED, status=code("stop"))],
                                 f"could not reach the audio server ({code('stop')})"),
    "audio server not running, a tree": ({"args": ["--tree"], "listStatus": code("stop")}, [], 2,
                                         None, f"could not reach the audio server ({code('stop')})"),
    "tap refused": ({"tapStatus": -50}, [TAP_LINE], 2, [tap("mixdown", [7], -50)],
                    f"could not create the audio tap (-50). {PRIVACY}"),
    "tap refused with a code": ({"tapStatus": code("nope")}, [TAP_LINE], 2,
                                [tap("mixdown", [7], code("nope"))],
                                f"could not create the audio tap ({code('nope')}). {PRIVACY}"),
    "device refused": ({"deviceStatus": -1}, [TAP_LINE], 2, [device(-1)],
                       "could not create the capture device (-1)"),
    "format unreadable": ({"reads": [{"fail": code("who?")}]}, [TAP_LINE], 2,
                          [tfmt(None, code("who?"))], "could not read the tap format"),
    "rate 0": ({"format": fmt(rate=0)}, [TAP_LINE], 2, [tfmt(dict(FORMAT_OUT, rate=0.0))],
               "could not read the tap format"),
    "rate not a number": ({"format": fmt(rate="nan")}, [TAP_LINE], 2, None,
                          "could not read the tap format"),
    "rate below 250 Hz": ({"format": fmt(rate=249.5)}, [TAP_LINE], 2,
                          [tfmt(dict(FORMAT_OUT, rate=249.5))], "could not read the tap format"),
    "IO proc refused": ({"ioprocStatus": -2}, [TAP_LINE, FORMAT_LINE], 2,
                        [tfmt(), {"call": "createIOProcID", "device": 200, "status": -2}],
                        "could not attach to the capture device (-2)"),
    "start refused": ({"startStatus": 1}, [TAP_LINE, FORMAT_LINE], 2,
                      [IOPROC, dict(START, status=1)], "could not start capture (1)"),
    # A device runs without any IO proc, and would run capturing nothing.
    "IO proc made without an id": ({"ioproc": None}, [TAP_LINE, FORMAT_LINE], 2,
                                   [tfmt(), dict(IOPROC, proc=None)],
                                   "could not attach to the capture device (0): Core Audio made "
                                   "no IO proc"),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES.keys())
def test_a_failing_step_ends_the_start_with_its_message_and_status(agent, case):
    setting, lines, status, last_calls, message = case
    setting = dict(setting)
    run = agent(["--pids", str(LISTED), *setting.pop("args", [])],
                script={"pids": {str(LISTED): 7}, **setting})
    assert run.finish() == status
    assert run.events() == [*lines, {"event": "error", "message": message}]
    calls = anonymous(run.calls())
    if last_calls:
        assert calls[-len(last_calls):] == last_calls
    assert not any(c["call"].startswith(("stop", "destroy")) for c in calls)
    assert run.out == b""


@pytest.mark.parametrize("args, message", [
    ([], "give --pids or --global"),
    (["--pids", "--global"], "give --pids or --global"),
    (["--global", "extra"], "unknown argument extra"),
    (["-v", "--pids"], "unknown argument -v"),
    (["--pids=42"], "unknown argument --pids=42"),
    (["--global", "--exclude-self"], "--exclude-self needs a value"),
    (["--pids", "1", "--pids"], "--pids needs a value"),
])
def test_a_bad_command_line_writes_one_line_and_exits_1(agent, args, message):
    run = agent(args)  # the real agent: a bad command line never reaches the audio layer
    assert run.finish() == 1
    assert run.events() == [{"event": "error", "message": message}] and run.out == b""


def test_an_argument_of_any_bytes_is_reported_on_one_valid_line(agent):
    run = agent([b'a"\\\n\x01\x7f\xe2\x82\xac\xc3(\xff'])
    assert run.finish() == 1
    assert bytes(run.err) == ('{"event":"error","message":"unknown argument a\\"\\\\\\n\\u0001'
                              '\\u007f\u20ac\ufffd(\ufffd"}\n').encode()


def test_the_audio_server_going_away_ends_the_agent_after_the_sound_it_had(agent):
    run = agent(["--pids", str(LISTED)], script={"pids": {str(LISTED): 7}, "steps": [
        {"deliver": 10, "frames": 480}, {"sync": True}, {"notify": "srst"}]})
    assert run.finish() == 2
    assert run.events()[-1] == {"event": "error", "message": "the audio server went away"}
    # Capture stops; nothing is destroyed, as the server took it all.
    assert run.calls()[-1] == TEARDOWN[0] and len(run.out) == 10 * 320
