#!/usr/bin/env bash
# What scripts/private-pipewire.sh and private-pulseaudio.sh do when the tests run them: start the
# server, write its variables to "$dir/env" (NAME=VALUE a line, renamed into place so that a
# reader never sees half of it), start it again on SIGUSR1 and write "$dir/env" anew, and stop
# it on SIGTERM or SIGINT. Sourced by both.
#   serve_private_server START RESTART STOP DIR NAME...

serve_private_server() {
  local start=$1 restart_server=$2 stop=$3 dir=$4
  shift 4
  set -u
  sleeper=""
  restart=""
  # The stop command is fixed now, on purpose.
  # shellcheck disable=SC2064
  trap "[ -z \"\$sleeper\" ] || kill \"\$sleeper\" 2>/dev/null; $stop; exit 0" TERM INT
  # shellcheck disable=SC2064
  trap "$stop" EXIT
  trap 'restart=1; [ -z "$sleeper" ] || kill "$sleeper" 2>/dev/null' USR1
  "$start" "$dir" || exit 1
  while :; do
    if [ -n "$restart" ]; then
      restart=""
      "$restart_server" "$dir" || exit 1
    fi
    local name
    for name in "$@"; do
      echo "$name=${!name}"
    done >"$dir/env.part"
    mv "$dir/env.part" "$dir/env"
    while [ -z "$restart" ]; do
      sleep 3600 &
      sleeper=$!
      wait "$sleeper" || true
    done
  done
}
