"""What mne-lsl makes of the streams whose names begin with PREFIX: channel names, MNE channel types and the
units as the description gives them, read through mne-lsl's own StreamInfo of an open inlet.

usage: mne_lsl_info.py PREFIX EXPECTED_STREAMS TIMEOUT
Prints one JSON object: {"streams": [{name, ch_names, ch_types, units, mne_types, manufacturer}]}.
"""
import json
import sys
import time

from mne_lsl.lsl import StreamInlet, resolve_streams


def main():
    prefix, expected, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    deadline = time.monotonic() + timeout
    infos = []
    while time.monotonic() < deadline:
        infos = [i for i in resolve_streams(timeout=0.5) if i.name.startswith(prefix)]
        if len(infos) >= expected:
            break
    out = []
    for info in sorted(infos, key=lambda i: i.name):
        inlet = StreamInlet(info)
        inlet.open_stream(timeout=10)
        full = inlet.get_sinfo(timeout=10)
        mne_info = full.get_channel_info()
        out.append({"name": full.name, "ch_names": full.get_channel_names(),
                    "ch_types": full.get_channel_types(), "units": full.get_channel_units(),
                    "mne_types": mne_info.get_channel_types(),
                    "manufacturer": full.desc.child("manufacturer").first_child().value()})
        inlet.close_stream()
    print(json.dumps({"streams": out}), flush=True)


if __name__ == "__main__":
    main()
