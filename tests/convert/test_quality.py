"""quenwick-convert --quality high held to what a band-limited resampler must give, with exact
signals from scipy.signal and numpy as the references: a sweep within 60 dB of the same sweep
computed at 16 kHz, 42 samples of the lower rate later; tones above 8 kHz at least 70 dB down
(80 dB from 8 kHz on at 48 kHz); the passband flat to 7 kHz; the linear path's sample count at
every rate; the same bytes however the input is cut into blocks."""
import subprocess

import numpy as np
import pytest
from scipy import signal

from conftest import BUILD

CONVERT = BUILD / "tools" / "quenwick-convert"
DELAY = 42  # samples of the lower of the two rates
# Every rate a graph may run at, a rarer one whose filters are made when it starts (37800), one
# whose phases are too many to keep (44101) and one that is not a whole number of hertz.
RATES = [8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000,
         37800, 44101, 47999.5]


def convert(samples, rate, quality="high", *options):
    out = subprocess.run(
        [CONVERT, "--rate", str(rate), "--channels", "1", "--layout", "f32", "--quality", quality,
         *options, "-"], input=samples.astype("<f4").tobytes(), capture_output=True, check=True)
    return np.frombuffer(out.stdout, "<i2").astype(float) / 32767


def delay_seconds(rate):
    return DELAY / min(rate, 16000)


def amplitude(y, frequency, start=0.1):
    """The amplitude of the sinusoid at `frequency` in a 16 kHz output from `start` s on, through
    a Hann window, so that other tones leak nothing into it."""
    y = y[int(start * 16000):]
    window = signal.windows.hann(len(y))
    t = np.arange(len(y)) / 16000
    return 2 * abs(np.dot(window * y, np.exp(-2j * np.pi * frequency * t))) / window.sum()


def tone(rate, frequency, seconds=1.0, level=0.9):
    return level * np.sin(2 * np.pi * frequency * np.arange(int(seconds * rate)) / rate)


@pytest.mark.parametrize("rate", [48000, 44100])
def test_a_sweep_to_7_khz_comes_out_as_the_sweep_at_16_khz_after_the_stated_delay(rate):
    seconds = 4.0
    sweep = lambda t: 0.5 * signal.chirp(t, f0=20, t1=seconds, f1=7000, method="linear", phi=-90)
    y = convert(sweep(np.arange(int(seconds * rate)) / rate), rate)
    t = np.arange(len(y)) / 16000 - delay_seconds(rate)
    inside = (t > 0.01) & (t < seconds - 0.01)  # the sweep's own sudden start and end aside
    exact = sweep(t[inside])
    error_db = 10 * np.log10(np.sum((y[inside] - exact) ** 2) / np.sum(exact ** 2))
    assert error_db < -60, f"{rate} Hz: error {error_db:.1f} dB"


@pytest.mark.parametrize("rate, frequency, down_db", [
    (48000, 12000, 70), (44100, 10000, 70), (48000, 8050, 80), (44100, 8050, 80),
    (96000, 30000, 80), (22050, 9000, 80), (192000, 8100, 80)])
def test_a_tone_above_8_khz_does_not_fold_back(rate, frequency, down_db):
    # Beside a tone in the passband, so that what folds back is not lost in the truncation.
    y = convert(tone(rate, frequency, level=0.45) + tone(rate, 1234, level=0.45), rate)
    alias = abs((frequency + 8000) % 16000 - 8000)
    assert 20 * np.log10(amplitude(y, 1234) / 0.45) > -0.01
    assert 20 * np.log10(amplitude(y, alias) / 0.45) < -down_db


@pytest.mark.parametrize("rate", RATES)
def test_every_rate_keeps_the_passband_and_the_linear_sample_count(rate):
    top = min(7000, 0.4375 * rate)
    frequencies = [100, 1000, 0.5 * top, top]
    mix = sum(tone(rate, f, level=0.2) for f in frequencies)
    y = convert(mix, rate)
    assert len(y) == len(convert(mix, rate, "linear"))
    gains = [20 * np.log10(amplitude(y, f) / 0.2) for f in frequencies]
    assert max(abs(g) for g in gains) < 0.5, gains
    # The phase says the delay: each tone lags by the same time.
    t = np.arange(len(y)) / 16000 - delay_seconds(rate)
    exact = sum(0.2 * np.sin(2 * np.pi * f * t) for f in frequencies)
    later = t > 0.05
    error_db = 10 * np.log10(np.sum((y[later] - exact[later]) ** 2) / np.sum(exact[later] ** 2))
    assert error_db < -60, f"{rate} Hz: error {error_db:.1f} dB"
    if rate < 16000:
        # Upsampled: the image of the top tone above the source's half rate is gone.
        assert 20 * np.log10(amplitude(y, rate - top) / 0.2) < -70


@pytest.mark.parametrize("rate", [44100, 8000, 44101])
def test_the_output_does_not_depend_on_how_the_input_is_cut(rate, tmp_path):
    plan = tmp_path / "plan"
    plan.write_text("1 7 4096 333 10000 2\n")
    rng = np.random.default_rng(5)
    x = np.clip(rng.normal(0, 0.3, 3 * rate), -1, 1)
    whole = convert(x, rate, "high", "--block", str(len(x)))
    assert np.array_equal(convert(x, rate, "high", "--blocks", str(plan)), whole)
    assert np.array_equal(convert(x, rate, "high", "--block", "512"), whole)


def test_a_rate_beyond_768_khz_is_resampled_linearly():
    x = tone(1536000, 1000, 0.1)
    assert np.array_equal(convert(x, 1536000), convert(x, 1536000, "linear"))
