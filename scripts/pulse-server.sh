#!/usr/bin/env bash
# Private sound servers for the tests and the demo. Nothing here touches the user's
# own server: every instance has its own runtime directory, home and socket.
#
#   pulse-server.sh start pulse|pipewire DIR   start a server in DIR and create the test devices
#                                              (VELOMAR_DEVICES_DELAY=S: S seconds after it answers)
#   pulse-server.sh stop DIR                   stop it (SIGTERM)
#   pulse-server.sh kill DIR                   kill it (SIGKILL), as a crash would
#   pulse-server.sh env DIR                    print the variables a client needs
#
# Devices: sinks velomar_speakers (default, "Test Speakers", 48 kHz stereo) and
# velomar_headphones; sinks velomar_mic_feed / velomar_mic2_feed whose remapped
# monitors are the sources velomar_mic (default, "Test Microphone") and velomar_mic2
# ("Second Microphone"); velomar_click_mic ("Click Microphone") is the right channel
# of the speakers' monitor, so one stereo file reaches both sides at the same instant.
set -euo pipefail

die() { echo "pulse-server: $*"; exit 1; }

cmd=${1:-}
case "$cmd" in
  start) kind=${2:-}; dir=${3:-} ;;
  stop|kill|env) dir=${2:-} ;;
  *) die "usage: $0 start pulse|pipewire DIR | stop DIR | kill DIR | env DIR" ;;
esac
[ -n "$dir" ] || die "no directory given"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
run="$dir/run"
home="$dir/home"

client_env() {
  local socket
  socket=$(cat "$dir/socket")
  echo "PULSE_SERVER=unix:$socket"
  echo "PULSE_RUNTIME_PATH=$run"
  echo "PULSE_STATE_PATH=$home"
  echo "PULSE_CLIENTCONFIG=/dev/null"
}

ctl() { env $(client_env) pactl "$@"; }

wait_ready() {
  for _ in $(seq 1 100); do
    if ctl info >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

wait_for() {  # kind name
  for _ in $(seq 1 100); do
    if ctl list short "$1" 2>/dev/null | awk '{print $2}' | grep -qx "$2"; then return 0; fi
    sleep 0.1
  done
  return 1
}

create_devices() {
  ctl load-module module-null-sink sink_name=velomar_speakers format=float32le rate=48000 channels=2 \
    "sink_properties=\"device.description='Test Speakers'\"" >/dev/null
  ctl load-module module-null-sink sink_name=velomar_headphones format=float32le rate=48000 channels=2 \
    "sink_properties=\"device.description='Test Headphones'\"" >/dev/null
  ctl load-module module-null-sink sink_name=velomar_mic_feed format=float32le rate=48000 channels=1 \
    "sink_properties=\"device.description='Microphone Feed'\"" >/dev/null
  ctl load-module module-null-sink sink_name=velomar_mic2_feed format=float32le rate=48000 channels=1 \
    "sink_properties=\"device.description='Second Microphone Feed'\"" >/dev/null
  wait_for sinks velomar_speakers && wait_for sinks velomar_mic_feed && wait_for sinks velomar_mic2_feed \
    || die "the sinks did not appear"
  ctl load-module module-remap-source source_name=velomar_mic master=velomar_mic_feed.monitor \
    channels=1 channel_map=mono "source_properties=\"device.description='Test Microphone'\"" >/dev/null
  ctl load-module module-remap-source source_name=velomar_mic2 master=velomar_mic2_feed.monitor \
    channels=1 channel_map=mono "source_properties=\"device.description='Second Microphone'\"" >/dev/null
  ctl load-module module-remap-source source_name=velomar_click_mic master=velomar_speakers.monitor \
    channels=1 master_channel_map=front-right channel_map=mono \
    "source_properties=\"device.description='Click Microphone'\"" >/dev/null
  wait_for sources velomar_mic && wait_for sources velomar_mic2 && wait_for sources velomar_click_mic \
    || die "the sources did not appear"
  ctl set-default-sink velomar_speakers
  ctl set-default-source velomar_mic
}

start() {
  # Whatever client settings the caller has must not steer the new server.
  unset PULSE_SERVER PULSE_RUNTIME_PATH PULSE_STATE_PATH PULSE_CLIENTCONFIG PULSE_SINK PULSE_SOURCE PULSE_COOKIE
  [ ! -f "$dir/pgid" ] || ! kill -0 -- "-$(cat "$dir/pgid")" 2>/dev/null || die "a server already runs in $dir"
  mkdir -p "$run" "$home"
  chmod 700 "$run"
  echo "$kind" >"$dir/kind"
  local -a base_env=(XDG_RUNTIME_DIR="$run" HOME="$home" XDG_CONFIG_HOME="$home/.config"
                     XDG_STATE_HOME="$home/.state" XDG_DATA_HOME="$home/.data" PULSE_SERVER= DISPLAY=)
  case "$kind" in
    pulse)
      command -v pulseaudio >/dev/null || die "pulseaudio is not installed"
      echo "$run/native" >"$dir/socket"
      rm -f "$run/native"
      env "${base_env[@]}" setsid pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disallow-module-loading=no --log-target=file:"$dir/server.log" \
        -L "module-native-protocol-unix socket=$run/native auth-anonymous=1" </dev/null >/dev/null 2>&1 &
      echo $! >"$dir/pgid"
      ;;
    pipewire)
      for p in pipewire wireplumber pipewire-pulse dbus-run-session; do
        command -v "$p" >/dev/null || die "$p is not installed"
      done
      echo "$run/pulse/native" >"$dir/socket"
      env "${base_env[@]}" PIPEWIRE_RUNTIME_DIR="$run" setsid dbus-run-session -- sh -c \
        'pipewire & sleep 0.3; wireplumber & pipewire-pulse & wait' </dev/null >"$dir/server.log" 2>&1 &
      echo $! >"$dir/pgid"
      ;;
    *) die "unknown server kind '$kind' (pulse or pipewire)" ;;
  esac
  wait_ready || { stop_signal TERM; die "$kind did not answer on $(cat "$dir/socket") (see $dir/server.log)"; }
  if [ -n "${VELOMAR_DEVICES_DELAY:-}" ]; then
    # As on a desktop whose session is still loading: the server answers at once, its
    # devices (and so the defaults it names) appear later.
    client_env >"$dir/env"
    (sleep "$VELOMAR_DEVICES_DELAY"; create_devices) </dev/null >>"$dir/devices.log" 2>&1 &
    return 0
  fi
  if ! (create_devices); then stop_signal TERM; die "could not create the test devices on $kind"; fi
  client_env >"$dir/env"
}

stop_signal() {
  [ -f "$dir/pgid" ] || return 0
  local pgid
  pgid=$(cat "$dir/pgid")
  kill -"$1" -- "-$pgid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 -- "-$pgid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$pgid" 2>/dev/null || true
  rm -f "$dir/pgid"
}

case "$cmd" in
  start) start ;;
  stop) stop_signal TERM ;;
  kill) stop_signal KILL ;;
  env) client_env ;;
esac
