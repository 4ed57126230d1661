"""Time stamps of the viewer's LSL streams, as an independent consumer (pylsl) receives them.

usage: .venv/bin/python bench/lsl_timing.py [VIEWER] [SECONDS]
Starts VIEWER (default build/lumetra-viewer) without a display on the 64-channel headset (USB COM10, 1024 Hz)
and then on the biosignals device (USB COM3, EEG at 256 Hz, GSR, BVP), streaming over LSL at real speed, pulls
SECONDS (default 30) of every stream and prints per stream: samples, the smallest interval between stamps, the
share of intervals under 0.1 ms, the rms and largest distance from the least-squares grid (jitter) and the
grid's rate against the nominal one (drift, ppm).
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pylsl

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def measure(viewer, port, device, seconds):
    config = {"connection": {"type": "usb", "properties": {"port": port}}, "sensors": "water", "lsl": True,
              "autostart": True}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.json")
        with open(path, "w") as f:
            json.dump(config, f)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", KVN_SDCARD_DIR=tmp, KVN_SIM_TIME_SCALE="1")
        env.setdefault("KVN_LSL_LIBRARY", os.path.join(ROOT, "third_party", "liblsl", "liblsl.so"))
        proc = subprocess.Popen([viewer, path], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            infos = []
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not infos:
                infos = [i for i in pylsl.resolve_streams(wait_time=1.0) if i.name().startswith(device + "_")]
            if not infos:
                print(f"{device}: no stream appeared")
                return
            time.sleep(1.0)  # every stream of the device announced
            infos = [i for i in pylsl.resolve_streams(wait_time=1.0) if i.name().startswith(device + "_")]
            inlets = [(i, pylsl.StreamInlet(i, max_buflen=int(seconds) + 30)) for i in sorted(infos, key=lambda i: i.name())]
            for _, inlet in inlets:
                inlet.open_stream(timeout=10)
            stamps = {i.name(): [] for i, _ in inlets}
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                for info, inlet in inlets:
                    _, ts = inlet.pull_chunk(timeout=0.0)
                    stamps[info.name()].extend(ts)
                time.sleep(0.05)
            for _, inlet in inlets:
                inlet.close_stream()
        finally:
            proc.terminate()
            proc.wait(timeout=30)
    for info, _ in inlets:
        t = np.array(stamps[info.name()])
        if len(t) < 3:
            print(f"{info.name()}: {len(t)} samples")
            continue
        d = np.diff(t)
        i = np.arange(len(t))
        slope, icpt = np.polyfit(i, t - t[0], 1)
        resid = t - t[0] - (icpt + slope * i)
        rate = info.nominal_srate()
        print(f"{info.name():24s} {rate:6.0f} Hz {len(t):7d} samples  min interval {d.min() * 1e3:7.3f} ms  "
              f"<0.1 ms {100.0 * np.mean(d < 1e-4):5.1f} %  jitter rms {np.sqrt(np.mean(resid ** 2)) * 1e3:6.3f} ms "
              f"max {np.abs(resid).max() * 1e3:6.3f} ms  drift {(slope * rate - 1) * 1e6:+7.1f} ppm")


def main():
    viewer = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "lumetra-viewer")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
    print(f"LSL time stamps over {seconds:.0f} s per device, as pylsl receives them ({viewer})")
    measure(viewer, 10, "KVN-H64-1010", seconds)
    measure(viewer, 3, "KVN-B08-3003", seconds)


if __name__ == "__main__":
    main()
