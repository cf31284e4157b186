"""--wait on the scripted Core Audio: a process that becomes an audio process while the agent
waits is heard from its first cycle, with or without its tree. How a wait ends (status 3 once no
requested process lives, by identity) is in the contract's table and run control's."""
import signal
import subprocess
import time

import pytest

from conftest import decimated, noise



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
    run.wait_for_event("running")  # SIGTERM is handled from then on
    run.signal(signal.SIGTERM)
    assert run.finish() == 0
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    assert next(c for c in run.calls() if c["call"] == "createProcessTap")["processes"] == [7]
    assert bytes(run.out) == decimated(source)


