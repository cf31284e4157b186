#!/usr/bin/env bash
# A private headless PulseAudio daemon (scripts/pulseaudio/server.pa: a null sink as default)
# whose socket, cookie and logs live under one folder, so that nothing of the user's session is
# touched. It needs neither systemd, logind nor D-Bus, and runs as root in a bare container too
# (the daemon warns that it is not meant to, and serves).
#
# Sourced, by the demo and the bench:
#   source scripts/private-pulseaudio.sh
#   start_private_pulseaudio "$work"     # exports XDG_RUNTIME_DIR, PULSE_SERVER and friends
#   stop_private_pulseaudio              # also from an EXIT trap
#
# Run, by the tests: starts the daemon, writes "$work/env" (its variables and the daemon's pid,
# one NAME=VALUE a line) once it answers, and keeps it until SIGTERM. On SIGUSR1 it starts the
# daemon again (a test killed it) and writes "$work/env" anew.
#   scripts/private-pulseaudio.sh "$work"

private_pulseaudio_conf="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/pulseaudio"

start_private_pulseaudio() {
  local work_dir=$1 tenths=50
  export XDG_RUNTIME_DIR="$work_dir/runtime"
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  export PULSE_CLIENTCONFIG="$private_pulseaudio_conf/client.conf"
  # PipeWire, if any, is looked for in the same folder: none is there unless a test puts it there.
  export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR" PIPEWIRE_REMOTE=pipewire-0
  # The cookie and any state go here, not to the user's home.
  export HOME="$work_dir/home" XDG_CONFIG_HOME="$work_dir/config" XDG_STATE_HOME="$work_dir/state"
  # No session bus: the daemon would try to start one.
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$work_dir/no-bus"
  unset PULSE_RUNTIME_PATH PULSE_STATE_PATH PULSE_SINK PULSE_SOURCE
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
  pulseaudio -n -F "$private_pulseaudio_conf/server.pa" --daemonize=no --exit-idle-time=-1 \
    --disallow-exit --use-pid-file=no --log-target=stderr >"$work_dir/pulseaudio.log" 2>&1 &
  PRIVATE_PULSEAUDIO_PID=$!
  until pactl info >/dev/null 2>&1; do
    if ! kill -0 "$PRIVATE_PULSEAUDIO_PID" 2>/dev/null || ((tenths-- <= 0)); then
      echo "PulseAudio did not start; the last lines of $work_dir/pulseaudio.log:" >&2
      tail -n 20 "$work_dir/pulseaudio.log" >&2
      stop_private_pulseaudio
      return 1
    fi
    sleep 0.1
  done
}

stop_private_pulseaudio() {
  [ -n "${PRIVATE_PULSEAUDIO_PID:-}" ] || return 0
  kill "$PRIVATE_PULSEAUDIO_PID" 2>/dev/null || true
  wait "$PRIVATE_PULSEAUDIO_PID" 2>/dev/null || true
  PRIVATE_PULSEAUDIO_PID=""
}

restart_private_pulseaudio() {
  wait "$PRIVATE_PULSEAUDIO_PID" 2>/dev/null || true
  start_private_pulseaudio "$1"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  # shellcheck source=scripts/private-server.sh
  source "$(dirname "${BASH_SOURCE[0]}")/private-server.sh"
  serve_private_server start_private_pulseaudio restart_private_pulseaudio \
    stop_private_pulseaudio "$1" XDG_RUNTIME_DIR PULSE_SERVER PULSE_CLIENTCONFIG \
    PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE HOME XDG_CONFIG_HOME XDG_STATE_HOME \
    DBUS_SESSION_BUS_ADDRESS PRIVATE_PULSEAUDIO_PID
fi
