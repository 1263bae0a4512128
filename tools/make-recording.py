#!/usr/bin/env python3
"""Writes an example recording for vantis-sim (--data FILE, vantis-ctl data load FILE).

The data is made up: every coordinate rests at a value of its own and, after
the trigger, follows one smooth deflection pulse (a raised cosine) whose depth
and timing differ a little from LED to LED. It is for checking a host's
processing against known numbers, not a model of any dummy.
"""
import argparse
import math
import os
import re
import sys

# The models' ring values, ring texts, short names and LEDs x coordinates, from
# the simulator's one table of models (common/models.h).
MODELS_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common", "models.h")
ROW = re.compile(r'^\s*\{(\d+), "([^"]*)", "([^"]*)", (\d+), (\d+)\},')


def read_models(path=MODELS_HEADER):
    """{word: (leds, axes)} for every value, short name and ring text (lower case)."""
    models, listing = {}, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = ROW.match(line)
            if not m or int(m.group(1)) == 0:
                continue
            value, ring, short, leds, axes = m.group(1), m.group(2), m.group(3), int(m.group(4)), int(m.group(5))
            for word in (value, short, ring.lower()):
                models[word] = (leds, axes)
            listing.append("%s %s (%s)" % (value, short, ring))
    if not models:
        sys.exit("make-recording.py: no models in " + path)
    return models, listing


def main():
    models, listing = read_models()
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                epilog="models: " + "; ".join(listing))
    p.add_argument("model", help="model ring value 1..10, short name or the ring's text (any case)")
    p.add_argument("--start", type=float, default=-10.0, help="first time_ms (default -10)")
    p.add_argument("--end", type=float, default=100.0, help="last time_ms (default 100)")
    p.add_argument("--step", type=float, default=0.1, help="ms between rows (default 0.1)")
    p.add_argument("--depth", type=float, default=8000.0, help="largest deflection in counts (default 8000)")
    p.add_argument("--width", type=float, default=40.0, help="pulse length in ms (default 40)")
    p.add_argument("-o", "--output", help="file to write (default: standard output)")
    a = p.parse_args()
    if a.model.lower() not in models:
        p.error("unknown model " + a.model + " (models: " + "; ".join(listing) + ")")
    if a.step <= 0 or a.end < a.start:
        p.error("need --step > 0 and --end >= --start")
    leds, axes = models[a.model.lower()]
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
