"""Reads a hard-drive record with a tool that knows nothing of this program: Python's csv module."""
import csv
import struct
import sys

folder = sys.argv[1]
expected = [float.fromhex(line) for line in open(f"{folder}/expected.txt")]
with open(f"{folder}/signalsInfo.csv", newline="") as f:
    rows = list(csv.DictReader(f))
assert rows[0]["device"] == 'KVN, "test" device', rows[0]["device"]
assert [(r["signal"], r["filename"]) for r in rows] == [("EEG", "EEG.csv"), ("HAP", ""), ("COM", "COM.csv"),
    ("ANC", "ANC_1.csv"), ("ANC", "ANC_2.csv"), ("uSD", ""), ("UTC", "UTC.csv")], rows
with open(f"{folder}/EEG.csv", newline="") as f:
    eeg = list(csv.reader(f))
assert eeg[0] == ["sample", "sequence", "battery", "flags", "timestamp", "utc", "ch1", "ch2", "ch3"], eeg[0]
assert [int(row[0]) for row in eeg[1:]] == list(range(48)) and eeg[5][1] == "65521", eeg[5]
# Channel after channel of each sample: the order of the block's vector, compared bit for bit.
values = [struct.pack("<d", float(v)) for row in eeg[1:] for v in row[6:]]
assert values == [struct.pack("<d", v) for v in expected], "values differ"
with open(f"{folder}/UTC.csv", newline="") as f:
    utc = list(csv.reader(f))
assert len(utc) == 13 and utc[12][5] == "1764921600000011", utc[-1]
print("ok")
