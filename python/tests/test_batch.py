# Batches of files on a 2-worker dask cluster, compared file by file with kxrun graph; processors
# over chunked dask arrays compared with the whole-array run.
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import cloudpickle
import dask.array as da
import numpy as np
import pytest
from conftest import image

import rasterkit as rk
import rasterkit.batch as batch
import rasterkit.dask as rkd

EXAMPLES = Path(__file__).parents[2] / "examples"
cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the gate below runs on the workers


@pytest.fixture(scope="module")
def client():
    from distributed import Client

    cluster = batch.local_cluster(2)
    with Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """40 grey pictures, one truncated and one not of tour.json's size, and a few colour pictures."""
    root = tmp_path_factory.mktemp("batch")
    for name, count, magic, shape in [("grey/g", 40, b"P5", (6, 8)), ("colour/c", 4, b"P6", (5, 7, 3))]:
        (root / name).parent.mkdir()
        for i in range(count):
            path = root / f"{name}{i:02}.p{'g' if magic == b'P5' else 'p'}m"
            path.write_bytes(magic + f"\n{shape[1]} {shape[0]}\n255\n".encode() + image(shape, seed=i).tobytes())
    (root / "grey" / "g13.pgm").write_bytes(b"P5\n8 6\n255\n" + bytes(20))
    (root / "grey" / "g27.pgm").write_bytes(b"P5\n7 6\n255\n" + bytes(42))  # not the ramp's size
    return root


def same_as_kxrun(kxrun, jobs, summary, tmp_path):
    """Every ok input's files are byte for byte what kxrun graph writes for its graph."""
    status = {r["name"]: r["status"] for r in summary["results"]}
    for job in jobs:
        if status[job["name"]] != "ok":
            continue
        ours = {p: Path(p).read_bytes() for p in job["outputs"]}
        for p in job["outputs"]:
            os.remove(p)
        graph = tmp_path / "graph.json"
        graph.write_text(json.dumps(job["graph"]))
        subprocess.run([str(kxrun), "graph", str(graph)], check=True, capture_output=True)
        assert {p: Path(p).read_bytes() for p in job["outputs"]} == ours, job["name"]


def hidden_leftovers(out):
    return [p for p in Path(out).rglob(".*") if p.is_file()]


@pytest.mark.parametrize("graph,pattern,failed", [("tour.json", "grey/*.pgm", ["g13", "g27"]),
                                                   ("colour.json", "colour/*.ppm", [])])
def test_batch_equals_kxrun_and_a_bad_input_fails_alone(client, folder, kxrun, tmp_path, graph, pattern, failed):
    out = tmp_path / "out"
    code = batch.main([str(EXAMPLES / graph), "--node", "photo", "--glob", str(folder / pattern), "--out", str(out),
                       "--scheduler", client.scheduler.address, "--no-progress"])
    summary = json.loads((out / "batch-summary.json").read_text())
    bad = [r for r in summary["results"] if r["status"] != "ok"]
    assert code == bool(failed) and [r["name"] for r in bad] == failed == [r["name"] for r in summary["results"]
                                                                          if r["status"] == "failed"]
    assert [("truncated" in r["error"], "node 'mixed'" in r["error"], r["outputs"]) for r in bad] == [
        (True, False, []), (False, True, [])][:len(bad)]
    assert not any((out / name / batch.MANIFEST).exists() for name in failed)
    inputs = [{"photo": str(p)} for p in sorted(folder.glob(pattern))]
    same_as_kxrun(kxrun, batch.plan(EXAMPLES / graph, inputs, out), summary, tmp_path)


def _install_gate(marker, name):
    """On a worker: the first run of input ``name`` marks itself and stops for good before its
    first output's rename (kxrun's test pause), so that the kill lands in the middle of it."""
    import rasterkit.batch as b

    original = b._run_graph

    def gated(job):
        if job["name"] == name:
            from distributed import get_worker

            try:
                fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
            except FileExistsError:
                return original(job)
            os.write(fd, get_worker().address.encode())
            os.close(fd)
            os.environ["KXRUN_TEST_PAUSE_BEFORE_RENAME"] = "1"
        return original(job)

    b._run_graph = gated


