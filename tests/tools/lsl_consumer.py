"""Independent LSL consumer for the tests: resolves streams and prints what it sees as JSON.

usage: lsl_consumer.py PREFIX EXPECTED_STREAMS SAMPLES_PER_STREAM TIMEOUT
Prints one JSON object: {"streams": [{name, type, channels, rate, source_id, manufacturer, firmware,
labels, units, types, samples: [[...], ...], timestamps: [...]}]}; the channel labels, units and types come from
the full stream description (desc()) of the open inlet, the time stamps are the sender's, uncorrected.
It prints "READY" on its own line once every inlet is open, so the producer knows when to push.
"""
import json
import sys
import time

import pylsl


def channels(desc):
    labels, units, types = [], [], []
    ch = desc.child("channels").child("channel")
    while not ch.empty():
        labels.append(ch.child_value("label"))
        units.append(ch.child_value("unit"))
        types.append(ch.child_value("type"))
        ch = ch.next_sibling()
    return labels, units, types


def main():
    prefix, expected, wanted, timeout = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    deadline = time.monotonic() + timeout
    infos = []
    while time.monotonic() < deadline:
        infos = [i for i in pylsl.resolve_streams(wait_time=0.5) if i.name().startswith(prefix)]
        if len(infos) >= expected:
            break
    inlets = []
    for info in sorted(infos, key=lambda i: i.name()):
        inlet = pylsl.StreamInlet(info, max_buflen=60)
        inlet.open_stream(timeout=10)
        inlets.append((info, inlet))
    print("READY", flush=True)
    out = []
    for info, inlet in inlets:
        samples, stamps = [], []
        while len(samples) < wanted and time.monotonic() < deadline:
            sample, stamp = inlet.pull_sample(timeout=0.5)
            if sample is not None:
                samples.append(sample)
                stamps.append(stamp)
        full = inlet.info(timeout=10)
        desc = full.desc()
        labels, units, types = channels(desc)
        out.append({"name": info.name(), "type": info.type(), "channels": info.channel_count(),
                    "rate": info.nominal_srate(), "source_id": info.source_id(),
                    "manufacturer": desc.child_value("manufacturer"),
                    "firmware": desc.child("acquisition").child_value("firmware_version"),
                    "labels": labels, "units": units, "types": types,
                    "samples": samples, "timestamps": stamps})
    print(json.dumps({"streams": out}), flush=True)


if __name__ == "__main__":
    main()
