"""Helpers and fixtures shared by the reliability tests (imported by name: tests/python has
its own conftest)."""

import numpy as np
import pytest

import norvex

DIM = 16


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    return norvex.Database.open(db_path, dimension=DIM, metric="cosine", rerank_precision="f32")


def vectors(n, seed=0, dim=DIM):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, dim)).astype(np.float32)