def test_a_worker_killed_mid_batch_and_resume(client, folder, kxrun, tmp_path):
    out, marker = tmp_path / "out", tmp_path / "started"
    graph = EXAMPLES / "tour.json"
    inputs = [{"photo": str(p)} for p in sorted((folder / "grey").glob("*.pgm")) if p.stem not in ("g13", "g27")]
    client.run(_install_gate, str(marker), "g02")
    pids = client.run(os.getpid)
    result, deadline = {}, time.monotonic() + 60
    runner = threading.Thread(target=lambda: result.update(batch.run(graph, inputs, out, client)))
    runner.start()
    while not (marker.exists() and any(p.stat().st_size for p in hidden_leftovers(out / "g02"))):
        assert time.monotonic() < deadline and runner.is_alive(), "the gated input never started writing"
        time.sleep(0.05)
    os.kill(killed := pids[marker.read_text()], signal.SIGKILL)
    runner.join(120)
    assert not runner.is_alive() and killed not in client.run(os.getpid).values()
    assert [r["status"] for r in result["results"]] == ["ok"] * len(inputs) and hidden_leftovers(out) == []
    again = batch.run(graph, inputs, out, client, resume=True)
    assert {r["status"] for r in again["results"]} == {"skipped"}
    Path(again["results"][5]["outputs"][0]).write_bytes(b"cut short")
    (out / "g09" / batch.MANIFEST).unlink()
    third = batch.run(graph, inputs, out, client, resume=True)
    assert [r["name"] for r in third["results"] if r["status"] == "ok"] == [again["results"][5]["name"], "g09"]
    assert third["skipped"] == len(inputs) - 2
    same_as_kxrun(kxrun, batch.plan(graph, inputs, out), result, tmp_path)


# (processor, params, input shapes, stack): each kind of task, planes and single matrices beside stacks.
CASES = [
    ("_AddImage", {"out_type": "int32"}, [(3, 13, 17), (13, 17)], True),
    ("_DivImage", {"out_type": "float64"}, [(13, 17, 2), (13, 17, 2)], False),
    ("_ScalarSubImage", {"scalar": 300.0}, [(13, 17)], False),
    ("_BlendImage", {"blendfaktor": 0.3}, [(2, 13, 17), (2, 13, 17)], True),
    ("_OrImage", {}, [(13, 17), (13, 17)], False),
    ("_BinImage", {"threshold": 100.0}, [(3, 13, 17)], True),
    ("_RGBSplitt", {}, [(2, 13, 17, 3)], True),
    ("_RGBJoin", {}, [(13, 17), (13, 17), (13, 17)], False),
    ("_Norm", {}, [(3, 13, 17)], True),
    ("_NotImage", {}, [(13, 17, 2)], False),
    ("_MittelSigma", {}, [(3, 13, 17, 2)], True),
    ("_MittelWert", {"Mittelwerttyp": 2}, [(3, 13, 17)], True),
    ("_TransformImage", {"TransType": 2, "RotDegree": 30.0}, [(2, 13, 17)], True),
    ("_Pertur", {"scalar": 40.0}, [(3, 13, 17)], True),
    ("_BinAdaptThreshImage", {"consta": 5.0, "TA": 1}, [(3, 13, 17)], True),
]


@pytest.mark.filterwarnings("ignore::rasterkit.RasterKitWarning")
@pytest.mark.parametrize("entry,params,shapes,stack", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_dask_arrays_equal_the_whole_array_run(entry, params, shapes, stack):
    arrays = [image(s, seed=i) for i, s in enumerate(shapes)]
    stacked = [stack and a.ndim == len(shapes[0]) for a in arrays]
    # Uneven chunks on every axis; a plane axis is cut too, which the module takes back together.
    lazy = [da.from_array(a, chunks=[(1, n - 1) if (i == 0 and s) or n < 5 else (5, 3, n - 8)
                                     for i, n in enumerate(a.shape)]) for a, s in zip(arrays, stacked)]
    whole = rk.run(entry, *[list(a) if s else a for a, s in zip(arrays, stacked)], **params)
    got = rkd.run(entry, *lazy, stack=stack, **params)
    for g, w in zip(got if isinstance(got, tuple) else (got,), whole if isinstance(whole, tuple) else (whole,)):
        assert np.array_equal(g.compute(scheduler="sync"), np.stack(w) if isinstance(w, list) else w, equal_nan=True)
    first = got[0] if isinstance(got, tuple) else got
    keys = [k[0] if isinstance(k, tuple) else k for k in dict(first.__dask_graph__())]
    tasks = [k for k in keys if str(k).startswith("rasterkit-")]
    if entry in rkd.ELEMENT_LOCAL:
        assert len(tasks) == np.prod(first.numblocks) > 1
    else:
        per_stream = entry in rkd.PER_STREAM or params.get("Mittelwerttyp") == 2
        assert len(tasks) == (1 if per_stream or not stack else shapes[0][0])
