#!/usr/bin/env python3
"""Usage: filter_reference.py OUTPUT_FILE -- SciPy reference designs and outputs for the Butterworth filter tests.
Per case four lines: "case KIND ORDER RATE F1 F2 CHANNELS SAMPLES_PER_BLOCK BLOCKS", "sos" and the sections'
b0 b1 b2 a0 a1 a2, "in" and the input channel after channel, "out" and sosfilt of each channel from zero state.
A design SciPy refuses is one line "invalid KIND ORDER RATE F1 F2". KIND is the C++ FilterType (0 low-pass,
1 high-pass, 2 band-pass, 3 band-stop); F2 is -1 for single-edge kinds, as the C++ call takes it.
"""
import sys

import numpy as np
from scipy import signal

ORDERS = (1, 2, 3, 4, 5, 8)
# Per rate: edges of each kind, with the viewer's own defaults among them and some near the band edges.
EDGES = {
    256: {"lowpass": [(30.0,), (60.0,), (120.0,)], "highpass": [(0.5,), (1.0,)],
          "bandpass": [(1.0, 30.0), (0.5, 60.0)], "bandstop": [(48.0, 52.0), (58.0, 62.0)]},
    1024: {"lowpass": [(30.0,), (60.0,)], "highpass": [(0.5,), (10.0,)],
           "bandpass": [(1.0, 30.0), (0.5, 60.0)], "bandstop": [(48.0, 52.0), (43.0, 57.0)]},
    250: {"lowpass": [(40.0,), (124.0,)], "highpass": [(0.5,), (100.0,)],
          "bandpass": [(1.0, 30.0), (8.0, 12.0)], "bandstop": [(48.0, 52.0), (1.0, 120.0)]}}
BLOCK = {256: 8, 1024: 16, 250: 10}
KINDS = ["lowpass", "highpass", "bandpass", "bandstop"]
INVALID = [
    ("lowpass", 4, 256, 128.0, -1.0), ("lowpass", 4, 256, 200.0, -1.0), ("lowpass", 4, 256, 0.0, -1.0),
    ("highpass", 2, 1024, -1.0, -1.0), ("highpass", 2, 1024, 512.0, -1.0),
    ("bandpass", 4, 256, 30.0, 1.0), ("bandpass", 4, 256, 10.0, 10.0), ("bandpass", 4, 256, 1.0, 128.0),
    ("bandstop", 4, 250, 52.0, 48.0), ("bandstop", 4, 250, 0.0, 52.0), ("bandstop", 4, 250, 48.0, 125.0)]


def fmt(values):
    return " ".join(repr(float(v)) for v in np.ravel(values))


def design(kind, order, rate, f1, f2):
    return signal.butter(order, f1 if f2 < 0 else [f1, f2], btype=kind, fs=rate, output="sos")


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    rng = np.random.default_rng(20261206)
    lines = []
    channels, blocks = 3, 12
    for rate, kinds in EDGES.items():
        spb = BLOCK[rate]
        t = np.arange(spb * blocks) / rate
        for kind, edge_list in kinds.items():
            for edges in edge_list:
                f1, f2 = (edges[0], -1.0) if len(edges) == 1 else edges
                for order in ORDERS:
                    sos = design(kind, order, rate, f1, f2)
                    x = np.array([20.0 * np.sin(2 * np.pi * 10.0 * t + c) + 8.0 * np.sin(2 * np.pi * 50.0 * t)
                                  + 5.0 * np.sin(np.pi / 2 * rate * t) + 3.0 * rng.standard_normal(t.size)
                                  + 40.0 * (c - 1) for c in range(channels)])
                    lines.append(f"case {KINDS.index(kind)} {order} {rate!r} {f1!r} {f2!r} {channels} {spb} {blocks}")
                    lines += ["sos " + fmt(sos), "in " + fmt(x), "out " + fmt(signal.sosfilt(sos, x, axis=1))]
    for kind, order, rate, f1, f2 in INVALID:
        try:
            design(kind, order, rate, f1, f2)
        except ValueError:
            lines.append(f"invalid {KINDS.index(kind)} {order} {rate!r} {f1!r} {f2!r}")
        else:
            sys.stderr.write(f"SciPy accepted a design listed as invalid: {kind} {order} {rate} {f1} {f2}\n")
            return 1
    with open(sys.argv[1], "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
