"""The PCM stream keeps time, on the scripted audio layer: a host that stops reading for longer
than any buffer holds gets, once it reads again, as many samples as the time captured, the sound
it missed replaced by silence, and never holds up the thread that delivers the cycles. Where a
cycle goes by its time stamp is the timeline's own (tests/convert/timeline_test.cpp)."""
import fcntl
import os
import re
import select
import time

import numpy as np
import pytest

from conftest import LISTED, LINUX_ONLY, LIVENESS, decimated, noise, until

F_SETPIPE_SZ = 1031

STALLED, AFTER = 200, 20  # lists of 24000 frames (8000 samples, half a second) each


def shrink(write_end):
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)


def shrink_and_unblock(write_end):
    shrink(write_end)
    os.set_blocking(write_end, False)


@pytest.mark.parametrize("host", [lambda _: None, pytest.param(shrink, marks=LINUX_ONLY),
                                  pytest.param(shrink_and_unblock, marks=LINUX_ONLY)],
                         ids=["a pipe", "a pipe of one page", "a non-blocking pipe of one page"])
def test_a_host_that_stalls_for_longer_than_any_buffer_gets_the_time_it_missed(agent, tmp_path,
                                                                               host):
    # 100 s of sound while the host reads nothing: the thread that delivers it never waits (the
    # scripted layer gets to its next step), and what neither the pipe nor the queue holds is
    # lost. Then the host reads, catches up, and hears what follows.
    source = noise(10 * 48000, 2)
    reading = tmp_path / "reading"
    read_end, write_end = os.pipe()
    host(write_end)
    run = agent(["--pids", str(LISTED)], stdout=write_end, script={
        "pids": {str(LISTED): 7}, "source": source,
        "steps": [{"deliver": STALLED, "frames": 24000}, {"await": str(reading)},
                  {"sleep": 1000}, {"deliver": AFTER, "frames": 24000}]})
    os.close(write_end)
    until(lambda: any(line.get("scripted") == "awaiting" for line in run.log_lines()),
          what="the stalled lists to be delivered")
    reading.touch()
    expected = decimated(np.tile(source, ((STALLED + AFTER) // 20, 1)))
    got = bytearray()
    deadline = time.monotonic() + 2 * LIVENESS
    while len(got) < len(expected) and time.monotonic() < deadline:
        if select.select([read_end], [], [], 0.1)[0]:
            got.extend(os.read(read_end, 1 << 20))
    run.stop()
    os.close(read_end)
    assert len(got) == len(expected)  # the length of the time captured, not a sample more
    heard = "".join("y" if got[n:n + 16000] == expected[n:n + 16000] else
                    "0" if not any(got[n:n + 16000]) else "x" for n in range(0, len(got), 16000))
    # What is lost goes as whole pieces of a list (one longer than the conversion's room is
    # converted in pieces): one second may end in zeros.
    assert re.fullmatch("y+x?0+y+", heard), heard
    assert heard.endswith("y" * AFTER), heard


def test_a_sleep_of_the_machine_leaves_no_silence_and_is_reported(agent):
    # Host time stands still while a Mac sleeps (30 s here, in no time): the sound either side of
    # the sleep is one stream, and --report says how long the machine slept once it is awake.
    source = noise(20 * 4800, 2)
    run = agent(["--pids", str(LISTED), "--report"], script={
        "pids": {str(LISTED): 7}, "source": source, "steps": [
            {"deliver": 10, "frames": 4800}, {"sync": True}, {"asleep": 30},
            {"deliver": 10, "frames": 4800}]})
    run.wait_for_event("slept")
    run.stop_when_done()
    assert run.events() == [
        {"event": "backend", "name": "coreaudio"}, {"event": "creating_tap"},
        {"event": "format", "sample_rate": 48000, "channels": 2, "mode": "processes",
         "pids": [LISTED]}, {"event": "running"}, {"event": "playing", "pids": []},
        {"event": "slept", "seconds": 30}]
    assert bytes(run.out) == decimated(source)
