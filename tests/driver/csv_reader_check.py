"""Reads a hard-drive record with tools that know nothing of this program: Python's csv module and NumPy."""
import csv
import struct
import sys

import numpy as np

folder = sys.argv[1]
expected = [float.fromhex(line) for line in open(f"{folder}/expected.txt")]


def bits(x):
    return struct.pack("<d", x)


with open(f"{folder}/signalsInfo.csv", newline="") as f:
    rows = list(csv.DictReader(f))
assert rows[0]["device"] == 'KVN, "test" device', rows[0]["device"]
files = [r["filename"] for r in rows if r["filename"]]
assert files == ["EEG.csv", "COM.csv", "ANC_1.csv", "ANC_2.csv", "UTC.csv"], files

with open(f"{folder}/EEG.csv", newline="") as f:
    reader = csv.reader(f)
    header = next(reader)
    assert header == ["sample", "sequence", "battery", "flags", "timestamp", "utc", "ch1", "ch2", "ch3"], header
    values = []
    for n, row in enumerate(reader):
        assert int(row[0]) == n
        values += [float(v) for v in row[6:]]
# The file holds channel after channel of each sample; the expected list is the block's vector, in the same order.
assert len(values) == len(expected), (len(values), len(expected))
for i, (got, want) in enumerate(zip(values, expected)):
    assert bits(got) == bits(want), (i, got, want)

table = np.loadtxt(f"{folder}/EEG.csv", delimiter=",", skiprows=1)
assert table.shape == (48, 9), table.shape
assert list(table[:5, 1]) == [65520, 65520, 65520, 65520, 65521]
utc = np.loadtxt(f"{folder}/UTC.csv", delimiter=",", skiprows=1, dtype=np.int64)
assert utc.shape == (12, 6) and utc[11, 5] == 1764921600000011
print("ok")
