"""How the real agent ends on a real server, and what it leaves behind: nothing, whichever way
it goes, however often it starts and stops, and whatever the host does with its pipes."""
import os
import signal
import time

import pytest

from conftest import LIVENESS, noise, pcm_samples, until

CYCLES = int(os.environ.get("QUENWICK_CYCLES", "6"))
STALL = float(os.environ.get("QUENWICK_STALL_SECONDS", "3"))


@pytest.fixture(scope="module")
def player(pipewire):
    player = pipewire.play(noise(48000 * 600, 2, seed=7) * 0.25)
    yield player
    player.kill()


def leftovers(pipewire):
    nodes = [p for p in pipewire.props("Node").values() if p.get("node.name") == "quenwick-capture"]
    return nodes, pipewire.links_into("quenwick-capture")


def end_by_sigterm(run):
    run.signal(signal.SIGTERM)
    return 0


def end_by_sigkill(run):
    run.signal(signal.SIGKILL)
    return -signal.SIGKILL


def end_by_closing_stdout(run):
    run.hang_up()
    return 0


ENDINGS = [end_by_sigterm, end_by_sigkill, end_by_closing_stdout]


@pytest.mark.parametrize("cycle", range(CYCLES))
def test_every_way_of_ending_leaves_no_node_or_link_behind(pipewire, player, tmp_path, cycle):
    run = pipewire.agent(["--pids", player.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    until(lambda: any(pcm_samples(run.read_held(1)[-2000:])), what="the player's sound")
    assert len(leftovers(pipewire)[1]) == 2  # FL and FR of the player, one each
    status = ENDINGS[cycle % len(ENDINGS)](run)
    assert run.finish() == status
    assert [e["event"] for e in run.events()] == ["creating_tap", "format", "running"]
    until(lambda: leftovers(pipewire) == ([], []), what="our node and links to go")


def test_a_host_that_stops_reading_stalls_nothing_and_gets_whole_samples_after(
        pipewire, player, tmp_path):
    run = pipewire.agent(["--pids", player.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    time.sleep(STALL)  # the pipe fills and the agent's writes wait
    got = bytearray()
    started = time.monotonic()
    while time.monotonic() - started < 1:
        got += run.read_held(1)
    assert len(got) % 2 == 0 and any(pcm_samples(got))
    # The graph went on: the player's stream still runs, and the agent follows again.
    assert pipewire.playing(player.pid)
    time.sleep(STALL)
    started = time.monotonic()
    run.signal(signal.SIGTERM)  # while its writes wait again
    assert run.finish() == 0 and time.monotonic() - started < 2.5


def test_closing_standard_output_ends_the_agent_silently_with_0(pipewire, player, tmp_path):
    run = pipewire.agent(["--pids", player.pid], tmp_path, stdout="held")
    run.wait_for_event("running")
    run.hang_up()
    assert run.finish(LIVENESS) == 0
    assert len(run.events()) == 3
