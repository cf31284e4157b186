"""The process-loopback backend, the code that Windows runs, on a scripted Windows audio stack
(quenwick-scripted-loopback): the start-up's calls in their order in each reading of the
activation's completion, the clients' packets mixed by their QPC positions, silence while none
come or GetBuffer fails for a while, a sleep left out, who plays, --wait, each way the start
and the capture can fail, and a capture lost and made again with --recover."""
import os
import re
import subprocess
import time

import numpy as np
import pytest

from conftest import BUILD, STAND_INS, assert_holds, decimated, noise, pcm_samples, until
from following import children, take_pid

SCRIPTED = BUILD / "tests" / "quenwick-scripted-loopback"
A, B = STAND_INS[:2]
PARENT = os.getpid()  # the agent's parent is this test
PERIOD = 480  # frames of the engine's 10 ms at 48 kHz
# LOOPBACK | EVENTCALLBACK | AUTOCONVERTPCM | SRC_DEFAULT_QUALITY
FLAGS = 0x00020000 | 0x00040000 | 0x80000000 | 0x08000000
INCLUDE, EXCLUDE = 0, 1
SUSPENDED, RESETTING, NO_BUFFER = (code - 2**32 for code in (
    0x88890026, 0x8889000B, 0x88890018))  # AUDCLNT_E_RESOURCES_INVALIDATED, ...


def run_scripted(agent, args, **script):
    return agent(args, script=script, program=SCRIPTED)


# args, the sessions there are, the clients' targets and modes, the "format" event's mode
STARTS = {
    # A pid listed twice is one client; a client hears its target's tree.
    "processes": (["--pids", f"{A},{B},{A}"], [A], [(A, INCLUDE), (B, INCLUDE)], "processes"),
    "global": (["--global"], [B], [(PARENT, EXCLUDE)], "global"),
}
READINGS = {f"{name}, completed {reading}": (case, reading) for name, case in STARTS.items()
            for reading in (["after", "before", "inline"] if name == "processes" else ["after"])}


@pytest.mark.parametrize("case, reading", READINGS.values(), ids=READINGS.keys())
def test_a_start_activates_a_client_per_target_and_captures_on_an_mmcss_thread(agent, case,
                                                                              reading):
    args, sessions, clients, mode = case
    # The global start's capture thread had joined COM's multithreaded apartment (S_FALSE).
    run = run_scripted(agent, args, activation=reading, sessions=[{"pid": p} for p in sessions],
                       comStatus=int(mode == "global"))
    run.wait_for_event("running")
    until(lambda: any(c["call"] == "GetBuffer" for c in run.calls()), what="the first GetBuffer")
    run.stop()
    calls = run.calls()
    names = [c["call"] for c in calls]
    threads = {c["call"]: c.get("thread") for c in calls}
    n = len(clients)
    assert [c["params"] for c in calls if c["call"] == "ActivateAudioInterfaceAsync"] == [
        [1, pid, how] for pid, how in clients]
    # Every client asks the engine to convert to float stereo at the mix rate, by events.
    assert [(c["flags"], c["format"]) for c in calls if c["call"] == "Initialize"] == [
        (FLAGS, [3, 2, 48000, 384000, 8, 32, 0])] * n
    # A manager drops the news of new sessions until it has been asked how many it has (the
    # scripted stack's too): watched first, then asked.
    assert names.index("RegisterSessionNotification") < names.index("GetSessionEnumerator")
    # Activation comes before the engine is asked its format: a system without process loopback
    # says so, whatever else it lacks.
    assert len(names) - 1 - names[::-1].index("ActivateCompleted") < names.index("GetMixFormat")
    assert names.count("Start") == n and [c for c in names if c in ("Stop", "Release")] == [
        "Stop"] * n + ["Release"] * n
    assert threads["AvSetMmThreadCharacteristics"] == threads["GetBuffer"] != "main"
    assert threads["CoInitializeEx"] == threads["CoUninitialize"] == threads["GetBuffer"]
    assert names.count("CoInitializeEx") == names.count("CoUninitialize") == 1
    assert next(c for c in calls if c["call"] == "AvSetMmThreadCharacteristics")["task"] == "Audio"
    assert (threads["ActivateCompleted"] == "main") == (reading == "inline")
    assert run.events() == started([] if mode == "global" else
                                   [int(p) for p in args[1].split(",")], mode)


SOURCE_A, SOURCE_B = noise(48000, 2, seed=1) * 0.5, noise(48000, 2, seed=2) * 0.5


