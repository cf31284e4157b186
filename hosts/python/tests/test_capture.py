"""The package against the real agent: on the scripted audio layer (quenwick-scripted) for every way
a run can end, through both the threads and the asyncio interface; on the project's private
PipeWire with a real player for what a host hears; and installed into a fresh virtual
environment, as a user would."""
import asyncio
import json
import os
import platform
import re
import signal
import subprocess
import sys
import threading
import wave

import numpy as np
import pytest

import quenwick
from quenwick import _agent, _events, _system
from conftest import ROOT, project

BUILD = project.BUILD
LISTED = project.LISTED  # a process that lives through the tests: only such a pid is heard
NOTHING = "none of the requested processes are audio processes yet; is the app playing sound?"
EXISTS = "none of the requested processes exists"
STOPPED = quenwick.Ending(0, None, "stopped")
NOT_PID = "which is not a process id (a whole number from 1 to 2147483647)"


with subprocess.Popen(["true"]) as _ended:  # a process that has ended
    GONE = _ended.pid


@pytest.fixture
def scripted(tmp_path):
    """The options that run the agent on the scripted layer with `script`."""
    def options(script, **more):
        path = tmp_path / f"script{len(list(tmp_path.glob('script*')))}.json"
        path.write_text(json.dumps(script))
        env = dict(os.environ, QUENWICK_SCRIPT=str(path))
        return dict(binary=str(BUILD / "tests" / "quenwick-scripted"), env=env, **more)
    return options


# the options, the exception, its status and message, and the agent's last words when they
# are not the message (None: it had none)
FAILURES = {
    "a command line the agent refuses": ({}, quenwick.UsageError, 1, "give --pids or --global"),
    "a refused tap": ({"pids": [LISTED]}, quenwick.AudioLayerError, 2,
                      "could not create the audio tap (-50). Check System Settings > Privacy & "
                      "Security > Screen & System Audio Recording."),
    "nothing to hear": ({"pids": [os.getpid()]}, quenwick.NothingToHearError, 3, NOTHING),
    "a process that has ended": (
        {"pids": [GONE], "wait_for_audio": 5}, quenwick.NoSuchProcessError, 3,
        f"no requested process is alive (pids {GONE}): each has ended or never existed", EXISTS),
    "no process listed": ({"pids": []}, quenwick.UsageError, None,
                          "pids is empty: list at least one process to hear, or set global_=True",
                          None),
    "a pid that is no process id": ({"pids": [LISTED, 1.5]}, quenwick.UsageError, None,
                                    f"pids holds 1.5, {NOT_PID}", None),
    "a wait of less than nothing": ({"pids": [LISTED], "wait_for_audio": -1},
                                    quenwick.UsageError, None, "wait_for_audio is -1: give True "
                                    "or a number of seconds, 0 or more", None),
    "a report that is no bool": ({"pids": [LISTED], "report": "yes"}, quenwick.UsageError, None,
                                 "report is 'yes': give True or False", None),
    "a quality of neither kind": ({"pids": [LISTED], "quality": "best"}, quenwick.UsageError,
                                  None, "quality is 'best': give 'high' or 'linear'", None),
}
FAILURES = {name: row if len(row) == 5 else row + row[3:] for name, row in FAILURES.items()}


@pytest.mark.parametrize("arguments, kind, status, message, last", FAILURES.values(),
                         ids=FAILURES.keys())
def test_each_failure_is_its_own_exception(scripted, tmp_path, arguments, kind, status, message,
                                           last):
    options = scripted({"pids": {str(LISTED): 7}, "tapStatus": -50}, **arguments)
    with pytest.raises(kind) as failed:
        with quenwick.capture(**options):
            pass
    assert (failed.value.status, failed.value.message, failed.value.event) == (
        status, message, last and quenwick.ErrorEvent(last))
    with pytest.raises(kind):
        asyncio.run(quenwick.awrite_wav(tmp_path / "never.wav", quenwick.acapture(**options)))
    assert not (tmp_path / "never.wav").exists()  # a capture that never starts makes no file


