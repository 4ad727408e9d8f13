# Shared inputs of the rasterkit tests, and the kxrun the package is compared with.
import os
from pathlib import Path

import numpy as np
import pytest

import rasterkit as rk


@pytest.fixture(scope="session")
def kxrun():
    path = Path(os.environ.get("KXRUN") or Path(rk.__file__).parents[2] / "app" / "kxrun")
    assert path.exists(), f"kxrun not found at {path}: build it, or set KXRUN"
    return path


def image(shape, dtype=np.uint8, seed=0):
    """Random elements over the dtype's interesting range (negative values for the signed ones)."""
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return (rng.standard_normal(shape) * 100).astype(dtype)
    if np.dtype(dtype).kind == "i":
        return rng.integers(-1000, 1000, shape).astype(dtype)
    return rng.integers(0, 256, shape).astype(dtype)


@pytest.fixture
def small_limits():
    old = rk.set_limits(1 << 24, 1 << 26)
    yield
    rk.set_limits(*old)
