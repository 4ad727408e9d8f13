# The rasterkit package against kxrun and against its own promises: streams, errors, warnings,
# copies, threads, graphs.
import subprocess
import tracemalloc
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import image

import rasterkit as rk

CATALOGUE = {r.entry: r for r in rk.catalogue()}

# Inputs and parameters beyond the default single-plane 8-bit images, per processor.
INPUTS = {
    "_RGBSplitt": lambda: [image((6, 5, 3))],
    "_DivImage": lambda: [image((6, 5)), image((6, 5), seed=1) | 1],
    "_MultImage": lambda: [image((6, 5), np.int32), image((6, 5), np.int32, seed=1)],
    "_Norm": lambda: [image((6, 5), np.float32)],
    "_SquareImage": lambda: [image((6, 5), np.float64)],
}
PARAMS = {
    "_BinImage": {"threshold": 99.5},
    "_BinAdaptThreshImage": {"consta": 3, "TA": 1},
    "_ScalarMultImage": {"scalar": 2.5},
    "_Pertur": {"scalar": 2},
    "_TransformImage": {"TransType": 2, "RotDegree": 30},
    "_ImagePlane": {"X": 7, "Y": 4, "Slope": 3},
    "_ConstImage": {"X": 3, "Y": 2, "MCount": 2, "scalar": -4},
    "_MittelWert": {"Mittelwerttyp": 2},
}
OUT_TYPES = {"_AddImage": "int32", "_Negate": "float32", "_BlendImage": "float64"}


def inputs_of(r):
    if r.entry in INPUTS:
        return INPUTS[r.entry]()
    return [image((6, 5), seed=i) for i, p in enumerate(r.inputs) if p.required]


def as_npy(result):
    """A pin's result in the (N, Y, X, P) form of kxrun's .npy files."""
    arrays = [result] if isinstance(result, np.ndarray) else list(result)
    return np.stack([a.reshape(a.shape[0], a.shape[1], -1) for a in arrays])


@pytest.mark.parametrize("entry", sorted(CATALOGUE))
def test_same_bits_as_kxrun(entry, kxrun, tmp_path):
    r = CATALOGUE[entry]
    ins = inputs_of(r)
    params, out_type = PARAMS.get(entry, {}), OUT_TYPES.get(entry)
    got = rk.run(entry, *ins, out_type=out_type, outputs=range(len(r.outputs)), **params)
    cmd = [str(kxrun), "run", entry]
    for i, a in enumerate(ins):
        np.save(tmp_path / f"in{i}.npy", a)
        cmd += ["--in", f"{i}={tmp_path}/in{i}.npy"]
    for i in range(len(r.outputs)):
        cmd += ["--out", f"{i}={tmp_path}/out{i}.npy"] + (["--out-type", f"{i}={out_type}"] if out_type else [])
    cmd += [a for k, v in params.items() for a in ("--param", f"{k}={v}")]
    subprocess.run(cmd, check=True, capture_output=True)
    for i, result in enumerate(got):
        want = np.load(tmp_path / f"out{i}.npy")
        assert as_npy(result).dtype == want.dtype and as_npy(result).tobytes() == want.tobytes()


def test_catalogue_and_generated_functions():
    r = CATALOGUE["_BinAdaptThreshImage"]
    assert (r.name, r.function, r.dialog) == ("BinAdapt", "bin_adapt_thresh_image", "DlgBinAdapt")
    assert [(p.name, p.type, p.default, p.default_text) for p in r.params][3] == ("offset", "float64", 0.1, "0,1")
    assert CATALOGUE["_RGBJoin"].inputs[1].name == "grün"
    assert CATALOGUE["_MultImage"].outputs[0].default_type == "int32"
    assert not CATALOGUE["_RGBSplitt"].outputs[0].required and CATALOGUE["_AddImage"].dialog is None
    doc = rk.bin_adapt_thresh_image.__doc__
    assert "offset : float, default 0.1" in doc and "TA : int, default 0" in doc and "uint8, int32" in doc
    assert str(rk.scalar_add_image.__signature__).startswith("(in0, in1=None, /, *, scalar=1.0")
    a = image((4, 3))
    for f in (rk.add_image, lambda *x: rk.run("AddImage", *x), lambda *x: rk.run("_AddImage", *x)):
        assert np.array_equal(f(a, a), a + a)


