#!/usr/bin/env bash
# Live CPU cost of the recorder next to its peers, one after the other on the same
# private sound server with the same signals (a tone in the speakers and one in the
# microphone): the recorder, ffmpeg mixing the speakers' monitor and the microphone to
# 16 kHz mono, and two parecord processes (monitor and microphone) at our fragment size.
# Not part of the default test run.
#
#   scripts/live-cpu.sh BUILD_DIR            DURATION=60 (seconds per peer), KIND=pulse|pipewire
#
# Per peer: its CPU seconds per minute (utime+stime from /proc/PID/stat), the server's
# extra CPU seconds per minute over an idle run of the same length (all processes of the
# server's process group), and its peak RSS (VmHWM). Ratios are to ffmpeg.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:?usage: $0 BUILD_DIR}
duration=${DURATION:-60}
kind=${KIND:-pulse}
binary=$(find "$build" -name VelomarCapture -type f -perm -u+x | head -n 1)
[ -n "$binary" ] || { echo "live-cpu: VelomarCapture is not built in $build"; exit 1; }
# ffmpeg is only a peer to measure against, so only this script installs it.
if ! command -v ffmpeg >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q && DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q ffmpeg
fi
for tool in ffmpeg parecord pacat sox; do
  command -v "$tool" >/dev/null || { echo "live-cpu: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done
# Our fragment size, so that parecord wakes up as often as we do.
fragment_ms=25
hz=$(getconf CLK_TCK)

dir=$(mktemp -d /tmp/velomar-live-XXXXXX)
players=()
cleanup() {
  for p in "${players[@]}"; do kill -- "-$p" 2>/dev/null || true; done
  bash "$root/scripts/pulse-server.sh" stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
bash "$root/scripts/pulse-server.sh" start "$kind" "$dir" >/dev/null
# shellcheck disable=SC2046
export $(cat "$dir/env")
server_group=$(cat "$dir/pgid")

play() {  # sink channels frequency
  setsid sh -c "sox -q -n -t raw -r 48000 -e floating-point -b 32 -c $2 - synth 100000 sine $3 vol 0.3 |
    pacat --raw --playback -d $1 --rate=48000 --channels=$2 --format=float32le --latency-msec=100" \
    </dev/null >/dev/null 2>&1 &
  players+=("$!")
}
play velomar_speakers 2 440
play velomar_mic_feed 1 1000
sleep 2

ticks_of() {  # pid -> utime+stime in ticks (the command name may hold spaces)
  sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13}'
}
server_ticks() {  # every process of the server's process group
  local total=0 pid t
  for stat in /proc/[0-9]*/stat; do
    pid=${stat#/proc/}; pid=${pid%/stat}
    [ "$(sed 's/^.*) //' "$stat" 2>/dev/null | awk '{print $3}')" = "$server_group" ] || continue
    t=$(ticks_of "$pid") || continue
    total=$((total + ${t:-0}))
  done
  echo "$total"
}
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
hwm_of() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# Runs one peer for the duration; prints "cpu_ticks server_ticks seconds hwm_kib".
# $1: how it ends ("stop" on stdin, "term", or "self" when it has its own -t).
measure() {
  local how=$1; shift
  local fifo="$dir/stdin"
  rm -f "$fifo"; mkfifo "$fifo"
  local s0 t0
  s0=$(server_ticks); t0=$(date +%s%N)
  "$@" <"$fifo" >/dev/null 2>&1 &
  local pid=$!
  exec 9>"$fifo"
  local cpu=0 hwm=0 v
  local end=$((t0 + duration * 1000000000))
  while kill -0 "$pid" 2>/dev/null; do
    v=$(ticks_of "$pid") && [ -n "$v" ] && cpu=$v
    v=$(hwm_of "$pid") && [ -n "$v" ] && hwm=$v
    if [ "$how" != self ] && [ "$(date +%s%N)" -ge "$end" ]; then break; fi
    sleep 0.5
  done
  local t1 s1
  t1=$(date +%s%N); s1=$(server_ticks)
  case "$how" in
    stop) echo stop >&9 ;;
    term) kill -TERM "$pid" 2>/dev/null || true ;;
  esac
  exec 9>&-
  wait "$pid" 2>/dev/null || true
  echo "$cpu $((s1 - s0)) $(seconds_between "$t0" "$t1") $hwm"
}

