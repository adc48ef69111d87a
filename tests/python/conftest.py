import numpy as np
import pytest

import norvex

DIM = 16


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    """An empty database of dimension DIM that keeps exact float32 vectors for reranking."""
    return norvex.Database.open(db_path, dimension=DIM, rerank_precision="f32")


def unit_vectors(n, dim=DIM, seed=0, dtype=np.float32):
    rng = np.random.default_rng(seed)
    v = rng.standard_normal((n, dim))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v.astype(dtype)


def has_test_hooks():
    return hasattr(norvex.Database, "_fault_under_write_lock")
