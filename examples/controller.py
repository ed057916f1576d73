#!/usr/bin/env python3
"""Drives VelomarCapture the way an application would.

Spawns the recorder, reads its JSON events line by line, draws the two "levels"
as live meters, prints every other event, and stops the recording (the line
"stop" on the recorder's standard input) on Enter or Ctrl-C, or after --seconds.

    examples/controller.py [--bin PATH] [--seconds N] [--plain] -- --out call.wav [recorder options]
    examples/controller.py -- --out call.wav --channels 2    # microphone and system audio apart

Standard library only. Exits with the recorder's exit status.
"""

import argparse
import json
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

METER_WIDTH = 30


def meter(label, peak):
    """A bar on a dB scale from -60 dBFS to 0 dBFS."""
    db = 20 * math.log10(peak) if peak > 0 else -120.0
    filled = int(round(max(0.0, min(1.0, (db + 60) / 60)) * METER_WIDTH))
    return f"{label} [{'#' * filled}{'.' * (METER_WIDTH - filled)}] {db:6.1f} dB"


def describe(event):
    """One readable line for an event other than "levels"."""
    name = event.get("event", "?")
    rest = {k: v for k, v in event.items() if k != "event"}
    return f"{name:<18} " + " ".join(f"{k}={json.dumps(v)}" for k, v in rest.items())


class Display:
    """Keeps the meter line at the bottom of the terminal, events scroll above it."""

    def __init__(self, plain):
        self.plain = plain or not sys.stdout.isatty()
        self.lock = threading.Lock()
        self.meters = ""
        self.last_plain_levels = 0.0

    def event(self, text):
        with self.lock:
            if self.plain:
                print(text, flush=True)
                return
            sys.stdout.write("\r\033[K" + text + "\n" + self.meters)
            sys.stdout.flush()

    def levels(self, mic, system):
        line = meter("mic   ", mic) + "   " + meter("system", system)
        with self.lock:
            self.meters = line
            if self.plain:
                # Without a terminal, one meter line per second is enough.
                now = time.monotonic()
                if now - self.last_plain_levels >= 1.0:
                    self.last_plain_levels = now
                    print(line, flush=True)
                return
            width = shutil.get_terminal_size((120, 20)).columns
            sys.stdout.write("\r\033[K" + line[: width - 1])
            sys.stdout.flush()

    def done(self):
        with self.lock:
            if not self.plain:
                sys.stdout.write("\r\033[K")
                sys.stdout.flush()


def default_binary():
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (os.path.join(here, "..", "build", "src", "VelomarCapture"), shutil.which("VelomarCapture")):
        if candidate and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return "VelomarCapture"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=default_binary(), help="path of the VelomarCapture program")
    parser.add_argument("--seconds", type=float, default=None, help="stop by itself after this many seconds")
    parser.add_argument("--plain", action="store_true", help="no terminal control codes")
    parser.add_argument("--events", help="also write every raw event line to this file")
    parser.add_argument("recorder_args", nargs=argparse.REMAINDER, help="arguments for the recorder (after --)")
    args = parser.parse_args()
    recorder_args = args.recorder_args[1:] if args.recorder_args[:1] == ["--"] else args.recorder_args

    display = Display(args.plain)
    raw_log = open(args.events, "w", encoding="utf-8") if args.events else None
    proc = subprocess.Popen([args.bin] + recorder_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, encoding="utf-8", bufsize=1)
    stop_sent = threading.Event()

    def request_stop(why):
        if stop_sent.is_set() or proc.poll() is not None:
            return
        stop_sent.set()
        display.event(f"-- stopping ({why})")
        try:
            proc.stdin.write("stop\n")
            proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    # Ctrl-C reaches the whole process group, the recorder included, which then
    # stops by itself; we only keep reading its last events.
    signal.signal(signal.SIGINT, lambda *_: stop_sent.set())

    def read_events():
        for line in proc.stdout:
            if raw_log:
                raw_log.write(line)
                raw_log.flush()
            line = line.strip()
            if not line:
                continue
            try:
                event = json.loads(line)
            except ValueError:
                display.event(f"(not an event) {line}")  # the usage text of --help
                continue
            if event.get("event") == "levels":
                display.levels(float(event.get("mic", 0)), float(event.get("system", 0)))
            else:
                display.event(describe(event))

    reader = threading.Thread(target=read_events, daemon=True)
    reader.start()

    started = time.monotonic()
    interactive = sys.stdin.isatty()
    if interactive and not args.plain:
        display.event("-- press Enter to stop")
    while proc.poll() is None:
        if args.seconds is not None and time.monotonic() - started >= args.seconds:
            request_stop(f"{args.seconds:g} s elapsed")
        if interactive:
            ready, _, _ = select.select([sys.stdin], [], [], 0.1)
            if ready:
                sys.stdin.readline()
                request_stop("Enter")
        else:
            time.sleep(0.1)
    reader.join(timeout=2)
    display.done()
    status = proc.wait()
    display.event(f"-- recorder exited with status {status}")
    if raw_log:
        raw_log.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
