"""Writes the typing stub _core.pyi and the marker py.typed for the built extension.

Usage: make_stub.py <directory holding the built _core module> <output directory>

The signatures and types come from the template below; the docstrings come from the module
itself, so the stub never drifts from them. The build fails when the template and the
runtime class disagree on the public methods or on any parameter name or default.
"""

from __future__ import annotations

import importlib
import inspect
import sys
from pathlib import Path

TEMPLATE = '''\
"""Typing stub of norvex._core (generated at build time)."""

from collections.abc import Sequence
from types import TracebackType
from typing import Any, Literal, TypedDict, Union

import numpy as np
import numpy.typing as npt

_Vector = Union[npt.NDArray[np.float32], npt.NDArray[np.float64]]
_Matrix = Union[npt.NDArray[np.float32], npt.NDArray[np.float64]]
_Metadata = dict[str, Any]
_Filter = dict[str, Any]

class _SearchHit(TypedDict, total=False):
    id: str
    score: float
    metadata: dict[str, Any]
    document: str

class _Record(TypedDict, total=False):
    id: str
    metadata: dict[str, Any]
    document: str

class _Stats(TypedDict):
    vector_count: int
    segment_count: int
    buffered_vectors: int
    dimension: int
    bits: int
    total_disk_bytes: int
    has_index: bool
    index_nodes: int
    live_codes_bytes: int
    live_slot_count: int
    live_id_count: int
    live_vectors_count: int
    live_vectors_bytes_estimate: int
    metadata_entries: int
    metadata_bytes_estimate: int
    ann_slot_count: int
    graph_nodes: int
    ram_estimate_bytes: int

class Database:
    @DOC(class)@
    @staticmethod
    def open(
        path: str,
        dimension: int | None = None,
        bits: int = 4,
        seed: int = 42,
        metric: str = "ip",
        rerank: bool = True,
        fast_mode: bool = False,
        rerank_precision: str | None = None,
        collection: str | None = None,
        wal_flush_threshold: int | None = None,
        normalize: bool = False,
    ) -> Database:
        @DOC(open)@
    def insert(
        self,
        id: str,
        vector: _Vector,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        @DOC(insert)@
    def insert_batch(
        self,
        ids: Sequence[str],
        vectors: _Matrix,
        metadatas: list[_Metadata] | None = None,
        documents: list[str | None] | None = None,
        mode: str = "insert",
    ) -> None:
        @DOC(insert_batch)@
    def upsert(
        self,
        id: str,
        vector: _Vector,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        @DOC(upsert)@
    def update(
        self,
        id: str,
        vector: _Vector,
        metadata: _Metadata | None = None,
        document: str | None = None,
    ) -> None:
        @DOC(update)@
    def delete(self, id: str) -> bool:
        @DOC(delete)@
    def delete_batch(
        self, ids: Sequence[str] = ..., where_filter: _Filter | None = None
    ) -> int:
        @DOC(delete_batch)@
    def count(self, filter: _Filter | None = None) -> int:
        @DOC(count)@
    def get(self, id: str) -> _Record | None:
        @DOC(get)@
    def get_many(self, ids: Sequence[str]) -> list[_Record | None]:
        @DOC(get_many)@
    def list_all(self) -> list[str]:
        @DOC(list_all)@
    def search(
        self,
        query: _Vector,
        top_k: int,
        filter: _Filter | None = None,
        _use_ann: bool = False,
        ann_search_list_size: int | None = None,
        include: Sequence[str] | None = None,
    ) -> list[_SearchHit]:
        @DOC(search)@
    def create_index(
        self,
        max_degree: int | None = None,
        ef_construction: int | None = None,
        search_list_size: int | None = None,
        alpha: float | None = None,
        n_refinements: int | None = None,
    ) -> None:
        @DOC(create_index)@
    def stats(self) -> _Stats:
        @DOC(stats)@
    def flush(self) -> None:
        @DOC(flush)@
    def close(self) -> None:
        @DOC(close)@
    def update_metadata(
        self, id: str, metadata: _Metadata | None = None, document: str | None = None
    ) -> None:
        @DOC(update_metadata)@
    def query(
        self,
        query_embeddings: _Matrix,
        n_results: int = 10,
        where_filter: _Filter | None = None,
        _use_ann: bool = False,
        ann_search_list_size: int | None = None,
    ) -> list[list[_SearchHit]]:
        @DOC(query)@
    def list_ids(
        self, where_filter: _Filter | None = None, limit: int | None = None, offset: int = 0
    ) -> list[str]:
        @DOC(list_ids)@
    def list_metadata_values(self, field: str) -> dict[str, int]:
        @DOC(list_metadata_values)@
    def __len__(self) -> int: ...
    def __contains__(self, id: str) -> bool: ...
    def __enter__(self) -> Database:
        @DOC(__enter__)@
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        @DOC(__exit__)@

NorvaneDB = Database
'''

# Protocol methods typed in the template but not compared (slot wrappers have no signature).
SLOT_METHODS = {"__len__", "__contains__"}


def docstring(text: str | None, indent: str) -> str:
    if not text:
        return "..."
    body = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines = body.split("\n")
    out = '"""' + lines[0]
    for line in lines[1:]:
        out += "\n" + (indent + line if line else "")
    if len(lines) > 1:
        out += "\n" + indent
    return out + '"""'


def fill(template: str, cls: type) -> str:
    out = []
    for line in template.split("\n"):
        stripped = line.strip()
        if stripped.startswith("@DOC(") and stripped.endswith(")@"):
            name = stripped[len("@DOC(") : -len(")@")]
            indent = line[: len(line) - len(line.lstrip())]
            doc = cls.__doc__ if name == "class" else getattr(cls, name).__doc__
            out.append(indent + docstring(doc, indent))
        else:
            out.append(line)
    return "\n".join(out)


def check(stub_text: str, cls: type) -> None:
    """Compares the template's methods and parameters with the runtime class."""
    import ast

    tree = ast.parse(stub_text)
    stub_cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Database")
    stub_methods = {n.name: n for n in stub_cls.body if isinstance(n, ast.FunctionDef)}
    runtime = {
        name
        for name in cls.__dict__
        if callable(getattr(cls, name)) and not name.startswith("_")
    } | {"__enter__", "__exit__"}
    expected = set(stub_methods) - SLOT_METHODS
    if runtime != expected:
        raise SystemExit(f"stub template and class differ: {sorted(runtime ^ expected)}")
    for name in expected:
        node = stub_methods[name]
        params = [a.arg for a in node.args.args]
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        sig = inspect.signature(getattr(cls, name))
        r_params = list(sig.parameters.values())
        r_names = [p.name for p in r_params]
        r_defaults = [p.default for p in r_params if p.default is not inspect.Parameter.empty]
        if params != r_names or defaults != r_defaults:
            raise SystemExit(
                f"stub template and class differ for {name}: {params} {defaults} "
                f"vs {r_names} {r_defaults}"
            )


def main() -> None:
    module_dir, out_dir = Path(sys.argv[1]), Path(sys.argv[2])
    sys.path.insert(0, str(module_dir))
    core = importlib.import_module("_core")
    cls = core.Database
    text = fill(TEMPLATE, cls)
    check(text, cls)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "_core.pyi").write_text(text, encoding="utf-8")
    (out_dir / "py.typed").write_text("", encoding="utf-8")


if __name__ == "__main__":
    main()
