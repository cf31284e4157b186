"""Format changes on the scripted Core Audio: which re-reads of the tap's format are taken, the
one "format" event each taken change writes, and the restart of the conversion at the buffer
list where the new format starts (Core Audio's IO stops across a change, and the format is taken
where Core Audio announces it), however late the main queue hears of the change."""
import os
import subprocess

import numpy as np
import pytest

from conftest import BUILD, LISTED, code, converted, decimated, fmt, noise

LISTS = 10  # of 512 frames: the read position is 2 after them, so a restart shows in the PCM
START_EVENTS = [{"event": "creating_tap"},
                {"event": "format", "sample_rate": 48000, "channels": 2, "mode": "processes",
                 "pids": [LISTED]},
                {"event": "running"}]


def changed(rate=48000, channels=2):
    return {"event": "format", "sample_rate": rate, "channels": channels, "mode": "processes",
            "pids": [LISTED], "changed": True}


# the steps between two stretches of lists, the events they give (none: the conversion goes on
# without a restart), and the channels the second stretch is delivered in
CASES = {
    "channels": ([{"change": fmt(channels=1)}, {"notify": "tfmt"}], [changed(channels=1)], 1),
    "layout": ([{"change": fmt(layout="planar")}, {"notify": "tfmt"}], [changed()], 2),
    "announced twice": ([{"change": fmt(channels=1)}, {"notify": "nsrt"}, {"notify": "tfmt"}],
                        [changed(channels=1)], 1),
    "announced by the device's rate alone": ([{"change": fmt(channels=1)}, {"notify": "nsrt"}],
                                             [changed(channels=1)], 1),
    # Two changes between two lists: each one taken restarts the conversion.
    "there and back": ([{"change": fmt(channels=1)}, {"notify": "tfmt"}, {"sync": True},
                        {"change": fmt()}, {"notify": "tfmt"}], [changed(channels=1), changed()],
                       2),
    "bits only": ([{"tfmt": fmt(bits=24)}, {"notify": "tfmt"}], [], 2),
    "format id only": ([{"tfmt": fmt(id=code("aac "))}, {"notify": "tfmt"}], [], 2),
    "device rate, same format": ([{"notify": "nsrt"}], [], 2),
    "failed re-read": ([{"tfmt": {"fail": -1}}, {"notify": "tfmt"}], [], 2),
    "rate 0": ([{"tfmt": fmt(rate=0)}, {"notify": "tfmt"}, {"notify": "nsrt"}], [], 2),
    "rate below 250 Hz": ([{"tfmt": fmt(rate=100)}, {"notify": "tfmt"}], [], 2),
}
# The soak: the channel count goes back and forth, each change exactly at its list.
CHURN = int(os.environ.get("QUENWICK_SOAK_CHANGES", "20"))


def stretch(source, frames, channels):
    """The next `frames` frames of the scripted layer's source in `channels` channels."""
    data = source[: frames * channels]
    return data.reshape(-1, channels), source[frames * channels:]


RUNS = {**{name: (case, 1) for name, case in CASES.items()},
        **{f"{name}, churn": (case, CHURN) for name, case in CASES.items()
           if case[1] and name != "there and back"}}


@pytest.mark.parametrize("case, repeat", RUNS.values(), ids=RUNS.keys())
def test_a_change_is_taken_once_and_restarts_the_conversion_at_its_list(agent, case, repeat):
    steps, event, channels = case
    whole = noise(2 * LISTS * 512 * (repeat + 1), 2).ravel()
    script_steps = [{"deliver": LISTS, "frames": 512}]
    expected, events = b"", []
    frames, source = stretch(whole, LISTS * 512, 2)
    for n in range(repeat):
        back = n % 2 == 1  # every other change goes back to the start format
        script_steps += ([{"change": fmt()}, {"notify": "tfmt"}] if back else steps) + [
            {"sync": True}, {"deliver": LISTS, "frames": 512}]
        now = 2 if back else channels
        following, source = stretch(source, LISTS * 512, now)
        if not event:
            frames = np.concatenate([frames, following])
            continue
        expected += decimated(frames)
        events += [changed()] if back else event
        frames = following
    expected += decimated(frames)

    run = agent(["--pids", str(LISTED)], script={"pids": {str(LISTED): 7}, "source": whole,
                                                 "steps": script_steps})
    run.stop_when_done()
    assert run.events() == START_EVENTS + events
    assert bytes(run.out) == expected


