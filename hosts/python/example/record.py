"""Records what a process plays for a few seconds to a WAV file: record.py PID SECONDS OUT.wav"""
import sys
import threading

import quenwick

pid, seconds, out = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
try:
    with quenwick.capture(pids=[pid], wait_for_audio=10, on_event=print) as run:
        threading.Timer(seconds, run.stop).start()
        written = quenwick.write_wav(out, run)
        print(run.wait(), f"{written.seconds:.2f} s in {out}")
except quenwick.QuenwickError as error:
    sys.exit(f"{type(error).__name__} (status {error.status}): {error}")