def test_streams_carry_names_user_data_and_meta():
    meta = rk.Meta("Lauf", 1, 2, 3, 6, b"\x00meta")
    s = rk.Stream([image((3, 4), seed=i) for i in range(3)], names=["a", "bö", "c"],
                  user_data=[b"1", b"", b"\xff\x00"], meta=meta)
    out = rk.negate(s)
    assert isinstance(out, rk.Stream) and len(out) == 3
    assert (out.names, out.user_data, out.meta) == (s.names, s.user_data, meta)
    assert all(np.array_equal(o, 255 - i) for o, i in zip(out, s))
    # Three matrices against one: the one is used for all, without a warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        total = rk.add_image(s, [s[0]])
    assert [t.tolist() for t in total] == [(m + s[0]).tolist() for m in s]
    consts = rk.const_image(MCount=3, X=2, Y=1, Plane=2, scalar=7)
    assert len(consts) == 3 and consts[0].shape == (1, 2, 2) and len(set(consts.names)) == 3
    assert rk.negate([]) == [] and rk.negate(s[0], stream=True).names == [""]
    red, blue = rk.rgb_splitt(image((2, 2, 3)), outputs=(0, 2))
    assert red.shape == blue.shape == (2, 2)


a8 = image((4, 4))
RUN_ERRORS = [  # call, exception, text it holds
    (lambda: rk.div_image(a8, a8 * 0), rk.ProcessorError, "Division durch 0; der Datenstrom am 2. Input-Pin enthält"),
    (lambda: rk.negate(a8.astype(np.int16)), rk.ProcessorError, "Der am 1. Input-Pin anliegende Datentyp"),
    (lambda: rk.negate(a8, out_type=np.int16), rk.ProcessorError, "Der am 1. Output-Pin"),
    (lambda: rk.add_image(a8, image((3, 3))), rk.HostError, "(4 x 4 x 1) and matrix 0 of input pin 2 (3 x 3 x 1)"),
    (lambda: rk.rgb_splitt(a8), rk.ProcessorError, "Es liegen keine RGB - Bilder an (Planes = 3)."),
]
BAD_ARGUMENTS = [
    (lambda: rk.negate(a8.astype(np.complex64)), TypeError, "complex64 is not supported (uint8 (or bool), int16"),
    (lambda: rk.negate(a8.astype(np.int64)), TypeError, "int64 is not supported"),
    (lambda: rk.negate(a8[0]), ValueError, "an array of 1 dimensions"),
    (lambda: rk.negate(a8[:0]), ValueError, "has no elements"),
    (lambda: rk.negate(a8.tolist()), TypeError, "input 0[0]: expected a numpy array, not list"),
    (lambda: rk.negate("a"), TypeError, "not str"),
    (lambda: rk.negate([a8, a8.astype(np.float32)]), TypeError, "share one dtype"),
    (lambda: rk.negate(a8, a8), TypeError, "_Negate takes 1 input, 2 given"),
    (lambda: rk.add_image(a8), TypeError, "_AddImage input 1 (\"Bilddaten\") is required"),
    (lambda: rk.bin_image(a8, treshold=3), TypeError, "no parameter 'treshold' (it has above, below, threshold)"),
    (lambda: rk.bin_image(a8, threshold=[3]), TypeError, "threshold: expected a number, not list"),
    (lambda: rk.bin_image(a8, threshold="viel"), ValueError, "'viel' is not a number"),
    (lambda: rk.const_image(X=2.5), TypeError, "X: expected an integer, not float"),
    (lambda: rk.const_image(X=2**40), ValueError, "is not a 32-bit integer"),
    (lambda: rk.negate(a8, out_type="complex"), ValueError, "complex"),
    (lambda: rk.negate(a8, out_type=object), TypeError, "not supported"),
    (lambda: rk.negate(a8, outputs=1), ValueError, "_Negate has 1 output pin"),
    (lambda: rk.run("_Nope", a8), ValueError, "unknown processor '_Nope': rasterkit.catalogue() lists _RGBJoin"),
    (lambda: rk.negate(rk.Stream([a8], meta="x")), TypeError, "expected a rasterkit.Meta"),
]


