import os

import numpy as np
import pytest
from hypothesis import settings

import velq

DIM = 8

# Property tests: CI runs a fixed, bounded set of examples (the same each
# run); VELQ_HYPOTHESIS=long explores new ones for as long as it takes.
settings.register_profile("ci", max_examples=300, deadline=None, derandomize=True, print_blob=True)
settings.register_profile("long", max_examples=20_000, deadline=None)
settings.load_profile(os.environ.get("VELQ_HYPOTHESIS", "ci"))


@pytest.fixture
def db(tmp_path):
    return velq.Database.open(str(tmp_path / "db"), dimension=DIM)


@pytest.fixture
def rng():
    return np.random.default_rng(7)


def unit_rows(rng, n, d=DIM, dtype=np.float32):
    rows = rng.standard_normal((n, d))
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows.astype(dtype)
