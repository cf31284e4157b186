"""The real agent on a private PulseAudio daemon with paplay players: whom it hears (to the byte:
a float null sink at unity volume hands the played floats on unchanged), which server it picks
when PipeWire is there too, how it follows streams, sinks and processes, and what it reports."""
import os
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import (LIVENESS, ROOT, Agent, PulseAudio, assert_heard_from_the_start, decimated,
                      assert_holds, level_dbfs, noise, pcm_samples, until, write_float_wav)
from following import CAN_TAKE_PIDS, CASES, arguments, take_pid

HEARD = noise(48000 * 3, 2, seed=1) * 0.5  # what a test listens for, played to its end
# What the capture holds of it: its last frame too, read against the silence after it.
ENDED = np.concatenate([HEARD, np.zeros((1, 2), np.float32)])
OTHER = noise(48000 * 30, 2, seed=2) * 0.5  # what plays on beside it


def tone(hz, amplitude, channels=2, rate=48000, seconds=30):
    wave = amplitude * np.sin(2 * np.pi * hz * np.arange(rate * seconds) / rate)
    return np.repeat(wave[:, None], channels, 1)


def stop(run, status=0):
    run.signal(signal.SIGTERM)
    assert run.finish() == status


def next_second(run):
    """The level (dBFS) of the next second of output, and the whole hertz of the tones in it."""
    mark = len(run.out) // 2 * 2
    until(lambda: len(run.out) >= mark + 32000, what="a second of output")
    samples = pcm_samples(run.out[mark: mark + 32000])
    spectrum = np.abs(np.fft.rfft(samples / 32767)) * 2 / len(samples)  # bins of 1 Hz
    return level_dbfs(samples), set(np.flatnonzero(spectrum > 0.05).tolist())


@pytest.fixture(scope="module", autouse=True)
def sinks(pulseaudio):
    pulseaudio.add_sink("other-sink")
    pulseaudio.add_sink("surround-sink", channels=6)
    pulseaudio.add_sink("cd-sink", rate=44100)


@pytest.fixture(autouse=True)
def players_of_this_test_only(pulseaudio):
    yield
    for player in pulseaudio.players:
        player.kill()
        player.wait()
    pulseaudio.players.clear()


# The command line (A plays OTHER from before the agent starts, a once it runs; B plays HEARD from
# before it, b once it runs), who plays, and whose sound the capture holds to the byte (none:
# zeros).
WHO = {
    "--global hears a stream that opens later": ("--global", "b", True),
    "--pids hears the listed player and no other": ("--pids B", "AB", True),
    "--pids hears nothing of an unlisted stream that opens later": ("--pids B", "Ba", True),
    "--exclude-self leaves one player out": ("--global --exclude-self A", "Ab", True),
    "with only the excluded player playing, zeros": ("--global --exclude-self A", "A", False),
}


@pytest.mark.parametrize("line, playing, heard", WHO.values(), ids=WHO.keys())
def test_who_is_heard(pulseaudio, tmp_path, line, playing, heard):
    def play(role):
        return pulseaudio.play(OTHER if role in "Aa" else HEARD)

    players = {role: play(role) for role in playing if role.isupper()}
    run = pulseaudio.agent(arguments(line, {r: p.pid for r, p in players.items()}), tmp_path)
    run.wait_for_event("running")
    players.update({role: play(role) for role in playing if role.islower()})
    if heard:
        next(p for role, p in players.items() if role in "Bb").wait(LIVENESS)
        run.wait_for_silence()
    else:  # past what the sink rendered ahead (up to 2 s), which no agent would hear either
        until(lambda: len(run.out) >= 96000, what="three seconds of output")
    stop(run)
    if heard:
        assert_holds(run.out, ENDED)
    else:
        assert not any(run.out)


