import numpy as np
import pytest

import velq

DIM = 8


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
