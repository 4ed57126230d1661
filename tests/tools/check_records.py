"""Reads hard-drive records with pandas alone, knowing nothing of the program that wrote them.

Usage: check_records.py FOLDER...
Prints one line per folder: "OK <tab> folder <tab> blocks <tab> positions of sequence breaks (comma separated)"
or "FAIL <tab> folder <tab> reason". Every file of a record must hold whole blocks that agree with the other
files block by block (sequence, battery, flags, time stamps). Exits 1 when any folder failed.
"""
import os
import sys

import pandas as pd

STAMPS = ["sequence", "battery", "flags", "timestamp", "utc"]


def blocks_of(path, channels, per_block, aux=False):
    frame = pd.read_csv(path)
    # A digital aux input's rows are its IMUs, numbered in a last column.
    expected = ["sample", *STAMPS] + [f"ch{c + 1}" for c in range(channels)] + (["imu"] if aux else [])
    if list(frame.columns) != expected:
        raise ValueError(f"{os.path.basename(path)}: columns {list(frame.columns)[:8]}")
    # Imported records have no time stamps: those two columns are empty throughout, never in part.
    stamps = frame[["timestamp", "utc"]].isna()
    if frame.drop(columns=["timestamp", "utc"]).isna().any().any() or (stamps.any() & ~stamps.all()).any():
        raise ValueError(f"{os.path.basename(path)}: empty cells")
    if len(frame) % per_block:
        raise ValueError(f"{os.path.basename(path)}: {len(frame)} rows, not whole blocks of {per_block}")
    if (frame["sample"].to_numpy() != range(len(frame))).any():
        raise ValueError(f"{os.path.basename(path)}: sample column does not count rows")
    if aux and (frame["imu"].to_numpy() != [1 + row % per_block for row in range(len(frame))]).any():
        raise ValueError(f"{os.path.basename(path)}: imu column does not count the IMUs of each block")
    grouped = frame[STAMPS].groupby(frame["sample"] // per_block)
    if (grouped.nunique(dropna=False) > 1).any().any():
        raise ValueError(f"{os.path.basename(path)}: rows of one block disagree")
    return grouped.first().reset_index(drop=True)


def check(folder):
    info = pd.read_csv(os.path.join(folder, "signalsInfo.csv"), keep_default_na=False)
    tables = {}
    for _, row in info.iterrows():
        if not row["filename"] or row["signal"] == "UTC":
            continue
        tables[row["filename"]] = blocks_of(os.path.join(folder, row["filename"]), int(row["channels"]),
                                            int(row["samples_per_block"]), str(row["signal"]).startswith("COM"))
    if os.path.exists(os.path.join(folder, "UTC.csv")):
        tables["UTC.csv"] = blocks_of(os.path.join(folder, "UTC.csv"), 0, 1)
    if not tables:
        raise ValueError("no data file")
    names = list(tables)
    first = tables[names[0]]
    for name in names[1:]:
        other = tables[name]
        if len(other) != len(first):
            raise ValueError(f"{name} holds {len(other)} blocks, {names[0]} {len(first)}")
        if not other.equals(first):
            raise ValueError(f"{name} and {names[0]} disagree")
    seq = first["sequence"].to_numpy()
    breaks = [str(i) for i in range(1, len(seq)) if (int(seq[i - 1]) + 1) % 65536 != int(seq[i])]
    return len(first), ",".join(breaks)


failed = False
for folder in sys.argv[1:]:
    try:
        blocks, breaks = check(folder)
        print(f"OK\t{folder}\t{blocks}\t{breaks}")
    except Exception as e:  # every fault of one record is reported, the others are still read
        failed = True
        print(f"FAIL\t{folder}\t{type(e).__name__}: {e}")
sys.exit(1 if failed else 0)