@pytest.fixture
def no_audio_pipewire(pulseaudio):
    """A PipeWire that carries no audio in the PulseAudio's runtime folder, as on a desktop whose
    sound card PulseAudio owns."""
    server = subprocess.Popen(["pipewire", "-c", ROOT / "scripts/pipewire/no-audio.conf"],
                              env=pulseaudio.env, stderr=subprocess.DEVNULL)
    until(lambda: os.path.exists(pulseaudio.vars["XDG_RUNTIME_DIR"] + "/pipewire-0"),
          what="PipeWire's socket")
    yield pulseaudio
    server.terminate()
    server.wait(LIVENESS)


@pytest.fixture(scope="module")
def pipewire_pulse(tmp_path_factory):
    """The private PipeWire, with PipeWire's own PulseAudio server, which paplay plays through."""
    stack = type("PipeWirePulse", (PulseAudio,), {"SCRIPT": "private-pipewire.sh"})(
        tmp_path_factory.mktemp("pipewire"))
    stack.vars["PULSE_CLIENTCONFIG"] = str(ROOT / "scripts/pulseaudio/client.conf")
    stack.env.update(stack.vars)
    stack.play_command(["pipewire", "-c", ROOT / "scripts/pipewire/pulse.conf"])
    until(lambda: os.path.exists(stack.vars["XDG_RUNTIME_DIR"] + "/pulse/native"),
          what="the PulseAudio socket")
    yield stack
    stack.stop()


# Found as a desktop's agent finds them, through XDG_RUNTIME_DIR alone (no PULSE_SERVER): the
# server the agent picks (the first line of --report) and that it hears a paplay there.
@pytest.mark.parametrize("mode", ["--global", "--pids"])
@pytest.mark.parametrize("servers, backend", [("pulseaudio", "pulseaudio"),
                                              ("no_audio_pipewire", "pulseaudio"),
                                              ("pipewire_pulse", "pipewire")])
def test_the_agent_picks_the_server_that_carries_the_sound(request, monkeypatch, tmp_path,
                                                           servers, backend, mode):
    stack = request.getfixturevalue(servers)
    monkeypatch.delenv("PULSE_SERVER", raising=False)
    player = stack.play(HEARD)
    run = Agent([mode, *([player.pid] if mode == "--pids" else []), "--report"], tmp_path,
                env={k: v for k, v in stack.vars.items() if k != "PULSE_SERVER"})
    stack.agents.append(run)
    run.wait_for_event("running")
    player.wait(LIVENESS)
    run.wait_for_silence()
    stop(run)
    assert run.events()[0] == {"event": "backend", "name": backend}
    assert_holds(run.out, ENDED)


def test_pipewires_own_pulseaudio_server_is_never_taken_for_pulseaudio(tmp_path):
    # A PipeWire with no audio and PipeWire's PulseAudio server beside it: the PulseAudio backend
    # refuses a server that is PipeWire's, and PipeWire, the only server there, serves.
    runtime = tmp_path / "runtime"
    runtime.mkdir()
    env = dict(XDG_RUNTIME_DIR=str(runtime), PIPEWIRE_RUNTIME_DIR=str(runtime),
               PULSE_SERVER=f"unix:{runtime}/pulse/native",
               PULSE_CLIENTCONFIG=str(ROOT / "scripts/pulseaudio/client.conf"))
    servers = []
    try:
        # The pulse server is a client of the PipeWire server: it starts once that one answers.
        for conf, socket in (("no-audio", "pipewire-0"), ("pulse", "pulse/native")):
            config = ROOT / f"scripts/pipewire/{conf}.conf"
            servers.append(subprocess.Popen(["pipewire", "-c", config],
                                            env=dict(os.environ, **env), stderr=subprocess.DEVNULL))
            until(lambda: (runtime / socket).exists(), what=f"the {conf} server's socket")
        run = Agent(["--global", "--report"], tmp_path, env=env)
        run.wait_for_event("running")
        stop(run)
        assert run.events()[0] == {"event": "backend", "name": "pipewire"}
    finally:
        for server in servers:
            server.terminate()
            server.wait(LIVENESS)


