#!/usr/bin/env bash
# Soak test: one long recording on a private sound server with both sources active,
# then figures. Not part of the default test run.
#
#   scripts/soak.sh BUILD_DIR        DURATION=1800 (seconds), KIND=pulse|pipewire, KEEP=1,
#                                    PLAYER_LATENCY_MS=100
#
# Figures: the recorder's CPU seconds per minute (utime+stime from /proc/PID/stat, sampled
# every minute), overall and per 5-minute stretch; VmHWM, and VmRSS at 1 min and at the end;
# the counters of the "stopped" event; the WAV's duration against the wall time from
# "started" to "stop" and its header; the alignment of the two sources in the first and in
# the last minute, and the drift between the two.
#
# Signal. One 2 s stereo period, looped into velomar_speakers for the whole run. The
# recorder takes the speakers' monitor as system audio and velomar_click_mic (the right
# channel of that same monitor) as the microphone, so both sources are fed by one stream
# on one clock. With L = 2s - m and R = m the system side hears s and the microphone m:
#   s = a 3 kHz click (Gaussian envelope, sigma 0.6 ms) at 0.25 s + a quiet 100 Hz tone
#   m = a 1 kHz click at 0.75 s + a quiet 150 Hz tone
# The microphone's click is played exactly 0.5 s (24000 frames) after the system's, so the
# two copies never overlap in the mono mix; the alignment error is their distance in the
# file minus 0.5 s. Distinct click frequencies tell the copies apart. The tones keep both
# sources carrying signal between clicks; they sit far below the clicks' bands, and the
# detector (a peak threshold, then a matched filter per click) does not see them.
# The player asks for a 100 ms buffer so that a busy machine does not underrun it over a
# long run; an underrun delays both copies alike, so it moves no offset, only the click
# period. On PulseAudio the absolute offset depends on this buffer (the null sink's
# block follows it: about +25 ms at 100 ms, +5 ms at 20 ms); the drift does not.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:?usage: $0 BUILD_DIR}
duration=${DURATION:-1800}
kind=${KIND:-pulse}
player_latency=${PLAYER_LATENCY_MS:-100}
binary=$(find "$build" -name VelomarCapture -type f -perm -u+x | head -n 1)
[ -n "$binary" ] || { echo "soak: VelomarCapture is not built in $build"; exit 1; }
binary=$(cd "$(dirname "$binary")" && pwd)/VelomarCapture
for tool in pacat python3; do
  command -v "$tool" >/dev/null || { echo "soak: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done
[ "$duration" -ge 60 ] 2>/dev/null || { echo "soak: DURATION must be at least 60 seconds"; exit 1; }
hz=$(getconf CLK_TCK)

dir=$(mktemp -d /tmp/velomar-soak-XXXXXX)
players=()
rec_pid=
cleanup() {
  [ -z "$rec_pid" ] || kill -KILL "$rec_pid" 2>/dev/null || true
  for p in "${players[@]}"; do kill -- "-$p" 2>/dev/null || true; done
  bash "$root/scripts/pulse-server.sh" stop "$dir" >/dev/null 2>&1 || true
  if [ "${KEEP:-}" = 1 ]; then echo "soak: kept $dir"; else rm -rf "$dir"; fi
}
trap cleanup EXIT

now_us() { echo "${EPOCHREALTIME/./}"; }
ticks_of() {  # pid -> utime+stime in ticks (the command name may hold spaces)
  sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13}'
}
status_kib() {  # pid field -> value in KiB
  awk -v f="$2:" '$1 == f {print $2}' "/proc/$1/status" 2>/dev/null
}

python3 - "$dir/period.raw" <<'PY'
import math, struct, sys
rate, frames, sigma = 48000, 96000, 0.0006
def click(t, f):
    return 0.4 * math.exp(-t * t / (2 * sigma * sigma)) * math.cos(2 * math.pi * f * t)
out = bytearray()
for i in range(frames):
    t = i / rate
    s = click(t - 0.25, 3000) + 0.04 * math.sin(2 * math.pi * 100 * t)
    m = click(t - 0.75, 1000) + 0.04 * math.sin(2 * math.pi * 150 * t)
    out += struct.pack('<ff', 2 * s - m, m)
open(sys.argv[1], 'wb').write(out)
PY

