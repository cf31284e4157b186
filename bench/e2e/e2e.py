#!/usr/bin/env python3
"""End-to-end figures of the agent on a running PipeWire (the bench/e2e script starts a private
one): CPU per minute of captured audio beside pw-record piped into sox, the time from exec to
the "running" line, and the latency from a sample handed to the graph to its bytes on stdout.

    e2e.py QUENWICK BURST_PLAYER WORKDIR
"""
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

def thread_cpu_seconds(path):
    # schedstat counts time on the CPU in nanoseconds, where stat only has clock ticks.
    with open(f"{path}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


def cpu_by_thread(pid):
    """CPU seconds of each live thread of `pid`, by thread name and id."""
    threads = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/comm") as comm:
            name = comm.read().strip()
        threads[f"{name}/{task}"] = thread_cpu_seconds(f"/proc/{pid}/task/{task}")
    return threads


def cpu_seconds(pid):
    return sum(cpu_by_thread(pid).values())


def wait_until_audio_process(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        dump = subprocess.run(["pw-dump"], capture_output=True, text=True).stdout
        if f'"pipewire.sec.pid": {pid}' in dump:
            return
        time.sleep(0.05)
    sys.exit(f"process {pid} never reached PipeWire")


def start_agent(quenwick, pid, stdout=subprocess.DEVNULL):
    started = time.monotonic_ns()
    agent = subprocess.Popen([quenwick, "--pids", str(pid)], stdin=subprocess.DEVNULL,
                             stdout=stdout, stderr=subprocess.PIPE)
    for line in agent.stderr:
        if b'"running"' in line:
            return agent, (time.monotonic_ns() - started) / 1e6
        if b'"error"' in line:
            sys.exit(f"the agent failed: {line.decode().strip()}")
    sys.exit("the agent ended before running")


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.wait()


def cpu_per_minute(quenwick, work, seconds=60):
    """The agent and pw-record | sox capture the same minute of noise at the same time."""
    noise = os.path.join(work, "noise.wav")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point",
                    noise, "synth", str(seconds + 2), "whitenoise", "vol", "0.3"], check=True)
    player = subprocess.Popen(["pw-play", noise])
    wait_until_audio_process(player.pid)
    agent, _ = start_agent(quenwick, player.pid)
    record = subprocess.Popen(["pw-record", "--target", "test-sink", "-P",
                               "{ stream.capture.sink = true }", "--rate", "48000",
                               "--channels", "2", "--format", "f32", "-"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    sox = subprocess.Popen(["sox", "-t", "raw", "-r", "48000", "-c", "2", "-e", "floating-point",
                            "-b", "32", "-", "-t", "raw", "-r", "16000", "-c", "1", "-e", "signed",
                            "-b", "16", "-"], stdin=record.stdout, stdout=subprocess.DEVNULL)
    record.stdout.close()
    time.sleep(seconds)
    ours = cpu_seconds(agent.pid)
    threads = cpu_by_thread(agent.pid)
    threads.update({f"pw-record {name}": used for name, used in cpu_by_thread(record.pid).items()})
    threads.update({f"sox {name}": used for name, used in cpu_by_thread(sox.pid).items()})
    theirs = cpu_seconds(record.pid) + cpu_seconds(sox.pid)
    for process in (agent, record, sox):
        stop(process)
    player.wait()
    minutes = seconds / 60
    for thread, used in sorted(threads.items()):
        print(f"  thread {thread:34} {used / minutes * 1000:8.1f} ms per minute")
    return ours / minutes, theirs / minutes


def start_times(quenwick, burst_player, runs=20):
    player = subprocess.Popen([burst_player, "600"], stdout=subprocess.DEVNULL)
    wait_until_audio_process(player.pid)
    times = []
    for _ in range(runs):
        agent, elapsed = start_agent(quenwick, player.pid)
        times.append(elapsed)
        stop(agent)
    player.kill()
    player.wait()
    return times


def latencies(quenwick, burst_player, seconds=12):
    player = subprocess.Popen([burst_player, str(seconds)], stdout=subprocess.PIPE, text=True)
    wait_until_audio_process(player.pid)
    agent, _ = start_agent(quenwick, player.pid, stdout=subprocess.PIPE)

    handed = []  # (ns, buffer frames) of each burst
    def read_player():
        for line in player.stdout:
            _, ns, _, frames = line.split()
            handed.append((int(ns), int(frames)))
    reader = threading.Thread(target=read_player)
    reader.start()

    arrivals = []  # ns at which each burst's first loud sample came out of the agent
    quiet = 0
    fd = agent.stdout.fileno()
    pending = b""
    deadline = time.monotonic() + seconds + 3
    while time.monotonic() < deadline:
        chunk = os.read(fd, 65536)
        now = time.monotonic_ns()
        if not chunk:
            break
        data = pending + chunk
        usable = len(data) - len(data) % 2
        pending = data[usable:]
        for i in range(0, usable, 2):
            sample = int.from_bytes(data[i:i + 2], "little", signed=True)
            if abs(sample) > 16000:
                if quiet > 4000:  # a quarter second of quiet: this is a new burst
                    arrivals.append(now)
                quiet = 0
            else:
                quiet += 1
        if player.poll() is not None and len(arrivals) >= len(handed):
            break
    stop(agent)
    player.wait()
    reader.join()
    # Each arrival belongs to the latest burst handed over before it.
    results = []
    for arrival in arrivals:
        earlier = [ns for ns, _ in handed if ns <= arrival]
        if earlier:
            results.append((arrival - earlier[-1]) / 1e6)
    quantum_ms = handed[0][1] / 48.0 if handed else float("nan")
    return results, quantum_ms


def main():
    quenwick, burst_player, work = sys.argv[1:4]
    seconds = int(os.environ.get("QUENWICK_E2E_SECONDS", "60"))

    ours, theirs = cpu_per_minute(quenwick, work, seconds)
    print(f"CPU per minute of 48 kHz stereo captured to 16 kHz mono s16 ({seconds} s measured):")
    print(f"  quenwick            {ours * 1000:8.1f} ms")
    print(f"  pw-record | sox     {theirs * 1000:8.1f} ms   ({theirs / ours if ours else float('inf'):.1f} x ours)")

    times = start_times(quenwick, burst_player)
    print(f"exec to \"running\", {len(times)} starts: median {statistics.median(times):.1f} ms, "
          f"min {min(times):.1f} ms, max {max(times):.1f} ms")

    delays, quantum = latencies(quenwick, burst_player)
    if delays:
        print(f"latency, buffer handed to the graph -> bytes on stdout, {len(delays)} bursts: "
              f"median {statistics.median(delays):.1f} ms, max {max(delays):.1f} ms "
              f"(graph quantum {quantum:.1f} ms)")
    else:
        print("latency: no burst arrived")


if __name__ == "__main__":
    main()
