"""Reads a BDF+/EDF+ file with two independent readers (pyedflib, MNE) and compares it with what the test expects.

Usage: bdf_check.py FILE EXPECTED_JSON VALUES_BIN
The JSON lists per channel its label, unit, rate and sample count (the values, float64, channel after channel, are in
VALUES_BIN) and the annotations expected (description, onset and duration in seconds, -1 for none). Prints what
differs and exits 1, or exits 0.
"""
import json
import sys
import warnings

import numpy as np
import pyedflib

path, expected_path, values_path = sys.argv[1:4]
expected = json.load(open(expected_path))
values = np.fromfile(values_path, dtype="<f8")
channels = expected["channels"]
errors = []


def check(cond, message):
    if not cond:
        errors.append(message)


# pyedflib: every channel at its own rate, physical values.
f = pyedflib.EdfReader(path)
try:
    check(f.signals_in_file == len(channels), f"pyedflib: {f.signals_in_file} signals, expected {len(channels)}")
    labels = f.getSignalLabels()
    offset = 0
    for i, ch in enumerate(channels):
        n = ch["samples"]
        want = values[offset:offset + n]
        offset += n
        if i >= f.signals_in_file:
            continue
        check(labels[i] == ch["label"], f"pyedflib: label {labels[i]!r}, expected {ch['label']!r}")
        check(f.getPhysicalDimension(i) == ch["unit"], f"{ch['label']}: unit {f.getPhysicalDimension(i)!r}, expected {ch['unit']!r}")
        check(abs(f.getSampleFrequency(i) - ch["rate"]) < 1e-9, f"{ch['label']}: rate {f.getSampleFrequency(i)}, expected {ch['rate']}")
        check(f.getNSamples()[i] == n, f"{ch['label']}: {f.getNSamples()[i]} samples, expected {n}")
        step = (f.getPhysicalMaximum(i) - f.getPhysicalMinimum(i)) / (f.getDigitalMaximum(i) - f.getDigitalMinimum(i))
        got = f.readSignal(i)[:n]
        if len(got) == n and n:
            worst = float(np.max(np.abs(got - want)))
            check(worst <= step * (1 + 1e-6), f"{ch['label']}: off by {worst}, one step is {step}")
    onsets, durations, texts = f.readAnnotations()
    got_notes = [(str(t), float(o), float(d)) for o, d, t in zip(onsets, durations, texts)]
    start = f.getStartdatetime()
    if expected.get("start"):
        check(start.strftime("%Y-%m-%d %H:%M:%S") == expected["start"], f"pyedflib: start {start}, expected {expected['start']}")
    check(expected["equipment"] in f.getEquipment(), f"pyedflib: equipment {f.getEquipment()!r}")
finally:
    f.close()


def same_notes(reader, got, end=None):
    for text, onset, duration in expected["annotations"]:
        # A reader that cuts annotations at the end of the data (MNE) shows a long drop shortened.
        if end is not None and duration > 0:
            duration = min(duration, end - onset)
        match = [g for g in got if g[0] == text and abs(g[1] - onset) < 1e-3 and
                 (duration < 0 and g[2] <= 0 or abs(g[2] - duration) < 1e-3)]
        check(match, f"{reader}: no annotation {text!r} at {onset} s lasting {duration} s in {got}")
    check(len(got) == len(expected["annotations"]), f"{reader}: {len(got)} annotations, expected {len(expected['annotations'])}")


same_notes("pyedflib", got_notes)

# MNE: one rate for the whole file (the highest); names, length, annotations, and the values of channels at that rate.
import mne  # noqa: E402

mne.set_log_level("ERROR")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    reader = mne.io.read_raw_bdf if path.endswith(".bdf") else mne.io.read_raw_edf
    raw = reader(path, preload=True)
top = max(ch["rate"] for ch in channels)
check(raw.ch_names == [ch["label"] for ch in channels], f"mne: names {raw.ch_names}")
check(abs(raw.info["sfreq"] - top) < 1e-9, f"mne: sfreq {raw.info['sfreq']}, expected {top}")
longest = max(ch["samples"] for ch in channels if ch["rate"] == top)
check(raw.n_times == longest, f"mne: {raw.n_times} samples, expected {longest}")
data = raw.get_data()
offset = 0
for i, ch in enumerate(channels):
    n = ch["samples"]
    want = values[offset:offset + n]
    offset += n
    if ch["rate"] != top or ch["unit"] != "uV" or i >= len(data):
        continue
    worst = float(np.max(np.abs(data[i][:n] * 1e6 - want)))
    check(worst <= ch["step"] * (1 + 1e-6) + 1e-9, f"mne: {ch['label']} off by {worst} uV, one step is {ch['step']}")
same_notes("mne", [(str(a["description"]), float(a["onset"]), float(a["duration"])) for a in raw.annotations],
           raw.n_times / raw.info["sfreq"])

if errors:
    print("\n".join(errors[:40]))
    sys.exit(1)
print("ok")
