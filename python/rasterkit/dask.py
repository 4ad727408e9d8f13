"""RasterKit's processors over dask arrays, with the results of the whole-array run.

``rasterkit.dask.run("_AddImage", a, b)`` (or ``rasterkit.dask.add_image(a, b)``) takes dask or
numpy arrays and returns a lazy dask array (a tuple of them for several output pins). Shapes are
those of the numpy functions: (Y, X) is one matrix, (Y, X, P) one matrix of P planes, and a
stack (N, Y, X) or (N, Y, X, P) is a stream of N matrices; a 3-dimensional input is a stack with
``stack=True``. A single matrix given beside stacks goes with every matrix of the stream, as the
processors take a one-matrix stream.

How each processor is split into tasks follows what its result depends on:

* Element-local: every output element from the same element (pixel, for the colour ones) of the
  inputs, whatever the chunking. These map over the blocks as they are, uneven ones included;
  only the plane axis is kept in one chunk. ``ELEMENT_LOCAL`` lists them.
* Per matrix: the result depends on the whole matrix (the value range of ``_Norm``, the maximum
  of ``_NotImage``, the spread of ``_MittelSigma``, the geometry of ``_TransformImage``, and
  ``_MittelWert`` with ``Mittelwerttyp`` 0 or 1): one task per matrix. ``PER_MATRIX``.
* Per stream: the result depends on the order of the stream (the noise sequence of ``_Pertur``,
  the running mean of ``_BinAdaptThreshImage`` that carries across matrices, the mean image of
  ``_MittelWert`` type 2), or the scalar processors with their "Scalar" pin connected: one task
  for the whole stream. ``PER_STREAM``.

The generators (``_ConstImage``, ``_ImagePlane``) take no array and are not offered here. A
task whose output size is not its input's (rotation, the features) learns that size first from
one run over zeros of the input's size in the calling process.
"""

import warnings as _warnings

import dask as _dask
import dask.array as _da
import numpy as _np

import rasterkit as _rk

# The same processors the host splits into row bands: the list is the host's.
ELEMENT_LOCAL = frozenset(r.entry for r in _rk.catalogue() if _rk._core.element_local(r.entry))
PER_MATRIX = frozenset({"_Norm", "_NotImage", "_MittelSigma", "_TransformImage", "_MittelWert"})
PER_STREAM = frozenset({"_Pertur", "_BinAdaptThreshImage"})
_SAME_SHAPE = frozenset({"_Norm", "_NotImage", "_Pertur", "_BinAdaptThreshImage"})
_SCALAR_PIN = frozenset({"_ScalarAddImage", "_ScalarSubImage", "_ScalarMultImage", "_ScalarDivImage"})


def _record(processor):
    return _rk.catalogue()[_rk._lookup(processor)]


def _out_dtypes(r, out_type, pins):
    def one(pin):
        t = out_type
        if isinstance(out_type, dict):
            t = out_type.get(pin)
        elif isinstance(out_type, (list, tuple)):
            t = out_type[pin] if pin < len(out_type) else None
        return _np.dtype(t if t is not None else r.outputs[pin].default_type)

    return {pin: one(pin) for pin in pins}


def _matrix_ndim(a, stack):
    """Dimensions of one matrix of ``a``, and whether ``a`` is a stack of them."""
    if a.ndim == 4 or (a.ndim == 3 and stack):
        return a.ndim - 1, True
    if a.ndim in (2, 3):
        return a.ndim, False
    raise ValueError(f"an input of shape {a.shape}: expected (Y, X), (Y, X, P), (N, Y, X) or (N, Y, X, P)")


def _call(entry, inputs, stacks, pin, out_type, params):
    """One run over numpy inputs; the result as one array, a stream's matrices stacked."""
    args = [list(a) if s else a for a, s in zip(inputs, stacks)]
    out = _rk.run(entry, *args, out_type=out_type, outputs=pin, stream=any(stacks), **params)
    return _np.stack([_np.asarray(m) for m in out]) if any(stacks) else _np.asarray(out)


def _local(r, arrays, stacks, pins, dtypes, out_type, params, plane_axis):
    entry = r.entry
    # A pixel's planes stay in one block: the colour processors read them together.
    arrays = [a.rechunk({a.ndim - 1: -1}) if a.ndim - s == 3 else a for a, s in zip(arrays, stacks)]
    ndim = max(a.ndim for a in arrays)
    # Blocks meet block for block: a single matrix beside a stack is cut as the stack's matrices.
    first = next(a for a in arrays if a.ndim == ndim)
    arrays = [a.rechunk(first.chunks[ndim - a.ndim:]) for a in arrays]
    kw = {}
    if plane_axis == "drop":
        kw["drop_axis"] = ndim - 1
    elif plane_axis == "new":
        kw["new_axis"] = ndim
        kw["chunks"] = first.chunks + ((3,),)
    results = []
    for pin in pins:
        def block(*blocks, pin=pin):
            out = _call(entry, [_np.ascontiguousarray(b) for b in blocks], stacks, pin, out_type, params)
            shape = _np.broadcast_shapes(*[b.shape for b in blocks])
            shape = shape[:-1] if plane_axis == "drop" else shape + (3,) if plane_axis == "new" else shape
            return out.reshape(shape)

        name = f"rasterkit-{entry}-{pin}-" + _dask.base.tokenize(arrays, pin, out_type, params)
        results.append(_da.map_blocks(block, *arrays, dtype=dtypes[pin], name=name, **kw))
    return results


