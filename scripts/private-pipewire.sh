#!/usr/bin/env bash
# A private headless PipeWire stack (session bus, server with a dummy driver and a null sink,
# WirePlumber) whose sockets, state and logs live under one folder, so that nothing of the
# user's session is touched. It needs neither systemd nor logind.
#
# Sourced, by the demo:
#   source scripts/private-pipewire.sh
#   start_private_pipewire "$work"      # exports XDG_RUNTIME_DIR and friends
#   stop_private_pipewire               # also from an EXIT trap
#
# Run, by the tests: starts the stack, writes "$work/env" (its variables and the server's and
# WirePlumber's pids, one NAME=VALUE a line) once it is ready, and keeps it until SIGTERM. On
# SIGUSR1 it starts the server and WirePlumber again (a test killed them) and writes "$work/env"
# anew.
#   scripts/private-pipewire.sh "$work"

private_pipewire_pids=()
private_pipewire_conf="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/pipewire"

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
  local tenths=$1
  shift
  until "$@"; do
    ((tenths-- > 0)) || return 1
    sleep 0.1
  done
}

has_default_sink() { pw-dump 2>/dev/null | grep -q '"default.audio.sink"'; }
is_audio_process() { pw-dump 2>/dev/null | grep -q "\"pipewire.sec.pid\": $1\b"; }

# Fails with the last lines of a part's own log when it has died.
private_pipewire_alive() {
  local pid=$1 name=$2 log=$3
  kill -0 "$pid" 2>/dev/null && return 0
  echo "$name exited; the last lines of $log:" >&2
  tail -n 20 "$log" >&2
  return 1
}

# Waits for the command that follows while the parts started so far stay alive.
private_pipewire_wait() {
  local tenths=$1 what=$2
  shift 2
  until "$@"; do
    private_pipewire_alive "$PRIVATE_PIPEWIRE_DBUS_PID" dbus-daemon "$work_dir/dbus.log" || return 1
    [ -z "${PRIVATE_PIPEWIRE_SERVER_PID:-}" ] ||
      private_pipewire_alive "$PRIVATE_PIPEWIRE_SERVER_PID" pipewire "$work_dir/pipewire.log" ||
      return 1
    [ -z "${PRIVATE_PIPEWIRE_WIREPLUMBER_PID:-}" ] ||
      private_pipewire_alive "$PRIVATE_PIPEWIRE_WIREPLUMBER_PID" wireplumber \
        "$work_dir/wireplumber.log" || return 1
    ((tenths-- > 0)) || { echo "$what" >&2; return 1; }
    sleep 0.1
  done
}

start_private_pipewire() {
  work_dir=$1
  export XDG_RUNTIME_DIR="$work_dir/runtime"
  export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR" PIPEWIRE_REMOTE=pipewire-0
  export XDG_STATE_HOME="$work_dir/state" XDG_CONFIG_HOME="$work_dir/config"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  unset PIPEWIRE_DEBUG WIREPLUMBER_DEBUG
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  mkdir -p "$XDG_STATE_HOME" "$XDG_CONFIG_HOME"
  unset PRIVATE_PIPEWIRE_SERVER_PID PRIVATE_PIPEWIRE_WIREPLUMBER_PID
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >"$work_dir/dbus.log" 2>&1 &
  PRIVATE_PIPEWIRE_DBUS_PID=$!
  private_pipewire_pids+=($!)
  private_pipewire_wait 50 "the session bus did not start" test -S "$XDG_RUNTIME_DIR/bus" ||
    return 1
  start_private_pipewire_server
}

# The server and its session manager, on the bus started before: again after they were killed.
start_private_pipewire_server() {
  unset PRIVATE_PIPEWIRE_SERVER_PID PRIVATE_PIPEWIRE_WIREPLUMBER_PID
  # A killed server leaves its socket, which would pass for the new one's before it listens.
  rm -f "$XDG_RUNTIME_DIR/pipewire-0"
  pipewire -c "$private_pipewire_conf/server.conf" >"$work_dir/pipewire.log" 2>&1 &
  PRIVATE_PIPEWIRE_SERVER_PID=$!
  private_pipewire_pids+=($!)
  private_pipewire_wait 50 "PipeWire did not start" test -S "$XDG_RUNTIME_DIR/pipewire-0" ||
    return 1
  wireplumber -c "$private_pipewire_conf/wireplumber.conf" >"$work_dir/wireplumber.log" 2>&1 &
  PRIVATE_PIPEWIRE_WIREPLUMBER_PID=$!
  private_pipewire_pids+=($!)
  private_pipewire_wait 100 "WirePlumber did not start" has_default_sink
}

stop_private_pipewire() {
  local i
  for ((i = ${#private_pipewire_pids[@]} - 1; i >= 0; i--)); do
    kill "${private_pipewire_pids[i]}" 2>/dev/null || true
    wait "${private_pipewire_pids[i]}" 2>/dev/null || true
  done
  private_pipewire_pids=()
}

# The killed server and WirePlumber are not waited for: bash may wait for them for ever.
restart_private_pipewire() {
  private_pipewire_pids=("$PRIVATE_PIPEWIRE_DBUS_PID")
  start_private_pipewire_server
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  # shellcheck source=scripts/private-server.sh
  source "$(dirname "${BASH_SOURCE[0]}")/private-server.sh"
  serve_private_server start_private_pipewire restart_private_pipewire stop_private_pipewire "$1" \
    XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE XDG_STATE_HOME XDG_CONFIG_HOME \
    DBUS_SESSION_BUS_ADDRESS PRIVATE_PIPEWIRE_SERVER_PID PRIVATE_PIPEWIRE_WIREPLUMBER_PID
fi