def test_an_agent_killed_or_cancelled_between_format_and_running(scripted, tmp_path):
    held = {"pids": {str(LISTED): 7}, "startBlocks": str(tmp_path / "never")}
    run = quenwick.capture(**scripted(held, pids=[LISTED], on_event=lambda event: isinstance(
        event, quenwick.FormatEvent) and os.kill(run.pid, signal.SIGKILL)))
    with pytest.raises(quenwick.SignalError) as failed:
        run.start()
    assert failed.value.signal == signal.SIGKILL

    async def cancelled():
        formats = asyncio.Queue()
        run = quenwick.acapture(**scripted(held, pids=[LISTED], on_event=formats.put_nowait))
        starting = asyncio.ensure_future(run.start())
        while not isinstance(await formats.get(), quenwick.FormatEvent):
            pass
        starting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await starting
        return await run.wait()

    assert asyncio.run(cancelled()) == quenwick.Ending(None, signal.SIGTERM, "stopped")


# sys.platform, the machine, the agent's name inside the package, and what the error adds where
# no wheel with the agent is published
BIN = ROOT / "hosts" / "python" / "quenwick" / "_bin"
NO_WHEEL = " and no wheel with one is published for this platform ({})"
PLATFORMS = {
    "Linux x86_64": ("linux", "x86_64", "quenwick", ""),
    "a Mac": ("darwin", "arm64", "quenwick", ""),
    "Windows x64": ("win32", "AMD64", "quenwick.exe", ""),
    "FreeBSD": ("freebsd14", "amd64", "quenwick", NO_WHEEL.format("freebsd14-amd64")),
    "Linux riscv64": ("linux", "riscv64", "quenwick", NO_WHEEL.format("linux-riscv64")),
    "Linux on 32-bit ARM": ("linux", "armv7l", "quenwick", NO_WHEEL.format("linux-armv7l")),
    "Windows on ARM": ("win32", "ARM64", "quenwick.exe", NO_WHEEL.format("win32-ARM64")),
}


@pytest.mark.parametrize("system, machine, agent, no_wheel", PLATFORMS.values(),
                         ids=PLATFORMS.keys())
def test_no_agent_to_start_names_where_it_looked_and_the_bundled_one_is_the_platforms(
        monkeypatch, tmp_path, system, machine, agent, no_wheel):
    monkeypatch.setattr(sys, "platform", system)
    monkeypatch.setattr(platform, "machine", lambda: machine)
    # Python 3.12's shutil.which of a faked win32 calls Windows' own API on a PATH to search.
    env = {"PATH": "" if system == "win32" else "/nonexistent"}
    with pytest.raises(quenwick.BinaryNotFoundError) as raised:
        quenwick.capture(pids=[1], env=env).start()
    assert str(raised.value) == ("no quenwick agent: the binary argument is not given, "
                                 f"QUENWICK_BINARY is not set, the package holds no agent "
                                 f"({BIN / agent}){no_wheel}, and there is no quenwick on the PATH")
    with pytest.raises(quenwick.BinaryNotFoundError, match="^" + re.escape(str(raised.value))):
        quenwick.binary_path(env=env)
    assert quenwick.binary_path(env=dict(env, QUENWICK_BINARY="/q")) == "/q"
    assert quenwick.binary_path(binary="/b", env=dict(env, QUENWICK_BINARY="/q")) == "/b"
    # A package that holds an agent of each name gives the platform's.
    monkeypatch.setattr(_agent, "BUNDLED_IN", tmp_path)
    for name in ("quenwick", "quenwick.exe"):
        (tmp_path / name).touch(mode=0o755)
    assert _agent.find_binary(None, env) == str(tmp_path / agent)


