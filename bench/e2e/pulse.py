#!/usr/bin/env python3
"""End-to-end figures of the agent on a running PulseAudio server (PulseAudio itself, or
PipeWire's; bench/e2e/run-pulseaudio starts a private one of each): CPU per minute of captured
audio beside `parec | sox` as a user would record the default sink's monitor, and the latency
from a block handed to the server to its bytes on standard output, for both.

    pulse.py QUENWICK PULSE_BURST_PLAYER WORKDIR LABEL
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

from e2e import cpu_seconds, drain, start_agent, stop

# What a user types to record what the default sink plays as 16 kHz mono s16.
PAREC_SOX = ("parec -d @DEFAULT_MONITOR@ --raw --format=float32le --rate=48000 --channels=2 | "
             "sox -t raw -r 48000 -c 2 -e floating-point -b 32 - -t raw -r 16000 -c 1 -e signed "
             "-b 16 -")


def wait_until_playing(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        inputs = json.loads(subprocess.run(["pactl", "-f", "json", "list", "sink-inputs"],
                                           capture_output=True, text=True).stdout or "[]")
        if any(i["properties"].get("application.process.id") == str(pid) for i in inputs):
            return
        time.sleep(0.05)
    sys.exit(f"process {pid} never played")


def start_parec_sox(stdout):
    """parec | sox in a process group of their own, so that both stop together."""
    return subprocess.Popen(["sh", "-c", PAREC_SOX], stdout=stdout, stderr=subprocess.DEVNULL,
                            process_group=0)


def group_cpu_seconds(shell):
    """CPU seconds of the shell's children (parec and sox)."""
    with open(f"/proc/{shell.pid}/task/{shell.pid}/children") as listed:
        return sum(cpu_seconds(int(pid)) for pid in listed.read().split())


def stop_group(process):
    os.killpg(process.pid, 15)
    process.wait()


def cpu_per_minute(quenwick, work, seconds):
    """The agent and parec | sox capture the same noise in the same minute, each measured from a
    second after both started."""
    noise = os.path.join(work, "noise.wav")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point",
                    noise, "synth", str(seconds + 4), "whitenoise", "vol", "0.3"], check=True)
    player = subprocess.Popen(["paplay", noise])
    wait_until_playing(player.pid)
    agent, _ = start_agent(quenwick, player.pid, stdout=subprocess.PIPE)
    drain(agent.stdout)
    theirs = start_parec_sox(subprocess.PIPE)
    drain(theirs.stdout)
    time.sleep(1)
    before = cpu_seconds(agent.pid), group_cpu_seconds(theirs)
    time.sleep(seconds)
    after = cpu_seconds(agent.pid), group_cpu_seconds(theirs)
    stop(agent)
    stop_group(theirs)
    player.kill()
    player.wait()
    return [(b - a) / (seconds / 60) for a, b in zip(before, after)]


def latencies(start, burst_player, seconds=12):
    """Milliseconds from each burst's block handed to the server to its first loud sample on the
    standard output of `start(player pid)`."""
    player = subprocess.Popen([burst_player, str(seconds)], stdout=subprocess.PIPE, text=True)
    wait_until_playing(player.pid)
    capture, finish = start(player.pid)
    handed = []

    def read_player():
        for line in player.stdout:
            handed.append(int(line.split()[1]))
    reader = threading.Thread(target=read_player)
    reader.start()
    arrivals, quiet, pending = [], 0, b""
    deadline = time.monotonic() + seconds + 3
    while time.monotonic() < deadline and player.poll() is None:
        chunk = os.read(capture.stdout.fileno(), 65536)
        now = time.monotonic_ns()
        if not chunk:
            break
        data = pending + chunk
        pending = data[len(data) // 2 * 2:]
        for sample in memoryview(data[: len(data) // 2 * 2]).cast("h"):
            if abs(sample) > 16000:
                if quiet > 4000:  # a quarter second of quiet: a new burst
                    arrivals.append(now)
                quiet = 0
            else:
                quiet += 1
    finish(capture)
    player.wait()
    reader.join()
    # Each arrival belongs to the latest burst handed over before it.
    return [(a - max(h for h in handed if h <= a)) / 1e6 for a in arrivals
            if any(h <= a for h in handed)]


def main():
    quenwick, burst_player, work, label = sys.argv[1:5]
    seconds = int(os.environ.get("QUENWICK_E2E_SECONDS", "60"))
    server = subprocess.run(["pactl", "info"], capture_output=True, text=True).stdout
    name = next(line.split(": ", 1)[1] for line in server.splitlines()
                if line.startswith("Server Name"))
    print(f"== {label} (server: {name})")
    ours, theirs = cpu_per_minute(quenwick, work, seconds)
    print(f"CPU per minute of 48 kHz stereo captured to 16 kHz mono s16 ({seconds} s measured):")
    print(f"  quenwick            {ours * 1000:8.1f} ms")
    ratio = theirs / ours if ours else float("inf")
    print(f"  parec | sox         {theirs * 1000:8.1f} ms   ({ratio:.1f} x ours)")
    for what, start, finish in (
            ("quenwick", lambda pid: start_agent(quenwick, pid, stdout=subprocess.PIPE)[0], stop),
            ("parec | sox", lambda pid: start_parec_sox(subprocess.PIPE), stop_group)):
        delays = latencies(lambda pid: (start(pid), finish), burst_player)
        if delays:
            print(f"latency, {what:11}: block handed to the server -> bytes on stdout, "
                  f"{len(delays)} bursts: median {statistics.median(delays):.1f} ms, "
                  f"min {min(delays):.1f} ms, max {max(delays):.1f} ms")
        else:
            print(f"latency, {what}: no burst arrived")


if __name__ == "__main__":
    main()
