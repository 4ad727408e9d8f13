#!/usr/bin/env python3
"""Prints the benchmark table of scripts/bench from Google Benchmark's JSON output.

Benchmarks are named PROCESSOR/COMBINATION/KIND (KIND: rk, kernel, cv, memcpy, threads, cvmt; see
bench/Support.h). Each row gives Mpx/s per kind (median of the repetitions), the ratios of the
entry to OpenCV, to memcpy and to the reference loop (all on one thread, from CPU time), of the
entry on two host threads to one (2T/1T, wall clock), and of the entry at the host's threading to
OpenCV at its own default (RK/CV all cores, wall clock; the one-thread entry where the host does
not split the processor), and the targets the row must meet.
"""
import json
import sys

# 8-bit processors whose work is a load and a store per element: they must come near memcpy.
MEMORY_BOUND_U8 = {"_AddImage", "_SubImage", "_MultImage", "_AbsDiffImage", "_AndImage", "_OrImage", "_Negate",
                   "_BinImage"}
# What the OpenCV column is for each processor (the closest operation).
CV_NAME = {
    "_AddImage": "add", "_SubImage": "subtract", "_MultImage": "multiply", "_DivImage": "divide",
    "_AbsDiffImage": "absdiff", "_ScalarAddImage": "add(s)", "_ScalarSubImage": "subtract(s)",
    "_ScalarMultImage": "multiply(s)", "_ScalarDivImage": "divide(s)", "_BlendImage": "addWeighted",
    "_Negate": "subtract(255,x)", "_SquareImage": "multiply(x,x)", "_Norm": "normalize", "_Pertur": "randu",
    "_AndImage": "bitwise_and", "_OrImage": "bitwise_or", "_NotImage": "minMax+threshold",
    "_ConstImage": "setTo", "_ImagePlane": "setTo", "_BinImage": "threshold",
    "_BinAdaptThreshImage": "adaptiveThreshold", "_MittelWert": "mean", "_MittelSigma": "meanStdDev",
    "_RGBSplitt": "split", "_RGBJoin": "merge",
}
# Splittable rows whose work is compute rather than memory traffic: two threads must nearly halve
# their time. The other splittable rows, memory-bound, must never be slower on two threads than on
# one. Rows too small to split (COMBO@64) take the one-thread path at two threads as well, after the
# host's size test of a few nanoseconds: they must be no slower within the 2% that runs of half a
# microsecond, timed in turn, resolve.
COMPUTE_BOUND = {("_DivImage", "u8"), ("_BlendImage", "u8"), ("_ScalarMultImage", None), ("_ScalarDivImage", None),
                 ("_RGBSplitt", None), ("_RGBJoin", None)}
TRANSFORM_CV = {"flipH": "flip", "flipV": "flip", "rot90": "rotate", "rot180": "rotate", "rot30": "warpAffine"}


def targets(proc, combo):
    """(column, minimum) pairs: every row >= 1.0x OpenCV, plus the row's own. Columns a row has no
    figures for are passed over."""
    u8 = combo.split(".")[-1].startswith("u8")
    out = [("cv", 1.5 if proc == "_DivImage" and u8 else 1.0)]
    if proc in MEMORY_BOUND_U8 and u8:
        out.append(("memcpy", 0.8))
    out.append(("kernel", 0.9))
    small = "@" in combo
    compute = (proc, combo) in COMPUTE_BOUND or (proc, None) in COMPUTE_BOUND
    out.append(("threads", 0.98 if small else 1.7 if compute else 1.0))
    out.append(("cvmt", 1.0))
    return out


def ratios(r):
    """The ratios of a row's rates: the one-thread entry to OpenCV, memcpy and the reference loop;
    two host threads to one; the entry at the host's threading to OpenCV at its default, where the
    host splits the processor (two threads on this machine's two cores)."""
    rk = r.get("rk")
    out = {k: (rk / r[k]) if rk and r.get(k) else None for k in ("cv", "memcpy", "kernel")}
    out["threads"] = r["t2"] / r["t1"] if r.get("t1") and r.get("t2") else None
    out["cvmt"] = r["t2"] / r["cvmt"] if r.get("t2") and r.get("cvmt") else None
    out["cvmt1"] = rk / r["cvmt"] if rk and r.get("cvmt") and not r.get("t2") else None
    return out


def load(path):
    with open(path) as f:
        data = json.load(f)
    rates, errors = {}, {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name", "median") != "median":
            continue
        parts = b.get("run_name", b["name"]).split("/")
        if len(parts) < 3:
            continue
        key = (parts[0], parts[1])
        if b.get("error_occurred"):
            errors[key] = b.get("error_message", "error")
            continue
        if parts[2] == "threads":
            for kind in ("t1", "t2"):
                if kind in b:
                    rates.setdefault(key, {})[kind] = b[kind] / 1e6
        elif "items_per_second" in b:
            rates.setdefault(key, {})[parts[2]] = b["items_per_second"] / 1e6
    return rates, errors


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench_table.py BENCHMARK.json")
    rates, errors = load(sys.argv[1])
    head = ["processor", "types", "RK Mpx/s", "kernel", "OpenCV", "memcpy", "RK/CV", "RK/memcpy", "RK/kernel",
            "2T/1T", "RK/CV all cores", "targets", "result"]
    labels = {"cv": "CV", "memcpy": "memcpy", "kernel": "kernel", "threads": "2T/1T", "cvmt": "CV all cores"}
    rows, missed = [], []
    for key in sorted(set(rates) | set(errors)):
        proc, combo = key
        r = rates.get(key, {})
        rk = r.get("rk")
        ratio = ratios(r)
        wants, failed = [], []
        for column, minimum in targets(proc, combo):
            if ratio[column] is None:
                continue
            label = labels[column]
            wants.append(f"{label}>={minimum:g}")
            if ratio[column] < minimum:
                failed.append(f"{label if column == 'threads' else 'RK/' + label} {ratio[column]:.3f} < {minimum:g}")
        if key in errors:
            failed.append("error: " + errors[key])
        result = "met" if not failed else "MISSED"
        if failed:
            missed.append(f"{proc} {combo}: " + "; ".join(failed))
        cv = TRANSFORM_CV.get(combo.split(".")[0]) if proc == "_TransformImage" else CV_NAME.get(proc)
        fmt = lambda v: "-" if v is None else f"{v:,.0f}"
        rfmt = lambda v: "-" if v is None else f"{v:.2f}x"
        rows.append([proc, combo, fmt(rk), fmt(r.get("kernel")), fmt(r.get("cv")) + (f" ({cv})" if cv and r.get("cv") else ""),
                     fmt(r.get("memcpy")), rfmt(ratio["cv"]), rfmt(ratio["memcpy"]), rfmt(ratio["kernel"]),
                     rfmt(ratio["threads"]),
                     rfmt(ratio["cvmt"]) if ratio["cvmt"] else rfmt(ratio["cvmt1"]) + (" (1T)" if ratio["cvmt1"] else ""),
                     " ".join(wants), result])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    line = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(line(head))
    print(line(["-" * w for w in widths]))
    for row in rows:
        print(line(row))
    print()
    print(f"{len(rows) - len(missed)} of {len(rows)} rows meet their targets.")
    for m in missed:
        print("missed: " + m)


if __name__ == "__main__":
    main()
