#!/usr/bin/env bash
# The recorder end to end, in a few seconds, without touching your own sound setup:
# builds the program, starts a private sound server with a pair of virtual speakers
# and a virtual microphone, plays a spoken phrase as system audio and a tone into the
# microphone, records with the real program driven by examples/controller.py, and
# prints the events and a summary of the WAV file.
#
#   scripts/demo.sh [--server pulse|pipewire] [--seconds N] [--out FILE.wav] [--build DIR] [--channels 1|2]
#
# --channels 2 records the microphone and the system audio into channels 1 and 2.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

server=pulse
seconds=7
out="$root/demo-out/demo.wav"
build="$root/build"
channels=1
while [ $# -gt 0 ]; do
  case "$1" in
    --server) server=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --channels) channels=$2; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1"; exit 1 ;;
  esac
done

bash "$root/scripts/install-deps.sh"
for tool in cmake pactl pacat paplay sox espeak-ng python3; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

echo "== building VelomarCapture in $build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOMAR_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target VelomarCapture >/dev/null
binary="$build/src/VelomarCapture"

work=$(mktemp -d /tmp/velomar-demo-XXXXXX)
players=()
cleanup() {
  for pid in "${players[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
  bash "$root/scripts/pulse-server.sh" stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Always a private server: the demo plays sound and feeds a microphone, which it
# must never do on your real devices. It lives in $work and goes when the demo ends.
echo "== starting a private $server server (your own sound server, if any, is left alone)"
bash "$root/scripts/pulse-server.sh" start "$server" "$work/server"
set -a
# shellcheck disable=SC1091
. "$work/server/env"
set +a
pactl info | sed -n 's/^Server Name: /   server: /p'

echo "== preparing the sounds"
espeak-ng -w "$work/speech.wav" -s 150 \
  "This is the system audio. The recorder mixes it with the microphone into one file."
sox -q "$work/speech.wav" -r 48000 -c 2 "$work/speech48.wav"

mkdir -p "$(dirname "$out")"
start_player() {  # command...
  setsid bash -c "$*" </dev/null >/dev/null 2>&1 &
  players+=($!)
}
# Speech into the virtual speakers (what the computer plays), a 440 Hz tone at
# -12 dBFS into the virtual microphone.
start_player "sleep 2; paplay --device=velomar_speakers '$work/speech48.wav'"
start_player "sox -q -n -t raw -r 48000 -e floating-point -b 32 -c 1 - synth $((seconds + 5)) sine 440 vol 0.25 \
  | pacat --raw --playback -d velomar_mic_feed --rate=48000 --channels=1 --format=float32le"

echo "== recording $seconds s with: VelomarCapture --out $out --channels $channels"
python3 "$root/examples/controller.py" --bin "$binary" --seconds "$seconds" --events "$work/events.jsonl" \
  -- --out "$out" --channels "$channels" || true

echo "== event stream (raw)"
grep -v '"event":"levels"' "$work/events.jsonl" | sed 's/^/   /'
echo "   ($(grep -c '"event":"levels"' "$work/events.jsonl") \"levels\" events)"

echo "== $out"
if [ -s "$out" ]; then
  soxi "$out" | sed -n 's/^\(Channels\|Sample Rate\|Precision\|Duration\|File Size\).*/   &/p'
  if [ "$(soxi -c "$out")" = 2 ]; then
    for channel in 1 2; do
      [ "$channel" = 1 ] && side="microphone (the 440 Hz tone)" || side="system audio (the speech)"
      echo "   channel $channel, $side:"
      sox "$out" -n remix "$channel" stat 2>&1 | grep -E 'Maximum amplitude|RMS +amplitude|Rough +frequency' \
        | sed 's/^/     /'
    done
  else
    sox "$out" -n stat 2>&1 | grep -E 'Length|Maximum amplitude|RMS +amplitude|Rough +frequency' | sed 's/^/   /'
  fi
else
  echo "   (no file was written)"
fi