def timeline(steps, source):
    """Where a client's packets put its source's frames, frame 0 being its first period's: each
    packet at its position, whenever it comes."""
    frames, shift, played = np.zeros((0, 2), np.float32), 0, 0
    for step in steps:
        shift += step.get("shift", 0)
        count = PERIOD * (step.get("play", 0) + step.get("misdated", 0))
        if count:
            frames = np.concatenate([frames, np.zeros((shift, 2), np.float32),
                                     np.take(source, range(played, played + count), axis=0,
                                             mode="wrap")])
            played, shift = played + count, 0
        silence = sum(step.get(key, 0) for key in ("silent", "gap", "passes"))
        frames = np.concatenate([frames, np.zeros((PERIOD * silence, 2), np.float32)])
    return frames


# each client's steps in the scripted engine's terms, and how the engine runs
MIXES = {
    # The performance counter of an older machine: the ACPI timer's 3.579545 MHz.
    "two targets by position": ([{"play": 40}], [{"shift": 72}, {"play": 40}],
                                {"qpcFrequency": 3579545}),
    # Five passes land while the capture thread is between its reads of the two.
    "two targets, one a pass late": ([{"play": 40}], [{"late": 1}, {"play": 40}],
                                     {"stall": {"at": 10, "passes": 5}}),
    "a target that plays late": ([{"play": 60}], [{"gap": 30}, {"play": 30}], {}),
    "no packets for a while": ([{"play": 20}, {"gap": 10}, {"play": 20}], [], {}),
    "silent packets with data": ([{"play": 20}, {"silent": 10}, {"play": 20}], [], {}),
    "silent packets without": (
        [{"play": 20}, {"silent": 10, "data": "null"}, {"play": 20}], [], {}),
    "positions the engine could not time": (
        [{"play": 20}, {"misdated": 5}, {"play": 20}], [], {}),
    # A shift of half a period, which only the flag tells from drift.
    "a discontinuity": ([{"play": 20}, {"shift": 240, "discontinuity": True}, {"play": 20}], [],
                        {}),
    # Positions absent or absurd: the packets are placed by their arrival.
    "timestamp errors throughout": ([{"misdated": 40}], [], {}),
    "positions 0 throughout": ([{"misdated": 40, "as": "zero"}], [], {}),
    "a first packet dated an hour ahead": ([{"misdated": 1, "as": "ahead"}, {"play": 40}], [], {}),
    # GetBuffer's passing failures: the client is heard again once they pass.
    **{f"GetBuffer failing with {hex(code + 2**32)} for a while": (
        [{"play": 20}, {"fail": code, "passes": 10}, {"play": 20}], [{"play": 40}], {})
       for code in (SUSPENDED, RESETTING, NO_BUFFER)},
    # The performance counter goes on through the sleep; the stream counts the time awake.
    # It wakes as the engine passes, between the reads of the two: A's packet of before it, a
    # pass late, is read after B's of after it.
    "an 8-hour sleep": ([{"late": 1}, {"play": 60}], [{"play": 60}],
                        {"sleep": {"at": 20, "hours": 8}}),
    # which is not the capture thread held up between its readings of the two clocks
    "a thread held up": ([{"play": 40}], [], {"heldAt": 15}),
}


@pytest.mark.parametrize("steps_a, steps_b, engine", MIXES.values(), ids=MIXES.keys())
def test_the_clients_packets_are_mixed_where_their_positions_say(agent, tmp_path, steps_a,
                                                                 steps_b, engine):
    streams, expected = {}, np.zeros((0, 2), np.float32)
    for pid, steps, source in ((A, steps_a, SOURCE_A), (B, steps_b, SOURCE_B)):
        path = tmp_path / f"{pid}.raw"
        path.write_bytes(source.astype("<f4").tobytes())
        streams[str(pid)] = [{"source": str(path)}, *steps]
        mine = timeline(steps, source)
        length = max(len(expected), len(mine))
        expected = (np.pad(expected, ((0, length - len(expected)), (0, 0))) +
                    np.pad(mine, ((0, length - len(mine)), (0, 0))))
    began = time.monotonic()
    run = run_scripted(agent, ["--pids", f"{A},{B}", "--report"], sessions=[{"pid": A}],
                       streams=streams, **engine)
    run.wait_for_event("running")
    running = time.monotonic()
    time.sleep(len(expected) / 48000 + 0.5)
    stopped = time.monotonic()
    run.stop()
    # The time awake, but for what waits to be due at the stop (200 ms and a period or two).
    assert stopped - running - 0.4 < len(run.out) / 32000 < time.monotonic() - began
    assert run.events() == [{"event": "backend", "name": "loopback"}, *started([A, B]),
                            {"event": "playing", "pids": []}] + \
        [{"event": "slept", "seconds": 8 * 3600}] * ("sleep" in engine)
    # The sound, and silence after it: the conversion's last sample reads the frame after it.
    heard = np.flatnonzero(np.abs(expected).sum(axis=1))
    assert_holds(run.out, np.pad(expected[: heard[-1] + 1], ((0, PERIOD), (0, 0))))


