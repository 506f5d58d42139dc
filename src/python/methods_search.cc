// Nearest-neighbour search: search (one query vector) and query (a matrix of
// them, rows searched in parallel on the worker pool under one shared guard).
// Arguments are checked with the interpreter lock held; the engine runs with
// it given up; the hit dicts are built after the database lock is dropped.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/worker_pool.h"
#include "python/arrays.h"
#include "python/convert.h"
#include "python/database.h"

namespace velq::py {
namespace {

void check_positive(std::int64_t value, const char* name) {
  if (value < 1) throw_value_error(std::string(name) + " must be a positive integer, got " + std::to_string(value));
}

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

HitFields parse_include(const std::optional<std::vector<std::string>>& include) {
  if (!include) return HitFields{};
  HitFields fields{false, false, false, false};
  for (const std::string& entry : *include) {
    const std::string name = ascii_lower(entry);
    if (name == "id") fields.id = true;
    else if (name == "score") fields.score = true;
    else if (name == "metadata") fields.metadata = true;
    else if (name == "document") fields.document = true;
    else {
      throw_value_error("invalid include field " + debug_quoted(name) +
                        "; valid values are: id, score, metadata, document");
    }
  }
  return fields;
}

// The parameters every row of one call shares.
struct SearchRequest {
  std::uint64_t top_k = 0;
  std::optional<JsonObject> filter;
  std::optional<std::uint64_t> list_size;
  std::optional<bool> use_ann;

  std::vector<SearchResult> run(const VelqorEngine& engine, std::span<const double> query,
                                const PreparedIpQuery* prepared = nullptr) const {
    return unwrap(
        engine.search_with_filter_and_ann(query, top_k, filter ? &*filter : nullptr, list_size, use_ann, prepared));
  }
};

std::string dimension_mismatch(std::size_t d, std::size_t length) {
  return "query dimension mismatch: expected " + std::to_string(d) + ", got " + std::to_string(length);
}

constexpr Signature kSearchSig{
    "Database.search", {"query", "top_k", "filter", "_use_ann", "ann_search_list_size", "include"}, 2};

PyObject* search(DatabaseObject& db, const BoundArgs& a) {
  const std::int64_t top_k = a.i64(1, 0);
  PyObject* filter_dict = a.opt_dict(2);
  const std::optional<bool> use_ann = a.opt_bool(3);
  const std::optional<std::uint64_t> list_size = a.opt_u64(4);
  const std::optional<std::vector<std::string>> include = a.opt_str_list(5);
  check_positive(top_k, "top_k");
  const std::vector<double> query = a.convert(0, vector_from_array);
  check_finite(query, "query vector");
  const SearchRequest request{static_cast<std::uint64_t>(top_k), parse_filter(filter_dict), list_size, use_ann};
  const HitFields fields = parse_include(include);
  const std::vector<SearchResult> hits = read_engine(db, [&](const VelqorEngine& engine) {
    const std::size_t d = engine.dimension();
    if (query.size() != d) throw_value_error(dimension_mismatch(d, query.size()));
    return request.run(engine, query);
  });
  return hits_to_py(hits, fields);
}

// Every row of `queries` searched in parallel; the pool rethrows a row's
// failure on this thread once the rows already started have returned.
std::vector<std::vector<SearchResult>> search_rows(const VelqorEngine& engine, const Matrix<double>& queries,
                                                   const SearchRequest& request) {
  std::vector<std::vector<SearchResult>> results(queries.rows);
  // Rows are prepared a batch at a time (a few blocks per thread), so the
  // prepared forms held at once stay small however many rows there are.
  const std::size_t batch = pool_thread_count() * VelqorEngine::query_rows_per_thread();
  for (std::size_t first = 0; first < queries.rows; first += batch) {
    const std::size_t take = std::min(batch, queries.rows - first);
    const PreparedQueries prepared = engine.prepare_search_queries(
        std::span(queries.values).subspan(first * queries.cols, take * queries.cols));
    parallel_for_each(take, 1, [&](std::size_t i) {
      results[first + i] = request.run(engine, queries.row(first + i), prepared.row(i));
    });
  }
  return results;
}

constexpr Signature kQuerySig{
    "Database.query", {"query_embeddings", "n_results", "where_filter", "_use_ann", "ann_search_list_size"}, 1};

PyObject* query(DatabaseObject& db, const BoundArgs& a) {
  PyObject* embeddings = a.raw(0);
  const std::int64_t n_results = a.i64(1, 10);
  PyObject* filter_dict = a.opt_dict(2);
  const std::optional<bool> use_ann = a.opt_bool(3);
  const std::optional<std::uint64_t> list_size = a.opt_u64(4);
  check_positive(n_results, "n_results");
  const std::optional<Matrix<double>> queries = matrix_f64_from_array(embeddings);
  if (!queries) throw_value_error("query_embeddings must be a 2-D numpy array (float32 or float64)");
  for (std::size_t r = 0; r < queries->rows; ++r) {
    check_finite(queries->row(r), "query_embeddings row " + std::to_string(r));
  }
  const SearchRequest request{static_cast<std::uint64_t>(n_results), parse_filter(filter_dict), list_size, use_ann};
  const auto rows = read_engine(db, [&](const VelqorEngine& engine) {
    const std::size_t d = engine.dimension();
    if (queries->rows > 0 && queries->cols != d) {
      throw_value_error(dimension_mismatch(d, queries->cols) + " (row 0)");
    }
    return search_rows(engine, *queries, request);
  });
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), hits_to_py(rows[r], HitFields{}));
  }
  return list.release();
}

constexpr const char* kSearchDoc =
    "search($self, query, top_k, filter=None, _use_ann=None, ann_search_list_size=None, include=None)\n--\n\n"
    "Search for the nearest neighbours of a query vector.\n\n"
    "Args:\n"
    "    query: 1-D numpy array of float32 or float64.\n"
    "    top_k: Number of results.\n"
    "    filter: Optional metadata filter dict.\n"
    "    ann_search_list_size: Graph search list size override (larger: more recall, slower).\n"
    "    include: Subset of \"id\", \"score\", \"metadata\", \"document\". Defaults to all four.\n\n"
    "Returns:\n"
    "    A list of dicts, best first, each with the keys id, score, metadata and document.\n";
constexpr const char* kQueryDoc =
    "query($self, query_embeddings, n_results=10, where_filter=None, _use_ann=None, ann_search_list_size=None)\n"
    "--\n\n"
    "Search with multiple query vectors in one call.\n\n"
    "Args:\n"
    "    query_embeddings: 2-D numpy array of shape (N, D), float32 or float64.\n"
    "    n_results: Number of results per query. Default 10.\n"
    "    where_filter: Optional metadata filter, the same syntax as in ``search``.\n"
    "    ann_search_list_size: Graph search list size override.\n\n"
    "Returns:\n"
    "    A list of N result lists, each in the format of ``search``.\n";

const PyMethodDef kSearchMethods[] = {
    method_def<kSearchSig, search>("search", kSearchDoc),
    method_def<kQuerySig, query>("query", kQueryDoc),
};

}  // namespace

std::span<const PyMethodDef> search_methods() { return kSearchMethods; }

}  // namespace velq::py
