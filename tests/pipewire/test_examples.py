"""The host examples, run as a host developer would run them against a real player."""
import shutil
import subprocess
import wave

import numpy as np
import pytest

from conftest import BUILD, LIVENESS, ROOT, level_dbfs, pcm_samples

EXAMPLES = {"node": ["node", ROOT / "examples" / "node" / "record.js"],
            "python": ["python3", ROOT / "examples" / "python" / "record.py"]}


@pytest.mark.parametrize("example", EXAMPLES.values(), ids=EXAMPLES.keys())
def test_a_host_example_records_a_player_to_a_wav_file(pipewire, tmp_path, example):
    if not shutil.which(example[0]):
        pytest.skip(f"no {example[0]}")
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(48000 * 30) / 48000)
    player = pipewire.play(np.stack([tone, tone], axis=1))
    out = subprocess.run([*example, "--agent", BUILD / "quenwick", "--seconds", "2", "--out",
                          tmp_path / "capture.wav", "--", "--pids", str(player.pid)],
                         env=pipewire.env, capture_output=True, text=True, timeout=LIVENESS)
    player.kill()
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    assert [line.split('"')[3] for line in lines if line.startswith("event ")] == [
        "creating_tap", "format", "running"]
    assert f'"pids":[{player.pid}]' in out.stdout and "exit 0: stopped cleanly" in lines
    with wave.open(str(tmp_path / "capture.wav")) as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getsampwidth()) == (16000, 1, 2)
        assert 1.5 < wav.getnframes() / 16000 < 3.5
        # A sine at half scale, once its links are made: RMS 0.354, -9.0 dBFS.
        samples = pcm_samples(wav.readframes(wav.getnframes()))
        heard = np.flatnonzero(samples)
        assert abs(level_dbfs(samples[heard[0]: heard[-1] + 1]) + 9.03) < 0.1
