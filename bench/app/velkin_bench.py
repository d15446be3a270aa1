#!/usr/bin/env python3
"""Figures of the whole program under Wine, driven like the end-to-end tests.

  velkin_bench.py startup [RUNS]     start-up to window shown, and Escape to
                                     process exit: median and worst of RUNS
  velkin_bench.py soak [MINUTES]     keying at 40 words per minute through the
                                     space bar: tones recorded against key
                                     presses sent, tone lengths, and the
                                     process's private memory over the run

Run through run-bench, which prepares the Wine prefix and a display."""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "app"))
from velkin_driver import TITLE, Velkin, analyse_tone, find_tones, find_visible  # noqa: E402

MORSE = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.", "H": "....", "I": "..",
    "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.", "O": "---", "P": ".--.", "Q": "--.-", "R": ".-.",
    "S": "...", "T": "-", "U": "..-", "V": "...-", "W": ".--", "X": "-..-", "Y": "-.--", "Z": "--..",
    "0": "-----", "1": ".----", "2": "..---", "3": "...--", "4": "....-", "5": ".....", "6": "-....",
    "7": "--...", "8": "---..", "9": "----.",
}
TEXT = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 "


def summary(values):
    return f"median {statistics.median(values):7.1f} ms, worst {max(values):7.1f} ms"


def startup(runs):
    shown, ended = [], []
    for i in range(runs):
        with Velkin(f"bench-startup-{i}") as app:
            app.start()
            while not find_visible(TITLE):
                time.sleep(0.005)
            shown.append((time.monotonic() - app.started) * 1000)
            app.xid = find_visible(TITLE)
            app.focus()
            pressed = time.monotonic()
            app.key("key", "Escape")
            app.wait_exit()
            ended.append((time.monotonic() - pressed) * 1000)
    print(f"start-up to window shown ({runs} runs): {summary(shown)}")
    print(f"Escape to process exit   ({runs} runs): {summary(ended)}")
    print("  each run:", " ".join(f"{s:.0f}/{e:.0f}" for s, e in zip(shown, ended)), "ms")


def keying_commands(text, dot, seconds):
    """xdotool commands keying `text` over and over for about `seconds`, and
    the key-down times in seconds, in the order sent."""
    commands, holds, elapsed = [], [], 0.0
    while elapsed < seconds:
        for letter in text:
            if letter == " ":
                commands += ["sleep", f"{4 * dot:.3f}"]
                elapsed += 4 * dot
                continue
            for element in MORSE[letter]:
                hold = dot * (3 if element == "-" else 1)
                commands += ["keydown", "--delay", "0", "space", "sleep", f"{hold:.3f}",
                             "keyup", "--delay", "0", "space", "sleep", f"{dot:.3f}"]
                holds.append(hold)
                elapsed += hold + dot
            commands += ["sleep", f"{2 * dot:.3f}"]
            elapsed += 2 * dot
    return commands, holds


def private_kb(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return sum(int(line.split()[1]) for line in f if line.startswith(("Private_Clean", "Private_Dirty")))


def soak(minutes, wpm=40):
    dot = 1.2 / wpm
    commands, holds = keying_commands(TEXT, dot, minutes * 60)
    with Velkin("bench-soak") as app:
        app.start()
        app.wait_window()
        app.focus()
        time.sleep(1)
        memory = [(0.0, private_kb(app.process.pid))]
        began = time.monotonic()
        keying = subprocess.Popen(["xdotool", *commands])
        while keying.poll() is None:
            time.sleep(1)
            if time.monotonic() - began >= 60 * len(memory):
                memory.append((time.monotonic() - began, private_kb(app.process.pid)))
        memory.append((time.monotonic() - began, private_kb(app.process.pid)))
        time.sleep(0.5)
        app.quit_with_escape()
    left, _, rate = app.recording()
    tones = find_tones(left)
    print(f"soak: {minutes} min at {wpm} wpm, {len(holds)} key presses sent, {len(tones)} tones recorded")
    if len(tones) == len(holds):
        errors = [analyse_tone(left, s, e, rate).full_level_ms - (hold * 1000 - 0.5)
                  for (s, e), hold in zip(tones, holds)]
        print(f"  full-level length less the key-down time sent: median {statistics.median(errors):+.2f} ms,"
              f" spread {min(errors):+.2f} to {max(errors):+.2f} ms")
    print("  private memory:", ", ".join(f"{kb / 1024:.1f} MiB at {t / 60:.1f} min" for t, kb in memory))
    print(f"  growth from start to end: {(memory[-1][1] - memory[0][1]) / 1024:+.2f} MiB")


if __name__ == "__main__":
    what = sys.argv[1] if len(sys.argv) > 1 else ""
    if what == "startup":
        startup(int(sys.argv[2]) if len(sys.argv) > 2 else 10)
    elif what == "soak":
        soak(float(sys.argv[2]) if len(sys.argv) > 2 else 5)
    else:
        sys.exit(__doc__)
