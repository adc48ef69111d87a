// Docstrings of the Database class and its methods. A method docstring starts with its
// text signature, then "--" and an empty line (the interpreter's convention, which yields
// __text_signature__ and __doc__).
#pragma once

namespace norvex::python::doc {

inline constexpr const char* kClass =
    R"doc(Thread-safe handle to a NorvaneDB database.

All operations are safe to call from multiple Python threads simultaneously.
Reads are concurrent; writes (insert/delete/index) are serialised by an internal
`RwLock`.

Open or create a database with :meth:`Database.open`.)doc";

inline constexpr const char* kOpen =
    R"doc(open(path, dimension=None, bits=4, seed=42, metric="ip", rerank=True, fast_mode=False, rerank_precision=None, collection=None, wal_flush_threshold=None, normalize=False)
--

Open (or create) a NorvaneDB database at the given directory path.

Args:
    path: Directory where database files are stored.
    dimension: Vector dimensionality. Must match on reopen.
    bits: Quantization bits per coordinate — ``4`` (8× compression, good recall)
          or ``8`` (4× compression, better recall). Default ``4``.
    seed: Random seed for the quantizer. Must match on reopen. Default ``42``.
    metric: Distance metric — ``"ip"`` (inner product), ``"cosine"``,
            or ``"l2"`` (Euclidean). Fixed at creation. Default ``"ip"``.
    rerank: Enable reranking of HNSW candidates. Default ``True``.
    fast_mode: Skip QJL residual quantization (~30 % faster ingest, slightly
               lower recall). Default ``False``.
    rerank_precision: Raw-vector reranking precision:
        - ``None`` (default): dequantization reranking — no extra disk/RAM.
        - ``"f16"``: store raw vectors as float16 (+n×d×2 bytes), exact reranking.
        - ``"f32"``: store raw vectors as float32 (+n×d×4 bytes), maximum precision.
    wal_flush_threshold: Number of buffered vectors before flushing WAL to a segment file.
        Higher values give faster bulk ingest (fewer flush cycles) at the cost of more
        data at risk if the process crashes before flush. Default ``5000``.
        Set to ``100`` to restore old conservative behaviour (more flushes, same final
        disk/RAM — ``close()`` always trims the file to the exact slot count).
    normalize: When ``True`` the engine L2-normalises every inserted vector and every
        query vector internally so that IP scoring equals cosine similarity.  Callers
        that already emit unit vectors can set this to avoid repeating the normalisation
        themselves.  Default ``False``.

Returns:
    An open :class:`Database` instance.

Example::

    db = Database.open("mydb", dimension=1536, bits=4, metric="cosine")
    # Re-open an existing database without specifying parameters:
    db = Database.open("mydb")
    # Equivalent cosine-via-IP with auto-normalization:
    db = Database.open("mydb", dimension=1536, bits=4, metric="ip", normalize=True))doc";

inline constexpr const char* kInsert =
    R"doc(insert($self, id, vector, metadata=None, document=None)
--

Insert a single vector with optional metadata and document.)doc";

inline constexpr const char* kInsertBatch =
    R"doc(insert_batch($self, ids, vectors, metadatas=None, documents=None, mode="insert")
--

)doc";

inline constexpr const char* kUpsert =
    R"doc(upsert($self, id, vector, metadata=None, document=None)
--

)doc";

inline constexpr const char* kUpdate =
    R"doc(update($self, id, vector, metadata=None, document=None)
--

)doc";

inline constexpr const char* kDelete =
    R"doc(delete($self, id)
--

)doc";

inline constexpr const char* kDeleteBatch =
    R"doc(delete_batch($self, ids=..., where_filter=None)
--

Delete multiple vectors in a single call.

Args:
    ids: List of IDs to delete. IDs not present are silently skipped.
        May be empty when ``where_filter`` is provided.
    where_filter: Optional metadata filter (same syntax as :meth:`search`).
        When provided, all vectors matching the filter are deleted in
        addition to any explicitly listed IDs.  Overlapping entries are
        not double-counted.

Returns:
    The number of vectors that were found and deleted.

Example::

    deleted = db.delete_batch(["id1", "id2", "id3"])
    # Delete all vectors older than 2020:
    deleted = db.delete_batch(where_filter={"year": {"$lt": 2020}}))doc";

inline constexpr const char* kCount =
    R"doc(count($self, filter=None)
--

Count vectors matching an optional metadata filter.

When called without a filter this is O(1) and equivalent to
``db.stats()["vector_count"]``. With a filter it performs an O(n)
scan and returns the number of matching active vectors.

