#!/usr/bin/python3
"""Where splitting a run into bands starts to pay: the check of the host's band threshold.

For square 8-bit images from 128 x 128 to 2048 x 2048, prints the time of one run on one host
thread and on two with every run split (threshold 0), and on two at the host's own threshold. The
threshold is right when the forced split loses below it and gains above it. _AddImage is the
cheapest splittable work per byte, so the one a split costs most; _DivImage the dearest. Times are
the least of seven rounds through the host runtime in C++ (no Python per run).
Run with the build tree on PYTHONPATH: PYTHONPATH=build/python bench/band_threshold.py
"""
import numpy as np

import rasterkit as rk
from rasterkit import _core


def seconds(index, inputs, threads, threshold):
    _core.set_threads(threads)
    _core.set_band_threshold(threshold)
    runs = max(1, int(0.02 / max(_core.time_entry(index, inputs, {}, 1), 1e-7)))
    return min(_core.time_entry(index, inputs, {}, runs) for _ in range(7))


def main():
    default = _core.band_threshold()
    rng = np.random.default_rng(0)
    print(f"host band threshold: {default} bytes of output")
    print(f"{'processor':10} {'side':>5} {'bytes':>9} {'1 thread':>10} {'2, split':>10} {'2, host':>10}"
          f" {'split/1':>8} {'host/1':>7}")
    try:
        for entry in ("_AddImage", "_DivImage"):
            index = rk._lookup(entry)
            for side in (128, 256, 362, 512, 724, 1024, 1448, 2048):
                a = rng.integers(0, 256, (side, side), dtype=np.uint8)
                b = rng.integers(1, 256, (side, side), dtype=np.uint8)
                one = seconds(index, (a, b), 1, default)
                split = seconds(index, (a, b), 2, 0)
                host = seconds(index, (a, b), 2, default)
                print(f"{entry:10} {side:5} {side * side:9} {one * 1e6:8.1f}us {split * 1e6:8.1f}us "
                      f"{host * 1e6:8.1f}us {one / split:7.2f}x {one / host:6.2f}x")
    finally:
        _core.set_band_threshold(default)
        _core.set_threads(0)


if __name__ == "__main__":
    main()
