"""The agent as a process, for the black-box tests: the real `quenwick` on a private PipeWire
server, or `quenwick-scripted` (the real start-up code on the scripted audio layer). Each run
hands back its standard output bytes, its status lines parsed and held against the published
schema, its exit status and, on the scripted layer, the whole call log.

QUENWICK_BUILD names the build folder (ctest sets it)."""
import atexit
import errno
import fcntl
import json
import os
import pathlib
import signal
import struct
import subprocess
import sys
import threading
import time

import jsonschema
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("QUENWICK_BUILD", ROOT / "build" / "debug"))
SCHEMA = json.loads((ROOT / "docs" / "status-events.schema.json").read_text())
LIVENESS = 10  # seconds; anything that should happen promptly and has not by then is a failure
# What reads /proc, asks the kernel for a subreaper or sizes a pipe runs on Linux only.
LINUX_ONLY = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs Linux: /proc, prctl or pipe sizes")
# A sanitizer's runtime needs descriptors of its own, and reports what it cannot check.
SANITIZED = "-fsanitize" in (BUILD / "CMakeCache.txt").read_text(errors="replace") \
    if (BUILD / "CMakeCache.txt").exists() else False
SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b": runtime error: ",
                   b"WARNING: ThreadSanitizer")


def _stand_ins(count):
    """Live processes for the scripted layer's runs to name: a pid is heard only while its very
    process lives, so a run that lists one needs it alive for the whole session."""
    started = [subprocess.Popen(["sleep", "infinity"]) for _ in range(count)]
    atexit.register(lambda: [(p.kill(), p.wait()) for p in started])
    return [p.pid for p in started]


# What an agent that cleaned up leaves behind (Agent.left_behind).
NOTHING = {"taps": 0, "devices": 0, "device first": True}
# Listed by the scripted runs; LISTED is the one most runs hear.
STAND_INS = _stand_ins(3)
LISTED = STAND_INS[0]


def code(text):
    """A four-character code as the audio layer's 32-bit integer."""
    return struct.unpack(">i", text.encode())[0]


def status_lines(err):
    """Every line of a standard error capture as a status event. Each must be one JSON object on
    one line, valid UTF-8, ending in a line feed, and fit the schema."""
    assert err == b"" or err.endswith(b"\n"), f"unterminated status line: {err[-200:]!r}"
    events = []
    for line in err.split(b"\n")[:-1]:
        event = json.loads(line.decode("utf-8"), parse_constant=pytest.fail)
        jsonschema.validate(event, SCHEMA)
        events.append(event)
    return events


def until(condition, timeout=LIVENESS, what="the condition"):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.01)
    return result