server_cmd="scripts/pulse-server.sh start $kind $dir"
player_cmd="while :; do cat $dir/period.raw; done | pacat --raw --playback -d velomar_speakers --rate=48000 --channels=2 --format=float32le --latency-msec=$player_latency"
rec_cmd="$binary --out $dir/soak.wav --mic-device velomar_click_mic <$dir/stdin >$dir/events.jsonl"
echo "soak: $kind, $duration s, build $build, $(date -u '+%Y-%m-%d %H:%M:%S UTC'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commands:"
echo "  $server_cmd"
echo "  $player_cmd   # own process group, looped 2 s period"
echo "  $rec_cmd   # stdin kept open on the FIFO; \"stop\" after $duration s"
echo "  every 60 s: /proc/PID/stat (utime+stime), /proc/PID/status (VmRSS, VmHWM)"

bash "$root/scripts/pulse-server.sh" start "$kind" "$dir" >/dev/null
# shellcheck disable=SC2046
export $(cat "$dir/env")

setsid sh -c "$player_cmd" </dev/null >/dev/null 2>&1 &
players+=("$!")
sleep 1

mkfifo "$dir/stdin"
"$binary" --out "$dir/soak.wav" --mic-device velomar_click_mic <"$dir/stdin" >"$dir/events.jsonl" &
rec_pid=$!
exec 9>"$dir/stdin"

started_us=
for _ in $(seq 1 2000); do
  if grep -q '"event":"started"' "$dir/events.jsonl"; then started_us=$(now_us); break; fi
  kill -0 "$rec_pid" 2>/dev/null || break
  sleep 0.01
done
if [ -z "$started_us" ]; then
  echo "soak: the recorder did not start; its output:"
  cat "$dir/events.jsonl"
  exit 1
fi

# One row per sample: seconds since "started", CPU ticks, VmRSS KiB, VmHWM KiB.
sample() {  # elapsed_s
  local t r h
  t=$(ticks_of "$rec_pid") && r=$(status_kib "$rec_pid" VmRSS) && h=$(status_kib "$rec_pid" VmHWM) || return 1
  [ -n "$t" ] && [ -n "$r" ] && [ -n "$h" ] || return 1
  echo "$1 $t $r $h" >>"$dir/samples.txt"
}
sample 0
died=0
next=60
while :; do
  [ "$next" -lt "$duration" ] || next=$duration
  wait_s=$(awk -v t="$started_us" -v n="$next" -v now="$(now_us)" 'BEGIN { d = (t + n * 1e6 - now) / 1e6; printf "%.3f", (d > 0 ? d : 0) }')
  sleep "$wait_s"
  if ! sample "$next"; then died=1; break; fi
  [ "$next" -lt "$duration" ] || break
  next=$((next + 60))
done

stop_us=$(now_us)
# A recorder that has died leaves no reader on the FIFO.
trap '' PIPE
{ kill -0 "$rec_pid" 2>/dev/null && echo stop >&9; } || true
exec 9>&-
rec_status=
for _ in $(seq 1 300); do
  if ! kill -0 "$rec_pid" 2>/dev/null; then
    rec_status=0
    wait "$rec_pid" || rec_status=$?
    rec_pid=
    break
  fi
  sleep 0.1
done
exit_us=$(now_us)
[ -n "$rec_status" ] || rec_status="still running 30 s after stop"  # the cleanup kills it

python3 - "$dir" "$hz" "$started_us" "$stop_us" "$exit_us" "$rec_status" "$died" <<'PY'
import array, json, statistics, struct, sys, wave, math

d, hz = sys.argv[1], int(sys.argv[2])
started, stop, exited = (int(v) / 1e6 for v in sys.argv[3:6])
rec_status, died = sys.argv[6], sys.argv[7] == '1'
ok = True

# CPU and memory.
rows = [tuple(int(v) for v in line.split()) for line in open(f'{d}/samples.txt')]
print(f'\nrecorder CPU (s per minute; {hz} ticks/s; samples from "started")')
if died:
    print(f'  the recorder ended before the run did (last sample at {rows[-1][0]} s)')
    ok = False
def per_min(a, b):
    return (b[1] - a[1]) / hz / (b[0] - a[0]) * 60 if b[0] > a[0] else float('nan')
