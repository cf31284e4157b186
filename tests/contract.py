"""The contract a host sees of a whole process, as one table run against every backend's model:
the scripted Core Audio and the scripted Windows audio stack (tests/agent/test_contract.py) and
PipeWire on its private server with real players (tests/pipewire/test_contract.py). What run
control decides in itself (silence and sound, who ended, --wait by identity, the format change,
a stop at each step) is run control's in-process table (tests/app/run_control_test.cpp); here
stays what needs a process: exit statuses and their last line, signals, a parent that dies, a
closed or full standard output.

Each row is: the arguments, with the roles P (a process that plays from the start), Q (one that
lives and plays nothing), L (one that plays half a second after the agent starts) and GONE (no
process); what the host does; the exit status; the status lines, in full. A backend that cannot
keep a row passes it to rows() with the reason, which the report shows (each model here
keeps them all; a real Windows, which has no SIGTERM and no subreaper, runs its own tests in
tests/windows); a runner gives each role a process and runs the
agent (run_row)."""
import ctypes
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import LIVENESS, noise, until, write_float_wav

NONE_LIVES = "none of the requested processes exists"
NOT_YET = "none of the requested processes are audio processes yet; is the app playing sound?"
TAP, RUNNING = {"event": "creating_tap"}, {"event": "running"}


def started(mode="processes", *pids):
    return [TAP, {"event": "format", "sample_rate": 48000, "channels": 2, "mode": mode,
                  "pids": list(pids)}, RUNNING]


def error(message):
    return [{"event": "error", "message": message}]


# What the host does: "running"/"waiting" first waits until the agent runs, or until it has
# looked at its processes and waits silently; then SIGTERM, the parent's death, standard output
# closed, or Q ended. "full" starts it with standard output on /dev/full.
ROWS = {
    "a bad command line": (["--pids", "1", "--pids"], None, 1, error("--pids needs a value")),
    "no listed process lives": (["--pids", "GONE"], None, 3, error(NONE_LIVES)),
    "a listed process plays nothing": (["--pids", "Q"], None, 3, error(NOT_YET)),
    "--wait gives up once no listed process lives": (
        ["--pids", "Q", "--wait"], "waiting, Q ends", 3, error(NONE_LIVES)),
    "--wait starts once a listed process plays": (
        ["--pids", "L", "--wait"], "running, SIGTERM", 0, started("processes", "L")),
    "SIGTERM while waiting keeps its default action": (
        ["--pids", "Q", "--wait"], "waiting, SIGTERM", -signal.SIGTERM, []),
    "SIGTERM while running": (["--pids", "P"], "running, SIGTERM", 0, started("processes", "P")),
    "SIGINT keeps its default action": (["--pids", "P"], "running, SIGINT", -signal.SIGINT,
                                        started("processes", "P")),
    "the parent dies while waiting": (
        ["--pids", "Q", "--wait"], "waiting, parent dies", 0, error("parent exited")),
    "the parent dies while running": (
        ["--global"], "running, parent dies", 0, started("global") + error("parent exited")),
    "the host closes standard output": (["--pids", "P"], "running, stdout closed", 0,
                                        started("processes", "P")),
    "a full disk": (["--pids", "P"], "full", 2, started("processes", "P") +
                    error("could not write the audio: No space left on device")),
    "--report: who plays, then a listed process ends": (
        ["--pids", "P,Q", "--report"], "running, Q ends, SIGTERM", 0,
        ["BACKEND", *started("processes", "P", "Q"), {"event": "playing", "pids": ["P"]},
         {"event": "ended", "pid": "Q"}]),
}


def rows(skips=None):
    """The table as pytest parameters, with the rows a backend cannot keep skipped and why."""
    skips = skips or {}
    return [pytest.param(*row, id=name, marks=[pytest.mark.skip(reason=skips[name])]
                         if name in skips else []) for name, row in ROWS.items()]


def placed(value, roles, backend):
    """A row's arguments or lines with each role's pid in its place."""
    if isinstance(value, list):
        return [placed(v, roles, backend) for v in value]
    if isinstance(value, dict):
        return {k: placed(v, roles, backend) for k, v in value.items()}
    if value == "BACKEND":
        return {"event": "backend", "name": backend}
    if isinstance(value, str) and value[:1] != "-":
        words = value.split(",")
        if all(w in roles for w in words):
            pids = [roles[w] for w in words]
            return str(",".join(map(str, pids))) if "," in value else pids[0]
    return value


