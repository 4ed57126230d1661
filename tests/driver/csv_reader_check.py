"""Reads a hard-drive record with a tool that knows nothing of this program: Python's csv module."""
import csv
import struct
import sys

folder = sys.argv[1]


def read(name):
    with open(f"{folder}/{name}", newline="") as f:
        return list(csv.reader(f))


info, eeg, utc = read("signalsInfo.csv"), read("EEG.csv"), read("UTC.csv")
device, signal, filename = (info[0].index(column) for column in ("device", "signal", "filename"))
assert info[1][device] == 'KVN, "test" device', info[1]
assert [(r[signal], r[filename]) for r in info[1:]] == [("EEG", "EEG.csv"), ("HAP", ""), ("COM", "COM.csv"),
    ("ANC", "ANC_1.csv"), ("ANC", "ANC_2.csv"), ("uSD", ""), ("UTC", "UTC.csv")], info
assert eeg[0] == ["sample", "sequence", "battery", "flags", "timestamp", "utc", "ch1", "ch2", "ch3"], eeg[0]
assert [int(row[0]) for row in eeg[1:]] == list(range(48)) and eeg[5][1] == "65521", eeg[5]
# Channel after channel of each sample: the order of the block's vector, compared bit for bit.
values = [struct.pack("<d", float(v)) for row in eeg[1:] for v in row[6:]]
assert values == [struct.pack("<d", float.fromhex(line)) for line in open(f"{folder}/expected.txt")], "values differ"
assert len(utc) == 13 and utc[12][5] == "1764921600000011", utc[-1]
print("ok")