print(f'  start-up, before "started": {rows[0][1] / hz:.2f} s')
if len(rows) > 1:
    print(f'  overall  {rows[0][0]:>5} - {rows[-1][0]:>5} s: {per_min(rows[0], rows[-1]):.3f}')
    stretches = [r for r in rows if r[0] % 300 == 0] + ([rows[-1]] if rows[-1][0] % 300 else [])
    for a, b in zip(stretches, stretches[1:]):
        print(f'  stretch  {a[0]:>5} - {b[0]:>5} s: {per_min(a, b):.3f}')
    mins = [per_min(a, b) for a, b in zip(rows, rows[1:])]
    print('  per minute: ' + ' '.join(f'{m:.2f}' for m in mins))
at1 = next((r for r in rows if r[0] == 60), None)
end = rows[-1]
print('memory')
print(f'  VmHWM at the end     {end[3] / 1024:8.2f} MiB')
if at1:
    diff = end[2] - at1[2]
    flat = 'flat' if abs(diff) <= 1024 else 'NOT flat'
    print(f'  VmRSS at {at1[0]:>4} s      {at1[2] / 1024:8.2f} MiB')
    print(f'  VmRSS at {end[0]:>4} s      {end[2] / 1024:8.2f} MiB')
    print(f'  difference           {diff / 1024:+8.2f} MiB ({flat}: margin 1 MiB)')

# The "stopped" event.
events = []
for line in open(f'{d}/events.jsonl'):
    try:
        events.append(json.loads(line))
    except ValueError:
        print(f'  not JSON on stdout: {line!r}')
        ok = False
names = {}
for e in events:
    names[e.get('event')] = names.get(e.get('event'), 0) + 1
stopped = next((e for e in events if e.get('event') == 'stopped'), None)
print(f'recorder exit status: {rec_status}; exited {exited - stop:.3f} s after "stop"')
print('events: ' + ', '.join(f'{k} {v}' for k, v in names.items()))
if stopped:
    print('stopped: ' + ', '.join(f'{k}={stopped[k]}' for k in
          ('seconds', 'resyncs', 'clockClamps', 'silenceInsertedSamples', 'samplesDropped',
           'limitedSamples', 'samplesNotWritten', 'reason') if k in stopped))
else:
    print('stopped: no "stopped" event')
    ok = False
if rec_status != '0':
    ok = False

# The WAV: header, then duration against the wall time.
path = f'{d}/soak.wav'
raw = open(path, 'rb').read()
problems = []
if raw[:4] != b'RIFF' or raw[8:12] != b'WAVE':
    problems.append('no RIFF/WAVE')
elif struct.unpack('<I', raw[4:8])[0] != len(raw) - 8:
    problems.append(f'RIFF size {struct.unpack("<I", raw[4:8])[0]} != file size - 8 = {len(raw) - 8}')
pos, data_size, fmt = 12, None, None
while pos + 8 <= len(raw):
    cid, size = raw[pos:pos + 4], struct.unpack('<I', raw[pos + 4:pos + 8])[0]
    if cid == b'fmt ':
        fmt = struct.unpack('<HHIIHH', raw[pos + 8:pos + 24])
    if cid == b'data':
        data_size = size
        if pos + 8 + size != len(raw):
            problems.append(f'data size {size} != bytes after the header {len(raw) - pos - 8}')
        break
    pos += 8 + size + (size & 1)
if fmt != (1, 1, 16000, 32000, 2, 16):
    problems.append(f'fmt {fmt} is not PCM mono 16 kHz 16-bit')
if data_size is None:
    problems.append('no data chunk')
with wave.open(path, 'rb') as w:
    rate, frames = w.getframerate(), w.getnframes()
    pcm = array.array('h', w.readframes(frames))
if sys.byteorder == 'big':
    pcm.byteswap()
x = [v / 32768.0 for v in pcm]
wav_s = frames / rate
wall = stop - started
print(f'WAV: {frames} frames, {wav_s:.3f} s; "started" -> "stop" {wall:.3f} s; '
      f'difference {wav_s - wall:+.3f} s ({(wav_s - wall) / wall * 1e6:+.0f} ppm)')
if stopped and 'seconds' in stopped and stopped['seconds'] != int(wav_s):
    problems.append(f'"seconds" {stopped["seconds"]} != whole seconds in the file {int(wav_s)}')
print('header: ' + ('consistent (RIFF and data sizes match the file, PCM mono 16 kHz 16-bit)'
                    if not problems else '; '.join(problems)))
ok = ok and not problems