class Agent:
    """One run of the agent as a child process, its output drained as it comes. `script` (a
    dict) runs quenwick-scripted on the scripted layer; without it the real quenwick runs. With
    stdout or stderr "held", the test owns the reading end (`held[1]`, `held[2]`): it reads it
    when it likes, or hangs it up."""

    def __init__(self, args, tmp, script=None, env=None, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=None, wrapper=(),
                 user=None, program=None):
        environment = dict(os.environ, **(env or {}))
        # The agent leaves by _exit with its threads running, by design; under ThreadSanitizer
        # that is no leak to report and no reason to wait a second.
        environment.setdefault("TSAN_OPTIONS", "report_thread_leaks=0 atexit_sleep_ms=0")
        self.log = None
        program = program or BUILD / ("tests/quenwick-scripted" if script is not None
                                      else "quenwick")
        if script is not None:
            self.log = tmp / "calls.jsonl"
            self.log.write_text("")
            self.log.chmod(0o666)  # for an agent that runs as another user
            if isinstance(script.get("source"), np.ndarray):  # the frames the layer delivers
                (tmp / "source.raw").write_bytes(script["source"].tobytes())
                script = dict(script, source=str(tmp / "source.raw"))
            path = tmp / "script.json"
            path.write_text(json.dumps(dict(script, log=str(self.log))))
            environment["QUENWICK_SCRIPT"] = str(path)
        self.out, self.err = bytearray(), bytearray()
        self.held, ends = {}, {1: stdout, 2: stderr}
        for number in (1, 2):
            if ends[number] == "held":
                self.held[number], ends[number] = os.pipe()
                os.set_blocking(self.held[number], False)
        args = [a if isinstance(a, bytes) else str(a) for a in args]
        self.proc = subprocess.Popen([*wrapper, str(program), *args], stdin=stdin,
                                     stdout=ends[1], stderr=ends[2], env=environment,
                                     preexec_fn=preexec_fn, user=user)
        self.pid = self.proc.pid  # the agent's, also under a wrapper that says so
        for number in self.held:
            os.close(ends[number])
        self.readers = [threading.Thread(target=self._drain, args=(pipe, into), daemon=True)
                        for pipe, into in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))
                        if pipe is not None]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _drain(pipe, into):
        while chunk := pipe.read1(1 << 16):
            into += chunk

    def read_held(self, number):
        """What a held output has now, appended to `out` or `err` as well."""
        try:
            got = os.read(self.held[number], 1 << 20)
        except BlockingIOError:
            got = b""
        (self.out if number == 1 else self.err).extend(got)
        return got

    def shrink_held(self, number=1, size=4096):
        """Shrinks a held pipe to `size` bytes. A pipe that holds more than that refuses (EBUSY),
        so it is read empty first, as often as the agent fills it in between."""
        def shrunk():
            self.read_held(number)
            try:
                return fcntl.fcntl(self.held[number], fcntl.F_SETPIPE_SZ, size) > 0
            except OSError as error:
                if error.errno != errno.EBUSY:
                    raise
                return False
        until(shrunk, what="the pipe to shrink")

    def hang_up(self, number=1):
        """Closes the host's end of a held output."""
        os.close(self.held.pop(number))

    def events(self):
        """The status lines written so far."""
        if 2 in self.held:
            self.read_held(2)
        whole = bytes(self.err)
        return status_lines(whole[: whole.rfind(b"\n") + 1])

    def wait_for_event(self, name, timeout=LIVENESS):
        return until(lambda: any(e["event"] == name for e in self.events()), timeout,
                     f'the "{name}" event (standard error: {bytes(self.err)!r})')

    def reported(self):
        """The events after "running", of the four that --report adds."""
        events = self.events()
        return [e for e in events[events.index({"event": "running"}) + 1:]
                if e["event"] in ("playing", "ended", "silence", "sound")]

    def log_lines(self):
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    def calls(self):
        return [line for line in self.log_lines() if "call" in line]

    def left_behind(self):
        """What the agent made on the scripted layer and did not destroy: taps and devices, and
        whether each device went before its tap (the device holds the tap)."""
        calls = self.calls()
        done = {name: [i for i, c in enumerate(calls) if c["call"] == name and c["status"] == 0]
                for name in ("createProcessTap", "createAggregateDevice", "destroyProcessTap",
                             "destroyAggregateDevice")}
        return {"taps": len(done["createProcessTap"]) - len(done["destroyProcessTap"]),
                "devices": len(done["createAggregateDevice"]) - len(done["destroyAggregateDevice"]),
                "device first": all(d < t for d, t in zip(done["destroyAggregateDevice"],
                                                          done["destroyProcessTap"]))}

    def wait_for_silence(self, timeout=LIVENESS):
        """Waits until a tenth of a second of silence follows what came so far: a player that has
        ended has been heard to its end."""
        start = len(self.out)
        until(lambda: len(self.out) >= start + 3200 and not any(self.out[-3200:]), timeout,
              "silence")

    def wait_until_done(self, timeout=LIVENESS):
        """Waits until the scripted layer has worked through all its steps."""
        until(lambda: any(line.get("scripted") == "done" for line in self.log_lines()), timeout,
              "the scripted layer's steps")

    def signal(self, number):
        os.kill(self.pid, number)

    def stop(self):
        """SIGTERM, and the exit status 0 that a stopped agent owes."""
        self.signal(signal.SIGTERM)
        assert self.finish() == 0

    def stop_when_done(self):
        """Stops the agent once the scripted layer is done and SIGTERM is handled (from
        "running" on)."""
        self.wait_until_done()
        self.wait_for_event("running")
        self.stop()

    def finish(self, timeout=LIVENESS):
        """Waits for the exit and returns the exit status (minus the signal when killed)."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            pytest.fail(f"the agent did not exit within {timeout} s (standard error: "
                        f"{bytes(self.err)!r})")
        for reader in self.readers:
            reader.join()
        self.check_sanitizers()
        return status

    def check_sanitizers(self):
        """A sanitizer that found a fault ends the agent with status 1 or reports on the way out;
        either way the test fails with its report, whatever it expected of the run."""
        if any(mark in self.err for mark in SANITIZER_MARKS):
            pytest.fail("a sanitizer reported on the agent:\n" +
                        bytes(self.err).decode(errors="replace")[-6000:], pytrace=False)


@pytest.fixture
def agent(tmp_path):
    """Starts agents and makes sure none outlives the test."""
    started = []

    def start(args, tmp=tmp_path, **options):
        started.append(Agent(args, tmp, **options))
        return started[-1]

    yield start
    for run in started:
        stop_agent(run)


def stop_agent(run):
    if run.proc.poll() is None:
        run.proc.kill()
        run.proc.wait()
    for number in list(run.held):
        run.hang_up(number)
    for reader in run.readers:
        reader.join(LIVENESS)
    run.check_sanitizers()


def fmt(rate=48000, channels=2, layout="f32", **fields):
    """A format of the scripted layer's script."""
    return dict(rate=rate, channels=channels, layout=layout, **fields)