Args:
    filter: Optional metadata filter dict using the same syntax as
            :meth:`search`.

Returns:
    Integer count of matching vectors.

Example::

    total = db.count()
    ml_docs = db.count(filter={"topic": "ml"})
    recent = db.count(filter={"year": {"$gte": 2023}}))doc";

inline constexpr const char* kGet =
    R"doc(get($self, id)
--

)doc";

inline constexpr const char* kGetMany =
    R"doc(get_many($self, ids)
--

)doc";

inline constexpr const char* kListAll =
    R"doc(list_all($self)
--

)doc";

inline constexpr const char* kSearch =
    R"doc(search($self, query, top_k, filter=None, _use_ann=False, ann_search_list_size=None, include=None)
--

Search for the nearest neighbours of a query vector.

The HNSW index is used when an index has been built via
:meth:`create_index` **and** ``_use_ann=True`` is passed.
With ``_use_ann=False`` (the default) the search always uses exhaustive
brute-force scoring, which gives the highest recall at the cost of
linear scan time.

Args:
    query: Query vector (1-D numpy array, float32 or float64).
    top_k: Number of results to return.
    filter: Optional metadata filter dict.
    ann_search_list_size: HNSW ef_search override (larger = more recall, slower).
        Only relevant when ``_use_ann=True`` and an index exists.
    include: Subset of fields to return — ``["id", "score", "metadata", "document"]``.
             Defaults to all four.

Returns:
    List of dicts, each with keys ``id``, ``score``, ``metadata``, ``document``.)doc";

inline constexpr const char* kCreateIndex =
    R"doc(create_index($self, max_degree=None, ef_construction=None, search_list_size=None, alpha=None, n_refinements=None)
--

)doc";

inline constexpr const char* kStats =
    R"doc(stats($self)
--

)doc";

inline constexpr const char* kFlush =
    R"doc(flush($self)
--

)doc";

inline constexpr const char* kClose =
    R"doc(close($self)
--

)doc";

inline constexpr const char* kUpdateMetadata =
    R"doc(update_metadata($self, id, metadata=None, document=None)
--

Update metadata and/or document for an existing ID without re-uploading
the vector.  The quantised representation is untouched.

Args:
    id: ID to update. Raises ``RuntimeError`` if not found.
    metadata: New metadata dict, or ``None`` to preserve existing.
    document: New document string, or ``None`` to preserve existing.

Example::

    db.update_metadata("doc-1", metadata={"status": "published"})
    db.update_metadata("doc-1", document="updated text"))doc";

inline constexpr const char* kQuery =
    R"doc(query($self, query_embeddings, n_results=10, where_filter=None, _use_ann=False, ann_search_list_size=None)
--

Search with multiple query vectors in one call.

Args:
    query_embeddings: 2-D array of shape ``(N, D)``.
    n_results: Number of results per query. Default 10.
    where_filter: Optional metadata filter (same syntax as :meth:`search`).
    ann_search_list_size: HNSW ef_search override (larger = more recall, slower).
        Only relevant when ``_use_ann=True`` and an index exists.

Note:
    Pass ``_use_ann=True`` to engage the HNSW index (must be built first via
    :meth:`create_index`). Default is ``False`` (exhaustive brute-force).

Returns:
    List of N result lists, each in the same format as :meth:`search`.

Example::

    all_results = db.query(
        query_embeddings=np.stack([q1, q2, q3]),
        n_results=5,
    ))doc";

inline constexpr const char* kListIds =
    R"doc(list_ids($self, where_filter=None, limit=None, offset=0)
--

Return IDs with optional metadata filter and pagination.

Args:
    where_filter: Optional metadata filter dict.
    limit: Maximum number of IDs to return. ``None`` returns all matching.
    offset: Number of IDs to skip. Default 0.

Returns:
    List of matching IDs.

Example::

    # All IDs for a given category, page 2
    ids = db.list_ids(where_filter={"kind": "A"}, limit=50, offset=50))doc";

inline constexpr const char* kListMetadataValues =
    R"doc(list_metadata_values($self, field)
--

Return a ``{value: count}`` dict of all unique values of *field* across active vectors.

Useful for enumerating distinct sources, categories, or any other metadata dimension
without a full ``list_all()`` scan.  Supports dotted paths (e.g. ``"meta.source"``).
Non-string values are stringified via their JSON representation.

Args:
    field: Metadata field name (or dotted path) to aggregate.

Returns:
    Dict mapping each unique field value to its occurrence count.

Example::

    counts = db.list_metadata_values("source")
    # → {"docs/readme.md": 42, "src/main.py": 17})doc";

}  // namespace norvex::python::doc
