"""RasterKit's processors on numpy arrays, in process, with the library's exact results.

Every processor of the plug-in is a function of this module, generated from its catalogue record
(``rasterkit.add_image(a, b)``) and reachable by entry or display name
(``rasterkit.run("_AddImage", a, b)``); ``help()`` on a function shows its pins, types and
defaults. The plug-in is loaded through the same host runtime as ``kxrun``.

Inputs, one argument per input pin in pin order:

* an array is one matrix: (Y, X) of one plane, (Y, X, P) of P planes;
* a list of arrays is a stream of several matrices, a :class:`Stream` adds matrix names, user
  data and the stream's meta information;
* ``None`` (or leaving trailing pins out) leaves a pin unconnected.

dtypes follow the rule of kxrun's .npy reader: uint8 (bool is read as its bytes), int16 (it
reaches the processor, which refuses it), int32, float32, float64; any other is a TypeError. An
input that is C-contiguous, aligned and in this machine's byte order is read in place, without a
copy; any other (a strided view, a reversed one, a byte-swapped dtype) is copied once into a
contiguous array for the call.

Outputs: every output pin, or those named by ``outputs=`` (a pin index or a sequence of them);
only those pins are connected. Each pin's element type is ``out_type=`` (one type for every pin,
a sequence by pin, or a dict pin -> type; names such as "uint8" or numpy dtypes), by default the
catalogue's default type, as in kxrun. A pin's result is an array over the host's own buffer (no
copy; the array keeps the buffer alive) when the output holds exactly one matrix and every input
was a bare array; otherwise, or with ``stream=True``, a :class:`Stream`. Several pins give a
tuple.

Errors: a processor's exception is :class:`ProcessorError` with the library's text and the
partial outputs; a host refusal (sizes of the input streams that do not match, say) is
:class:`HostError`; a refusal by the host's memory limits (:func:`set_limits`) is
:class:`LimitError` naming the sizes. Warnings are issued as :class:`RasterKitWarning`, in order.
Bad arguments are TypeError or ValueError.

Threads: the interpreter lock is released while a processor runs, so a thread pool runs calls in
parallel. Processors that draw from the C library's global generator (``_Pertur``) run one at a
time, so that every call gives what it gives alone. A call may itself run on several threads
(:func:`set_threads`); calls made at once share that count instead of each taking every core.

Beyond one process: :mod:`rasterkit.batch` runs a graph file over many input files on a
dask.distributed cluster, and :mod:`rasterkit.dask` applies processors to dask arrays.
"""

import json as _json
import os as _os
import re as _re
import threading as _threading
import warnings as _warnings
from inspect import Parameter as _P
from inspect import Signature as _Signature
from typing import NamedTuple as _NamedTuple

from . import _core


class Meta(_NamedTuple):
    """A stream's meta information (and the form of each matrix's information)."""

    name: str = ""
    x: int = 0
    y: int = 0
    planes: int = 0
    count: int = 0
    user_data: bytes = b""


class Stream(list):
    """A stream of matrices: a list of arrays with a name and user data per matrix and the
    stream's meta information (``None`` on an output whose processor wrote none)."""

    def __init__(self, arrays=(), names=None, user_data=None, meta=None):
        super().__init__(arrays)
        self.names = list(names) if names is not None else [""] * len(self)
        self.user_data = list(user_data) if user_data is not None else [b""] * len(self)
        self.meta = meta

    def __repr__(self):
        return f"Stream({list.__repr__(self)}, names={self.names!r}, meta={self.meta!r})"


class Error(Exception):
    """A run that did not complete. ``text`` is the library's or the host's message, ``outputs``
    what the output pins held when it ended, shaped as a successful call's result."""

    def __init__(self, text, outputs=None):
        super().__init__(text)
        self.text = text
        self.outputs = outputs


class ProcessorError(Error):
    """The processor ended its run with an exception."""


class HostError(Error):
    """The host refused a request of the processor (streams of different sizes, for instance)."""


class LimitError(HostError):
    """The host refused an allocation beyond its limits; the outputs are incomplete and not given."""


class RasterKitWarning(UserWarning):
    """A warning the processor issued while going on."""


class Pin(_NamedTuple):
    name: str
    required: bool
    types: list
    default_type: str


