"""The real agent on a private PipeWire server keeps time and pitch: each graph cycle is read at
the rate it was captured in, whenever the host reads it, and the stream's length follows the
clock while the capture node moves from driver to driver."""
import os
import select
import threading
import time

import numpy as np

from conftest import pcm_samples, until, write_float_wav

# How long the agent keeps time while players come and go; a soak's minutes are a parameter.
TIMELINE_SECONDS = int(os.environ.get("QUENWICK_TIMELINE_SECONDS", "15"))


def pitches(samples, rate):
    """The frequency of each 10 ms window of a tone, from the first to the last rising zero
    crossing in it, interpolated between samples; None for a window that holds a run of silence
    (the graph paused) or too few crossings to tell."""
    found, size = [], rate // 100
    for start in range(0, len(samples) - size + 1, size):
        window = samples[start:start + size].astype(np.float64)
        zeros = np.flatnonzero(window == 0)
        if len(zeros) >= 8 and np.max(np.convolve(window == 0, np.ones(8), "valid")) == 8:
            found.append(None)
            continue
        rising = np.flatnonzero((window[:-1] < 0) & (window[1:] >= 0))
        if len(rising) < 3:
            found.append(None)
            continue
        at = rising + window[rising] / (window[rising] - window[rising + 1])
        found.append(rate * (len(at) - 1) / (at[-1] - at[0]))
    return found


def paused_windows(wav):
    """The 10 ms windows of silence inside a float recording of a tone at 48 kHz."""
    data = wav.read_bytes()
    data = data[data.find(b"data") + 8:]
    heard = [p is None for p in pitches(np.frombuffer(data[: len(data) // 4 * 4], "<f4"), 48000)]
    return sum(heard[heard.index(False): len(heard) - heard[::-1].index(False)])


def changed(rate):
    return {"event": "format", "sample_rate": rate, "channels": 2, "mode": "processes",
            "changed": True}


def test_a_rate_switch_while_the_host_stalls_changes_no_pitch(pipewire, tmp_path):
    # A steady 1 kHz tone; the graph switches to 44.1 kHz and back while the host has stopped
    # reading from a pipe of one page, so that the cycles around both switches wait in the
    # agent's queue. The sink, recorded beside it, shows where the graph itself pauses.
    tone = 0.5 * np.sin(2 * np.pi * 1000 * np.arange(48000 * 30) / 48000)
    player = pipewire.play(np.stack([tone, tone], 1))
    recorder = pipewire.play_command(
        ["pw-record", "--target", "test-sink", "--format", "f32", "--rate", "48000", "--channels",
         "1", "-P", "{ stream.capture.sink = true }", tmp_path / "sink.wav"])
    run = pipewire.agent(["--pids", player.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    run.shrink_held()
    try:
        time.sleep(0.5)
        for rate in (44100, 48000):
            pipewire.run("pw-metadata", "-n", "settings", "0", "clock.force-rate", str(rate))
            until(lambda: run.events()[-1].get("sample_rate") == rate, what=f"{rate} Hz")
            time.sleep(1)
    finally:
        pipewire.run("pw-metadata", "-n", "settings", "0", "clock.force-rate", "0")
    for _ in range(200):  # the host reads again, and catches up
        run.read_held(1)
        time.sleep(0.005)
    run.stop()
    recorder.terminate()
    recorder.wait()
    run.read_held(1)
    assert [dict(e, pids=None) for e in run.events()[3:]] == [
        dict(changed(44100), pids=None), dict(changed(48000), pids=None)]
    assert len(run.out) % 2 == 0
    heard = pitches(pcm_samples(run.out), 16000)
    # The conversion restarts at each switch, which may join two phases of the tone inside one
    # window; a cycle read at the other rate's ratio is off for a cycle or more, 1088 Hz or 919.
    off_pitch = [p for p in heard if p is not None and abs(p / 1000 - 1) > 0.03]
    assert len(off_pitch) <= 2, off_pitch
    # The silence at the switches is the graph's own, give or take a cycle at each. A graph that
    # runs late on a loaded machine adds some: the agent keeps time through it with silence,
    # which pw-record does not show. A queue that lost the stall would add 300 windows.
    allowed = paused_windows(tmp_path / "sink.wav") + 6 + len(heard) // 20
    assert sum(p is None for p in heard) <= allowed


def test_players_that_come_and_go_move_the_stream_off_the_clock_by_less_than_a_cycle(
        pipewire, tmp_path):
    # The agent alone in global mode, and a player every 3 s that plays for 1.5 s:
    # each start and end moves the capture node to another driver. The host notes when each
    # read brings how many samples.
    tone = 0.5 * np.sin(2 * np.pi * 441 * np.arange(72000) / 48000)
    write_float_wav(tmp_path / "tone.wav", np.stack([tone, tone], 1), 48000)
    run = pipewire.agent(["--global"], tmp_path, stdout="held")
    reads, done = [], threading.Event()

    def host():
        total = 0
        while not done.is_set():
            if select.select([run.held[1]], [], [], 0.1)[0]:
                total += len(run.read_held(1)) // 2
                reads.append((time.monotonic(), total))

    reader = threading.Thread(target=host)
    reader.start()
    run.wait_for_event("running")
    started = time.monotonic()
    while time.monotonic() - started < TIMELINE_SECONDS:
        pipewire.play_command(["pw-play", tmp_path / "tone.wav"])
        time.sleep(3)
    done.set()
    reader.join()
    run.stop()
    # Each second, the read that brought the stream closest to the clock: how far ahead of the
    # clock the stream is then, against the first second's. A cycle is 2048 frames while a player
    # plays, 683 samples at 16 kHz.
    ahead = {}
    for at, total in reads:
        second = int(at - started)
        ahead[second] = max(ahead.get(second, -1e9), total - 16000 * (at - started))
    drift = [value - ahead[1] for second, value in sorted(ahead.items()) if second >= 1]
    assert max(map(abs, drift)) < 683, drift