def _whole(r, arrays, stacks, pins, dtypes, out_type, params, per_matrix):
    """One task per matrix (the stacks' matrices in order) or one for the whole stream."""
    entry = r.entry
    if per_matrix and any(stacks):
        n = max(a.shape[0] for a, s in zip(arrays, stacks) if s)
        parts = [[a[i] if s else a for a, s in zip(arrays, stacks)] for i in range(n)]
        part_stacks = [False] * len(arrays)
    else:
        parts, part_stacks = [arrays], stacks
    results = []
    for pin in pins:
        if entry in _SAME_SHAPE or entry in _SCALAR_PIN:
            shape = parts[0][0].shape
        else:
            with _warnings.catch_warnings():
                _warnings.simplefilter("ignore")
                zeros = [_np.zeros(a.shape, a.dtype) for a in parts[0]]
                shape = _call(entry, zeros, part_stacks, pin, out_type, params).shape
        token = _dask.base.tokenize(arrays, pin, out_type, params)
        tasks = [_da.from_delayed(
            _dask.delayed(_call, pure=True)(entry, part, part_stacks, pin, out_type, params,
                                            dask_key_name=f"rasterkit-{entry}-{pin}-{token}-{i}"),
            shape, dtypes[pin]) for i, part in enumerate(parts)]
        results.append(_da.stack(tasks) if per_matrix and any(stacks) else tasks[0])
    return results


def run(processor, *inputs, out_type=None, outputs=None, stack=False, **params):
    """Runs a processor (entry, display or function name) over dask or numpy arrays; returns
    dask arrays, one per output pin (a tuple for several), computed in tasks as the module's
    text says. ``out_type`` and ``outputs`` are those of the numpy functions."""
    r = _record(processor)
    if not r.inputs:
        raise ValueError(f"{r.entry} takes no input array: call rasterkit.{r.function} and wrap its result")
    entry = r.entry
    given = [(i, a) for i, a in enumerate(inputs) if a is not None]
    pins = [outputs] if isinstance(outputs, int) else list(outputs) if outputs is not None else list(
        range(len(r.outputs)))
    dtypes = _out_dtypes(r, out_type, pins)
    arrays = [_da.asarray(a) if i < len(r.inputs) and r.inputs[i].name != "Scalar" else a for i, a in given]
    if len(given) != len(inputs) and entry not in _SCALAR_PIN:
        raise ValueError(f"{entry}: every input pin takes an array here")
    shaped = [_matrix_ndim(a, stack) for a in arrays if isinstance(a, _da.Array)]
    stacks = [s for _, s in shaped] + [False] * (len(arrays) - len(shaped))
    scalar_pin = entry in _SCALAR_PIN and len(given) > 1
    if entry in ELEMENT_LOCAL and not scalar_pin:
        sizes = {a.shape[s:] for a, s in zip(arrays, stacks)}
        if len(sizes) > 1:
            raise ValueError(f"{entry}: the inputs' matrices differ in size ({sorted(sizes)})")
        plane_axis = "drop" if entry == "_RGBSplitt" and arrays[0].ndim - stacks[0] == 3 else (
            "new" if entry == "_RGBJoin" else None)
        results = _local(r, arrays, stacks, pins, dtypes, out_type, params, plane_axis)
    elif entry in PER_MATRIX and not (entry == "_MittelWert" and params.get("Mittelwerttyp", 1) not in (0, 1)):
        results = _whole(r, arrays, stacks, pins, dtypes, out_type, params, per_matrix=True)
    else:
        results = _whole(r, arrays, stacks, pins, dtypes, out_type, params, per_matrix=False)
    return results[0] if isinstance(outputs, int) or (outputs is None and len(r.outputs) == 1) else tuple(results)


def _make(r):
    def processor(*inputs, out_type=None, outputs=None, stack=False, **params):
        return run(r.entry, *inputs, out_type=out_type, outputs=outputs, stack=stack, **params)

    processor.__name__ = processor.__qualname__ = r.function
    processor.__doc__ = (f"{r.name} ({r.entry}) over dask arrays; see rasterkit.{r.function} for its pins and "
                         "parameters and this module's text for how it is split into tasks.")
    return processor


__all__ = ["ELEMENT_LOCAL", "PER_MATRIX", "PER_STREAM", "run"]
for _r in _rk.catalogue():
    if _r.inputs:
        globals()[_r.function] = _make(_r)
        __all__.append(_r.function)
