"""Independent LSL consumer for the tests: resolves streams and prints what it sees as JSON.

usage: lsl_consumer.py PREFIX EXPECTED_STREAMS SAMPLES_PER_STREAM TIMEOUT
Prints one JSON object: {"streams": [{name, type, channels, rate, source_id, samples: [[...], ...]}]}.
It prints "READY" on its own line once every inlet is open, so the producer knows when to push.
"""
import json
import sys
import time

import pylsl


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
        samples = []
        while len(samples) < wanted and time.monotonic() < deadline:
            sample, _ = inlet.pull_sample(timeout=0.5)
            if sample is not None:
                samples.append(sample)
        out.append({"name": info.name(), "type": info.type(), "channels": info.channel_count(),
                    "rate": info.nominal_srate(), "source_id": info.source_id(), "samples": samples})
    print(json.dumps({"streams": out}), flush=True)


if __name__ == "__main__":
    main()
