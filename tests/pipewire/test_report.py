"""--report on a real server with real players: who plays, digital silence and sound, ended
processes; and without it, the lines of any start."""
import time
import wave

import numpy as np
import pytest

from conftest import until

SECOND = 48000


def tone(seconds, hz=440):
    wave = 0.25 * np.sin(2 * np.pi * hz * np.arange(SECOND * seconds) / SECOND)
    return np.stack([wave, wave], 1)


def zeros(seconds):
    return np.zeros((SECOND * seconds, 2))


def sixteen_bit(frames):
    """Frames as a 16-bit file holds them. PipeWire hands a player's integers on as floats, with
    a dither of ±1/32768 on many of them: zeros that are not exact, which a host reads as zeros."""
    return np.round(np.asarray(frames) * 32767).astype("<i2")


def play(pipewire, samples, path):
    """A player of `samples`: float frames, or 16-bit ones from a 16-bit file."""
    if samples.dtype != np.int16:
        return pipewire.play(samples)
    with wave.open(str(path), "wb") as file:
        file.setnchannels(samples.shape[1])
        file.setsampwidth(2)
        file.setframerate(SECOND)
        file.writeframes(samples.tobytes())
    player = pipewire.play_command(["pw-play", path])
    until(lambda: pipewire.playing(player.pid), what="the player to play")
    return player


@pytest.fixture(autouse=True)
def players_of_this_test_only(pipewire):
    yield
    for player in pipewire.players:
        player.kill()
        player.wait()
    pipewire.players.clear()


P = "the player's pid"
# What the listed player plays, how long the run is watched after "running" (the first "silence"
# comes within 4 s), and the events reported.
CASES = {
    "digital zeros are silence": (zeros(10), 4, [
        {"event": "playing", "pids": [P]}, {"event": "silence", "seconds": 3}]),
    "16-bit zeros are silence": (sixteen_bit(zeros(10)), 4, [
        {"event": "playing", "pids": [P]}, {"event": "silence", "seconds": 3}]),
    "a tone is no silence": (tone(10), 5, [{"event": "playing", "pids": [P]}]),
    "a player that ends": (tone(1), 3, [
        {"event": "playing", "pids": [P]}, {"event": "playing", "pids": []},
        {"event": "ended", "pid": P}]),
    "a tone after zeros is sound": (np.concatenate([zeros(5), tone(5)]), 7, [
        {"event": "playing", "pids": [P]}, {"event": "silence", "seconds": 3},
        {"event": "sound"}]),
    "a 16-bit tone after 16-bit zeros is sound": (
        sixteen_bit(np.concatenate([zeros(5), tone(5)])), 7, [
            {"event": "playing", "pids": [P]}, {"event": "silence", "seconds": 3},
            {"event": "sound"}]),
}


@pytest.mark.parametrize("samples, seconds, expected", CASES.values(), ids=CASES.keys())
def test_report_tells_who_plays_and_what_the_capture_hears(pipewire, tmp_path, samples,
                                                           seconds, expected):
    player = play(pipewire, samples, tmp_path / "played.wav")
    run = pipewire.agent(["--pids", player.pid, "--report"], tmp_path)
    run.wait_for_event("running")
    # The ended player is reaped, as a host's child would be; a zombie counts as ended anyway.
    if len(samples) < 2 * SECOND:
        until(lambda: player.poll() is not None, what="the player's end")
    time.sleep(seconds)
    run.stop()
    wanted = [{k: player.pid if v == P else [player.pid] if v == [P] else v
               for k, v in event.items()} for event in expected]
    got = run.reported()
    # "ended" and the player's leaving the graph are seen apart, in either order.
    assert got in (wanted, wanted[:1] + wanted[:0:-1]) if expected[-1]["event"] == "ended" \
        else got == wanted


def test_global_mode_reports_the_pids_heard_ascending(pipewire, tmp_path):
    first, second = pipewire.play(tone(10)), pipewire.play(tone(10, 660))
    run = pipewire.agent(["--global", "--report"], tmp_path)
    run.wait_for_event("running")
    until(lambda: {"event": "playing", "pids": sorted([first.pid, second.pid])} in run.events(),
          what="both players")
    run.stop()
