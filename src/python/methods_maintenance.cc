// Maintenance: stats, flush and close.
#include "python/convert.h"
#include "python/database.h"

namespace velq::py {
namespace {

// The counts of stats(), in order; "has_index" (a bool) sits between them.
struct StatsField {
  const char* key;
  std::uint64_t EngineStats::*field;  // nullptr: has_index
};

constexpr StatsField kStatsFields[] = {
    {"vector_count", &EngineStats::vector_count},
    {"segment_count", &EngineStats::segment_count},
    {"buffered_vectors", &EngineStats::buffered_vectors},
    {"dimension", &EngineStats::dimension},
    {"bits", &EngineStats::bits},
    {"total_disk_bytes", &EngineStats::total_disk_bytes},
    {"has_index", nullptr},
    {"index_nodes", &EngineStats::index_nodes},
    {"live_codes_bytes", &EngineStats::live_codes_bytes},
    {"live_slot_count", &EngineStats::live_slot_count},
    {"live_id_count", &EngineStats::live_id_count},
    {"live_vectors_count", &EngineStats::live_vectors_count},
    {"live_vectors_bytes_estimate", &EngineStats::live_vectors_bytes_estimate},
    {"metadata_entries", &EngineStats::metadata_entries},
    {"metadata_bytes_estimate", &EngineStats::metadata_bytes_estimate},
    {"ann_slot_count", &EngineStats::ann_slot_count},
    {"graph_nodes", &EngineStats::graph_nodes},
    {"delta_size", &EngineStats::delta_size},
};

constexpr Signature kStatsSig{"Database.stats", {}, 0};

PyObject* stats(DatabaseObject& db, const BoundArgs&) {
  const EngineStats s = read_engine(db, [](const VelqorEngine& engine) { return engine.stats(); });
  PyRef dict = PyRef::steal(PyDict_New());
  for (const StatsField& f : kStatsFields) {
    set_item(dict.get(), f.key,
             f.field == nullptr ? PyBool_FromLong(s.has_index ? 1 : 0)
                                : PyLong_FromUnsignedLongLong(s.*f.field));
  }
  set_item(dict.get(), "ram_estimate_bytes",
           PyLong_FromUnsignedLongLong(s.live_vectors_bytes_estimate + s.live_codes_bytes +
                                       s.metadata_bytes_estimate));
  return dict.release();
}

constexpr Signature kFlushSig{"Database.flush", {}, 0};

PyObject* flush(DatabaseObject& db, const BoundArgs&) {
  write_engine(db, [](VelqorEngine& engine) { unwrap(engine.flush_wal_to_segment()); });
  Py_RETURN_NONE;
}

constexpr Signature kCloseSig{"Database.close", {}, 0};

PyObject* close(DatabaseObject& db, const BoundArgs&) {
  write_engine(db, [](VelqorEngine& engine) { unwrap(engine.close()); });
  Py_RETURN_NONE;
}

const PyMethodDef kMaintenanceMethods[] = {
    method_def<kStatsSig, stats>("stats", "stats($self)\n--\n\n"),
    method_def<kFlushSig, flush>("flush", "flush($self)\n--\n\n"),
    method_def<kCloseSig, close>("close", "close($self)\n--\n\n"),
};

}  // namespace

std::span<const PyMethodDef> maintenance_methods() { return kMaintenanceMethods; }

}  // namespace velq::py
