// Index builds: create_index (the whole graph) and update_index (the records
// written since the last build). Both hold the exclusive lock with the
// interpreter lock given up for the whole build.
#include "python/database.h"

namespace velq::py {
namespace {

constexpr IndexParams kDefaultIndexParams{
    .max_degree = 32, .ef_construction = 200, .search_list_size = 128, .n_refinements = 5, .alpha = 1.2};

// The same parameters, in this order, for both methods.
IndexParams index_params(const BoundArgs& a) {
  IndexParams p = kDefaultIndexParams;
  p.max_degree = a.opt_u64(0).value_or(p.max_degree);
  p.ef_construction = a.opt_u64(1).value_or(p.ef_construction);
  p.search_list_size = a.opt_u64(2).value_or(p.search_list_size);
  p.alpha = a.opt_f64(3).value_or(p.alpha);
  p.n_refinements = a.opt_u64(4).value_or(p.n_refinements);
  return p;
}

using IndexBuild = Status (VelqorEngine::*)(const IndexParams&);

template <IndexBuild build>
PyObject* build_index(DatabaseObject& db, const BoundArgs& a) {
  const IndexParams params = index_params(a);
  write_engine(db, [&](VelqorEngine& engine) { unwrap((engine.*build)(params)); });
  Py_RETURN_NONE;
}

constexpr Signature kCreateIndexSig{
    "Database.create_index", {"max_degree", "ef_construction", "search_list_size", "alpha", "n_refinements"}, 0};
constexpr Signature kUpdateIndexSig{
    "Database.update_index", {"max_degree", "ef_construction", "search_list_size", "alpha", "n_refinements"}, 0};

constexpr const char* kCreateIndexDoc =
    "create_index($self, max_degree=None, ef_construction=None, search_list_size=None, alpha=None, "
    "n_refinements=None)\n--\n\n";
constexpr const char* kUpdateIndexDoc =
    "update_index($self, max_degree=None, ef_construction=None, search_list_size=None, alpha=None, "
    "n_refinements=None)\n--\n\n"
    "Extend the existing index with the vectors inserted since the last ``create_index()``.\n\n"
    "Behaves like ``create_index()`` when no graph exists yet.\n"
    "Significantly faster than a full rebuild for small deltas (< ~10% of corpus).\n"
    "For large deltas, ``create_index()`` gives the full quality build.\n";

const PyMethodDef kIndexMethods[] = {
    method_def<kCreateIndexSig, build_index<&VelqorEngine::create_index_with_params>>("create_index",
                                                                                     kCreateIndexDoc),
    method_def<kUpdateIndexSig, build_index<&VelqorEngine::create_index_incremental>>("update_index",
                                                                                     kUpdateIndexDoc),
};

}  // namespace

std::span<const PyMethodDef> index_methods() { return kIndexMethods; }

}  // namespace velq::py
