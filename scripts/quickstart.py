"""A short tour of velq: create a database, store vectors with metadata,
filter, search, build the index, update, delete, close and reopen. Prints what
it does."""
import sys
import tempfile

import numpy as np

import velq


def main() -> None:
    rng = np.random.default_rng(0)
    path = tempfile.mkdtemp(prefix="velq-demo-")
    db = velq.Database.open(path, dimension=64, metric="cosine")
    print(f"Created a database of 64-dimensional vectors (cosine similarity) in {path}.")

    topics = ["sports", "science", "music"]
    ids = [f"doc-{i}" for i in range(3000)]
    vectors = rng.standard_normal((3000, 64)).astype(np.float32)
    metadatas = [{"topic": topics[i % 3], "year": 2000 + i % 25} for i in range(3000)]
    documents = [f"Text of document {i}" for i in range(3000)]
    db.insert_batch(ids, vectors, metadatas=metadatas, documents=documents)
    print(f"Stored {len(db)} vectors with a topic, a year and a text each.")

    print(f"{db.count({'topic': 'science'})} of them are about science; "
          f"{db.count({'topic': 'music', 'year': {'$gte': 2020}})} are about music from 2020 on.")
    print("Records per topic:", db.list_metadata_values("topic"))
    first = db.list_ids(where_filter={"topic": "sports"}, limit=3)
    print("The first three sports records:", ", ".join(first))
    record = db.get("doc-1")
    print(f"Record doc-1 holds {record['metadata']} and the text {record['document']!r}.")

    hits = db.search(vectors[42], top_k=3)
    print("The three records closest to doc-42's own vector (similarities estimated from the compressed codes):",
          ", ".join(f"{h['id']} {h['score']:.2f}" for h in hits))

    db.create_index()
    print(f"Built the search index, a graph linking each of the {len(db)} vectors to its near neighbours "
          "(searches use it from 10,000 vectors on; smaller databases are scanned in full).")
    hits = db.search(vectors[7], top_k=3, filter={"topic": "music", "year": {"$gte": 2010}})
    print("The three music records from 2010 on closest to doc-7:",
          ", ".join(f"{h['id']} ({h['metadata']['year']})" for h in hits))
    batches = db.query(vectors[:2], n_results=2)
    print("Two searches in one call, for doc-0 and doc-1:",
          "; ".join(", ".join(h["id"] for h in row) for row in batches))

    db.update_metadata("doc-1", {"topic": "science", "year": 2024})
    print("Changed doc-1's topic to science without sending its vector again:",
          db.get("doc-1")["metadata"])
    removed = db.delete_batch(where_filter={"year": {"$lt": 2005}})
    print(f"Deleted the {removed} records from before 2005; {len(db)} remain.")

    db.close()
    again = velq.Database.open(path)
    stats = again.stats()
    print(f"Closed and reopened without giving the dimension: {stats['vector_count']} vectors of "
          f"dimension {stats['dimension']}, {stats['live_codes_bytes']} bytes of codes on disk "
          f"({4 * 64 * stats['vector_count']} bytes as float32).")


if __name__ == "__main__":
    sys.exit(main())