def noise(frames, channels, seed=1):
    """Interleaved float frames, every channel different, within [-1, 1]."""
    rng = np.random.default_rng(seed)
    return rng.uniform(-1, 1, (frames, channels)).astype(np.float32)


def mono(frames):
    """The mean over channels in float32, channel by channel, as the downmix adds them; 16-bit
    samples are scaled by 1/32767 first."""
    if frames.dtype == np.int16:
        frames = frames.astype(np.float32) / np.float32(32767)
    total = np.zeros(len(frames), np.float32)
    for channel in frames.T:
        total = total + channel
    return total / np.float32(frames.shape[1])


def converted(blocks, rate):
    """What the agent makes of a stream of lists (each an array of frames, channels in columns)
    at `rate`, from a restart: linear interpolation at steps of rate / 16000, each sample read
    from the list's own samples and the last one of the list before, in float32 with every
    operation rounded, clamped, scaled by 32767 and truncated. The algorithm written out plainly,
    a sample at a time."""
    ratio, position, carry, out = rate / 16000, 0.0, None, []
    for block in blocks:
        w = mono(block)
        if carry is not None:
            w = np.concatenate([np.array([carry], np.float32), w])
        p, last = position, len(w) - 1
        while p < last:
            i = int(p)
            v = w[i] + (w[i + 1] - w[i]) * np.float32(p - i)
            v = np.float32(-1) if v < -1 else np.float32(1) if not v < 1 else v
            out.append(int(v * np.float32(32767)))
            p += ratio
        carry, position = w[-1], p - last
    return np.array(out, "<i2").tobytes()


def decimated(frames):
    """What the agent writes for a 48000 Hz stream of `frames` (interleaved float32 frames,
    channels in columns, or int16 for a 16-bit stream) converted without a reset: at a ratio of
    exactly 3 every read position is a whole sample, so output k is the mono mean of frame 3k,
    truncated to 16 bits. The last frame is the carry of a block yet to come. (The shortcut of
    `converted` for that ratio, for streams too long to convert a sample at a time.)"""
    samples = np.clip(mono(frames), -1, 1)
    return (samples[: len(samples) - 1 : 3] * np.float32(32767)).astype("<i2").tobytes()


