#!/usr/bin/env python3
"""A host of the agent, with the standard library only: start quenwick, read its status events
line by line, collect its PCM into a WAV file, stop it after a while and make sense of how it
ended.

    python3 record.py [--agent PATH] [--seconds N] [--out FILE.wav] -- AGENT-ARGUMENTS...
    python3 record.py --seconds 5 --out meeting.wav -- --global --exclude-self $$
"""
import argparse
import json
import signal
import subprocess
import sys
import threading
import wave

SAMPLE_RATE = 16000


def describe_exit(code, last_error):
    if code < 0:
        return f"ended by signal {signal.Signals(-code).name}"
    return {
        0: f"stopped: {last_error}" if last_error else "stopped cleanly",
        1: f"usage error: {last_error}",
        2: f"the audio layer refused: {last_error}",
        3: f"nothing to hear yet: {last_error}",
    }.get(code, f"unexpected exit status {code}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", default="quenwick")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--out", default="capture.wav")
    parser.add_argument("agent_args", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    agent_args = options.agent_args[1:] if options.agent_args[:1] == ["--"] else options.agent_args

    try:
        agent = subprocess.Popen([options.agent, *agent_args], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        print(f"could not start {options.agent}: {error}", file=sys.stderr)
        return 127

    # PCM can arrive before "running": read stdout on its own thread from the start, so the
    # agent never blocks on a full pipe while we wait for status lines.
    pcm = bytearray()
    def collect():
        for chunk in iter(lambda: agent.stdout.read1(65536), b""):
            pcm.extend(chunk)

    reader = threading.Thread(target=collect)
    reader.start()

    last_error = None
    stopper = None
    for raw in agent.stderr:  # one compact JSON object per line
        event = json.loads(raw)
        print(f"event {json.dumps(event, separators=(',', ':'))}", flush=True)
        if event["event"] == "running":
            stopper = threading.Timer(options.seconds, agent.send_signal, (signal.SIGTERM,))
            stopper.start()
        elif event["event"] == "format" and event.get("changed"):
            print(f"format changed to {event['sample_rate']} Hz, {event['channels']} channels")
        elif event["event"] == "error":
            last_error = event["message"]

    code = agent.wait()
    if stopper:
        stopper.cancel()
    reader.join()

    del pcm[len(pcm) - len(pcm) % 2:]  # whole samples only; the agent never splits one
    with wave.open(options.out, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(SAMPLE_RATE)
        out.writeframes(bytes(pcm))
    print(f"exit {code}: {describe_exit(code, last_error)}")
    print(f"wav {options.out}: {len(pcm) // 2} samples, {len(pcm) / 2 / SAMPLE_RATE:.2f} s")
    return code if code >= 0 else 128


if __name__ == "__main__":
    sys.exit(main())