def test_a_target_inside_another_listed_targets_tree_is_heard_once(agent, tmp_path):
    family = subprocess.Popen(["sh", "-c", 'sh -c "sleep 60 & wait" & wait'])
    child = until(lambda: children(family.pid), what="the child")[0]
    grandchild = until(lambda: children(child), what="the grandchild")[0]
    (tmp_path / "a.raw").write_bytes(SOURCE_A.astype("<f4").tobytes())
    try:
        # Each client hears its target's tree: the grandchild's sound reaches all three.
        run = run_scripted(agent, ["--pids", f"{grandchild},{family.pid},{child}"],
                           sessions=[{"pid": grandchild}], streams={
                               str(grandchild): [{"source": str(tmp_path / "a.raw")}, {"play": 40}]})
        run.wait_for_event("running")
        time.sleep(40 * PERIOD / 48000 + 0.5)
        run.stop()
    finally:
        family.kill()
        family.wait()
    assert [c["params"] for c in run.calls() if c["call"] == "ActivateAudioInterfaceAsync"] == [
        [1, family.pid, INCLUDE]]
    assert_holds(run.out, np.pad(SOURCE_A[:40 * PERIOD], ((0, PERIOD), (0, 0))))


@pytest.mark.skipif(os.geteuid() != 0, reason="takes a pid by writing ns_last_pid")
def test_a_target_whose_pid_was_taken_during_wait_is_not_activated(agent, tmp_path):
    ended = subprocess.Popen(["sleep", "60"])
    (tmp_path / "a.raw").write_bytes(SOURCE_A.astype("<f4").tobytes())
    # The stack hears whoever has the pid: the stranger that took it plays.
    run = run_scripted(agent, ["--pids", f"{ended.pid},{A}", "--wait"], steps=[
        {"after": 1500, "session": {"pid": A}}], streams={
        str(ended.pid): [{"source": str(tmp_path / "a.raw")}, {"play": 40}]})
    until(lambda: any(c["call"] == "RegisterSessionNotification" for c in run.calls()),
          what="the agent's first look")
    ended.kill()
    ended.wait()
    stranger = take_pid(ended.pid, lambda: subprocess.Popen(["sleep", "60"]))
    try:
        run.wait_for_event("running")
        time.sleep(40 * PERIOD / 48000 + 0.5)
        run.stop()
    finally:
        stranger.kill()
        stranger.wait()
    assert [c["params"] for c in run.calls() if c["call"] == "ActivateAudioInterfaceAsync"] == [
        [1, A, INCLUDE]]
    assert len(run.out) and not any(run.out)


def test_zeros_while_a_target_plays_give_windows_advice(agent):
    run = run_scripted(agent, ["--pids", str(A), "--report"],
                       sessions=[{"pid": A, "state": "active"}], streams={str(A): [{"silent": 600}]})
    run.wait_for_event("silence", timeout=10)
    run.stop()
    advice = run.events()[-1]["advice"]
    for cause in ("marked as not to be captured", "call apps", "protected content",
                  "exclusive mode", "Allow applications to take exclusive control"):
        assert cause in advice


TONES = (1000, 1500)  # Hz: whole cycles in the one-second sources