def difference(sound, expected):
    """Where 16-bit `sound` first leaves `expected`, and how: after the zeros there (if any), from
    which expected sample the sound goes on. From the sample where it left off: zeros put in; from
    as many samples on as there were zeros: a stretch replaced by silence, time kept; further on:
    samples missing; earlier: samples repeated; nowhere near: another conversion."""
    got, want = pcm_samples(sound), pcm_samples(expected)
    n = min(len(got), len(want))
    k = int(np.flatnonzero(got[:n] != want[:n])[0])
    zeros = int(np.argmax(got[k:] != 0)) if any(got[k:]) else len(got) - k
    where = (f"at sample {k} ({k / 16000:.3f} s): got {got[max(k - 3, 0):k + 6].tolist()}, "
             f"expected {want[max(k - 3, 0):k + 6].tolist()}; {zeros} zero samples follow")
    probe = got[k + zeros:k + zeros + 400].tobytes()
    for resume in range(max(k - 8192, 0), min(k + zeros + 8192, len(want) - 400)):
        if len(probe) == 800 and want[resume:resume + 400].tobytes() == probe:
            shift = resume - k
            kind = ("zeros put in" if shift == 0 else
                    "a stretch replaced by silence" if shift == zeros else
                    f"{shift - zeros} samples missing" if shift > zeros else
                    f"{-shift} samples repeated")
            return f"{kind}, {where}; then the sound goes on from expected sample {resume}"
    return f"another conversion, {where}"


def assert_holds(captured, played, to_the_end=True):
    """Between the silence before the player's links and the silence after it ends, the capture
    holds what the agent makes of `played` from some frame on, to the byte; `to_the_end`, until
    the file's end, but for the part of the player's last graph cycle that the file does not
    fill, which it may drop."""
    samples = pcm_samples(captured)
    heard = np.flatnonzero(samples)
    assert len(heard), "nothing heard"
    sound = samples[heard[0]: heard[-1] + 1].tobytes()
    window = sound[2000:6000]
    assert len(window) == 4000, f"only {len(sound)} bytes of sound captured"
    for phase in range(3):
        expected = decimated(played[phase:])
        at = expected.find(window)
        if at >= 0 and at % 2 == 0:
            expected = expected[at - 2000:]
            assert sound == expected[: len(sound)], difference(sound, expected)
            assert not to_the_end or len(expected) - len(sound) < 2 * 2048 // 3, "stops early"
            return
    pytest.fail("the player's sound is not in the capture")


