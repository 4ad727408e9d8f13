"""One graph over many input files, on a dask.distributed cluster.

    python3 -m rasterkit.batch GRAPH.json --glob 'scans/*.png' --out results/

Each input (a file given to one file node of the graph; or, from a list file, files for several)
runs the graph once, through the same graph runner as ``kxrun graph``, so that its files are byte
for byte those ``kxrun graph`` writes for it. Input ``scans/a.png`` writes the graph's outputs as
``results/a/NAME`` where NAME is the file name the graph writes (``out/mask.png`` gives
``results/a/mask.png``); inputs in subfolders keep them (``results/sub/a/mask.png``).

Every output file is written under a hidden temporary name in its folder and renamed when whole.
An input counts as complete when its manifest ``results/a/batch-manifest.json`` is there: it is
written last, atomically, and names the graph, the inputs' sizes and times and every output's
size and modification time; ``--resume`` skips inputs whose manifest matches all of that.

A failed input fails alone: its error goes into the summary and the others go on. Tasks of a
worker process that dies run again on another worker (dask's own rescheduling). The command exits
0 only when every input succeeded or was already complete.
"""

import argparse
import glob
import hashlib
import json
import os
import sys
import time

from rasterkit import _core

MANIFEST = "batch-manifest.json"


class BatchError(ValueError):
    """The batch cannot be planned: a graph, input list or output naming that does not fit."""


def _atomic_write(path, text):
    # No fsync: a manifest only counts when the outputs still have the sizes and times it records,
    # so one that a crash left short or stale is no more than an input done again.
    tmp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.tmp-{os.getpid()}")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def read_graph(path):
    """The graph file as a dict in its own order, read as kxrun reads it (comments allowed)."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise BatchError(f"{path}: cannot read the graph: {e.strerror}") from None
    try:
        return json.loads(_core.graph_text(text, os.fspath(path)))
    except ValueError as e:
        raise BatchError(str(e)) from None


def file_nodes(graph):
    return [name for name, node in graph.get("nodes", {}).items() if isinstance(node, dict) and "file" in node]


def read_list(path, node):
    """Inputs from a list file: one input a line, tab-separated fields NODE=PATH, or a bare PATH
    for ``node``; relative paths count from the list file's folder; '#' starts a comment line."""
    base = os.path.dirname(os.path.abspath(path))
    inputs = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            entry = {}
            for field in line.split("\t"):
                name, eq, file = field.partition("=")
                if not eq or os.sep in name or not name:
                    name, file = node, field
                if name is None:
                    raise BatchError(f"{path}:{number}: '{field}' names no node (give --node or NODE=PATH)")
                entry[name] = os.path.join(base, file)
            inputs.append(entry)
    return inputs


def _key(entry, main, root):
    rel = os.path.relpath(os.path.abspath(entry[main]), root)
    return os.path.splitext(rel)[0]


def plan(graph_path, inputs, out_dir, sets=()):
    """The jobs of a batch: for each input ({node: path}), the graph rewritten for it (absolute
    paths to its files and to its outputs under ``out_dir``), its output files and manifest."""
    graph = read_graph(graph_path)
    base = os.path.dirname(os.path.abspath(graph_path))
    sources = file_nodes(graph)
    if not inputs:
        raise BatchError("no inputs: the glob matched no file, or the list is empty")
    for entry in inputs:
        for name in entry:
            if name not in sources:
                raise BatchError(f"the graph has no file node '{name}' (its file nodes: {', '.join(sources)})")
    main = next(iter(inputs[0]))
    if any(main not in entry for entry in inputs):
        raise BatchError(f"every input gives node '{main}', whose file names the outputs")
    root = os.path.commonpath([os.path.dirname(os.path.abspath(e[main])) for e in inputs])

    writes = []  # (node, pin, file name)
    for name, node in graph["nodes"].items():
        w = node.get("write") if isinstance(node, dict) else None
        for pin, path in enumerate([w] if isinstance(w, str) else w if isinstance(w, list) else []):
            if isinstance(path, str):
                writes.append((name, pin, os.path.basename(path)))
    names = [w[2] for w in writes]
    for n in names:
        if names.count(n) > 1 or n == MANIFEST:
            raise BatchError(f"the graph writes two files named '{n}' (or one named like the manifest): "
                             "a batch puts each input's outputs in one folder by file name")

    jobs, keys = [], {}
    out_dir = os.path.abspath(out_dir)
    for entry in inputs:
        key = _key(entry, main, root)
        if key in keys:
            raise BatchError(f"inputs {keys[key]} and {entry[main]} would write to the same folder '{key}'")
        keys[key] = entry[main]
        folder = os.path.join(out_dir, key)
        g = json.loads(json.dumps(graph))
        for name in sources:
            node = g["nodes"][name]
            node["file"] = os.path.abspath(entry[name] if name in entry else os.path.join(base, node["file"]))
        outputs = []
        for name, pin, file in writes:
            node = g["nodes"][name]
            target = os.path.join(folder, file)
            if isinstance(node["write"], str):
                node["write"] = target
            else:
                node["write"][pin] = target
            outputs.append(target)
        jobs.append({"name": key, "source": os.fspath(graph_path),
                     "inputs": {n: g["nodes"][n]["file"] for n in entry}, "graph": g,
                     "sets": list(sets), "folder": folder, "outputs": outputs,
                     "manifest": os.path.join(folder, MANIFEST)})
    return jobs