# A system the agent cannot serve, as the checks are told it, and the words of the refusal: each
# names what is needed and what was found. There pip installs the wheel without an agent, or the
# agent's loader would refuse it; an agent of one's own is judged by the system's version alone.
CANNOT = "the quenwick agent cannot run on this system: it needs "
GLIBC = CANNOT + "glibc 2.34 or later, and this Linux has "
MACOS = CANNOT + "macOS 14.2 or later (process taps), and this Mac has macOS "
SYSTEMS = {
    "musl": (_system.System("linux", libc=""),
             GLIBC + "another C library (musl, as on Alpine)"),
    "glibc 2.31": (_system.System("linux", libc="glibc 2.31"), GLIBC + "glibc 2.31"),
    "macOS 14.1": (_system.System("darwin", macos="14.1"), MACOS + "14.1"),
    "macOS 13.6.1": (_system.System("darwin", macos="13.6.1"), MACOS + "13.6.1"),
    "Windows 10 22H2": (_system.System("win32", windows_build=19045), CANNOT + "Windows build "
                        "20348 or later (process loopback), and this Windows is build 19045"),
    **{name: (system, None) for name, system in {
        "glibc 2.34": _system.System("linux", libc="glibc 2.34"),
        "glibc 2.100": _system.System("linux", libc="glibc 2.100"),
        "macOS 14.2": _system.System("darwin", macos="14.2"),
        "macOS 15": _system.System("darwin", macos="15.0"),
        "Windows Server 2022": _system.System("win32", windows_build=20348)}.items()},
}


@pytest.mark.parametrize("system, refusal", SYSTEMS.values(), ids=SYSTEMS.keys())
def test_a_system_the_agent_cannot_serve_is_refused_before_it_starts(monkeypatch, tmp_path,
                                                                      system, refusal):
    ran = tmp_path / "ran"
    stand_in = tmp_path / "agent"
    stand_in.write_text(f"#!/bin/sh\ntouch {ran}\n")
    stand_in.chmod(0o755)
    monkeypatch.setattr(_system, "describe", lambda: system)
    monkeypatch.setenv("PATH", str(tmp_path / "nowhere"))
    if refusal is None:
        assert quenwick.binary_path(binary=str(stand_in)) == str(stand_in)
        return
    with pytest.raises(quenwick.BinaryNotFoundError, match="^" + re.escape(refusal) + "$"):
        quenwick.binary_path()  # the wheel without an agent says why
    if system.libc is not None:  # an agent built on the system itself is given the chance
        assert quenwick.binary_path(binary=str(stand_in)) == str(stand_in)
        return
    with pytest.raises(quenwick.BinaryNotFoundError, match="^" + re.escape(refusal) + "$"):
        quenwick.capture(global_=True, binary=str(stand_in)).start()
    assert not ran.exists()


def test_an_agent_that_its_loader_refuses_is_told_by_the_loaders_words(tmp_path):
    loader = ("./quenwick: /lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.34' not found "
              "(required by ./quenwick)")
    (tmp_path / "said").write_text(f"{loader}\n\n")  # a blank line is nothing said
    stand_in = tmp_path / "agent"
    stand_in.write_text(f"#!/bin/sh\ncat {tmp_path / 'said'} >&2\nexit 127\n")
    stand_in.chmod(0o755)
    with pytest.raises(quenwick.QuenwickError) as failed:
        asyncio.run(quenwick.acapture(global_=True, binary=str(stand_in)).start())
    assert (type(failed.value), failed.value.status, failed.value.message) == (
        quenwick.QuenwickError, 127, f"the agent ended with status 127; it wrote:\n{loader}")


# The report and --quality high by default, and without the report exactly the events there were
# before it: the report names the backend first (the scripted layer is Core Audio's). Of a quarter
# of full scale, the linear path's first sample is 8191; the band-limited one's is silence, the
# filter's delay.
CORE_AUDIO = [quenwick.BackendEvent("coreaudio")]
REPORTS = {"the report and --quality high, by default": (
               {}, CORE_AUDIO, [quenwick.PlayingEvent((LISTED,))], 0),
           "no report": ({"report": False}, [], [], 0),
           "the linear path": (
               {"quality": "linear"}, CORE_AUDIO, [quenwick.PlayingEvent((LISTED,))], 8191)}


@pytest.mark.parametrize("arguments, announced, reported, first", REPORTS.values(),
                         ids=REPORTS.keys())
