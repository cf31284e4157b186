"""--wait on the scripted audio layer: a processes-mode request with nothing to hear yet waits,
silently, for a requested process to become an audio process, and then starts as any start
does; it ends with status 3 once no requested process lives."""
import signal
import subprocess
import time

import pytest

from conftest import decimated, noise
from following import CAN_TAKE_PIDS, take_pid

NOTHING = "none of the requested processes are audio processes yet; is the app playing sound?"
NONE_LIVES = "none of the requested processes exists"


@pytest.fixture
def sleepers():
    started = [subprocess.Popen(["sleep", "60"]) for _ in range(2)]
    yield started
    for process in started:
        process.kill()
        process.wait()


@pytest.mark.parametrize("tree", [[], ["--tree"]], ids=["pids", "tree"])
def test_a_process_that_plays_a_second_later_is_heard_from_its_first_cycle(agent, tmp_path,
                                                                           sleepers, tree):
    pid = sleepers[0].pid
    source = noise(20 * 512, 2)
    (tmp_path / "source.raw").write_bytes(source.tobytes())
    run = agent(["--pids", pid, "--wait", *tree], script={
        "joins": [{"after": 1000, "pid": pid, "object": 7}],
        "source": str(tmp_path / "source.raw"), "steps": [{"deliver": 20, "frames": 512}]})
    time.sleep(0.5)
    assert run.events() == [] and run.proc.poll() is None  # waiting, without a word
    run.wait_until_done()
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    assert next(c for c in run.calls() if c["call"] == "createProcessTap")["processes"] == [7]
    assert bytes(run.out) == decimated(source)


def test_the_wait_ends_with_3_once_no_requested_process_lives(agent, sleepers):
    run = agent(["--wait", "--pids", f"{sleepers[0].pid},{sleepers[1].pid}"], script={})
    for process in sleepers:
        time.sleep(0.3)
        assert run.proc.poll() is None  # one of them may still play
        process.kill()  # and left unreaped: a zombie has ended too
    started = time.monotonic()
    assert run.finish() == 3 and time.monotonic() - started < 1
    assert run.events() == [{"event": "error", "message": NONE_LIVES}]


@pytest.mark.parametrize("args", [["--pids", "9000042"], ["--pids", "9000042", "--tree"],
                                  ["--pids", "9000042", "--wait"]])
def test_a_request_of_no_live_process_ends_at_once(agent, args):
    run = agent(args, script={"pids": {"9000042": 7}})
    assert run.finish() == 3
    assert run.events() == [{"event": "error", "message": NONE_LIVES}]


@pytest.mark.skipif(not CAN_TAKE_PIDS, reason="taking a pid needs root, on Linux")
def test_a_stranger_that_takes_the_pid_of_the_waited_for_process_ends_the_wait(agent, sleepers):
    listed = sleepers[0]
    run = agent(["--wait", "--pids", listed.pid], script={})
    time.sleep(0.3)
    listed.kill()
    listed.wait()
    stranger = take_pid(listed.pid, lambda: subprocess.Popen(["sleep", "60"]))
    try:
        assert run.finish() == 3
    finally:
        stranger.kill()
        stranger.wait()
    assert run.events() == [{"event": "error", "message": NONE_LIVES}]