def test_a_change_that_only_the_flags_tell_is_taken(agent):
    # 16-bit interleaved and float planar stereo both have four bytes a frame in each buffer.
    run = agent(["--pids", str(LISTED)], script={
        "pids": {str(LISTED): 7}, "format": fmt(layout="s16"),
        "steps": [{"deliver": 2, "frames": 512}, {"change": fmt(layout="planar")},
                  {"notify": "tfmt"}, {"sync": True}, {"deliver": 2, "frames": 512}]})
    run.stop_when_done()
    assert run.events() == START_EVENTS + [changed()]


# the steps around the change: the main queue has written its event before the lists captured in
# the new format come, or is held until they have all been converted
@pytest.mark.parametrize("before, after", [([], [{"sync": True}]), ([{"hold": True}], [])],
                         ids=["main queue idle", "main queue busy"])
def test_a_new_rate_is_reported_and_read_from_the_list_where_it_starts(agent, before, after):
    source = noise(LISTS * (512 + 441), 2)
    first, second = source[: LISTS * 512], source[LISTS * 512:]
    run = agent(["--pids", str(LISTED)], script={
        "pids": {str(LISTED): 7}, "source": source,
        "steps": [{"deliver": LISTS, "frames": 512}, *before, {"change": fmt(rate=44100)},
                  {"notify": "nsrt"}, {"notify": "tfmt"}, *after,
                  {"deliver": LISTS, "frames": 441}, {"release": True}]})
    run.stop_when_done()
    assert run.events() == START_EVENTS + [changed(rate=44100)]
    assert bytes(run.out) == (converted(np.split(first, LISTS), 48000) +
                              converted(np.split(second, LISTS), 44100))


def test_quality_high_resamples_each_stream_from_a_silent_history(agent):
    # Both sides of a change of rate come out as quenwick-convert --quality high makes each on
    # its own: nothing of the first stream is heard in the second; the events are the same.
    source = noise(LISTS * (512 + 441), 2)
    run = agent(["--pids", str(LISTED), "--quality", "high"], script={
        "pids": {str(LISTED): 7}, "source": source,
        "steps": [{"deliver": LISTS, "frames": 512}, {"change": fmt(rate=44100)},
                  {"notify": "tfmt"}, {"sync": True}, {"deliver": LISTS, "frames": 441}]})
    run.stop_when_done()
    assert run.events() == START_EVENTS + [changed(rate=44100)]
    expected = b"".join(
        subprocess.run([BUILD / "tools/quenwick-convert", "--rate", str(rate), "--channels", "2",
                        "--layout", "f32", "--block", str(frames), "--quality", "high", "-"],
                       input=part.tobytes(), capture_output=True, check=True).stdout
        for rate, frames, part in ((48000, 512, source[: LISTS * 512]),
                                   (44100, 441, source[LISTS * 512:])))
    assert bytes(run.out) == expected
    linear = converted(np.split(source[: LISTS * 512], LISTS), 48000)
    assert expected[: len(linear)] != linear


# Read at start-up, a format announced before that read is the "format" event's, not a change
# after it; a change just after that read is taken (missed, the whole run would be converted at
# 48000 Hz's ratio).
@pytest.mark.parametrize("setting, rate", [({"tfmtAnnouncedOnListen": True}, 48000),
                                           ({"tfmtChangesAfterRead": fmt(rate=44100)}, 44100)],
                         ids=["announced before the first read", "changed after it"])
def test_a_change_around_the_first_read_is_read_once(agent, setting, rate):
    source = noise(LISTS * 441, 2)
    run = agent(["--pids", str(LISTED)], script={
        "pids": {str(LISTED): 7}, "source": source, **setting,
        "steps": [{"sync": True}, {"deliver": LISTS, "frames": 441}]})
    run.stop_when_done()
    assert run.events() == START_EVENTS + ([changed(rate=rate)] if rate != 48000 else [])
    assert bytes(run.out) == converted(np.split(source, LISTS), rate)
