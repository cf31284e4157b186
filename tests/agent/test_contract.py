"""The contract's table (tests/contract.py) on the scripted Core Audio and on the scripted
Windows audio stack: the real agent's run control over each backend, each scripted as its
platform answers."""
import subprocess
import time

import pytest

from conftest import BUILD, until
from contract import rows, run_row

# Each layer's script for the roles: P plays from the start, Q lives and has no audio, L becomes
# an audio process half a second after the agent starts; cycles (silence) flow while it runs.
LAYERS = {
    "coreaudio": (None, lambda p: {
        "pids": {str(p["P"]): 7}, "processes": [[7, p["P"]]], "playing": [7],
        "joins": [{"after": 500, "pid": p["L"], "object": 8}],
        "steps": [{"pace": 2000}, {"deliver": -1, "frames": 512}]}),
    "loopback": (BUILD / "tests" / "quenwick-scripted-loopback", lambda p: {
        "sessions": [{"pid": p["P"], "state": "active"}],
        # One that no enumerator lists: the notification alone tells of it.
        "steps": [{"after": 500, "session": {"pid": p["L"], "listed": False}}]}),
}


@pytest.fixture
def roles():
    started = {role: subprocess.Popen(["sleep", "60"]) for role in "PQL"}
    yield started
    for process in started.values():
        process.kill()
        process.wait()


def waiting(run):
    until(run.calls, what="the agent's first look")
    time.sleep(0.3)


@pytest.mark.parametrize("layer", LAYERS)
@pytest.mark.parametrize("args, act, status, lines", rows())
def test_the_contract_holds_on_the_scripted_layer(agent, roles, layer, args, act, status, lines):
    program, script = LAYERS[layer]
    pids = {role: process.pid for role, process in roles.items()}
    run_row(lambda a, **o: agent(a, script=script(pids), program=program, **o), roles, layer,
            args, act, status, lines, waiting)
