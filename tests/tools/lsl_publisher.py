"""LSL sources for the tests, published with pylsl (its own liblsl), paced in real time.

usage: lsl_publisher.py KIND PREFIX OUTDIR [FIRST_INDEX]
KIND "device": PREFIX+"EEG" (EEG, 32 channels at 500 Hz, labelled), PREFIX+"Acc" (Accelerometer, 3 channels at
50 Hz) and PREFIX+"Markers" (irregular), all of source id PREFIX+"src".
KIND "bad": PREFIX+"Zero" (0 channels, never pushed to), PREFIX+"Huge" (10000 channels at 10 Hz),
PREFIX+"Text" (strings at 10 Hz), PREFIX+"NaN" (4 channels at 100 Hz, every other value of channel 2 NaN).
KIND "bench": PREFIX+"EEG" (EEG, 64 channels at 1024 Hz).
Channel 1 of every numeric stream carries the sample's index (from FIRST_INDEX), so a reader can tell where it
is; the other channels are float32 values. Every sample pushed is appended to OUTDIR/<stream name>.csv as
"stamp,v1,v2,..." (values exactly as float32, written as the shortest text that reads back the same), flushed
with every chunk. Prints "READY" once the outlets exist; runs until killed.
"""
import math
import os
import sys
import time

import numpy as np
import pylsl


def outlet(name, type_, channels, rate, fmt, source, labels=None):
    info = pylsl.StreamInfo(name, type_, channels, rate, fmt, source)
    if labels:
        chans = info.desc().append_child("channels")
        for label in labels:
            ch = chans.append_child("channel")
            ch.append_child_value("label", label)
            ch.append_child_value("unit", "microvolts")
            ch.append_child_value("type", type_)
    return pylsl.StreamOutlet(info, chunk_size=0, max_buffered=360)


class Regular:
    def __init__(self, out, name, channels, rate, first, outdir, nan=False):
        self.out, self.name, self.channels, self.rate = out, name, channels, rate
        self.sent, self.first, self.nan = 0, first, nan
        self.file = open(os.path.join(outdir, name + ".csv"), "a") if outdir != "-" else None

    def values(self, n):
        row = np.empty(self.channels, dtype=np.float32)
        row[0] = n
        c = np.arange(1, self.channels, dtype=np.float64)
        row[1:] = (np.sin(n * 0.013 * c) * 50.0 + c).astype(np.float32)
        if self.nan and self.channels > 1 and n % 2:
            row[1] = np.nan
        return row

    def pump(self, t0, now):
        due = int((now - t0) * self.rate) + 1 - self.sent
        if due <= 0:
            return
        rows, stamps = [], []
        for k in range(due):
            i = self.sent + k
            rows.append(self.values(self.first + i))
            stamps.append(t0 + i / self.rate)
        self.out.push_chunk(np.array(rows, dtype=np.float32), stamps)
        if self.file:
            self.file.write("".join(
                repr(s) + "," + ",".join(repr(float(v)) for v in r) + "\n" for s, r in zip(stamps, rows)))
            self.file.flush()
        self.sent += due


def main():
    kind, prefix, outdir = sys.argv[1], sys.argv[2], sys.argv[3]
    first = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    if outdir != "-":
        os.makedirs(outdir, exist_ok=True)
    src = prefix + "src"
    regular, markers, text, kept = [], None, None, []
    f32 = pylsl.cf_float32
    if kind == "device":
        labels = ["Fp1", "Fp2", "F7", "F3", "Fz", "F4", "F8", "FC5", "FC1", "FC2", "FC6", "T7", "C3", "Cz", "C4",
                  "T8", "TP9", "CP5", "CP1", "CP2", "CP6", "TP10", "P7", "P3", "Pz", "P4", "P8", "PO9", "O1", "Oz",
                  "O2", "PO10"]
        regular.append(Regular(outlet(prefix + "EEG", "EEG", 32, 500, f32, src, labels), prefix + "EEG", 32, 500,
                               first, outdir))
        regular.append(Regular(outlet(prefix + "Acc", "Accelerometer", 3, 50, f32, src, ["X", "Y", "Z"]),
                               prefix + "Acc", 3, 50, first // 10, outdir))
        markers = outlet(prefix + "Markers", "Markers", 1, pylsl.IRREGULAR_RATE, f32, src)
    elif kind == "bad":
        try:
            kept.append(outlet(prefix + "Zero", "EEG", 0, 100, f32, src + "zero"))
        except Exception as e:  # liblsl may refuse a stream without channels
            print("no zero-channel stream:", e, file=sys.stderr, flush=True)
        huge = outlet(prefix + "Huge", "EEG", 10000, 10, f32, src + "huge")
        regular.append(Regular(huge, prefix + "Huge", 10000, 10, first, "-"))
        text = outlet(prefix + "Text", "EEG", 1, 10, pylsl.cf_string, src + "text")
        regular.append(Regular(outlet(prefix + "NaN", "EEG", 4, 100, f32, src + "nan"), prefix + "NaN", 4, 100,
                               first, outdir, nan=True))
    elif kind == "bench":
        regular.append(Regular(outlet(prefix + "EEG", "EEG", 64, 1024, f32, src), prefix + "EEG", 64, 1024, first,
                               "-"))
    else:
        sys.exit("unknown kind " + kind)
    print("READY", flush=True)
    t0 = pylsl.local_clock()
    ticks = 0
    while True:
        now = pylsl.local_clock()
        for r in regular:
            r.pump(t0, now)
        if markers is not None and ticks % 25 == 0:
            markers.push_sample([float(ticks)])
        if text is not None and ticks % 5 == 0:
            text.push_sample(["word %d" % ticks])
        ticks += 1
        time.sleep(0.02)


if __name__ == "__main__":
    main()
