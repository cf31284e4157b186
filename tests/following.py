"""Target following as a table, run on the scripted audio layer (tests/agent/test_targets.py)
and on PipeWire (tests/pipewire/test_targets.py): who the command line names, who plays from
the start, who starts to play once the agent runs, and who is heard in the end.

The roles are processes: A and B; T, whose child K and grandchild G play; X, a listed process
that ends once the agent runs, whereupon S, a stranger, takes its pid and plays; D, a listed
process that ended before the agent started, whose pid R, a stranger, takes while the agent
waits."""
import os
import subprocess
import sys

import pytest

CASES = {
    "a listed process that plays late is heard": ("--pids A,B", "A", "B", "AB"),
    "an excluded process that plays late stays out": ("--global --exclude-self B", "A", "B", "A"),
    "a child and a grandchild of a listed tree are heard": ("--pids A,T --tree", "A", "KG", "AKG"),
    "without --tree a child is not heard": ("--pids A,T", "A", "KG", "A"),
    "an excluded tree stays out": ("--global --tree --exclude-self T", "A", "KG", "A"),
    "a stranger with a listed pid is not heard": ("--pids A,X", "A", "S", "A"),
    "a stranger with an excluded pid is heard": ("--global --exclude-self X", "A", "S", "AS"),
    "a stranger with the pid of one dead at start is not heard": ("--pids A,D --wait", "", "RA",
                                                                  "A"),
}

# Handing a process a pid of our choice needs root, and Linux's ns_last_pid.
CAN_TAKE_PIDS = os.geteuid() == 0 and os.path.exists("/proc/sys/kernel/ns_last_pid")


def cases():
    """The table as pytest parameters; the cases with a stranger need a pid handed out again."""
    return [pytest.param(*case, id=name, marks=[pytest.mark.skipif(
        ("S" in case[2] or "R" in case[2]) and not CAN_TAKE_PIDS,
        reason="taking a pid needs root, on Linux")])
        for name, case in CASES.items()]


def arguments(line, pids):
    """The command line with each role replaced by its pid."""
    return [",".join(str(pids[role]) for role in word.split(",")) if word[0] != "-" else word
            for word in line.split()]


def take_pid(pid, start):
    """Starts a process with `start(pid)`, which must start one, until it gets `pid`: the kernel
    hands out the pid after the one written to ns_last_pid, unless another process starts in
    between (the waiting players' shells start a sleep every 50 ms)."""
    for _ in range(200):
        with open("/proc/sys/kernel/ns_last_pid", "w") as last:
            last.write(str(pid - 1))
        process = start()
        if process.pid == pid:
            return process
        process.kill()
        process.wait()
    pytest.fail(f"pid {pid} was not handed out again")


def children(pid):
    if sys.platform.startswith("linux"):
        with open(f"/proc/{pid}/task/{pid}/children") as listed:
            return [int(child) for child in listed.read().split()]
    found = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True)
    return [int(child) for child in found.stdout.split()]


def command_of(pid):
    """A process's command name, or None once it has ended (a child listed a moment ago may,
    before its entry is opened or while it is read)."""
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except (FileNotFoundError, ProcessLookupError):
        return None


def start_apart(start, args, **options):
    """Starts the agent with `start` (an agent fixture) under a shell of its own, so that the
    processes of the test are no descendants of its parent: in global mode with --tree the
    parent's whole tree is left out. Its own pid is `run.pid`."""
    from conftest import until
    run = start(args, wrapper=["sh", "-c", '"$@" & wait', "sh"], **options)
    run.pid = until(lambda: children(run.proc.pid), what="the agent")[0]
    return run
