#!/usr/bin/python3
"""The rasterkit package against the C++ entry it wraps, cv2 and numpy, in one process.

Prints per-call times of _AddImage (8-bit inputs and output) on a 1 x 1 image, where the
package's overhead shows, and on 4096 x 4096, where the processor's speed does. The C++ column
times instance creation and run through the host runtime inside C++, without Python.
Run with the build tree on PYTHONPATH: PYTHONPATH=build/python bench/python_bench.py
"""
import sys
import time

import numpy as np

import rasterkit as rk
from rasterkit import _core


def per_call(fn, seconds=1.0):
    """Least mean time per call over five rounds of about seconds/5 each."""
    fn()
    n, start = 1, time.perf_counter()
    while time.perf_counter() - start < seconds / 25:
        fn()
        n += 1
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - start) / n)
    return best


def cpp_per_call(index, inputs, seconds=1.0):
    runs = max(1, int(seconds / 5 / max(_core.time_entry(index, inputs, {}, 1), 1e-7)))
    return min(_core.time_entry(index, inputs, {}, runs) for _ in range(5))


def main():
    try:
        import cv2
    except ImportError:
        cv2 = None
    index = next(i for i, r in enumerate(rk.catalogue()) if r.entry == "_AddImage")
    rng = np.random.default_rng(1)
    rows = []
    for side in (1, 4096):
        a = rng.integers(0, 256, (side, side), dtype=np.uint8)
        b = rng.integers(0, 256, (side, side), dtype=np.uint8)
        assert np.array_equal(rk.add_image(a, b), a + b)  # both wrap around
        times = {
            "C++ entry": cpp_per_call(index, (a, b)),
            "rasterkit": per_call(lambda: rk.add_image(a, b)),
            "cv2.add (saturates)": per_call(lambda: cv2.add(a, b)) if cv2 else float("nan"),
            "numpy a + b": per_call(lambda: np.add(a, b)),
        }
        rows.append((f"_AddImage uint8 {side} x {side}", times))
    names = list(rows[0][1])
    print(f"{'operation':28}" + "".join(f"{n:>22}" for n in names))
    for label, times in rows:
        print(f"{label:28}" + "".join(f"{times[n] * 1e6:>19.2f} us" for n in names))
    small, large = rows[0][1], rows[1][1]
    overhead = (small["rasterkit"] - small["C++ entry"]) * 1e6
    speed = large["C++ entry"] / large["rasterkit"]
    print(f"\nper-call overhead over the C++ entry (1 x 1): {overhead:.2f} us (target at most 5)")
    print(f"speed through Python relative to the C++ entry (4096 x 4096): {speed:.3f}x (target at least 0.95)")
    return 0 if overhead <= 5 and speed >= 0.95 else 1


if __name__ == "__main__":
    sys.exit(main())