def test_all_the_pcm_the_events_in_order_and_nothing_left_open(scripted, tmp_path, arguments,
                                                               announced, reported, first):
    log = tmp_path / "calls.jsonl"
    source = tmp_path / "quarter.f32"
    source.write_bytes(np.full(2 * 480, 0.25, "<f4").tobytes())
    heard = []
    options = scripted({"pids": {str(LISTED): 7}, "processes": [[7, LISTED]], "playing": [7],
                        "source": str(source), "steps": [{"deliver": 20, "frames": 481}],
                        "log": str(log)},
                       pids=[LISTED], on_event=heard.append, chunk_bytes=1001, **arguments)
    quenwick.capture(**options).stop()  # the package's own thread and loop, made once
    descriptors = os.listdir("/proc/self/fd")
    with quenwick.capture(**options) as run:
        project.until(lambda: log.exists() and '"scripted":"done"' in log.read_text())
        threading.Thread(target=run.stop).start()
        pcm = b"".join(run)
        assert (run.wait(), run.stop()) == (STOPPED, STOPPED)
    assert heard == run.events == [
        *announced, quenwick.CreatingTapEvent(), quenwick.FormatEvent(48000, 2, "processes", (LISTED,)),
        quenwick.RunningEvent(), *reported]
    # 20 lists of 481 frames at 48 kHz: 9620 frames, of which every third from the first.
    assert (len(pcm), int.from_bytes(pcm[:2], "little", signed=True)) == (2 * 3207, first)
    assert os.listdir("/proc/self/fd") == descriptors


def test_a_callback_may_stop_the_capture_and_one_that_raises_ends_it_with_its_error(scripted):
    asked = []
    run = quenwick.capture(**scripted({"pids": {str(LISTED): 7}}, pids=[LISTED], on_event=lambda
                                      event: isinstance(event, quenwick.RunningEvent) and
                                      asked.append(run.stop())))
    with run:  # the callback's stop comes before `with ... as` would name the run
        assert (run.wait(), asked) == (STOPPED, [None])

    def careless(event):
        raise LookupError("careless")
    with pytest.raises(LookupError, match="careless"):
        with quenwick.capture(**scripted({"pids": {str(LISTED): 7}}, pids=[LISTED],
                                         on_event=careless)):
            pass


def test_an_ending_is_read_right_every_time_under_load(scripted):
    # A stop right after the agent has ended must not reap it before asyncio does, which would
    # then report status 255: a window that load makes wide.
    options = scripted({"pids": {str(LISTED): 7}, "steps": [{"deliver": -1, "frames": 480}]},
                       pids=[LISTED])
    load = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(4)]
    endings = []
    try:
        for _ in range(25):
            with quenwick.capture(**options) as run:
                threading.Timer(0.05, run.stop).start()
                for _chunk in run:
                    pass
                endings.append(run.stop())
    finally:
        for process in load:
            process.kill()
            process.wait()
    assert endings == [STOPPED] * 25


def test_waiting_for_audio_ends_at_its_deadline_or_on_stop(scripted):
    with pytest.raises(quenwick.NothingToHearError) as late:
        quenwick.capture(**scripted({}, pids=[LISTED], wait_for_audio=0.6)).start()
    assert (late.value.status, late.value.message) == (3, NOTHING)

    run = quenwick.capture(**scripted({}, pids=[LISTED], wait_for_audio=True))
    threading.Timer(0.4, run.stop).start()
    with run:
        assert run.wait() == quenwick.Ending(None, signal.SIGTERM, "stopped")


# The report's events as the agent writes them (its own suites check when it does) and as a host
# gets them; a line that is no event is skipped.
LINES = {
    '{"event":"playing","pids":[7,8]}': quenwick.PlayingEvent((7, 8)),
    '{"event":"ended","pid":7}': quenwick.EndedEvent(7),
    '{"event":"silence","seconds":3,"advice":"look"}': quenwick.SilenceEvent(3, "look"),
    '{"event":"silence","seconds":3}': quenwick.SilenceEvent(3),
    '{"event":"sound"}': quenwick.SoundEvent(),
    '{"event":"slept","seconds":42}': quenwick.SleptEvent(42),
    '{"event":"ended"}': None,
    "not json": None,
}


@pytest.mark.parametrize("line, event", LINES.items(), ids=LINES.keys())
def test_each_report_line_is_its_event(line, event):
    assert _events.parse_event(line) == event