class Param(_NamedTuple):
    name: str
    type: str  # "int32" or "float64"
    default: object
    default_text: str  # as the catalogue writes it ("0,1")


class Processor(_NamedTuple):
    entry: str
    name: str
    category: str
    inputs: list
    outputs: list
    params: list
    dialog: object  # the dialog export's name, or None
    function: str  # the name of its function in this module


def _plugin_path():
    if _os.environ.get("KX_PLUGIN"):
        return _os.environ["KX_PLUGIN"]
    beside = _os.path.join(_os.path.dirname(__file__), "libRasterKit.so")
    return beside if _os.path.exists(beside) else ""


plugin_path = _core.load(_plugin_path(), Stream, Meta)


def _snake(entry):
    return _re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", entry.lstrip("_")).lower()


def _record(d):
    return Processor(
        d["entry"], d["name"], d["category"],
        [Pin(**p) for p in d["inputs"]], [Pin(**p) for p in d["outputs"]],
        [Param(**p) for p in d["params"]], d["dialog"], _snake(d["entry"]))


_catalogue = [_record(d) for d in _core.catalogue()]
_index = {}
for _i, _r in enumerate(_catalogue):
    _index.setdefault(_r.entry, _i)
for _i, _r in enumerate(_catalogue):
    _index.setdefault(_r.name, _i)
    _index.setdefault(_r.function, _i)


def catalogue():
    """The processors of the plug-in, in catalogue order, as :class:`Processor` records."""
    return list(_catalogue)


def _lookup(name):
    try:
        return _index[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown processor {name!r}: rasterkit.catalogue() lists "
                         + ", ".join(r.entry for r in _catalogue)) from None


_FAILURES = {1: ProcessorError, 2: HostError, 3: LimitError, 4: Error}


def _finish(result, single):
    status, text, warns, outs = result
    for w in warns:
        _warnings.warn(w, RasterKitWarning, stacklevel=3)
    shaped = (outs[0] if single else tuple(outs)) if outs else None
    if status:
        raise _FAILURES[status](text, shaped)
    return shaped


def run(processor, *inputs, out_type=None, outputs=None, stream=False, **params):
    """Runs a processor named by entry, display or function name; as its own function does."""
    index = _lookup(processor)
    single = isinstance(outputs, int) or (outputs is None and len(_catalogue[index].outputs) == 1)
    return _finish(_core.run(index, inputs, params, out_type, outputs, stream), single)


def _types(pin):
    return ", ".join(pin.types)


def _doc(r):
    lines = [f'{r.name} ({r.entry}), in "{r.category}".', "", "Parameters", "----------"]
    for i, p in enumerate(r.inputs):
        need = "required" if p.required else "optional, None leaves it unconnected"
        lines += [f"in{i} : array, list of arrays or Stream ({need})",
                  f'    Input pin {i} "{p.name}": {_types(p)}.']
    for p in r.params:
        kind = "int" if p.type == "int32" else "float"
        lines += [f"{p.name} : {kind}, default {p.default!r}",
                  f'    Catalogue parameter "{p.name}" ({p.type}, default "{p.default_text}").']
    pins = "; ".join(f"pin {i}: {_types(p)}, default {p.default_type}" for i, p in enumerate(r.outputs))
    lines += ["out_type : type, sequence by pin or dict pin -> type, optional",
              f"    Output element types ({pins}).",
              "outputs : int or sequence of int, optional",
              "    The output pins connected and returned (default: all).",
              "stream : bool, default False",
              "    Return every output as a Stream, even when it holds one matrix.",
              "", "Returns", "-------"]
    for i, p in enumerate(r.outputs):
        lines += ["array or Stream", f'    Output pin {i} "{p.name}".']
    if len(r.outputs) > 1:
        lines += ["", "Several output pins give a tuple, in pin order."]
    lines += ["", "Raises", "------", "ProcessorError, HostError, LimitError",
              "    The run did not complete; the exception carries the partial outputs."]
    if r.dialog:
        lines += ["", f"Its dialog {r.dialog} is shown by rasterkit.configure({r.entry!r})."]
    return "\n".join(lines)