def server_roles(server, tmp_path, player):
    """The roles on a private server with real players: P a `player` that plays, Q a process with
    no stream, L a `player` that starts half a second later."""
    write_float_wav(tmp_path / "late.wav", noise(48000 * 30, 2, seed=3) * 0.25, 48000)
    started = {"P": server.play(noise(48000 * 30, 2, seed=2) * 0.25),
               "Q": server.play_command(["sleep", "60"]),
               "L": subprocess.Popen(["sh", "-c", f"sleep 0.5; exec {player} late.wav"],
                                     cwd=tmp_path, env=server.env)}
    yield started
    for process in started.values():
        process.kill()
        process.wait()


class Orphanage:
    """Starts the agent below a parent the test can kill (left unreaped, as a host's own parent
    may leave it) and adopts the orphan as the test process's subreaper, to see how it ends."""

    def __init__(self):
        if not sys.platform.startswith("linux"):
            pytest.skip("needs Linux: a subreaper and /proc")
        self.libc = ctypes.CDLL(None, use_errno=True)
        assert self.libc.prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER

    @staticmethod
    def start(start_agent, args, **options):
        # A parent that never reaps: an agent that ends before the parent is killed stays its
        # zombie, and is the test's to reap once adopted.
        run = start_agent(args, wrapper=["sh", "-c", '"$@" & exec sleep 3600', "sh"], **options)
        children = f"/proc/{run.proc.pid}/task/{run.proc.pid}/children"
        run.pid = int(until(lambda: open(children).read().split(), what="the agent")[0])
        return run

    @staticmethod
    def kill_parent(run):
        os.kill(run.proc.pid, signal.SIGKILL)
        os.waitid(os.P_PID, run.proc.pid, os.WEXITED | os.WNOWAIT)

    @staticmethod
    def exit_status(run):
        deadline = time.monotonic() + LIVENESS
        while (reaped := os.waitpid(run.pid, os.WNOHANG))[0] == 0:
            if time.monotonic() > deadline:
                os.kill(run.pid, signal.SIGKILL)
                os.waitpid(run.pid, 0)
                pytest.fail("the orphaned agent did not exit")
            time.sleep(0.01)
        run.proc.wait()
        for reader in run.readers:
            reader.join(LIVENESS)
        return os.waitstatus_to_exitcode(reaped[1])

    def close(self):
        self.libc.prctl(36, 0, 0, 0, 0)


def run_row(start_agent, roles, backend, args, act, status, lines, waiting=None):
    """Runs one row: `start_agent(args, **options)` starts the agent on the backend, `roles` has
    each role's process (Popen), `waiting(run)` returns once a waiting agent has looked."""
    pids = {name: process.pid for name, process in roles.items()}
    pids["GONE"] = 2147483000
    steps = (act or "").split(", ")
    # As a host starts it: a shell's background job would hand the agent SIGINT ignored.
    options = {"preexec_fn": lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)}
    orphanage = Orphanage() if "parent dies" in steps else None
    if "stdout closed" in steps:
        options["stdout"] = "held"
    full = open("/dev/full", "wb") if act == "full" else None
    if full:
        options["stdout"] = full
    try:
        start = (lambda a, **o: orphanage.start(start_agent, a, **o)) if orphanage else start_agent
        run = start(placed(args, pids, backend), **options)
        for step in steps:
            if step == "running":
                run.wait_for_event("running")
            elif step == "waiting":
                waiting(run)
                assert run.events() == [] and run.proc.poll() is None  # waiting, silently
            elif step in ("SIGTERM", "SIGINT"):
                run.signal(getattr(signal, step))
            elif step == "parent dies":
                orphanage.kill_parent(run)
            elif step == "stdout closed":
                run.hang_up()
            elif step == "Q ends":
                roles["Q"].kill()  # left unreaped: a zombie has ended too
                if "--report" in args:
                    run.wait_for_event("ended")
        got = orphanage.exit_status(run) if orphanage else run.finish()
        assert (got, run.events()) == (status, placed(lines, pids, backend))
    finally:
        if orphanage:
            orphanage.close()
        if full:
            full.close()
