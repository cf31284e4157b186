#!/usr/bin/env python3
"""End-to-end figures of the agent on a running PipeWire (the bench/e2e script starts a private
one): CPU per minute of captured audio beside pw-record piped into sox and beside the least a
capture client can do (null-capture), the time from exec to the "running" line, and the latency
from a sample handed to the graph to its bytes on stdout.

    e2e.py QUENWICK BURST_PLAYER NULL_CAPTURE WORKDIR

With QUENWICK_E2E_BASELINE naming another build of the agent, it compares the two instead, in
rounds that interleave them on the same players in the same minutes: CPU figures on a shared
machine drift several-fold from one run to the next, so only ratios taken side by side count.
With QUENWICK_E2E_QUALITY=high it compares this build with --quality high against itself with
its default conversion in the same way.
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
    """`quenwick` is the agent's path, or a tuple of it and more arguments."""
    command = [quenwick] if isinstance(quenwick, str) else list(quenwick)
    started = time.monotonic_ns()
    agent = subprocess.Popen([*command, "--pids", str(pid)], stdin=subprocess.DEVNULL,
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


def drain(stream):
    """Reads `stream` to its end on a thread of its own, as a host reads the agent's output."""
    def read():
        while os.read(stream.fileno(), 65536):
            pass
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return reader


def link_to_player(capture_node, player_pid, timeout=5.0):
    """Links the player's two output ports to `capture_node`'s inputs, once both have them."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        outputs = subprocess.run(["pw-link", "-o"], capture_output=True, text=True).stdout
        inputs = subprocess.run(["pw-link", "-i"], capture_output=True, text=True).stdout
        wanted = [(f"pw-play:output_{ch}", f"{capture_node}:input_{ch}") for ch in ("FL", "FR")]
        if all(out in outputs and into in inputs for out, into in wanted):
            for out, into in wanted:
                subprocess.run(["pw-link", out, into], check=True)
            return
        time.sleep(0.05)
    sys.exit(f"could not link the player {player_pid} to {capture_node}")


def cpu_per_minute(quenwick, null_capture, work, seconds=60):
    """The agent, pw-record | sox and null-capture (twice: keeping nothing, and delivering
    silence to a reader) capture the same minute of noise at the same time. Each is measured from a second after they all started to the end: the cost of
    capturing, apart from the start-up, which is measured by itself."""
    noise = os.path.join(work, "noise.wav")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point",
                    noise, "synth", str(seconds + 4), "whitenoise", "vol", "0.3"], check=True)
    player = subprocess.Popen(["pw-play", noise])
    wait_until_audio_process(player.pid)
    agent, _ = start_agent(quenwick, player.pid, stdout=subprocess.PIPE)
    drain(agent.stdout)
    record = subprocess.Popen(["pw-record", "--target", "test-sink", "-P",
                               "{ stream.capture.sink = true }", "--rate", "48000",
                               "--channels", "2", "--format", "f32", "-"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    sox = subprocess.Popen(["sox", "-t", "raw", "-r", "48000", "-c", "2", "-e", "floating-point",
                            "-b", "32", "-", "-t", "raw", "-r", "16000", "-c", "1", "-e", "signed",
                            "-b", "16", "-"], stdin=record.stdout, stdout=subprocess.DEVNULL)
    record.stdout.close()
    floor = subprocess.Popen([null_capture], stderr=subprocess.DEVNULL)
    link_to_player("null-capture", player.pid)
    delivering = subprocess.Popen([null_capture, "--deliver"], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
    drain(delivering.stdout)
    link_to_player("null-deliver", player.pid)
    time.sleep(1)
    measured = (agent.pid, record.pid, sox.pid, floor.pid, delivering.pid)
    before = {pid: cpu_by_thread(pid) for pid in measured}
    time.sleep(seconds)
    after = {pid: cpu_by_thread(pid) for pid in measured}
    for process in (agent, record, sox, floor, delivering):
        stop(process)
    player.wait()
    minutes = seconds / 60
    used = {pid: {thread: after[pid][thread] - before[pid].get(thread, 0.0)
                  for thread in after[pid]} for pid in after}
    names = {agent.pid: "quenwick", record.pid: "pw-record", sox.pid: "sox",
             floor.pid: "null-capture", delivering.pid: "null-deliver"}
    for pid, threads in used.items():
        for thread, seconds_used in sorted(threads.items()):
            print(f"  thread {names[pid]} {thread:26} {seconds_used / minutes * 1000:8.1f} ms per minute")
    ours = sum(used[agent.pid].values())
    theirs = sum(used[record.pid].values()) + sum(used[sox.pid].values())
    least = sum(used[floor.pid].values())
    least_delivering = sum(used[delivering.pid].values())
    return ours / minutes, theirs / minutes, least / minutes, least_delivering / minutes


SURROUND = ["--target", "surround-sink", "--channels", "6", "--channel-map", "FL,FR,FC,LFE,RL,RR"]


def make_surround_sink():
    subprocess.run(["pw-cli", "create-node", "adapter", "{ factory.name=support.null-audio-sink "
                    "node.name=surround-sink media.class=Audio/Sink object.linger=true "
                    "audio.position=[FL FR FC LFE RL RR] audio.rate=48000 }"],
                   check=True, stdout=subprocess.DEVNULL)


def noise_player(work, channels, seconds, place=()):
    noise = os.path.join(work, f"noise{channels}.wav")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", str(channels), "-b", "32", "-e",
                    "floating-point", noise, "synth", str(seconds + 4), "whitenoise", "vol",
                    "0.3"], check=True)
    player = subprocess.Popen(["pw-play", *place, noise])
    wait_until_audio_process(player.pid)
    return player


def cpu_side_by_side(pairs, seconds):
    """CPU per minute of each agent started on each player of `pairs` [(binary, player)], all at
    once, measured from a second after they start."""
    agents = []
    for binary, player in pairs:
        agent, _ = start_agent(binary, player.pid, stdout=subprocess.PIPE)
        drain(agent.stdout)
        agents.append(agent)
    time.sleep(1)
    before = [cpu_seconds(agent.pid) for agent in agents]
    time.sleep(seconds)
    after = [cpu_seconds(agent.pid) for agent in agents]
    for agent in agents:
        stop(agent)
    return [(b - a) / (seconds / 60) for a, b in zip(before, after)]


def surround_cost(quenwick, work, seconds):
    """Two agents in the same minute: one hears a stereo player on the stereo sink, whose channels
    its links sum; the other a six-channel player on a 5.1 sink, whose six ports its capture node
    mixes down itself. On a stereo sink the player's own adapter would mix down instead."""
    make_surround_sink()
    players = [noise_player(work, 2, seconds), noise_player(work, 6, seconds, SURROUND)]
    costs = cpu_side_by_side([(quenwick, player) for player in players], seconds)
    for player in players:
        stop(player)
    return costs


def compare(baseline, quenwick, burst_player, work, seconds, rounds,
            names=("baseline", "this build")):
    """The baseline agent and this one (each a path, or a tuple of a path and arguments), side by
    side: on each round both capture the same stereo player and the same 5.1 player at once (in
    turns as to which starts first), then each measures its latency in turn."""
    named = dict(zip((baseline, quenwick), names))
    make_surround_sink()
    ratios = {"stereo": [], "5.1": []}
    for n in range(rounds):
        players = {"stereo": noise_player(work, 2, seconds),
                   "5.1": noise_player(work, 6, seconds, SURROUND)}
        order = [baseline, quenwick] if n % 2 == 0 else [quenwick, baseline]
        costs = cpu_side_by_side([(binary, player) for player in players.values()
                                  for binary in order], seconds)
        for player in players.values():
            stop(player)
        for i, layout in enumerate(players):
            by = dict(zip(order, costs[2 * i: 2 * i + 2]))
            theirs, ours = by[baseline], by[quenwick]
            ratios[layout].append(ours / theirs)
            print(f"  round {n + 1}, {layout}: {names[0]} {theirs * 1000:7.1f} ms, {names[1]} "
                  f"{ours * 1000:7.1f} ms a minute ({ours / theirs:.3f})", flush=True)
    # The agent that starts second runs later in each cycle, which costs it more here: rounds
    # come in pairs with each order once, and only whole pairs are averaged.
    for layout, values in ratios.items():
        pairs = values[: len(values) // 2 * 2]
        mean = statistics.geometric_mean(pairs) if pairs else float("nan")
        print(f"CPU, {names[1]} against {names[0]}, {layout}: {mean:.3f} (geometric mean of "
              f"{len(pairs)} rounds of {seconds} s, each order in half of them)")
    delays = {baseline: [], quenwick: []}
    for n in range(rounds):
        for binary in ([baseline, quenwick] if n % 2 == 0 else [quenwick, baseline]):
            delays[binary] += latencies(binary, burst_player)[0]
    quantum = latencies(quenwick, burst_player)[1]
    for binary, name in named.items():
        print(f"latency, {name}: median {statistics.median(delays[binary]):.1f} ms over "
              f"{len(delays[binary])} bursts (graph quantum {quantum:.1f} ms)")


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
    quenwick, burst_player, null_capture, work = sys.argv[1:5]
    seconds = int(os.environ.get("QUENWICK_E2E_SECONDS", "60"))
    baseline = os.environ.get("QUENWICK_E2E_BASELINE")
    quality = os.environ.get("QUENWICK_E2E_QUALITY")
    rounds = int(os.environ.get("QUENWICK_E2E_ROUNDS", "6"))
    if baseline:
        compare(baseline, quenwick, burst_player, work, seconds, rounds)
        return
    if quality:
        compare((quenwick,), (quenwick, "--quality", quality), burst_player, work, seconds, rounds,
                ("the default", f"--quality {quality}"))
        return

    ours, theirs, least, least_delivering = cpu_per_minute(quenwick, null_capture, work, seconds)
    print(f"CPU per minute of 48 kHz stereo captured to 16 kHz mono s16 ({seconds} s measured):")
    print(f"  quenwick            {ours * 1000:8.1f} ms")
    print(f"  pw-record | sox     {theirs * 1000:8.1f} ms   ({theirs / ours if ours else float('inf'):.1f} x ours)")
    print(f"  null-capture        {least * 1000:8.1f} ms   (the floor: a client that keeps nothing)")
    print(f"  null-capture --deliver {least_delivering * 1000:5.1f} ms   "
          "(the floor of one that writes each cycle to a reading host)")

    stereo, surround = surround_cost(quenwick, work, seconds)
    print(f"CPU per minute, two agents in one graph: a stereo player {stereo * 1000:.1f} ms, "
          f"a six-channel (5.1) player mixed down {surround * 1000:.1f} ms")

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
