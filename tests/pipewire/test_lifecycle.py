"""How the real agent ends on a real server, and what it leaves behind: nothing, whichever way
it goes, however often it starts and stops, and whatever the host does with its pipes."""
import os
import pathlib
import signal
import time

import numpy as np
import pytest

from conftest import PipeWire, assert_holds, noise, pcm_samples, until

CYCLES = int(os.environ.get("QUENWICK_CYCLES", "6"))


@pytest.fixture(scope="module")
def player(pipewire):
    player = pipewire.play(noise(48000 * 600, 2, seed=7) * 0.25)
    yield player
    player.kill()


def leftovers(pipewire):
    nodes = [p for p in pipewire.props("Node").values() if p.get("node.name") == "quenwick-capture"]
    return nodes, pipewire.links_into("quenwick-capture")


# a signal, or none for standard output closed, and the exit status it gives
ENDINGS = [(signal.SIGTERM, 0), (signal.SIGKILL, -signal.SIGKILL), (None, 0)]


@pytest.mark.parametrize("cycle", range(CYCLES))
def test_every_way_of_ending_leaves_no_node_or_link_behind(pipewire, player, tmp_path, cycle):
    run = pipewire.agent(["--pids", player.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    until(lambda: any(pcm_samples(run.read_held(1)[-2000:])), what="the player's sound")
    assert len(leftovers(pipewire)[1]) == 2  # FL and FR of the player, one each
    number, status = ENDINGS[cycle % len(ENDINGS)]
    run.signal(number) if number else run.hang_up()
    assert run.finish() == status
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    until(lambda: leftovers(pipewire) == ([], []), what="our node and links to go")


def monitor_breaks(path, played):
    """The places where a float recording of the sink leaves the played frames: the machine's
    own dropped graph cycles, which no client can help."""
    data = path.read_bytes()
    frames = data[data.find(b"data") + 8:]
    recorded = np.frombuffer(frames[: len(frames) // 8 * 8], np.uint64)
    where = {key: n for n, key in enumerate(played.view(np.uint64).ravel().tolist())}
    heard = np.array([where.get(key, -1) for key in recorded.tolist()])
    heard = heard[heard >= 0]
    assert len(heard) > len(recorded) // 2, f"{path.name} does not hold the played frames"
    return int(np.count_nonzero(np.diff(heard) != 1))


def record_sink(stack, played, path, sink="test-sink"):
    """A player of `played` to `sink` on `stack`, and a recorder of that sink."""
    player = stack.play(played, sink)
    stack.play_command(["pw-record", "--target", sink, "--format", "f32", "-P",
                        "{ stream.capture.sink = true }", path])
    return player


@pytest.fixture
def control(tmp_path):
    """A graph of its own, which the agent is not in."""
    stack = PipeWire(tmp_path / "control")
    yield stack
    stack.stop()


def test_a_host_that_shrinks_its_pipe_and_stalls_disturbs_no_one_and_loses_nothing(
        pipewire, control, tmp_path):
    # The pipe shrinks to a page while the agent runs, and the host stops reading for 2 s, less
    # than the ring holds. Another client's playback, recorded from the sink, must go on
    # undisturbed, and the agent must lose no cycle: PipeWire's data thread never waited in a
    # write. The player has a sink of its own, whose monitor then holds its sound alone. The
    # control is the same player and recorder on a graph of its own that the agent is not in, at
    # the same time: if it breaks too, the machine dropped cycles for every client.
    played = noise(48000 * 20, 2, seed=9) * 0.5
    pipewire.add_sink("stall-sink")
    target = record_sink(pipewire, played, tmp_path / "monitor.wav", "stall-sink")
    record_sink(control, played, tmp_path / "control.wav")
    run = pipewire.agent(["--pids", target.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    run.shrink_held()
    time.sleep(2)
    for _ in range(30):  # the host reads again, and catches up
        run.read_held(1)
        time.sleep(0.05)
    time.sleep(2)  # now a stall that SIGTERM ends
    started = time.monotonic()
    run.signal(signal.SIGTERM)
    assert run.finish() == 0 and time.monotonic() - started < 2.5
    for recorder in (pipewire.players[-1], control.players[-1]):
        recorder.terminate()
        recorder.wait()
    assert len(run.out) % 2 == 0
    if monitor_breaks(tmp_path / "control.wav", played):
        pytest.skip("the machine dropped graph cycles for every client")
    assert monitor_breaks(tmp_path / "monitor.wav", played) == 0
    assert_holds(run.out, played, to_the_end=False)


def real_time_policies(pid):
    """The scheduling policies other than the normal one among a process's threads."""
    policies = set()
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        stat = (task / "stat").read_text()
        policies.add(int(stat[stat.rindex(")") + 2:].split()[38]))  # field 41, "policy"
    return policies - {os.SCHED_OTHER}


def test_the_agent_captures_on_a_real_time_thread_as_a_player_plays_on_one(
        pipewire, player, tmp_path):
    # A graph cycle that the agent's node misses under load is lost to it alone, a cycle of
    # silence in the PCM: its data thread must be scheduled as PipeWire's own players' are.
    run = pipewire.agent(["--pids", player.pid], tmp_path)
    run.wait_for_event("running")
    assert real_time_policies(run.pid) == real_time_policies(player.pid)
