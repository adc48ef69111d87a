"""A first tour of norvex.

Creates a database of 5000 synthetic "articles" (64-dimensional embeddings with metadata and
a document each), searches it with and without a metadata filter, runs a batch query, builds the graph index
for approximate search, updates and deletes records, then reopens the database to show that everything survived.

    python examples/quickstart.py [directory]

Without a directory the database lives in a temporary directory that is removed at the end.
The data is generated from a fixed seed, so every run prints the same results.
"""

import os
import sys
import tempfile

import numpy as np

import norvex

DIM = 64
N = 5000
TOPICS = ["physics", "biology", "history", "music", "sport"]


def make_articles(rng):
    """Embeddings clustered by topic, plus metadata and a document for each article."""
    centroids = rng.standard_normal((len(TOPICS), DIM))
    topic_of = rng.integers(len(TOPICS), size=N)
    vectors = centroids[topic_of] + 0.6 * rng.standard_normal((N, DIM))
    vectors = vectors.astype(np.float32)
    years = rng.integers(1990, 2025, size=N)
    ids = [f"article-{i:04d}" for i in range(N)]
    metadatas = [
        {"topic": TOPICS[t], "year": int(y), "tags": [TOPICS[t], "long" if i % 4 == 0 else "short"]}
        for i, (t, y) in enumerate(zip(topic_of, years))
    ]
    documents = [f"Article {i} on {m['topic']}, published {m['year']}." for i, m in enumerate(metadatas)]
    return ids, vectors, metadatas, documents, centroids


def show(hits, indent="    "):
    for hit in hits:
        meta = hit["metadata"]
        print(f"{indent}{hit['id']}  score={hit['score']:.4f}  topic={meta['topic']:<8} "
              f"year={meta['year']}")


def tour(root):
    path = os.path.join(root, "articles")
    rng = np.random.default_rng(7)
    ids, vectors, metadatas, documents, centroids = make_articles(rng)

    print(f"Creating a cosine database of dimension {DIM} at {path}")
    with norvex.Database.open(path, dimension=DIM, metric="cosine", rerank_precision="f16") as db:
        db.insert_batch(ids, vectors, metadatas, documents)
        print(f"Inserted {len(db)} articles with metadata and documents: {db!r}")

        query = vectors[42] + 0.05 * rng.standard_normal(DIM).astype(np.float32)
        print("\nThe 3 nearest neighbours of a query close to article-0042:")
        show(db.search(query, 3))

        where = {"topic": "music", "year": {"$gte": 2015}}
        print(f"\nThe same query restricted to {where}:")
        show(db.search(query, 3, filter=where))
        print(f"  ({db.count(filter=where)} articles match that filter)")

        print("\nOne batch query with the physics and history topic centres, 2 hits each:")
        for topic, hits in zip(["physics", "history"], db.query(centroids[[0, 2]], n_results=2)):
            print(f"  {topic}:")
            show(hits, indent="    ")

        db.create_index()
        approx = db.search(query, 3, _use_ann=True)
        print(f"\nBuilt the graph index over {db.stats()['index_nodes']} vectors; the approximate "
              "search agrees:", [h["id"] for h in approx] == [h["id"] for h in db.search(query, 3)])

        print("\nArticles per topic:", dict(sorted(db.list_metadata_values("topic").items())))

        print("\nUpdating and deleting:")
        db.update_metadata("article-0042", {**metadatas[42], "featured": True})
        print("  article-0042 is now featured:", db.get("article-0042")["metadata"]["featured"])
        db.update("article-0043", vectors[42], metadatas[42], "A reworked copy of article 42.")
        top = db.search(vectors[42], 2, include=["id"])
        print("  after giving article-0043 the vector of article-0042, the top 2 are:",
              [h["id"] for h in top])
        print("  deleted article-0001:", db.delete("article-0001"))
        removed = db.delete_batch(where_filter={"year": {"$lt": 1995}})
        print(f"  deleted {removed} articles published before 1995; {len(db)} remain")
        kept = len(db)
    # Leaving the with block closed the database: everything is flushed to disk.

    print("\nReopening with only the path (dimension, metric and bits come from the manifest):")
    db = norvex.Database.open(path)
    print(f"  {db!r}")
    assert len(db) == kept
    print("  article-0042:", db.get("article-0042"))
    print("  article-0001 still there?", "article-0001" in db)
    stats = db.stats()
    print(f"  {stats['vector_count']} vectors, {stats['total_disk_bytes']} bytes on disk, "
          f"about {stats['ram_estimate_bytes']} bytes of RAM")
    db.close()


def main():
    if len(sys.argv) > 1:
        tour(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as root:
            tour(root)


if __name__ == "__main__":
    main()