echo "live-cpu: $kind, $duration s per peer, build $(basename "$build")"
read -r _ base_server base_seconds _ < <(measure self sh -c "sleep $duration")
read -r rec_cpu rec_server rec_seconds rec_hwm < <(measure stop "$binary" --out "$dir/ours.wav")
read -r ff_cpu ff_server ff_seconds ff_hwm < <(measure self ffmpeg -nostdin -loglevel error \
  -f pulse -i velomar_speakers.monitor -f pulse -i velomar_mic \
  -filter_complex amix=inputs=2 -ac 1 -ar 16000 -t "$duration" -y "$dir/ffmpeg.wav")
# Two parecord processes: measured together, reported as one peer.
pair() {
  parecord --raw -d velomar_speakers.monitor --rate=48000 --channels=2 --format=float32le \
    --latency-msec=$fragment_ms "$dir/monitor.raw" &
  local a=$!
  parecord --raw -d velomar_mic --rate=48000 --channels=1 --format=float32le \
    --latency-msec=$fragment_ms "$dir/mic.raw" &
  local b=$!
  echo "$a $b" >"$dir/pair"
  trap 'kill -TERM $a $b 2>/dev/null; wait $a $b 2>/dev/null; exit 0' TERM
  wait
}
measure_pair() {
  local s0 t0 cpu=0 hwm=0 a b v1 v2 h1 h2
  s0=$(server_ticks); t0=$(date +%s%N)
  pair >/dev/null 2>&1 &
  local pid=$!
  sleep 0.5
  read -r a b <"$dir/pair"
  local end=$((t0 + duration * 1000000000))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    v1=$(ticks_of "$a"); v2=$(ticks_of "$b")
    [ -n "$v1" ] && [ -n "$v2" ] && cpu=$((v1 + v2))
    h1=$(hwm_of "$a"); h2=$(hwm_of "$b")
    [ -n "$h1" ] && [ -n "$h2" ] && hwm=$((h1 > h2 ? h1 : h2))
    sleep 0.5
  done
  local t1 s1
  t1=$(date +%s%N); s1=$(server_ticks)
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "$cpu $((s1 - s0)) $(seconds_between "$t0" "$t1") $hwm"
}
read -r pr_cpu pr_server pr_seconds pr_hwm < <(measure_pair)

awk -v hz="$hz" -v bs="$base_server" -v bt="$base_seconds" \
    -v rc="$rec_cpu" -v rs="$rec_server" -v rt="$rec_seconds" -v rh="$rec_hwm" \
    -v fc="$ff_cpu" -v fs="$ff_server" -v ft="$ff_seconds" -v fh="$ff_hwm" \
    -v pc="$pr_cpu" -v ps="$pr_server" -v pt="$pr_seconds" -v ph="$pr_hwm" '
function perMin(ticks, secs) { return (secs > 0) ? ticks / hz / secs * 60 : 0 }
BEGIN {
  idle = perMin(bs, bt)
  n = split("VelomarCapture ffmpeg parecord×2", name, " ")
  cpu[1] = perMin(rc, rt); srv[1] = perMin(rs, rt) - idle; hwm[1] = rh
  cpu[2] = perMin(fc, ft); srv[2] = perMin(fs, ft) - idle; hwm[2] = fh
  cpu[3] = perMin(pc, pt); srv[3] = perMin(ps, pt) - idle; hwm[3] = ph
  printf "server idle (tones playing): %.3f CPU s/min\n", idle
  printf "%-16s %14s %14s %12s %12s %12s\n", "peer", "CPU s/min", "server +s/min", "VmHWM MiB", "CPU/ffmpeg", "RSS/ffmpeg"
  for (i = 1; i <= n; i++) {
    printf "%-16s %14.3f %14.3f %12.1f %12.2f %12.2f\n", name[i], cpu[i], srv[i], hwm[i] / 1024,
           (cpu[2] > 0 ? cpu[i] / cpu[2] : 0), (hwm[2] > 0 ? hwm[i] / hwm[2] : 0)
  }
}'
