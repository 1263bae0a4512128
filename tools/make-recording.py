#!/usr/bin/env python3
"""Writes an example recording for vantis-sim (--data FILE, vantis-ctl data load FILE).

The data is made up: every coordinate rests at a value of its own and, after
the trigger, follows one smooth deflection pulse (a raised cosine) whose depth
and timing differ a little from LED to LED. It is for checking a host's
processing against known numbers, not a model of any dummy.
"""
import argparse
import math
import sys

# LEDs x coordinates per model, by the model ring's value or a name.
MODELS = {
    "worldsid": (18, 3), "1": (18, 3),
    "h3-50": (12, 2), "2": (12, 2),
    "h3-50-3axis": (6, 3), "3": (6, 3),
    "h3-5": (12, 2), "4": (12, 2),
    "sid2s": (6, 3), "5": (6, 3),
    "polar": (6, 2), "6": (6, 2),
    "ballistic": (3, 3), "7": (3, 3),
    "h3-50-adjustable": (12, 2), "8": (12, 2),
    "worldsid-5th": (18, 3), "9": (18, 3),
    "worldsid-2ndgen": (18, 3), "10": (18, 3),
}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("model", help="model ring value 1..10 or name: " + ", ".join(k for k in MODELS if not k.isdigit()))
    p.add_argument("--start", type=float, default=-10.0, help="first time_ms (default -10)")
    p.add_argument("--end", type=float, default=100.0, help="last time_ms (default 100)")
    p.add_argument("--step", type=float, default=0.1, help="ms between rows (default 0.1)")
    p.add_argument("--depth", type=float, default=8000.0, help="largest deflection in counts (default 8000)")
    p.add_argument("--width", type=float, default=40.0, help="pulse length in ms (default 40)")
    p.add_argument("-o", "--output", help="file to write (default: standard output)")
    a = p.parse_args()
    if a.model.lower() not in MODELS:
        p.error("unknown model " + a.model)
    if a.step <= 0 or a.end < a.start:
        p.error("need --step > 0 and --end >= --start")
    leds, axes = MODELS[a.model.lower()]
    out = open(a.output, "w", newline="") if a.output else sys.stdout
    out.write(",".join(["time_ms"] + ["led%d_%s" % (l, "xyz"[j]) for l in range(1, leds + 1) for j in range(axes)]) + "\n")
    rows = int(round((a.end - a.start) / a.step)) + 1
    for r in range(rows):
        t = a.start + r * a.step
        fields = ["%.4f" % t]
        for l in range(leds):
            onset = 2.0 + 0.5 * l
            depth = a.depth * (1.0 - 0.03 * l)
            phase = (t - onset) / a.width
            pulse = 0.5 * (1.0 - math.cos(2.0 * math.pi * phase)) if 0.0 <= phase <= 1.0 else 0.0
            for j in range(axes):
                rest = 20000 + 1500 * l + 700 * j
                sign = -1.0 if j == 1 else 1.0
                fields.append(str(int(round(min(65535, max(0, rest + sign * depth * pulse * (1.0 - 0.4 * j)))))))
        out.write(",".join(fields) + "\n")
    if out is not sys.stdout:
        out.close()


if __name__ == "__main__":
    main()
