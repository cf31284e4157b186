"""How a running agent ends, on the scripted audio layer, with a host that goes away, closes
its pipes, stops reading or sends signals."""
import ctypes
import os
import signal
import subprocess
import time

import pytest

from conftest import fmt, until

FOREVER = {"pids": {"42": 7}, "steps": [{"pace": 2000}, {"deliver": -1, "frames": 512}]}
TEARDOWN = ["stop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"]


# what the host does once the agent runs, the exit status, and whether the audio objects are
# torn down; no further status line either way
ENDINGS = {
    "SIGTERM": (lambda run: run.signal(signal.SIGTERM), 0, True),
    "SIGINT keeps its default action": (lambda run: run.signal(signal.SIGINT), -signal.SIGINT,
                                        False),
    "standard output closed": (lambda run: run.hang_up(), 0, False),
}


@pytest.mark.parametrize("case", ENDINGS.values(), ids=ENDINGS.keys())
def test_the_host_ends_a_running_agent(agent, case):
    act, status, torn_down = case
    run = agent(["--pids", "42"], script=FOREVER,
                stdout="held" if status == 0 and not torn_down else subprocess.PIPE)
    run.wait_for_event("running")
    act(run)
    assert run.finish() == status
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    calls = [c["call"] for c in run.calls()]
    assert calls[-4:] == TEARDOWN if torn_down else not set(TEARDOWN) & set(calls)


def test_a_format_change_due_on_a_hung_up_standard_error_ends_the_agent_with_0(agent):
    run = agent(["--pids", "42"], script={"pids": {"42": 7}, "steps": [
        {"sleep": 500}, {"change": fmt(channels=1)}, {"notify": "tfmt"}]}, stderr="held")
    run.wait_for_event("running")
    run.hang_up(2)
    assert run.finish() == 0
    assert "destroyProcessTap" not in [c["call"] for c in run.calls()]


def writing_waits(pid):
    tasks = f"/proc/{pid}/task"
    return any(open(f"{tasks}/{t}/wchan").read().endswith("pipe_write") for t in os.listdir(tasks))


def test_sigterm_while_the_host_has_stopped_reading_ends_the_agent_within_two_seconds(agent):
    run = agent(["--pids", "42"], script=dict(FOREVER, steps=[{"deliver": -1, "frames": 4096}]),
                stdout="held")
    run.wait_for_event("running")
    until(lambda: writing_waits(run.proc.pid), what="a write to wait for the host")
    started = time.monotonic()
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and time.monotonic() - started < 3


def test_the_parent_going_away_ends_the_agent_with_parent_exited(agent):
    # This test adopts the orphaned agent, so it can see how it ends; the parent is killed and
    # left unreaped, as a host's own parent may leave it.
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER
    run = agent(["--pids", "42"], script=FOREVER, wrapper=["sh", "-c", '"$@" & wait', "sh"])
    children = f"/proc/{run.proc.pid}/task/{run.proc.pid}/children"
    agent_pid = int(until(lambda: open(children).read().split(), what="the agent")[0])
    run.wait_for_event("running")
    started = time.monotonic()
    os.kill(run.proc.pid, signal.SIGKILL)
    os.waitid(os.P_PID, run.proc.pid, os.WEXITED | os.WNOWAIT)  # dead, not reaped
    _, status = os.waitpid(agent_pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and time.monotonic() - started < 2.5
    assert run.events()[-1] == {"event": "error", "message": "parent exited"}
    assert "destroyProcessTap" not in [c["call"] for c in run.calls()]
    run.proc.wait()
    libc.prctl(36, 0, 0, 0, 0)


@pytest.mark.parametrize("closed", [0, 1, 2])
def test_a_standard_descriptor_closed_at_start_is_never_taken_by_another_file(agent, closed):
    # The first sync waits until the agent serves its queue, when SIGTERM is handled.
    run = agent(["--pids", "42"], preexec_fn=lambda: os.close(closed), script=dict(
        FOREVER, steps=[{"sync": True}, {"deliver": 20, "frames": 512}]))
    run.wait_until_done()  # every line of the call log must still be JSON: no PCM went there
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    assert [c["call"] for c in run.calls()][-4:] == TEARDOWN


def test_standard_input_is_never_read(agent):
    read_end, write_end = os.pipe()
    os.write(write_end, b"x" * 1000)
    run = agent(["--pids", "42"], script=FOREVER, stdin=read_end)
    run.wait_for_event("running")
    time.sleep(0.2)
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    os.set_blocking(read_end, False)
    assert os.read(read_end, 2000) == b"x" * 1000