def tone_player(pipewire):
    wave_ = 0.5 * np.sin(2 * np.pi * 441 * np.arange(48000 * 60) / 48000)
    return pipewire.play(np.stack([wave_, wave_], 1))


def test_installed_into_a_fresh_venv_and_used_as_a_user_would_to_record_a_player(pipewire,
                                                                                  tmp_path):
    subprocess.run([sys.executable, "-m", "venv", tmp_path / "venv"], check=True)
    python = tmp_path / "venv" / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet",
                    ROOT / "hosts" / "python"], check=True)
    player = tone_player(pipewire)
    out = subprocess.run([python, ROOT / "hosts" / "python" / "example" / "record.py",
                          str(player.pid), "1", "out.wav"], cwd=tmp_path, check=True,
                         capture_output=True, text=True,
                         env=dict(pipewire.env, QUENWICK_BINARY=str(BUILD / "quenwick")))
    player.kill()
    with wave.open(str(tmp_path / "out.wav")) as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getsampwidth()) == (16000, 1, 2)
        pcm = np.frombuffer(wav.readframes(wav.getnframes()), "<i2")
    assert abs(project.level_dbfs(pcm[np.flatnonzero(pcm)]) + 9.03) < 0.1
    assert re.sub(r"\d\.\d\d s", "N s", out.stdout) == (
        "BackendEvent(name='pipewire')\nCreatingTapEvent()\nFormatEvent(sample_rate=48000.0, channels=2, mode='processes', "
        f"pids=({player.pid},), changed=False)\nRunningEvent()\n"
        f"PlayingEvent(pids=({player.pid},))\n"
        "Ending(status=0, signal=None, reason='stopped') N s in out.wav\n")
    license = subprocess.run([python, "-c", "import importlib.metadata as m; d = m.distribution("
                              "'quenwick'); print(d.metadata['License-Expression'], "
                              "d.read_text('licenses/LICENSE'))"],
                             check=True, capture_output=True, text=True).stdout
    assert license == f"MIT {(ROOT / 'LICENSE').read_text()}\n"
    # Installed again, editable: the package is then the source where it is edited.
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", "-e",
                    ROOT / "hosts" / "python"], check=True)
    found = subprocess.run([python, "-c", "import quenwick; print(quenwick.__file__)"],
                           cwd=tmp_path, check=True, capture_output=True, text=True).stdout
    assert found == f"{ROOT / 'hosts' / 'python' / 'quenwick' / '__init__.py'}\n"


def test_the_backend_reads_pyproject_on_a_python_without_tomllib_as_tomllib_does():
    sys.path.insert(0, str(ROOT / "hosts" / "python" / "_build"))
    import backend
    import tomllib

    text = (ROOT / "hosts" / "python" / "pyproject.toml").read_text()
    assert backend.read_toml_subset(text) == tomllib.loads(text)


def test_a_restart_of_pipewire_is_heard_through_and_without_recover_ends_the_capture(pipewire):
    tone_player(pipewire)
    options = dict(global_=True, binary=str(BUILD / "quenwick"), env=pipewire.env)
    pcm, told = bytearray(), []  # each recovery event empties the PCM read before it
    kept = quenwick.capture(**options, on_event=lambda event: isinstance(event, (
        quenwick.InterruptedEvent, quenwick.ResumedEvent)) and (told.append(event), pcm.clear()))
    lost = quenwick.capture(recover=False, **options)
    kept.start(), lost.start()
    threading.Thread(target=lambda: [pcm.extend(chunk) for chunk in kept], daemon=True).start()
    project.until(lambda: any(pcm), what="sound")
    pipewire.kill_server()  # and WirePlumber, with SIGKILL
    with pytest.raises(quenwick.AudioLayerError, match="^the audio server went away$"):
        lost.wait()
    pipewire.restart()
    tone_player(pipewire)
    project.until(lambda: len(told) == 2 and any(pcm), what="sound after resuming")
    assert kept.stop() == STOPPED
    assert told == [quenwick.InterruptedEvent("the audio server went away"), quenwick.ResumedEvent()]


def test_the_package_is_clean_under_strict_typing():
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "quenwick",
                              "example/record.py"], cwd=ROOT / "hosts" / "python",
                             capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