# What plays where, as the agent in global mode runs, and the level (dBFS) and tones (Hz) of a
# second of what it hears then. Tones at 0.5 are -9.03 dBFS, at 0.25 -15.05, two at 0.25 -12.04:
# each stream heard once, the level as played; a 5.1 stream at 0.25 in every channel keeps its
# level (heard twice, or its channels summed, it would be louder or clip).
LEVELS = {
    "two players at once": ([(tone(300, 0.25), None), (tone(500, 0.25), None)], -12.04, {300, 500}),
    "a 5.1 stream on a 5.1 sink": ([(tone(441, 0.25, 6), "surround-sink")], -15.05, {441}),
    "a stream moved to another sink": ([(tone(441, 0.5), "moved")], -9.03, {441}),
    "a default sink at 44100 Hz": ([(tone(441, 0.5, rate=44100), "cd-sink")], -9.03, {441}),
}


@pytest.mark.parametrize("played, level, tones", LEVELS.values(), ids=LEVELS.keys())
def test_each_stream_is_heard_once_at_its_level_and_pitch(pulseaudio, tmp_path, played, level,
                                                          tones):
    rate = 44100 if played[0][1] == "cd-sink" else 48000
    pulseaudio.run("pactl", "set-default-sink", "cd-sink" if rate == 44100 else "test-sink")
    try:
        players = [pulseaudio.play(samples, None if sink == "moved" else sink, rate)
                   for samples, sink in played]
        run = pulseaudio.agent(["--global"], tmp_path)
        run.wait_for_event("running")
        # What the sink rendered ahead before the agent came is not heard: the first rendering
        # after it is.
        until(lambda: any(run.out[-3200:]), what="the players' sound")
        if played[0][1] == "moved":
            assert next_second(run)[1] == tones
            pulseaudio.run("pactl", "move-sink-input", str(next(
                i["index"] for i in pulseaudio.listed("sink-inputs")
                if i["properties"]["application.process.id"] == str(players[0].pid))),
                "other-sink")
            until(lambda: pulseaudio.playing(players[0].pid, "other-sink"), what="the move")
            next_second(run)  # PulseAudio ends the stream's monitor; the agent makes a new one
        got = next_second(run)
        stop(run)
    finally:
        pulseaudio.run("pactl", "set-default-sink", "test-sink")
    assert run.events()[1]["sample_rate"] == rate
    assert abs(got[0] - level) < 0.2 and got[1] == tones, got


def test_a_daemon_that_goes_away_ends_the_agent_after_the_sound_it_had(tmp_path):
    daemon = PulseAudio(tmp_path / "daemon")
    try:
        player = daemon.play(OTHER)
        run = daemon.agent(["--pids", player.pid], tmp_path)
        run.wait_for_event("running")
        until(lambda: np.count_nonzero(pcm_samples(run.out)) > 16000, what="a second of sound")
        os.kill(int(daemon.vars["PRIVATE_PULSEAUDIO_PID"]), signal.SIGKILL)
        assert run.finish() == 2
        assert run.events()[-1] == {"event": "error", "message": "the audio server went away"}
        assert_holds(run.out, OTHER, to_the_end=False)
    finally:
        daemon.stop()


def first_frame_heard(captured, played, most):
    """The frame of `played` (48000 Hz) that the sound in `captured` starts with, up to `most`."""
    samples = pcm_samples(captured)
    sound = samples[np.flatnonzero(samples)[0]:][:64]
    for frame in range(most + 1):
        if np.array_equal(np.frombuffer(decimated(played[frame:frame + 3 * len(sound) + 1]), "<i2"),
                          sound):
            return frame
    pytest.fail(f"the sound does not start within the played file's first {most} frames")


