#!/usr/bin/python3
"""Images per second of one graph over many files: rasterkit.batch with 1 and 2 worker processes,
against a shell loop of `kxrun graph` (and two such loops at once, the machine's own scaling), in
one run.

200 grey pictures of 1024 x 1024 go through examples/tour.json (its ramp set to their size), each
writing its four outputs. The local clusters are started before the clock runs; the machine's
load average is printed beside the result, since other work skews it.
Run with the build tree on PYTHONPATH:
    PYTHONPATH=build/python KXRUN=build/app/kxrun bench/batch_bench.py [COUNT]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from distributed import Client

import rasterkit.batch as batch

GRAPH = Path(__file__).resolve().parents[1] / "examples" / "tour.json"
SETS = ["ramp.X=1024", "ramp.Y=1024"]


def pictures(folder, count):
    rng = np.random.default_rng(0)
    head = b"P5\n1024 1024\n255\n"
    for i in range(count):
        (folder / f"p{i:03}.pgm").write_bytes(head + rng.integers(0, 256, (1024, 1024), np.uint8).tobytes())
    return [{"photo": str(folder / f"p{i:03}.pgm")} for i in range(count)]


def with_workers(n, inputs, out):
    cluster = batch.local_cluster(n)
    try:
        with Client(cluster) as client:
            start = time.perf_counter()
            summary = batch.run(GRAPH, inputs, out, client, SETS)
            seconds = time.perf_counter() - start
    finally:
        cluster.close()
    assert summary["failed"] == 0, summary
    return seconds


def shell_loops(kxrun, inputs, out, loops=1):
    # The loop a user writes: one kxrun graph per file, over a graph rewritten for it. Two loops
    # side by side, each over half the files, show what two processes get from the machine now.
    graphs = []
    for job in batch.plan(GRAPH, inputs, out, SETS):
        os.makedirs(job["folder"], exist_ok=True)
        path = Path(job["folder"]) / "graph.json"
        path.write_text(json.dumps(job["graph"]))
        graphs.append(str(path))
    script = 'for g in "$@"; do "$KX" graph "$g" ' + " ".join(f"--set {s}" for s in SETS) + " || exit 1; done"
    start = time.perf_counter()
    shells = [subprocess.Popen(["sh", "-c", script, "sh", *graphs[i::loops]], env={**os.environ, "KX": kxrun},
                               stderr=subprocess.DEVNULL) for i in range(loops)]
    assert all(p.wait() == 0 for p in shells)
    return time.perf_counter() - start


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    kxrun = os.environ.get("KXRUN", str(Path(__file__).resolve().parents[1] / "build" / "app" / "kxrun"))
    with tempfile.TemporaryDirectory(prefix="rk-batch-bench-") as tmp:
        tmp = Path(tmp)
        (tmp / "in").mkdir()
        inputs = pictures(tmp / "in", count)
        print(f"{count} images of 1024 x 1024 through {GRAPH.name}; {os.cpu_count()} cores, "
              f"load average {os.getloadavg()[0]:.2f} at the start")
        rates = {}
        for label, fn in [("batch, 1 worker", lambda out: with_workers(1, inputs, out)),
                          ("batch, 2 workers", lambda out: with_workers(2, inputs, out)),
                          ("shell loop of kxrun graph", lambda out: shell_loops(kxrun, inputs, out)),
                          ("two shell loops at once", lambda out: shell_loops(kxrun, inputs, out, 2))]:
            out = tmp / "out"
            seconds = fn(out)
            shutil.rmtree(out)
            rates[label] = count / seconds
            print(f"{label:28} {seconds:7.2f} s  {rates[label]:6.2f} images/s")
        print(f"2 workers / 1 worker: {rates['batch, 2 workers'] / rates['batch, 1 worker']:.2f}x "
              f"(two loops / one: {rates['two shell loops at once'] / rates['shell loop of kxrun graph']:.2f}x); "
              f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