def test_drifting_jittery_clients_are_heard_without_a_hole_or_an_overlap(agent, tmp_path):
    """A minute of a tone from each of two clients whose devices' clocks drift apart by 200 ppm,
    a packet now and then a pass late: each tone's phase, fitted block by block, goes on."""
    streams = {}
    for pid, hz, ppm, every in ((A, TONES[0], 100, 7), (B, TONES[1], -100, 11)):
        tone = np.sin(2 * np.pi * hz * np.arange(48000) / 48000) * 0.25
        (tmp_path / f"{pid}.raw").write_bytes(np.repeat(tone[:, None], 2, 1).astype("<f4").tobytes())
        streams[str(pid)] = [{"source": str(tmp_path / f"{pid}.raw")}, {"drift": ppm},
                             {"jitter": every}, {"play": 6000}]
    run = run_scripted(agent, ["--pids", f"{A},{B}"], sessions=[{"pid": A}], streams=streams)
    run.wait_for_event("running")
    time.sleep(61)
    run.stop()
    samples = pcm_samples(run.out).astype(float) / 32767
    sound = samples[np.flatnonzero(samples)[0]:][:16000 * 60]
    assert len(sound) == 16000 * 60
    block = 800  # 50 ms
    t = np.arange(block) / 16000
    basis = np.stack([f(2 * np.pi * hz * t) for hz in TONES for f in (np.sin, np.cos)], 1)
    fits = np.array([np.linalg.lstsq(basis, sound[k:k + block], rcond=None)[0]
                     for k in range(0, len(sound) - block + 1, block)])[1:-1]
    for tone in range(2):
        amplitude = np.hypot(fits[:, 2 * tone], fits[:, 2 * tone + 1])
        phase = np.unwrap(np.arctan2(fits[:, 2 * tone + 1], fits[:, 2 * tone]))
        # A hole or an overlap of a quarter period moves the phase by over 1.5 rad and the level
        # by over 2 %; a frame taken up or let go of drift, by 0.2 rad and 0.1 %.
        assert np.abs(amplitude - 0.25).max() < 0.005, f"tone {tone}: level {amplitude.min()}"
        assert np.abs(np.diff(phase, 2)).max() < 0.5, f"tone {tone}: phase jumps"


def started(pids, mode="processes"):
    return [{"event": "creating_tap"}, {"event": "format", "sample_rate": 48000, "channels": 2,
                                        "mode": mode, "pids": pids}, {"event": "running"}]


# what the client meets once it has played, the words of "interrupted", the activations made,
# the most silence between the two clients' sound (samples)
RECOVERIES = {
    "the device invalidated": ({"invalidate": True}, {}, 2,
                               "the audio device changed (0x88890004: AUDCLNT_E_DEVICE_INVALIDATED)",
                               16000),
    # While it is stopped the service cannot be reached; as it comes back, two activations fail.
    "the audio service stopped for a while": (
        {"service": 700}, {"failActivations": [1, 3], "activateResult": 0x88890010 - 2**32}, 4,
        "the audio server went away", 160000),
}


@pytest.mark.parametrize("loss, script, activations, reason, gap", RECOVERIES.values(),
                         ids=RECOVERIES.keys())
def test_with_recover_a_capture_lost_is_made_again(agent, tmp_path, loss, script, activations,
                                                   reason, gap):
    (tmp_path / "a.raw").write_bytes(SOURCE_A.astype("<f4").tobytes())
    run = run_scripted(agent, ["--pids", str(A), "--recover"], sessions=[{"pid": A}], streams={
        str(A): [{"source": str(tmp_path / "a.raw")}, {"play": 20}, loss]}, **script)
    run.wait_for_event("resumed")
    time.sleep(0.5)
    run.stop()
    assert run.events() == started([A]) + [{"event": "interrupted", "reason": reason},
                                           {"event": "resumed"}]
    assert [c["call"] for c in run.calls()].count("ActivateAudioInterfaceAsync") == activations
    # Each client's 20 periods, from one of their first three frames, silence in between.
    sound = b"|".join(re.escape(decimated(np.pad(SOURCE_A[k:20 * PERIOD], ((0, 1), (0, 0)))))
                      for k in range(3))
    assert re.fullmatch(b"(?:\0\0)*(?:%s)(?:\0\0){0,%d}(?:%s)(?:\0\0)*" % (sound, gap, sound),
                        bytes(run.out), re.S)


WINE = ("could not activate process loopback (0x80070002: The system cannot find the file "
        "specified). It needs Windows 10 build 20348 or later (Windows 11, Windows Server "
        "2022); Wine has none.")
