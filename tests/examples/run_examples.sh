#!/usr/bin/env bash
# Runs each host example against the real agent on a private PipeWire server, as a host would:
# a real player plays a known tone, the example records it with --pids, and the test checks
# what the example printed, the WAV it wrote and its exit status.
#
#   run_examples.sh QUENWICK NODE|PYTHON EXAMPLE
set -euo pipefail
quenwick=$1 interpreter=$2 example=$3
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d /tmp/quenwick-examples-XXXXXX)"
# shellcheck source=scripts/private-pipewire.sh
source "$root/scripts/private-pipewire.sh"
player=""
cleanup() {
  [ -z "$player" ] || kill "$player" 2>/dev/null || true
  stop_private_pipewire
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  echo "--- example output" >&2
  cat "$work/out.txt" >&2 || true
  exit 1
}

start_private_pipewire "$work"
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 30 sine 440 vol 0.5
pw-play "$work/tone.wav" &
player=$!
wait_for 50 is_audio_process "$player" || fail "the player never reached PipeWire"

"$interpreter" "$example" --agent "$quenwick" --seconds 2 --out "$work/capture.wav" \
  -- --pids "$player" >"$work/out.txt" 2>&1 || fail "the example exited with status $?"

# The events, in order, as the example printed them.
events=$(sed -n 's/^event {"event":"\([a-z_]*\)".*/\1/p' "$work/out.txt" | tr '\n' ' ')
[ "$events" = "creating_tap format running " ] || fail "events were: $events"
grep -q '^exit 0: stopped cleanly$' "$work/out.txt" || fail "no clean exit reported"
grep -q "^event {\"event\":\"format\",.*\"pids\":\[$player\]" "$work/out.txt" ||
  fail "the format event does not name the player"

# A WAV of 16 kHz mono 16-bit holding about two seconds of the tone: not silence, near the
# tone's level (0.5 full scale, mixed from two equal channels).
info=$(soxi "$work/capture.wav")
grep -q 'Sample Rate    : 16000' <<<"$info" || fail "wrong rate: $info"
grep -q 'Channels       : 1' <<<"$info" || fail "wrong channels: $info"
grep -q 'Precision      : 16-bit' <<<"$info" || fail "wrong precision: $info"
seconds=$(soxi -D "$work/capture.wav")
awk -v s="$seconds" 'BEGIN { exit !(s >= 1.5 && s <= 3.5) }' || fail "captured $seconds s"
peak=$(sox "$work/capture.wav" -n stat 2>&1 | awk -F: '/Maximum amplitude/ {print $2 + 0}')
awk -v p="$peak" 'BEGIN { exit !(p > 0.45 && p < 0.55) }' || fail "peak $peak, not the tone's"
echo "PASS: $(basename "$example") captured $seconds s, peak $peak"
