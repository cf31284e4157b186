"""quenwick.exe, the Windows build (build/windows, or QUENWICK_WINDOWS_BUILD), as a process under
Wine: the usage errors line for line, --global ending at the activation that Wine cannot do, a
parent that dies and a host that closes the PCM pipe. Wine has no process loopback, so the runs
that capture use quenwick-steady.exe: the same run control over a capture that always delivers.
A Windows parent that the test can kill is cmd.exe; its /c hands on the agent's exit status."""
import contextlib
import ctypes
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from conftest import LIVENESS, ROOT, until

WINDOWS = pathlib.Path(os.environ.get("QUENWICK_WINDOWS_BUILD", ROOT / "build" / "windows"))
WINE_RUN = [str(ROOT / "scripts" / "wine-run")]
CMD = [*WINE_RUN, r"C:\windows\system32\cmd.exe", "/c"]
STARTED = 60  # seconds: Wine's first start in a fresh prefix is slow

pytestmark = pytest.mark.skipif(not (WINDOWS / "quenwick.exe").exists() or
                                not sys.platform.startswith("linux"),
                                reason="needs the Windows build (cmake --preset windows) and Wine")


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    """Wine's environment: the prefix made (once), and an ALSA whose default device takes and
    plays nothing, so that Wine's audio stack has an output device and says nothing of sound cards
    on standard error."""
    home = tmp_path_factory.mktemp("home")
    (home / ".asoundrc").write_text("pcm.!default { type null }\nctl.!default { type hw card 0 }\n")
    env = {"HOME": str(home)}
    subprocess.run([*WINE_RUN, WINDOWS / "quenwick.exe"], env=dict(os.environ, **env),
                   capture_output=True, timeout=300)
    return env


@pytest.fixture
def quenwick(agent, wine):
    def start(args, program="quenwick.exe", wrapper=CMD, **options):
        path = "Z:" + str(WINDOWS / program).replace("/", "\\")
        return agent(args, program=path, wrapper=wrapper, env=dict(wine, **options.pop("env", {})),
                     **options)
    return start


@pytest.mark.parametrize("args, message", [
    ([], "give --pids or --global"),
    (["--global", "extra"], "unknown argument extra"),
    (["--pids=42"], "unknown argument --pids=42"),
    ([""], "unknown argument "),
    (["--global", "--exclude-self"], "--exclude-self needs a value"),
    (["--pids", "1", "--pids"], "--pids needs a value"),
])
def test_a_bad_command_line_writes_one_line_and_exits_1(quenwick, args, message):
    run = quenwick(args, wrapper=WINE_RUN)
    assert run.finish(STARTED) == 1
    assert bytes(run.err) == b'{"event":"error","message":"%s"}\n' % message.encode()
    assert run.out == b""


def test_global_mode_ends_with_2_where_there_is_no_process_loopback(quenwick):
    run = quenwick(["--global"])
    assert run.finish(STARTED) == 2
    events = run.events()
    assert [e["event"] for e in events] == ["creating_tap", "error"]
    assert "process loopback" in events[-1]["message"] and "20348" in events[-1]["message"]
    assert run.out == b""


def test_the_pcm_is_binary_and_a_host_that_closes_the_pipe_ends_the_agent_with_0(quenwick):
    run = quenwick(["--global"], program="tests/quenwick-steady.exe", stdout="held")
    run.wait_for_event("running", STARTED)
    pcm = bytearray()
    # 1.5 s: longer than the parent watch takes to find a parent gone, which it must not.
    until(lambda: pcm.extend(run.read_held(1)) or len(pcm) >= 48000, what="1.5 s of PCM")
    # Every sample is 0x0A0A (or a zero the timeline owes): text mode would add 0x0D.
    assert b"\r" not in pcm and pcm.count(b"\n\n") > 20000
    run.hang_up()
    assert run.finish() == 0
    events = [e["event"] for e in run.events()]
    assert events[:3] == ["creating_tap", "format", "running"] and set(events[3:]) <= {"format"}


def test_a_host_that_closes_standard_error_ends_the_agent_with_0(quenwick):
    run = quenwick(["--global"], program="tests/quenwick-steady.exe", stderr="held")
    run.wait_for_event("running", STARTED)
    run.hang_up(2)  # the next line, a format change within half a second, finds no reader
    assert run.finish() == 0


@pytest.mark.parametrize("event", ["c", "break"])
def test_ctrl_c_and_ctrl_break_stop_the_agent_as_sigterm_does(quenwick, tmp_path, event):
    """Stopped, the run's capture is torn down and the status is 0; Windows' default handler
    ends the process with 0xC000013A, and Wine's with 0, with nothing torn down."""
    mark = tmp_path / "torn-down"
    run = quenwick(["--global"], program="tests/quenwick-steady.exe", stdin=subprocess.PIPE,
                   env={"QUENWICK_TORN_DOWN": "Z:" + str(mark).replace("/", "\\")},
                   wrapper=[*WINE_RUN, WINDOWS / "tests" / "quenwick-console-event.exe", event])
    run.wait_for_event("running", STARTED)
    run.proc.stdin.write(b"x")
    run.proc.stdin.close()
    status = run.finish()
    if status == 66:
        pytest.skip("this Wine sends no CTRL+BREAK")
    assert (status, mark.exists()) == (0, True)
    assert "error" not in [e["event"] for e in run.events()]


@pytest.fixture
def adopted():
    """The test adopts the processes orphaned below it: Wine starts each Windows process on a
    Unix process of its own, whose Unix parent has left it."""
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER
    found = []

    def process(name):
        def ours():
            for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
                try:
                    fields = stat.read_text().rsplit(")", 1)[1].split()
                    program = (stat.parent / "cmdline").read_bytes().split(b"\0")[0]
                except OSError:
                    continue
                if int(fields[1]) == os.getpid() and program.endswith(name.encode()):
                    return int(stat.parent.name)
        found.append(until(ours, what=f"{name}'s process"))
        return found[-1]

    yield process
    for pid in found:  # one that outlived its parent
        with contextlib.suppress(ProcessLookupError, ChildProcessError):
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    libc.prctl(36, 0, 0, 0, 0)


def test_a_parent_that_dies_ends_the_agent_with_parent_exited_and_0(quenwick, adopted):
    run = quenwick(["--global"], program="tests/quenwick-steady.exe")
    run.wait_for_event("running", STARTED)
    pid = adopted("quenwick-steady.exe")
    os.kill(run.proc.pid, signal.SIGKILL)  # cmd.exe
    run.proc.wait()
    died = time.monotonic()

    def reaped():
        done, status = os.waitpid(pid, os.WNOHANG)
        return done == pid and [os.waitstatus_to_exitcode(status)]
    assert until(reaped, what="the agent's end") == [0] and time.monotonic() - died < 2
    for reader in run.readers:
        reader.join(LIVENESS)
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
