"""How a running agent ends, on the scripted audio layer, with a host that goes away, closes
its pipes, stops reading or sends signals."""
import fcntl
import os
import pathlib
import resource
import shutil
import signal
import tempfile
import time

import pytest

from conftest import LISTED, BUILD, LINUX_ONLY, NOTHING, SANITIZED, decimated, noise, until
from contract import Orphanage

FOREVER = {"pids": {str(LISTED): 7}, "steps": [{"pace": 2000}, {"deliver": -1, "frames": 512}]}
TEARDOWN = ["stop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"]


@pytest.fixture
def orphan(agent):
    """The agent below a parent the test can kill: start, kill_parent, exit_status."""
    orphanage = Orphanage()
    yield (lambda args, **options: orphanage.start(agent, args, **options),
           orphanage.kill_parent, orphanage.exit_status)
    orphanage.close()


# when the parent goes (waiting is the contract's row): while running, while the start-up is slow
# (after "creating_tap"), or while a call into the audio layer never returns, when what was made
# cannot safely go
EVERYTHING = {"taps": 1, "devices": 1, "device first": True}


@pytest.mark.parametrize("setting, reached, slow, left", [
    ({}, "running", 0, NOTHING), ({"slowTap": 1500}, "creating_tap", 1.5, NOTHING),
    ({"startBlocks": "/nonexistent"}, "starting", 0, EVERYTHING)],
    ids=["running", "slow", "stuck"])
def test_the_parent_going_away_ends_the_agent_with_parent_exited(orphan, setting, reached, slow,
                                                                 left):
    start, kill_parent, exit_status = orphan
    run = start(["--pids", str(LISTED)], script=dict(FOREVER, **setting))
    if reached == "starting":
        until(lambda: {"scripted": "starting"} in run.log_lines(), what="the start call")
    else:
        run.wait_for_event(reached)
    started = time.monotonic()
    kill_parent(run)
    assert exit_status(run) == 0 and time.monotonic() - started < 2.5 + slow
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
    assert run.left_behind() == left


def test_a_parent_that_dies_while_sigterm_tears_down_adds_no_line(orphan):
    # The host stops the agent, then dies while the device's stop hangs: the first way out is
    # the one taken, and the teardown's watchdog ends the agent without a word.
    start, kill_parent, exit_status = orphan
    run = start(["--pids", str(LISTED)], script=dict(FOREVER, stopBlocks="/nonexistent"))
    run.wait_for_event("running")
    os.kill(run.pid, signal.SIGTERM)
    until(lambda: {"scripted": "stopping"} in run.log_lines(), what="the stop call")
    kill_parent(run)
    assert exit_status(run) == 0
    assert run.events()[-1] == {"event": "running"}


@LINUX_ONLY  # /proc/PID/fd
def test_a_full_standard_error_holds_an_ending_agent_a_second_at_most(orphan):
    start, kill_parent, exit_status = orphan
    run = start(["--pids", str(LISTED)], script=FOREVER, stderr="held")
    run.wait_for_event("running")
    # A stalled log reader: the pipe is full when the agent's last line is due.
    stuffing = os.open(f"/proc/{run.pid}/fd/2", os.O_WRONLY | os.O_NONBLOCK)
    with pytest.raises(BlockingIOError):
        while True:
            os.write(stuffing, b"x" * 4096)
    started = time.monotonic()
    kill_parent(run)
    assert exit_status(run) == 0 and time.monotonic() - started < 3.5
    os.close(stuffing)


@pytest.mark.skipif(os.geteuid() != 0, reason="running the agent as another user needs root")
def test_a_parent_of_another_user_is_not_taken_for_gone(agent):
    # The agent runs as nobody, from a folder nobody may enter: the build tree may be closed to
    # other users (a clone in /root).
    shared = pathlib.Path(tempfile.mkdtemp())
    shared.chmod(0o755)
    scripted = shutil.copy(BUILD / "tests" / "quenwick-scripted", shared)
    run = agent(["--pids", str(LISTED)], script=FOREVER, user=65534, tmp=shared, program=scripted)
    run.wait_for_event("running")
    time.sleep(2.5)
    assert run.proc.poll() is None and len(run.events()) == 3
    run.stop()


