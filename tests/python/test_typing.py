"""The typing stub: mypy --strict accepts a typed client and rejects a wrong one."""

import inspect
import os
import textwrap
from pathlib import Path

import pytest

import norvex

mypy_api = pytest.importorskip("mypy.api")

CLIENT = '''
from typing import Any

import numpy as np
import numpy.typing as npt

from norvex import Database, NorvaneDB


def build(path: str) -> list[str]:
    vectors: npt.NDArray[np.float32] = np.zeros((2, 8), dtype=np.float32)
    with Database.open(path, dimension=8, metric="cosine", rerank_precision="f16") as db:
        db.insert("a", vectors[0], {"k": 1}, "doc")
        db.upsert("a", vectors[0].astype(np.float64))
        db.update("a", vectors[0], metadata=None, document=None)
        db.insert_batch(["b", "c"], vectors, metadatas=[{"k": 2}, {}], documents=[None, "x"],
                        mode="upsert")
        db.update_metadata("a", {"k": 3})
        removed: bool = db.delete("b")
        n: int = db.delete_batch(["c"], where_filter={"k": 2})
        hits = db.search(vectors[0], 5, filter={"k": {"$gte": 1}}, include=["id", "score"])
        score: float = hits[0]["score"]
        rows = db.query(vectors, n_results=3, where_filter=None)
        first_id: str = rows[0][0]["id"]
        record = db.get("a")
        meta: dict[str, Any] = record["metadata"] if record is not None else {}
        many = db.get_many(["a", "zz"])
        ids: list[str] = db.list_all() + db.list_ids(where_filter={"k": 3}, limit=10, offset=0)
        counts: dict[str, int] = db.list_metadata_values("k")
        stats = db.stats()
        has_index: bool = stats["has_index"]
        total: int = db.count() + len(db) + stats["ram_estimate_bytes"]
        present: bool = "a" in db
        db.flush()
        db.close()
        print(removed, n, score, first_id, meta, many, counts, has_index, total, present)
    same: type[Database] = NorvaneDB
    print(repr(same))
    return ids
'''

WRONG = '''
import numpy as np
from norvex import Database

db = Database.open(123)
db.search(np.zeros(8), top_k="5")
db.insert("a", [1.0, 2.0])
n: str = db.count()
'''


def installed_stub():
    return Path(norvex.__file__).with_name("_core.pyi")


@pytest.fixture(scope="module")
def mypy_output(tmp_path_factory):
    """One strict mypy run over both clients (mypy's start-up dominates the cost)."""
    root = tmp_path_factory.mktemp("typing")
    (root / "good.py").write_text(textwrap.dedent(CLIENT))
    (root / "wrong.py").write_text(textwrap.dedent(WRONG))
    stdout, stderr, _ = mypy_api.run(["--strict", "--no-incremental", "--cache-dir", os.devnull,
                                      str(root / "good.py"), str(root / "wrong.py")])
    return stdout + stderr


def test_stub_and_marker_are_installed():
    assert installed_stub().is_file()
    assert installed_stub().with_name("py.typed").is_file()


def test_mypy_strict_accepts_a_typed_client(mypy_output):
    assert "good.py" not in mypy_output, mypy_output


def test_mypy_strict_rejects_wrong_calls(mypy_output):
    for line in ("wrong.py:5:", "wrong.py:6:", "wrong.py:7:", "wrong.py:8:"):
        assert line in mypy_output, mypy_output


def test_stub_docstrings_match_the_runtime():
    import ast
    tree = ast.parse(installed_stub().read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Database")
    assert ast.get_docstring(cls) == inspect.cleandoc(norvex.Database.__doc__)
    methods = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    assert len(methods) == 24
    for node in methods:
        runtime = getattr(norvex.Database, node.name).__doc__
        if node.name in ("__len__", "__contains__") or not runtime:
            continue
        assert ast.get_docstring(node) == inspect.cleandoc(runtime), node.name