def _digest(job):
    """What an input's outputs depend on: the graph as run, the overrides, the input files."""
    stats = {}
    for node in job["graph"]["nodes"].values():
        if isinstance(node, dict) and "file" in node:
            try:
                st = os.stat(node["file"])
                stats[node["file"]] = [st.st_size, st.st_mtime_ns]
            except OSError:
                stats[node["file"]] = None
    text = json.dumps([job["graph"], job["sets"], stats], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


def _file_record(path):
    # Size and time, not a hash: every write renames a whole new file into place, so any later
    # change shows in them, and reading each output back would cost a sixth of the run.
    st = os.stat(path)
    return {"bytes": st.st_size, "mtime_ns": st.st_mtime_ns}


def complete(job):
    """Whether an earlier run left this input's outputs whole: its manifest is there, matches this
    job, and every output has the size and time it recorded."""
    try:
        with open(job["manifest"], encoding="utf-8") as f:
            manifest = json.load(f)
        if manifest.get("digest") != _digest(job) or sorted(manifest["outputs"]) != sorted(job["outputs"]):
            return False
        return all(_file_record(p) == r for p, r in manifest["outputs"].items())
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return False


def processor_threads(worker_threads_on_host, cores=None):
    """Threads one processor run may use, so that the tasks running at once on this machine
    (worker processes x dask threads each) times the threads of each never exceed its cores.
    The count is the worker process's, shared by its dask threads' runs."""
    cores = cores or os.cpu_count() or 1
    return max(1, cores // max(1, worker_threads_on_host))


def _run_graph(job):
    """The graph as ``kxrun graph`` runs it; returns (warnings, error text or None). Messages name
    the graph file the batch was given."""
    status, _, report = _core.run_graph(job["source"], json.dumps(job["graph"]), {}, job["sets"], False)
    report = json.loads(report)
    notes = [f"{node['node']}: {w}" for node in report["nodes"] for w in node["warnings"]]
    if not status:
        return notes, None
    error = report["error"] or {"node": "", "text": "an output could not be written"}
    return notes, f"node '{error['node']}': {error['text']}"


def run_job(job, worker_threads_on_host=1):
    """Runs one input's graph where it is called (on a worker); returns its summary record."""
    start = time.perf_counter()
    _core.set_threads(processor_threads(worker_threads_on_host))
    record = {"name": job["name"], "inputs": job["inputs"], "status": "ok", "outputs": [], "warnings": [],
              "error": None, "seconds": 0.0}
    os.makedirs(job["folder"], exist_ok=True)
    # A manifest of an earlier run must not vouch for outputs this run is about to replace.
    try:
        os.remove(job["manifest"])
    except FileNotFoundError:
        pass
    try:
        record["warnings"], record["error"] = _run_graph(job)
    except Exception as e:  # a bad input fails alone, whatever the cause
        record["error"] = str(e) or type(e).__name__
    record["outputs"] = [p for p in job["outputs"] if os.path.exists(p)]
    if record["error"] is None:
        try:
            manifest = {"digest": _digest(job), "outputs": {p: _file_record(p) for p in job["outputs"]}}
            _atomic_write(job["manifest"], json.dumps(manifest, indent=1))
        except OSError as e:
            record["error"] = f"{e.filename}: {e.strerror}"
    if record["error"] is not None:
        record["status"] = "failed"
    record["seconds"] = time.perf_counter() - start
    return record


def _remove_temporaries(job):
    """Hidden temporaries of writes cut short (a worker killed mid-write); none is running now."""
    try:
        names = os.listdir(job["folder"])
    except OSError:
        return
    for n in names:
        if n.startswith(".") and ".tmp-" in n:
            try:
                os.remove(os.path.join(job["folder"], n))
            except OSError:
                pass


def _threads_by_host(client):
    hosts = {}
    for address, info in client.scheduler_info()["workers"].items():
        host = info.get("host") or address.rsplit(":", 1)[0]
        hosts[host] = hosts.get(host, 0) + info.get("nthreads", 1)
    return max(hosts.values(), default=1)


def run(graph_path, inputs, out_dir, client, sets=(), resume=False, progress=None):
    """Runs the batch on a dask.distributed ``client``; returns the summary dict (see the module's
    text). ``progress`` is a file to report each finished input on, or None."""
    from distributed import as_completed

    start = time.perf_counter()
    jobs = plan(graph_path, inputs, out_dir, sets)
    records, todo = {}, []
    for job in jobs:
        if resume and complete(job):
            records[job["name"]] = {"name": job["name"], "inputs": job["inputs"], "status": "skipped",
                                    "outputs": job["outputs"], "warnings": [], "error": None, "seconds": 0.0}
        else:
            todo.append(job)
    share = _threads_by_host(client)
    futures = [client.submit(run_job, job, share, key=f"rasterkit-batch-{i}-{job['name']}", pure=False)
               for i, job in enumerate(todo)]
    done = len(records)
    job_of = {f.key: job for f, job in zip(futures, todo)}
    for future in as_completed(futures):
        try:
            record = future.result()
        except Exception as e:  # the task failed beyond its own handling: workers lost too often
            job = job_of[future.key]
            record = {"name": job["name"], "inputs": job["inputs"], "status": "failed", "outputs": [],
                      "warnings": [], "error": f"{type(e).__name__}: {e}", "seconds": 0.0}
        records[record["name"]] = record
        done += 1
        if progress:
            note = record["status"] if record["status"] != "failed" else "FAILED: " + record["error"]
            progress.write(f"[{done}/{len(jobs)}] {record['name']}: {note} ({record['seconds']:.2f} s)\n")
            progress.flush()
    for job in todo:
        _remove_temporaries(job)
    results = [records[job["name"]] for job in jobs]
    count = {s: sum(r["status"] == s for r in results) for s in ("ok", "skipped", "failed")}
    return {"graph": os.path.abspath(graph_path), "out": os.path.abspath(out_dir), "inputs": len(jobs),
            "succeeded": count["ok"], "skipped": count["skipped"], "failed": count["failed"],
            "seconds": time.perf_counter() - start, "results": results}


def local_cluster(workers=None):
    """A LocalCluster of one single-threaded worker process per core (or ``workers``), on this
    machine's loopback interface only."""
    from distributed import LocalCluster

    return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address=None)


def _inputs(args, graph):
    sources = file_nodes(graph)
    if not sources:
        raise BatchError(f"{args.graph}: the graph has no file node to give the inputs to")
    node = args.node or (sources[0] if len(sources) == 1 else None)
    if args.list:
        return read_list(args.list, node)
    if node is None:
        raise BatchError(f"the graph has the file nodes {', '.join(sources)}: name one with --node")
    files = sorted(glob.glob(args.glob, recursive=True))
    return [{node: f} for f in files if os.path.isfile(f)]


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m rasterkit.batch", description=__doc__.split("\n")[0])
    p.add_argument("graph", help="the graph file (kxrun's JSON form)")
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--glob", help="input files for one file node (quote it; ** recurses)")
    src.add_argument("--list", help="a list file: one input a line, tab-separated NODE=PATH fields")
    p.add_argument("--node", help="the file node the inputs go to (needed when the graph has several)")
    p.add_argument("--out", required=True, help="the output folder")
    p.add_argument("--set", action="append", default=[], metavar="NODE.PARAM=VALUE",
                   help="parameter override, as kxrun graph --set (repeatable)")
    p.add_argument("--scheduler", help="address of a running dask scheduler (tcp://HOST:PORT); by default "
                   "a local cluster of one worker process per core is started and stopped")
    p.add_argument("--workers", type=int, help="worker processes of the local cluster (default: the cores)")
    p.add_argument("--resume", action="store_true", help="skip inputs whose outputs are complete")
    p.add_argument("--summary", help="the JSON summary's path (default: OUT/batch-summary.json)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="report each finished input on stderr (default: when stderr is a terminal)")
    args = p.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        p.error("--workers must be at least 1")
    try:
        graph = read_graph(args.graph)
        inputs = _inputs(args, graph)
        plan(args.graph, inputs, args.out, args.set)  # every planning error before a cluster starts
    except (BatchError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    from distributed import Client

    progress = sys.stderr if (args.progress if args.progress is not None else sys.stderr.isatty()) else None
    cluster = None if args.scheduler else local_cluster(args.workers)
    try:
        client = Client(args.scheduler or cluster, timeout=30)
    except OSError as e:
        print(f"error: cannot reach the scheduler {args.scheduler}: {e}", file=sys.stderr)
        return 2
    try:
        with client:
            summary = run(args.graph, inputs, args.out, client, args.set, args.resume, progress)
    finally:
        if cluster is not None:
            cluster.close()
    path = args.summary or os.path.join(args.out, "batch-summary.json")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    _atomic_write(path, json.dumps(summary, indent=1))
    print(f"{summary['succeeded']} done, {summary['skipped']} already complete, {summary['failed']} failed "
          f"in {summary['seconds']:.1f} s; summary in {path}", file=sys.stderr)
    return 0 if summary["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