# Clicks, over the whole file: 10 ms chunks whose peak passes half a click's level are
# candidates (the tones stay far below it); a matched filter per click shape classifies
# each one and places it to a fraction of a sample.
sigma = 0.0006
def template(f):
    half = int(4 * sigma * rate)
    return [math.exp(-(k / rate) ** 2 / (2 * sigma * sigma)) * math.cos(2 * math.pi * f * k / rate)
            for k in range(-half, half + 1)], half
shapes = {'system': template(3000), 'mic': template(1000)}
energy = {name: sum(t * t for t in tpl) for name, (tpl, _) in shapes.items()}
expected = 0.707 * 0.4

def correlate(tpl, at):
    return sum(t * x[at + k] for k, t in enumerate(tpl))

def clicks():
    found = {'system': [], 'mic': []}
    chunk, search = int(0.010 * rate), int(0.003 * rate)
    margin = max(h for _, h in shapes.values()) + search + chunk + 2
    n = margin
    while n < len(x) - margin - chunk:
        piece = x[n:n + chunk]
        if max(piece) < 0.5 * expected and -min(piece) < 0.5 * expected:
            n += chunk
            continue
        peak = max(range(n - chunk // 2, n + chunk + chunk // 2), key=lambda i: abs(x[i]))
        best = None
        for name, (tpl, h) in shapes.items():
            values = {i: correlate(tpl, i - h) for i in range(peak - search - 1, peak + search + 2)}
            i = max(range(peak - search, peak + search + 1), key=values.get)
            amp = values[i] / energy[name]
            if best is None or amp > best[2]:
                l, c, r = values[i - 1], values[i], values[i + 1]
                den = l - 2 * c + r
                best = (name, i + (0.5 * (l - r) / den if den else 0.0), amp)
        if best[2] > 0.35 * expected:
            found[best[0]].append(best[1])
        n = peak + 2 * chunk
    return found

# Each system click with the microphone's copy 0.5 s later (within 0.7 s either way: a
# click train every 2 s leaves no other candidate): (file seconds, offset in ms).
found = clicks()
stagger, window = 0.5 * rate, 0.7 * rate
pairs, missing = [], []
for s in found['system']:
    partners = [m - s - stagger for m in found['mic'] if abs(m - s - stagger) < window]
    if partners:
        pairs.append((s / rate, min(partners, key=abs) / rate * 1e3))
    else:
        missing.append(s / rate)

print(f'alignment (mic - system, ms; 0.5 s stagger removed; {len(found["system"])} system and '
      f'{len(found["mic"])} mic clicks found, {len(missing)} system clicks without a partner)')
medians = []
for label, lo, hi in (('first minute', 0, 60), ('last minute', wav_s - 60, wav_s)):
    o = [v for t, v in pairs if lo <= t < hi]
    if o:
        medians.append(statistics.median(o))
        print(f'  {label}: median {medians[-1]:+.2f} ms over {len(o)} clicks, range {min(o):+.2f} .. {max(o):+.2f}')
    else:
        print(f'  {label}: no click pairs')
        ok = False
if len(medians) == 2:
    print(f'  drift (end - start): {medians[1] - medians[0]:+.2f} ms')
per_minute = [[v for t, v in pairs if m * 60 <= t < (m + 1) * 60] for m in range(int(wav_s // 60) + 1)]
while per_minute and not per_minute[-1]:
    per_minute.pop()
print('  median per minute: ' + ' '.join(f'{statistics.median(o):+.2f}' if o else '-' for o in per_minute))
steps = [(t, p, v) for (_, p), (t, v) in zip(pairs, pairs[1:]) if abs(v - p) > 0.25]
for t, p, v in steps[:20]:
    print(f'  step at {t:8.2f} s: {p:+.2f} -> {v:+.2f} ms')
if len(steps) > 20:
    print(f'  ... {len(steps) - 20} more steps')
if len(found['system']) >= 2:
    first, last = found['system'][0], found['system'][-1]
    periods = round((last - first) / (2 * rate))
    if periods:
        period = (last - first) / periods
        print(f'  system click period: {period:.2f} samples over {periods} periods (played every {2 * rate:.0f}, '
              f'{(period / (2 * rate) - 1) * 1e6:+.0f} ppm; a player underrun or a lost stretch lengthens it)')
print('soak: ' + ('done' if ok else 'FAILED (see above)'))
sys.exit(0 if ok else 1)
PY
