# Sourced, not run: starts a private headless PipeWire stack (session bus, server with a dummy
# driver and a null sink, WirePlumber) whose sockets and state live under one folder, so that
# nothing of the user's session is touched.
#
#   source scripts/private-pipewire.sh
#   start_private_pipewire "$work"      # exports XDG_RUNTIME_DIR and friends
#   ...
#   stop_private_pipewire               # also from an EXIT trap

private_pipewire_pids=()

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

start_private_pipewire() {
  local work=$1
  local conf
  conf="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/pipewire/headless-server.conf"
  export XDG_RUNTIME_DIR="$work/runtime"
  export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR" PIPEWIRE_REMOTE=pipewire-0
  export XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  mkdir -p "$XDG_STATE_HOME" "$XDG_CONFIG_HOME"
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" 2>"$work/dbus.log" &
  private_pipewire_pids+=($!)
  wait_for 50 test -S "$XDG_RUNTIME_DIR/bus" || return 1
  pipewire -c "$conf" >"$work/pipewire.log" 2>&1 &
  private_pipewire_pids+=($!)
  wait_for 50 test -S "$XDG_RUNTIME_DIR/pipewire-0" || return 1
  wireplumber >"$work/wireplumber.log" 2>&1 &
  private_pipewire_pids+=($!)
  wait_for 100 has_default_sink || { echo "WirePlumber did not start" >&2; return 1; }
}

stop_private_pipewire() {
  local i
  for ((i = ${#private_pipewire_pids[@]} - 1; i >= 0; i--)); do
    kill "${private_pipewire_pids[i]}" 2>/dev/null || true
    wait "${private_pipewire_pids[i]}" 2>/dev/null || true
  done
  private_pipewire_pids=()
}