def _make(index, r):
    single = len(r.outputs) == 1
    run_core = _core.run

    def processor(*inputs, out_type=None, outputs=None, stream=False, **params):
        one = single if outputs is None else isinstance(outputs, int)
        return _finish(run_core(index, inputs, params, out_type, outputs, stream), one)

    processor.__name__ = processor.__qualname__ = r.function
    processor.__doc__ = _doc(r)
    processor.__signature__ = _Signature(
        [_P(f"in{i}", _P.POSITIONAL_ONLY, default=_P.empty if p.required else None) for i, p in enumerate(r.inputs)]
        + [_P(p.name, _P.KEYWORD_ONLY, default=p.default) for p in r.params]
        + [_P("out_type", _P.KEYWORD_ONLY, default=None), _P("outputs", _P.KEYWORD_ONLY, default=None),
           _P("stream", _P.KEYWORD_ONLY, default=False)])
    return processor


__all__ = ["Meta", "Stream", "Error", "ProcessorError", "HostError", "LimitError", "RasterKitWarning",
           "catalogue", "configure", "run", "run_graph", "set_limits", "set_threads", "get_threads"]
for _i, _r in enumerate(_catalogue):
    globals()[_r.function] = _make(_i, _r)
    __all__.append(_r.function)


def configure(processor, script=None, **params):
    """Shows a processor's own dialog over these parameter values (the others at their catalogue
    defaults), as ``kxrun configure`` does: in a window on DISPLAY, or driven by an action script
    file (``script=``, kxrun's --script format). Returns {name: value} of every parameter when
    the dialog ends with OK, None on Cancel. Dialogs run on the main thread only.
    """
    if not hasattr(_core, "configure"):
        raise RuntimeError("this build of rasterkit has no dialog backend")
    if _threading.current_thread() is not _threading.main_thread():
        raise RuntimeError("rasterkit.configure: dialogs run on the main thread only")
    return _core.configure(_lookup(processor), params, "" if script is None else _os.fspath(script))


def set_limits(max_matrix_bytes=None, max_run_bytes=None):
    """Sets the host's memory ceilings for the calls that follow (one matrix, all outputs of one
    run; as kxrun's --max-matrix-bytes and --max-run-bytes); returns the previous pair."""
    old = _core.limits()
    _core.set_limits(old[0] if max_matrix_bytes is None else max_matrix_bytes,
                     old[1] if max_run_bytes is None else max_run_bytes)
    return old


def set_threads(n=0):
    """Sets how many threads one processor call may use (as kxrun's --threads): 0 for every core,
    1 for the calling thread alone. The count holds for the whole process: calls made at once
    from a thread pool or Dask workers share it rather than each taking every core. Returns the
    previous count."""
    if isinstance(n, bool) or not isinstance(n, int) or not 0 <= n <= 4096:
        raise ValueError(f"set_threads: expected a thread count from 0 to 4096, not {n!r}")
    old = _core.threads()
    _core.set_threads(n)
    return old


def get_threads():
    """How many threads one processor call may use (every core unless set_threads said otherwise)."""
    return _core.threads()


def run_graph(graph, inputs=None, set=(), keep=True):
    """Runs a graph in kxrun's JSON form: a file path, or the graph as a dict (its relative paths
    then count from the current directory). ``inputs`` maps file nodes to streams given in place
    of their files; ``set`` holds "NODE.PARAM=VALUE" overrides as ``kxrun graph --set``.

    Returns {node: tuple of Streams by output pin} for every processor node; with ``keep=False``
    the graph runs exactly as ``kxrun graph`` does, dropping what no node reads, and returns {}.
    A graph that does not check out is a ValueError with kxrun's message; a node that fails raises ProcessorError
    whose ``outputs`` holds what the nodes produced up to it, the failing node's included.
    Warnings are RasterKitWarning, "NODE: TEXT".
    """
    if isinstance(graph, dict):
        file, text = "<graph>", _json.dumps(graph)
    else:
        file, text = _os.fspath(graph), ""
    status, outs, report = _core.run_graph(file, text, dict(inputs or {}), list(set), keep)
    report = _json.loads(report)
    for node in report["nodes"]:
        for w in node["warnings"]:
            _warnings.warn(f"{node['node']}: {w}", RasterKitWarning, stacklevel=2)
    outs = {k: tuple(v) for k, v in outs.items()}
    if status:
        error = report["error"] or {"node": "", "text": "an output could not be written"}
        raise ProcessorError(f"node '{error['node']}': {error['text']}", outs)
    return outs