@LINUX_ONLY  # pipe sizes, /proc/PID/syscall
def test_sigterm_while_running_is_being_written_tears_down(agent, tmp_path):
    # A host may stop the agent the moment it reads "running". Held at that line by a slow log
    # reader's pipe that has room for every line before it, the agent must be stopping by then.
    (tmp_path / "sizing").mkdir()
    first = agent(["--pids", str(LISTED)], script=FOREVER, tmp=tmp_path / "sizing")
    first.wait_for_event("running")
    before = bytes(first.err).index(b'{"event":"running"}')
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    os.write(write_end, b"x" * (4096 - before - 10))  # ten bytes short of the running line
    run = agent(["--pids", str(LISTED)], script=FOREVER, stderr=write_end)
    os.close(write_end)
    until(lambda: blocked_writing(run.proc.pid, len(b'{"event":"running"}\n')), what="the line")
    run.signal(signal.SIGTERM)
    with open(read_end, "rb") as log_reader:
        log_reader.read()
    assert run.finish() == 0
    assert [c["call"] for c in run.calls()][-4:] == TEARDOWN


def blocked_writing(pid, size):
    """Whether the main thread waits in a write of `size` bytes to standard error."""
    call = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()  # "running" when in none
    return len(call) > 3 and call[1] == "0x2" and int(call[3], 16) == size


def block_signals():
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGPIPE})


def IGNORE_SIGPIPE():
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def sigterm(run):
    run.signal(signal.SIGTERM)


# Each way out and what it leaves: a host that blocked SIGTERM and SIGPIPE, or ignored SIGPIPE,
# before it started the agent; a full disk; a device whose destruction ends after its call
# returned, its tap refusing to go until then; a stop that hangs, after SIGTERM or a failure,
# which the watchdog ends without touching the rest.
@pytest.mark.parametrize("setting, setup, end, status, left", [
    ({}, block_signals, sigterm, 0, NOTHING),
    ({}, block_signals, "hang up", 0, NOTHING),
    ({}, IGNORE_SIGPIPE, "hang up", 0, NOTHING),
    ({}, None, "/dev/full", 2, NOTHING),
    ({"tapStaysFor": 3}, None, sigterm, 0, NOTHING),
    ({"stopBlocks": "/nonexistent"}, None, sigterm, 0, EVERYTHING),
    ({"startStatus": 1, "stopBlocks": "/nonexistent"}, None, None, 2, EVERYTHING),
], ids=["blocked, SIGTERM", "blocked, output closed", "SIGPIPE ignored, output closed",
        "disk full", "device goes later", "stop hangs", "a failed start's stop hangs"])
def test_each_way_out_leaves_nothing_behind_where_it_safely_can(agent, setting, setup, end,
                                                                  status, left):
    with open("/dev/full" if end == "/dev/full" else os.devnull, "wb") as out:
        run = agent(["--pids", str(LISTED)], script=dict(FOREVER, **setting), preexec_fn=setup,
                    stdout="held" if end == "hang up" else out)
        if end in (sigterm, "hang up"):
            run.wait_for_event("running")
            sigterm(run) if end == sigterm else run.hang_up()
        assert run.finish() == status
    # A failure's message comes first, however its wind-up goes.
    assert status == 0 or run.events()[-1]["event"] == "error"
    assert run.left_behind() == left


def test_sigterm_leaves_the_host_the_sound_it_has_not_read_yet(agent):
    source = noise(30 * 24000, 2)
    run = agent(["--pids", str(LISTED)], stdout="held", script={
        "pids": {str(LISTED): 7}, "source": source, "steps": [{"deliver": 30, "frames": 24000}]})
    run.wait_until_done()
    run.wait_for_event("running")  # SIGTERM is handled from then on
    run.signal(signal.SIGTERM)
    while run.proc.poll() is None:
        run.read_held(1)
    run.read_held(1)
    assert run.finish() == 0
    assert bytes(run.out) == decimated(source)


@LINUX_ONLY  # /proc/PID/fd
@pytest.mark.parametrize("closed", [0, 1, 2])
def test_a_standard_descriptor_closed_at_start_is_never_taken_by_another_file(agent, closed):
    # The first sync waits until the agent serves its queue, when SIGTERM is handled.
    run = agent(["--pids", str(LISTED)], preexec_fn=lambda: os.close(closed), script=dict(
        FOREVER, steps=[{"sync": True}, {"deliver": 20, "frames": 512}]))
    run.wait_until_done()  # every line of the call log must still be JSON: no PCM went there
    # Nor to a pipe of the agent's own, which would swallow it.
    assert os.readlink(f"/proc/{run.proc.pid}/fd/{closed}") == "/dev/null"
    run.stop()
    assert [c["call"] for c in run.calls()][-4:] == TEARDOWN


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's runtime needs descriptors")
def test_an_agent_without_a_main_queue_says_so(agent):
    # With a descriptor for the script but none for the queue's wake-up pipe.
    run = agent(["--pids", str(LISTED)], script=FOREVER,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4)))
    assert run.finish() == 2
    assert run.events() == [{"event": "error", "message": "could not run: Too many open files"}]