def assert_heard_from_the_start(captured, played):
    """The capture holds every frame of `played` that the conversion reads, from one of the
    file's first three frames on: stretches each the exact conversion of the file from where the
    last one left off. Between two, one run of zeros of at most a graph cycle may stand: time
    the graph passed without the player while it moved the capture to the player's driver, which
    the agent keeps as time (a cycle of zeros read through the conversion moves its read grid)."""
    samples = pcm_samples(captured)
    heard = np.flatnonzero(samples)
    assert len(heard), "nothing heard"
    sound = samples[heard[0]: heard[-1] + 1]
    zero = np.concatenate([[False], sound == 0, [False]]).astype(np.int8)
    starts, ends = np.flatnonzero(np.diff(zero) == 1), np.flatnonzero(np.diff(zero) == -1)
    gaps = [(a, b) for a, b in zip(starts, ends) if b - a >= 8]  # noise is never 8 zeros long
    assert len(gaps) <= 1 and all(b - a <= 683 for a, b in gaps), f"gaps of zeros: {gaps}"
    edges = [0, *[e for gap in gaps for e in gap], len(sound)]
    last = -1  # the file's last frame read so far
    for begin, end in zip(edges[::2], edges[1::2]):
        piece = sound[begin:end]
        for phase in range(3):
            first = -(-(last + 1 - phase) // 3)  # this phase's first read after `last`
            expected = np.frombuffer(decimated(played[phase:]), "<i2")
            if np.array_equal(expected[first:first + len(piece)], piece):
                last = phase + 3 * (first + len(piece) - 1)
                break
        else:
            pytest.fail(f"samples {begin} to {end} of the sound are not the file's conversion "
                        f"from frame {last + 1} on, within the conversion's step")
    # but for the part of the player's last cycle that the file does not fill, which it may drop
    assert last >= len(played) - 2048 - 3, "stops early"


# --- a private PipeWire server with real players --------------------------------------------


class PipeWire:
    """The private stack of scripts/private-pipewire.sh, with pw-dump views and players."""
    SCRIPT = "private-pipewire.sh"
    SERVER = ("PRIVATE_PIPEWIRE_SERVER_PID", "PRIVATE_PIPEWIRE_WIREPLUMBER_PID")
    PLAYER = "pw-play"

    def __init__(self, work):
        self.work = work
        self.runner = subprocess.Popen([str(ROOT / "scripts" / self.SCRIPT), str(work)],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.read_env()
        self.players, self.agents = [], []

    def read_env(self):
        env_file = self.work / "env"
        while not env_file.exists():
            if self.runner.poll() is not None:
                pytest.fail(f"{self.SCRIPT} did not start:\n" +
                            self.runner.stderr.read().decode(errors="replace"))
            time.sleep(0.05)
        self.vars = dict(line.split("=", 1) for line in env_file.read_text().splitlines())
        self.env = dict(os.environ, **self.vars)

    def kill_server(self):
        """SIGKILL to the server (and its session manager): the script starts them again on
        restart()."""
        (self.work / "env").unlink()
        for name in self.SERVER:
            os.kill(int(self.vars[name]), signal.SIGKILL)

    def restart(self):
        self.runner.send_signal(signal.SIGUSR1)
        self.read_env()

    def stop(self):
        for run in self.agents:
            stop_agent(run)
        for player in self.players:
            player.kill()
            player.wait()
        self.runner.terminate()
        self.runner.wait(LIVENESS)

    def run(self, *command, **options):
        return subprocess.run(command, env=self.env, check=True, capture_output=True, **options)

    def dump(self):
        # While the graph changes, pw-dump may print the changes after the whole: the first
        # document is the graph.
        return json.JSONDecoder().raw_decode(self.run("pw-dump").stdout.decode())[0]

    def props(self, kind):
        """The properties of every global of one kind ("Node", "Link", "Client", ...)."""
        return {o["id"]: o["info"].get("props", {}) for o in self.dump()
                if o["type"] == f"PipeWire:Interface:{kind}" and o.get("info")}

    def links_into(self, node_name):
        nodes = self.props("Node")
        ids = [i for i, p in nodes.items() if p.get("node.name") == node_name]
        return [p for p in self.props("Link").values() if p.get("link.input.node") in ids]

    @staticmethod
    def nodes_of(dump, pid):
        """The names of the nodes of a process's clients, by their ids."""
        clients = {o["id"] for o in dump if o["type"].endswith("Client") and
                   o["info"]["props"].get("pipewire.sec.pid") == pid}
        return {o["id"]: o["info"]["props"].get("node.name") for o in dump
                if o["type"].endswith("Node") and o["info"]["props"].get("client.id") in clients}

    def playing(self, pid, sink="test-sink"):
        """Whether a stream of the process is linked into the sink."""
        dump = self.dump()
        nodes = self.nodes_of(dump, pid)
        sink = [o["id"] for o in dump if o["type"].endswith("Node") and
                o["info"]["props"].get("node.name") == sink]
        return any(o["type"].endswith("Link") and o["info"]["output-node-id"] in nodes and
                   o["info"]["input-node-id"] in sink for o in dump)

    def play_command(self, command):
        """A process of this stack's, stopped with it."""
        self.players.append(subprocess.Popen(command, env=self.env))
        return self.players[-1]

    def play(self, samples, sink=None):
        """pw-play of float samples at 48000 Hz (frames in rows) to `sink` (the default one),
        once it plays."""
        path = self.work / f"played{len(self.players)}.wav"
        write_float_wav(path, samples, 48000)
        player = self.play_command(["pw-play", *(["--target", sink] if sink else []), path])
        until(lambda: self.playing(player.pid, sink or "test-sink"), what="the player to play")
        return player

    def add_sink(self, name):
        """A stereo null sink at 48000 Hz besides the test sink, for players of a test's own."""
        self.run("pw-cli", "create-node", "adapter", "{ factory.name=support.null-audio-sink "
                 f"node.name={name} media.class=Audio/Sink object.linger=true "
                 "audio.position=[FL FR] audio.rate=48000 monitor.channel-volumes=true }")
        until(lambda: name in str(self.props("Node")), what=f"the sink {name}")

    def agent(self, args, tmp, env=None, **options):
        self.agents.append(Agent(args, tmp, env=dict(self.vars, **(env or {})), **options))
        return self.agents[-1]


def write_float_wav(path, samples, rate):
    data = np.ascontiguousarray(samples, "<f4").tobytes()
    channels = samples.shape[1]
    path.write_bytes(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                     struct.pack("<IHHIIHH", 16, 3, channels, rate, rate * 4 * channels,
                                 4 * channels, 32) + b"data" + struct.pack("<I", len(data)) + data)


@pytest.fixture(scope="module")
def pipewire(tmp_path_factory):
    stack = PipeWire(tmp_path_factory.mktemp("pipewire"))
    yield stack
    stack.stop()


class PulseAudio(PipeWire):
    """The private daemon of scripts/private-pulseaudio.sh, with paplay players and pactl."""
    SCRIPT = "private-pulseaudio.sh"
    SERVER = ("PRIVATE_PULSEAUDIO_PID",)
    PLAYER = "paplay"

    def listed(self, kind):
        return json.loads(self.run("pactl", "-f", "json", "list", kind).stdout)

    def playing(self, pid, sink="test-sink"):
        """Whether a stream of the process plays into the sink."""
        names = {s["index"]: s["name"] for s in self.listed("sinks")}
        return any(i["properties"].get("application.process.id") == str(pid) and
                   names.get(i["sink"]) == sink and not i["corked"]
                   for i in self.listed("sink-inputs"))

    def play(self, samples, sink=None, rate=48000):
        """paplay of float samples (frames in rows; six channels are 5.1) to `sink` (the default
        one), once it plays."""
        path = self.work / f"played{len(self.players)}.wav"
        write_float_wav(path, samples, rate)
        surround = ["--channel-map=front-left,front-right,front-center,lfe,rear-left,rear-right"]
        player = self.play_command(["paplay", *(["-d", sink] if sink else []),
                                    *(surround if samples.shape[1] == 6 else []), path])
        until(lambda: self.playing(player.pid, sink or "test-sink"), what="the player to play")
        return player

    def add_sink(self, name, rate=48000, channels=2):
        self.run("pactl", "load-module", "module-null-sink", f"sink_name={name}", f"rate={rate}",
                 f"channels={channels}", "format=float32le")


@pytest.fixture(scope="module")
def pulseaudio(tmp_path_factory):
    daemon = PulseAudio(tmp_path_factory.mktemp("pulseaudio"))
    yield daemon
    daemon.stop()


def level_dbfs(pcm):
    """The RMS level of 16-bit PCM in dB below full scale."""
    samples = pcm_samples(pcm).astype(np.float64) / 32767
    return 10 * np.log10(max(np.mean(samples ** 2), 1e-20))


def pcm_samples(pcm):
    return pcm if isinstance(pcm, np.ndarray) else np.frombuffer(bytes(pcm), "<i2")