# PulseAudio has no way to monitor a stream before its sink renders it: the agent's stream on a
# new sink input's monitor is made one round trip after the sink input appears, by when its sink
# may have rendered its first fragment or two (10 ms each; the agent keeps every sink at that
# latency).
def test_a_player_that_starts_after_a_waiting_agent_is_heard_from_its_first_fragment(
        pulseaudio, tmp_path):
    write_float_wav(tmp_path / "late.wav", HEARD, 48000)
    late = pulseaudio.play_command(["sh", "-c", f"sleep 1; exec paplay {tmp_path}/late.wav"])
    run = pulseaudio.agent(["--pids", late.pid, "--wait"], tmp_path)
    run.wait_for_event("running", timeout=LIVENESS)
    late.wait(LIVENESS)
    run.wait_for_silence()
    stop(run)
    assert_heard_from_the_start(run.out, ENDED[first_frame_heard(run.out, ENDED, 960):])


P = "the player's pid"
# What the listed player plays (a sox command), how long the run is watched after "running"
# (the first "silence" comes within 4 s), and the lines --report adds after "running".
REPORTS = {
    "a player that ends": ("synth 1 sine 440 vol 0.25", 3, [
        {"event": "playing", "pids": [P]}, {"event": "playing", "pids": []},
        {"event": "ended", "pid": P}]),
    "16-bit zeros are silence, and a tone after them sound": (
        "synth 3 sine 440 vol 0.25 pad 5 0", 6.5, [
            {"event": "playing", "pids": [P]}, {"event": "silence", "seconds": 3},
            {"event": "sound"}]),
}


@pytest.mark.parametrize("made, seconds, expected", REPORTS.values(), ids=REPORTS.keys())
def test_report_tells_who_plays_and_what_the_capture_hears(pulseaudio, tmp_path, made, seconds,
                                                           expected):
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", tmp_path / "played.wav",
                    *made.split()], check=True)
    player = pulseaudio.play_command(["paplay", tmp_path / "played.wav"])
    until(lambda: pulseaudio.playing(player.pid), what="the player to play")
    run = pulseaudio.agent(["--pids", player.pid, "--report"], tmp_path)
    run.wait_for_event("running")
    time.sleep(seconds)
    stop(run)
    events = run.events()
    wanted = [{k: player.pid if v == P else [player.pid] if v == [P] else v
               for k, v in event.items()} for event in expected]
    got = [e for e in events[events.index({"event": "running"}) + 1:]
           if e["event"] in ("playing", "ended", "silence", "sound")]
    assert events[0] == {"event": "backend", "name": "pulseaudio"}
    # "ended" and the stream's end are seen apart, in either order.
    assert got in (wanted, wanted[:1] + wanted[:0:-1])


PITCHES = {"A": 300, "S": 500}


# A stranger that takes the pid of a listed or excluded process once it has ended, and plays.
@pytest.mark.skipif(not CAN_TAKE_PIDS, reason="taking a pid needs root, on Linux")
@pytest.mark.parametrize("line, heard", [CASES[name][::3] for name in (
    "a stranger with a listed pid is not heard", "a stranger with an excluded pid is heard")])
def test_a_stranger_with_a_pid_of_the_command_line_is_taken_for_who_it_is(
        pulseaudio, tmp_path, line, heard):
    write_float_wav(tmp_path / "S.wav", tone(PITCHES["S"], 0.25), 48000)
    listed = pulseaudio.play_command(["sleep", "60"])
    pids = {"A": pulseaudio.play(tone(PITCHES["A"], 0.25)).pid, "X": listed.pid}
    run = pulseaudio.agent(arguments(line, pids), tmp_path)
    run.wait_for_event("running")
    until(lambda: any(run.out[-3200:]), what="A's sound")  # once the sink renders after the start
    listed.kill()
    listed.wait()
    stranger = take_pid(pids["X"], lambda: pulseaudio.play_command(["paplay", tmp_path / "S.wav"]))
    until(lambda: pulseaudio.playing(stranger.pid), what="the stranger to play")
    next_second(run)  # from its start in the output on, a second of steady tones
    tones = next_second(run)[1]
    stop(run)
    assert tones == {PITCHES[role] for role in heard}
