// The methods that change records: insert, upsert, update, insert_batch,
// update_metadata, delete and delete_batch.
#include <algorithm>
#include <string>
#include <vector>

#include "python/arrays.h"
#include "python/convert.h"
#include "python/database.h"

namespace velq::py {
namespace {

// Rows written under one exclusive lock: other calls get in between chunks.
constexpr std::size_t kBatchChunkRows = 2000;

void check_dimension(std::size_t d, std::size_t length) {
  if (length != d) {
    throw_value_error("vector dimension mismatch: expected " + std::to_string(d) + ", got " +
                      std::to_string(length));
  }
}

// ValueError for a vector the database's f16 raw vectors cannot hold, with
// `message` or else the engine's own; checked before the engine is asked to
// write anything.
void check_raw_range(const VelqorEngine& engine, std::span<const float> row,
                     const char* message = nullptr) {
  const Status fits = engine.check_raw_range(row);
  if (!fits.ok()) throw_value_error(message != nullptr ? message : fits.error().message());
}

using SingleWrite = Status (VelqorEngine::*)(std::string, std::span<const double>, JsonObject,
                                             std::optional<std::string>);

// insert, upsert and update: one shape, one engine operation each.
template <SingleWrite write>
PyObject* single_write(DatabaseObject& db, const BoundArgs& a) {
  std::string id = a.str(0);
  const std::vector<double> vector = a.convert(1, vector_from_array);
  PyObject* metadata_dict = a.opt_dict(2);
  std::optional<std::string> document = a.opt_str(3);
  // Non-finite components would poison the stored norm and every later score.
  check_finite(vector, "vector");
  JsonObject metadata = parse_pydict(metadata_dict);
  write_engine(db, [&](VelqorEngine& engine) {
    check_dimension(engine.dimension(), vector.size());
    std::vector<float> narrowed(vector.size());
    std::transform(vector.begin(), vector.end(), narrowed.begin(),
                   [](double v) { return static_cast<float>(v); });
    check_raw_range(engine, narrowed);
    unwrap((engine.*write)(std::move(id), vector, std::move(metadata), std::move(document)));
  });
  Py_RETURN_NONE;
}

constexpr Signature kInsertSig{"Database.insert", {"id", "vector", "metadata", "document"}, 2};
constexpr Signature kUpsertSig{"Database.upsert", {"id", "vector", "metadata", "document"}, 2};
constexpr Signature kUpdateSig{"Database.update", {"id", "vector", "metadata", "document"}, 2};

WriteMode parse_mode(const std::string& text) {
  const std::string lower = unicode_lower(text);
  if (lower == "insert") return WriteMode::kInsert;
  if (lower == "upsert") return WriteMode::kUpsert;
  if (lower == "update") return WriteMode::kUpdate;
  throw_value_error("Invalid mode");
}

constexpr Signature kInsertBatchSig{
    "Database.insert_batch", {"ids", "vectors", "metadatas", "documents", "mode"}, 2};

PyObject* insert_batch(DatabaseObject& db, const BoundArgs& a) {
  std::vector<std::string> ids = a.str_list(0);
  PyObject* vectors = a.raw(1);
  const WriteMode mode = parse_mode(a.raw(4) == nullptr ? "insert" : a.str(4));
  std::optional<FloatRows> matrix = rows_f32_from_array(vectors);
  if (!matrix) throw_cannot_convert(vectors, "PyArray<T, D>");
  const std::size_t rows = matrix->rows.size();
  if (ids.size() != rows) {
    throw_value_error("ids length (" + std::to_string(ids.size()) +
                      ") does not match number of vectors (" + std::to_string(rows) + ")");
  }
  read_engine(db, [&](const VelqorEngine& e) {
    if (rows > 0) check_dimension(e.dimension(), matrix->cols);
    for (const std::vector<float>& row : matrix->rows) {
      if (!all_finite(row)) throw_value_error("vectors contain non-finite values (NaN or Inf)");
      check_raw_range(e, row,
                      "vectors contain values too large for f16 raw vectors (magnitude 65520 or more)");
    }
  });
  std::vector<JsonObject> metadatas = parse_metadata_rows(a.present(2), rows);
  std::vector<std::optional<std::string>> documents = parse_document_rows(a.present(3), rows);

  // Every part of an item is moved out of the converted arguments: the rows
  // are copied out of the array once, above, and never again.
  for (std::size_t begin = 0; begin < rows; begin += kBatchChunkRows) {
    const std::size_t end = std::min(rows, begin + kBatchChunkRows);
    std::vector<BatchWriteItem> items;
    items.reserve(end - begin);
    for (std::size_t r = begin; r < end; ++r) {
      items.push_back({std::move(ids[r]), std::move(matrix->rows[r]), std::move(metadatas[r]),
                       std::move(documents[r])});
    }
    write_engine(db, [&](VelqorEngine& engine) {
      unwrap(engine.insert_many_with_mode(std::move(items), mode));
    });
  }
  Py_RETURN_NONE;
}

constexpr Signature kUpdateMetadataSig{"Database.update_metadata", {"id", "metadata", "document"}, 1};

PyObject* update_metadata(DatabaseObject& db, const BoundArgs& a) {
  const std::string id = a.str(0);
  PyObject* metadata_dict = a.opt_dict(1);
  std::optional<std::string> document = a.opt_str(2);
  JsonObject metadata = parse_pydict(metadata_dict);
  write_engine(db, [&](VelqorEngine& engine) {
    unwrap(engine.update_metadata_only(id, std::move(metadata), std::move(document)));
  });
  Py_RETURN_NONE;
}

constexpr Signature kDeleteSig{"Database.delete", {"id"}, 1};

PyObject* delete_one(DatabaseObject& db, const BoundArgs& a) {
  const std::string id = a.str(0);
  const bool deleted =
      write_engine(db, [&](VelqorEngine& engine) { return unwrap(engine.delete_id(id)); });
  return PyBool_FromLong(deleted ? 1 : 0);
}

constexpr Signature kDeleteBatchSig{"Database.delete_batch", {"ids", "where_filter"}, 0};

PyObject* delete_batch(DatabaseObject& db, const BoundArgs& a) {
  const std::vector<std::string> ids = a.raw(0) == nullptr ? std::vector<std::string>() : a.str_list(0);
  PyObject* filter_dict = a.opt_dict(1);
  // Any dict given, the empty one included, runs the filtered delete.
  const std::optional<JsonObject> filter =
      filter_dict == nullptr ? std::nullopt
                             : std::optional<JsonObject>(parse_filter(filter_dict).value_or(JsonObject()));
  const std::uint64_t deleted = write_engine(db, [&](VelqorEngine& engine) {
    std::uint64_t count = 0;
    if (!ids.empty()) count += unwrap(engine.delete_batch(ids));
    if (filter) count += unwrap(engine.delete_where(*filter));
    return count;
  });
  return PyLong_FromUnsignedLongLong(deleted);
}

constexpr const char* kInsertDoc =
    "insert($self, id, vector, metadata=None, document=None)\n--\n\n"
    "Insert a single vector with optional metadata and document.";
constexpr const char* kUpsertDoc = "upsert($self, id, vector, metadata=None, document=None)\n--\n\n";
constexpr const char* kUpdateDoc = "update($self, id, vector, metadata=None, document=None)\n--\n\n";
constexpr const char* kInsertBatchDoc =
    "insert_batch($self, ids, vectors, metadatas=None, documents=None, mode=\"insert\")\n--\n\n";
constexpr const char* kUpdateMetadataDoc =
    "update_metadata($self, id, metadata=None, document=None)\n--\n\n"
    "Update metadata and/or document for an existing ID without re-uploading\n"
    "the vector.  The quantised representation is untouched.\n\n"
    "Args:\n"
    "    id: The record to change. Raises ``RuntimeError`` if not found.\n"
    "    metadata: New metadata dict, or ``None`` to preserve existing.\n"
    "    document: New document string, or ``None`` to preserve existing.\n";
constexpr const char* kDeleteDoc = "delete($self, id)\n--\n\n";
constexpr const char* kDeleteBatchDoc =
    "delete_batch($self, ids=..., where_filter=None)\n--\n\n"
    "Delete multiple vectors in a single call.\n\n"
    "Args:\n"
    "    ids: IDs to delete; IDs that are not present are silently skipped. May be\n"
    "        empty when *where_filter* is provided.\n"
    "    where_filter: Optional metadata filter. Matching vectors are deleted in\n"
    "        addition to any explicitly listed IDs; a vector matched both ways is\n"
    "        counted once.\n\n"
    "Returns:\n"
    "    The number of vectors that were found and deleted.\n";

const PyMethodDef kWriteMethods[] = {
    method_def<kInsertSig, single_write<&VelqorEngine::insert_with_document>>("insert", kInsertDoc),
    method_def<kInsertBatchSig, insert_batch>("insert_batch", kInsertBatchDoc),
    method_def<kUpsertSig, single_write<&VelqorEngine::write_vector_entry>>("upsert", kUpsertDoc),
    method_def<kUpdateSig, single_write<&VelqorEngine::update_with_document>>("update", kUpdateDoc),
    method_def<kUpdateMetadataSig, update_metadata>("update_metadata", kUpdateMetadataDoc),
    method_def<kDeleteSig, delete_one>("delete", kDeleteDoc),
    method_def<kDeleteBatchSig, delete_batch>("delete_batch", kDeleteBatchDoc),
};

}  // namespace

std::span<const PyMethodDef> write_methods() { return kWriteMethods; }

}  // namespace velq::py
