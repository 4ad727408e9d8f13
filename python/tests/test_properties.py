# Whatever a caller passes, a call returns or raises one of the package's errors, TypeError or
# ValueError: never a crash, a hang or another exception.
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import rasterkit as rk

ENTRIES = [r.entry for r in rk.catalogue()]
DTYPES = [np.bool_, np.uint8, np.int8, np.int16, np.uint16, np.int32, np.int64, np.float16, np.float32,
          np.float64, ">f8", ">i4", np.complex64]
SHAPES = st.one_of(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5),
                   st.sampled_from([(1, 1), (1, 1, 3), (300, 257), (3, 2000, 3)]))


@st.composite
def matrices(draw):
    array = draw(hnp.arrays(st.sampled_from(DTYPES), SHAPES))
    if array.ndim >= 2 and draw(st.booleans()):  # a strided or reversed view
        array = array[::draw(st.sampled_from([-1, 2, -3])), ::draw(st.sampled_from([1, -1, 2]))]
    return array


VALUES = st.one_of(st.integers(-2**40, 2**40), st.floats(allow_nan=True, allow_infinity=True),
                   st.sampled_from(["0,5", "x", "", "-3", b"1"]), st.none(), st.booleans())
PINS = st.one_of(st.none(), matrices(), st.lists(matrices(), max_size=3))


@settings(max_examples=300, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(entry=st.sampled_from(ENTRIES), inputs=st.lists(PINS, max_size=4),
       params=st.dictionaries(st.sampled_from(["scalar", "X", "Y", "MCount", "Plane", "Planes", "TransType",
                                               "RotDegree", "TA", "consta", "Mittelwerttyp", "bogus"]),
                              VALUES, max_size=3),
       out_type=st.sampled_from([None, "uint8", "int32", "float32", "float64", np.int16, 7, "bad", [None, "int32"]]),
       outputs=st.sampled_from([None, 0, 1, 2, (0,), (2, 0), -1]))
def test_every_call_returns_or_raises_ours(small_limits, entry, inputs, params, out_type, outputs):
    record = next(r for r in rk.catalogue() if r.entry == entry)
    params = {k: v for k, v in params.items() if k == "bogus" or k in [p.name for p in record.params]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rk.RasterKitWarning)
        try:
            rk.run(entry, *inputs, out_type=out_type, outputs=outputs, **params)
        except (rk.Error, TypeError, ValueError):
            pass