TAP, FORMAT = "creating_tap", "format"
# args, the script, the events before the error, its message, the exit status
FAILURES = {
    # What is told is the missing process loopback, though Wine may lack an output device too.
    "Wine, or a build before 20348": (
        ["--global"], {"activateResult": 0x80070002 - 2**32, "defaultStatus": 0x80070490 - 2**32},
        [TAP], WINE, 2),
    "an activation refused at once": (
        ["--pids", str(A)], {"activateStatus": 0x80070005 - 2**32}, [TAP],
        "could not activate process loopback (0x80070005: Access is denied). Check that apps may "
        "use audio capture under Settings > Privacy & security > Microphone.", 2),
    "no output device": (
        ["--global"], {"defaultStatus": 0x80070490 - 2**32}, [TAP],
        "could not read the default output device's format (0x80070490). Check that an output "
        "device is enabled under Settings > System > Sound.", 2),
    "no audio service": (
        ["--pids", str(A)], {"enumeratorStatus": 0x88890010 - 2**32}, [],
        "could not reach the Windows audio service (0x88890010: AUDCLNT_E_SERVICE_NOT_RUNNING). "
        "Check that the Windows Audio service (Audiosrv) is running.", 2),
    "a format refused": (
        ["--global"], {"initializeStatus": 0x88890008 - 2**32}, [TAP],
        "could not initialize the loopback capture (0x88890008: AUDCLNT_E_UNSUPPORTED_FORMAT)", 2),
    "an activation that never completes": (
        ["--pids", str(A)], {"activation": "never"}, [TAP],
        "could not activate process loopback within five seconds (0x800705B4). Windows may be "
        "waiting on a consent prompt that a console program cannot show; check that apps may use "
        "audio capture under Settings > Privacy & security > Microphone.", 2),
    "a capture thread in another COM apartment": (
        ["--global"], {"comStatus": 0x80010106 - 2**32}, [TAP, FORMAT],
        "could not set up the loopback capture (0x80010106)", 2),
    "a start refused": (["--global"], {"startStatus": 0x88890004 - 2**32}, [TAP, FORMAT],
                        "could not start capture (0x88890004: AUDCLNT_E_DEVICE_INVALIDATED)", 2),
    "an --exclude-self outside the parent's tree": (
        ["--global", "--exclude-self", "1"], {}, [TAP],
        "cannot leave out --exclude-self 1: it is not in the process tree of the agent's parent, "
        "and Windows leaves out only one process tree, the parent's", 2),
    "the service stopped while running": (
        ["--global"], {"streams": {"parent": [{"play": 5}, {"service": 5000}]}},
        [TAP, FORMAT, "running"], "the audio server went away", 2),
    "the device invalidated while running": (
        ["--global"], {"streams": {"parent": [{"play": 5}, {"invalidate": True}]}},
        [TAP, FORMAT, "running"],
        "the audio device changed (0x88890004: AUDCLNT_E_DEVICE_INVALIDATED)", 2),
    "GetBuffer failing for good": (
        ["--global"], {"streams": {"parent": [{"play": 5}, {"fail": NO_BUFFER}]}},
        [TAP, FORMAT, "running"],
        "the loopback capture kept failing (0x88890018: AUDCLNT_E_BUFFER_ERROR)", 2),
}


@pytest.mark.parametrize("args, script, before, message, status", FAILURES.values(),
                         ids=FAILURES.keys())
def test_a_failure_ends_the_agent_with_its_words(agent, args, script, before, message, status):
    run = run_scripted(agent, args, **{"sessions": [{"pid": A}], **script})
    assert run.finish() == status
    events = run.events()
    assert [e["event"] for e in events] == [*before, "error"]
    assert events[-1]["message"] == message
    if "exclude" in message:  # nothing is made that could not hear as asked
        assert not any(c["call"] == "ActivateAudioInterfaceAsync" for c in run.calls())


# args, the sessions at first, the state changes, who plays after each
REPORTS = {
    "processes": (["--pids", str(A)], [{"pid": A}],
                  [{"pid": A, "state": "active"}, {"pid": A, "state": "inactive"}],
                  [[], [A], []]),
    # The parent's tree is left out: B is the parent's child.
    "global": (["--global"], [{"pid": "parent", "state": "active"}, {"pid": B}, {"pid": 1}],
               [{"pid": B, "state": "active"}, {"pid": 1, "state": "active"}], [[], [1]]),
}


@pytest.mark.parametrize("args, sessions, changes, playing", REPORTS.values(), ids=REPORTS.keys())
def test_who_plays_follows_the_sessions_states(agent, args, sessions, changes, playing):
    steps = [{"after": 400 * (n + 1), "state": change} for n, change in enumerate(changes)]
    run = run_scripted(agent, [*args, "--report"], sessions=sessions, steps=steps)
    until(lambda: sum(e["event"] == "playing" for e in run.events()) == len(playing),
          what="who plays")
    time.sleep(0.3 + 0.4 * len(changes))
    run.stop()
    assert [e["pids"] for e in run.events() if e["event"] == "playing"] == playing