@pytest.mark.parametrize("call, error, text", RUN_ERRORS + BAD_ARGUMENTS)
def test_errors(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert text in str(caught.value)


def test_processor_error_keeps_partial_outputs_and_limits_name_sizes():
    divisor = np.ones((2, 3), np.uint8)
    divisor[1, 1] = 0
    with pytest.raises(rk.ProcessorError) as caught:
        rk.div_image(np.full((2, 3), 6, np.uint8), divisor)
    assert caught.value.outputs.shape == (2, 3) and caught.value.outputs[0].tolist() == [6, 6, 6]
    old = rk.set_limits(max_matrix_bytes=1000)
    try:
        with pytest.raises(rk.LimitError, match=r"40 x 40 x 1 elements \(1600 bytes\) exceeds the host's limit of 1000"):
            rk.add_image(image((40, 40)), image((40, 40)))
    finally:
        rk.set_limits(*old)


def test_warnings_in_order_and_filterable():
    flat = [np.full((2, 2), 7, np.uint8), np.full((2, 2), 9, np.uint8)]
    with pytest.warns(rk.RasterKitWarning) as caught:
        out = rk.norm(flat)
    assert [str(w.message) for w in caught] == [f"Objekt {i}: Division durch 0; Das Objekt wird kopiert" for i in (0, 1)]
    assert caught[0].filename == __file__ and [o.tolist() for o in out] == [f.tolist() for f in flat]
    with warnings.catch_warnings():
        warnings.simplefilter("error", rk.RasterKitWarning)
        with pytest.raises(rk.RasterKitWarning, match="Bildanzahl"):
            rk.add_image([a8] * 3, [a8] * 2)


def traced_peak(call):
    tracemalloc.start()
    try:
        result = call()
        return tracemalloc.get_traced_memory()[1], result
    finally:
        tracemalloc.stop()


def test_contiguous_inputs_and_outputs_are_not_copied():
    big = image((2048, 2048))
    peak, out = traced_peak(lambda: rk.negate(big, out_type="float32"))
    assert peak < big.nbytes // 100  # neither the input nor the output went through numpy
    assert not out.flags.owndata and type(out.base).__name__ == "PyCapsule" and out.flags.c_contiguous
    strided = big[:, ::2]
    peak, out = traced_peak(lambda: rk.negate(strided))
    assert strided.nbytes <= peak < 1.1 * strided.nbytes  # exactly one copy
    assert np.array_equal(out, 255 - strided) and np.array_equal(rk.negate(big[::-1]), 255 - big[::-1])
    swapped = big.astype(">f8")
    assert np.array_equal(rk.negate(swapped), 255 - big.astype(np.float64))
    del big, strided
    assert out.sum() >= 0  # the output keeps its buffer without the inputs


def test_threads_give_serial_results():
    jobs = [(rk.pertur, (image((64, 48), seed=i),), {"scalar": 3}) for i in range(8)]
    jobs += [(rk.transform_image, (image((40, 60, 3), seed=i),), {"TransType": 2, "RotDegree": 10 * i}) for i in range(8)]
    jobs += [(rk.bin_adapt_thresh_image, (image((50, 50), seed=i),), {"consta": 5}) for i in range(8)]
    jobs += [(rk.add_image, (image((300, 300), np.float32, seed=i), image((300, 300), seed=i)), {}) for i in range(8)]
    jobs += [(rk.norm, ([image((30, 30), seed=i)] * 3,), {}) for i in range(8)]
    serial = [f(*a, **k) for f, a, k in jobs]
    with ThreadPoolExecutor(8) as pool:
        for _ in range(3):
            threaded = list(pool.map(lambda job: job[0](*job[1], **job[2]), jobs))
            assert all(as_npy(s).tobytes() == as_npy(t).tobytes() for s, t in zip(serial, threaded))


GRAPH = {
    "nodes": {
        "photo": {"file": "unused.npy"},
        "ramp": {"processor": "_ImagePlane", "params": {"X": 5, "Y": 4, "Slope": 30, "MCount": 2}},
        "mixed": {"processor": "_BlendImage", "in": ["photo", "ramp"], "params": {"blendfaktor": "0,5"},
                  "out-type": "float32"},
        "mask": {"processor": "Binarisation", "in": "mixed", "params": {"threshold": 100}},
    }
}


def test_graph_gives_every_node_and_kxrun_messages(tmp_path):
    photo = image((4, 5))
    with pytest.warns(rk.RasterKitWarning, match="^mixed: Die Bildanzahl"):
        out = rk.run_graph(GRAPH, inputs={"photo": [photo] * 3}, set=["mask.threshold=90"])
    ramp = rk.image_plane(X=5, Y=4, Slope=30, MCount=2)
    mixed = rk.blend_image([photo] * 3, ramp, blendfaktor=0.5, out_type="float32")
    assert as_npy(out["ramp"][0]).tobytes() == as_npy(ramp).tobytes() and as_npy(out["mixed"][0]).tobytes() == as_npy(mixed).tobytes()
    assert as_npy(out["mask"][0]).tobytes() == as_npy(rk.bin_image(mixed, threshold=90)).tobytes()
    np.save(tmp_path / "photo.npy", photo)
    path = tmp_path / "g.json"
    path.write_text(str(GRAPH).replace("'", '"').replace("unused", "photo"))
    assert np.array_equal(rk.run_graph(path)["ramp"][0][1], ramp[1])
    with pytest.raises(ValueError, match=r'node .ramp., field "params.Z": unknown parameter of _ImagePlane'):
        rk.run_graph({"nodes": {"ramp": {"processor": "_ImagePlane", "params": {"Z": 1}}}})
    with pytest.raises(ValueError, match="there is no file node 'nope'"):
        rk.run_graph(GRAPH, inputs={"photo": photo, "nope": photo})
    failing = {"nodes": {"c": {"processor": "_ConstImage", "params": {"scalar": 0}},
                         "d": {"processor": "_ScalarDivImage", "in": "c", "params": {"scalar": 0}}}}
    with pytest.raises(rk.ProcessorError, match="node 'd': Division durch 0") as caught:
        rk.run_graph(failing)
    assert caught.value.outputs["c"][0][0].shape == (100, 100)


def test_configure_returns_the_values_the_dialog_ended_with(tmp_path):
    ok, cancel = tmp_path / "ok.txt", tmp_path / "cancel.txt"
    ok.write_text("type 1005 100\nok\n")
    cancel.write_text("cancel\n")
    assert rk.configure("_BinImage", script=ok, above=200) == {"above": 200.0, "below": 0.0, "threshold": 100.0}
    assert rk.configure("Binarisation", script=cancel) is None
    with pytest.raises(ValueError, match="_AddImage has no dialog"):
        rk.configure("_AddImage", script=ok)
    with ThreadPoolExecutor(1) as pool, pytest.raises(RuntimeError, match="main thread"):
        pool.submit(rk.configure, "_BinImage", script=ok).result()



def test_thread_count_is_the_hosts_and_one_thread_gives_the_same_bytes():
    a, b = image((600, 500)), image((600, 500), seed=3)  # 1.2 MB of output: split in bands
    old = rk.set_threads(1)
    try:
        one = rk.add_image(a, b, out_type="int32")
        assert rk.set_threads(2) == 1 and rk.get_threads() == 2
        assert np.array_equal(rk.add_image(a, b, out_type="int32"), one)
        with pytest.raises(ValueError, match="thread count"):
            rk.set_threads(-1)
    finally:
        rk.set_threads(old)
