#include "engine/recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blocked_mirror.h"
#include "engine/compaction_switch.h"
#include "engine/create_quantizer.h"
#include "engine/db_files.h"
#include "engine/flush.h"
#include "engine/flushed_records.h"
#include "engine/manifest.h"
#include "engine/persist.h"
#include "engine/slot_layout.h"
#include "engine/slot_writes.h"
#include "engine/write_support.h"
#include "quantizer/quantizer_image.h"
#include "storage/graph/graph_format.h"
#include "storage/io/file_io.h"
#include "storage/log/compaction.h"
#include "storage/metadata/vector_metadata.h"

namespace velq {

namespace {

enum class CacheLocally : bool { kNo = false, kYes = true };

// The bytes of `name`, a file a database keeps both locally and with the
// provider: the local file in `local_dir` when it exists, else the
// provider's object (copied into `local_dir` with kYes), else nullopt. Only
// "no such file" means absent: any other failure is returned.
Result<std::optional<std::vector<std::uint8_t>>> fetch_state_file(
    const StorageBackend& backend, const std::string& local_dir, std::string_view name,
    CacheLocally cache) {
  const std::string local = db_files::local_path(local_dir, name);
  VELQ_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint8_t>> bytes,
                        read_file_if_present(*backend.fs, local));
  if (bytes.has_value()) return bytes;
  VELQ_ASSIGN_OR_RETURN(std::optional<std::vector<std::uint8_t>> remote,
                        absent_if_not_found(backend.provider->read(std::string(name))));
  if (remote.has_value() && cache == CacheLocally::kYes) {
    VELQ_RETURN_IF_ERROR(write_file_atomic(*backend.fs, local, *remote));
  }
  return remote;
}

// Segments the compactor would keep apart; recovery does not consult it.
constexpr std::uint64_t kCompactorSegments = 10;

std::string yes_no(bool v) { return v ? "true" : "false"; }

}  // namespace

// Held from before the first read of the directory until the engine goes:
// two engines over one directory would each overwrite the other's files,
// and cut the slot files under the other's mappings.
Result<std::unique_ptr<FileLock>> lock_directory(FileSystem& fs, const std::string& dir) {
  Result<std::unique_ptr<FileLock>> lock =
      fs.lock_exclusive(db_files::local_path(dir, db_files::kLock));
  if (!lock.ok() && lock.error().kind() == ErrorKind::kBusy) {
    return Error("database directory '" + dir + "' is open in another process", ErrorKind::kBusy);
  }
  return lock;
}

Status check_matches(const Manifest& m, const EngineOptions& o) {
  if (m.d != o.d) {
    return Error("dimension mismatch: manifest has d=" + std::to_string(m.d) +
                     ", requested d=" + std::to_string(o.d),
                 ErrorKind::kInvalidArgument);
  }
  if (m.b != o.b) {
    return Error("bits mismatch: manifest has b=" + std::to_string(m.b) +
                     ", requested b=" + std::to_string(o.b),
                 ErrorKind::kInvalidArgument);
  }
  if (m.metric != o.metric) {
    return Error("metric mismatch: manifest has " + std::string(metric_display_name(m.metric)) +
                     ", requested " + std::string(metric_display_name(o.metric)),
                 ErrorKind::kInvalidArgument);
  }
  return ok_status();
}

namespace {

// quantizer.bin of an existing database; it must describe the manifest's
// codes, or every slot would be read with the wrong shape.
Result<ProdQuantizer> load_quantizer(const StorageBackend& backend, const std::string& dir,
                                     const Manifest& m) {
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        fetch_state_file(backend, dir, db_files::kQuantizer, CacheLocally::kYes));
  if (!bytes.has_value()) return Error::not_found("Quantizer state not found");
  Result<ProdQuantizer> q = decode_quantizer_image(*bytes);
  if (!q.ok()) return std::move(q).error().with_kind(ErrorKind::kCorruption);
  if (q->d() != m.d || q->b() != m.b || q->fast_mode() != m.fast_mode) {
    return Error::corruption("quantizer.bin does not match manifest.json: quantizer has d=" +
                             std::to_string(q->d()) + ", b=" + std::to_string(q->b()) +
                             ", fast_mode=" + yes_no(q->fast_mode()) + "; manifest has d=" +
                             std::to_string(m.d) + ", b=" + std::to_string(m.b) +
                             ", fast_mode=" + yes_no(m.fast_mode));
  }
  return q;
}

// Builds and writes the quantizer and manifest of a new database (and an
// empty live_vectors.bin when raw vectors are kept).
Result<ProdQuantizer> create_database(const StorageBackend& backend, const EngineOptions& o,
                                      Manifest& m) {
  const std::string type = o.quantizer_type.value_or("dense");
  VELQ_ASSIGN_OR_RETURN(ProdQuantizer q, create_quantizer(o.d, o.b, o.seed, o.fast_mode, type));
  m = Manifest{};
  m.d = o.d;
  m.b = o.b;
  m.seed = o.seed;
  m.storage_uri = o.storage_uri;
  m.metric = o.metric;
  m.fast_mode = o.fast_mode;
  m.rerank_enabled = o.rerank;
  m.rerank_precision = o.rerank_precision;
  m.normalize = o.normalize;
  m.quantizer_type = type;
  VELQ_RETURN_IF_ERROR(
      publish_state_file(backend, o.local_dir, db_files::kQuantizer, encode_quantizer_image(q)));
  VELQ_RETURN_IF_ERROR(publish_manifest(backend, o.local_dir, m, std::nullopt));
  if (o.rerank_precision != RerankPrecision::kDisabled) {
    // Opening for reading and writing creates the file and never truncates it.
    VELQ_ASSIGN_OR_RETURN(
        const std::unique_ptr<File> f,
        o.fs->open(db_files::local_path(o.local_dir, db_files::kLiveVectors), OpenMode::kReadWrite));
    VELQ_RETURN_IF_ERROR(f->close());
  }
  return q;
}

// A slot list as read at open, or why it cannot be used.
struct SlotListRead {
  std::vector<std::uint32_t> ids;
  std::optional<std::string> fault;
};

// A slot list that was read back must be ascending and name slots the id
// pool holds; with `alive_only` (the graph's nodes) each must also be alive.
std::optional<std::string> slot_list_fault(std::span<const std::uint32_t> ids, const IdPool& pool,
                                           bool alive_only) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0 && ids[i] <= ids[i - 1]) return "slots out of order at " + std::to_string(ids[i]);
    if (ids[i] >= pool.slot_count()) {
      return "slot " + std::to_string(ids[i]) + " is beyond the " +
             std::to_string(pool.slot_count()) + " slots of live_ids.bin";
    }
    if (alive_only && !pool.is_alive(ids[i])) return "slot " + std::to_string(ids[i]) + " is deleted";
  }
  return std::nullopt;
}

// Only "no such file" reads as an empty list; any other failure to read it
// is an error. A list that does not parse is no error: it is derived from
// the index, which can be built again.
Result<SlotListRead> read_slot_list(const StorageBackend& backend, const std::string& dir,
                                    std::string_view name, bool local_only) {
  std::optional<std::vector<std::uint8_t>> bytes;
  if (local_only) {
    VELQ_ASSIGN_OR_RETURN(bytes, read_file_if_present(*backend.fs, db_files::local_path(dir, name)));
  } else {
    VELQ_ASSIGN_OR_RETURN(bytes, fetch_state_file(backend, dir, name, CacheLocally::kYes));
  }
  if (!bytes.has_value()) return SlotListRead{};
  Result<std::vector<std::uint32_t>> ids = parse_index_ids(*bytes);
  if (!ids.ok()) return SlotListRead{{}, ids.error().message()};
  return SlotListRead{std::move(ids).value(), std::nullopt};
}

// Forgets the index as a deletion does, and the delta list with it, because
// `file` cannot be trusted; both lists are written again at the next
// persist. The graph is unloaded too: without a trusted node list its nodes
// stand for no known slot, so the next update_index builds it whole. One
// line on standard error says which file and why.
void set_index_aside(EngineState& s, std::string_view file, const std::string& why) {
  std::fprintf(stderr, "velq: %s is damaged (%s); the index is set aside until it is built again\n",
               s.local_path(file).c_str(), why.c_str());
  s.index.set_aside();
}

// The id pool from live_ids.bin: nullopt only when the file does not exist.
// A file that exists but does not decode fails the open and touches nothing:
// rebuilding from the log would lose every record flushed before it.
Result<std::optional<IdPool>> load_id_pool(const StorageBackend& backend, const std::string& dir) {
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        fetch_state_file(backend, dir, db_files::kLiveIds, CacheLocally::kYes));
  if (!bytes.has_value()) return std::optional<IdPool>();
  Result<IdPool> pool = IdPool::read_bincode(*bytes);
  if (!pool.ok()) {
    return Error::corruption("live_ids.bin cannot be read (" + pool.error().message() +
                             "); the database was left as it is");
  }
  pool->rebuild_lookup();
  return std::optional(std::move(pool).value());
}

// A live file must hold every slot the id pool names.
Status check_slot_file(const LiveCodesFile& file, std::string_view name, std::uint32_t slots) {
  if (file.capacity() >= slots) return ok_status();
  return Error::corruption(std::string(name) + " holds " + std::to_string(file.capacity()) +
                           " slots but live_ids.bin names " + std::to_string(slots));
}

// The raw vector a crashed session left in `slot`, when it is the one the
// logged code was made from: re-quantizing it gives the entry's code and
// norm. Replay then keeps it instead of the dequantized approximation.
bool raw_vector_matches(const EngineState& s, const WalEntry& e, std::span<const float> raw) {
  std::vector<float> unit(raw.begin(), raw.end());
  float stored_norm = 1.0f;
  if (!s.normalize) {
    // The write path stored the caller's vector and quantized its unit copy.
    stored_norm = vector_norm(raw);
    if (!unit_copy(raw, stored_norm, unit).ok()) return false;
  }
  if (std::memcmp(&stored_norm, &e.norm, sizeof stored_norm) != 0) return false;
  const EncodedVector code = s.quantizer->quantize(unit);
  const float gamma = static_cast<float>(code.gamma);
  return code.mse_indices == e.mse_indices && code.qjl_bits == e.qjl_bits &&
         std::memcmp(&gamma, &e.gamma, sizeof gamma) == 0;
}

void restore_raw_vector(EngineState& s, std::uint32_t slot, const WalEntry& e) {
  if (!s.live_vectors.has_value()) return;
  std::vector<float> raw(s.d());
  read_raw_vector(s.manifest.rerank_precision, s.live_vectors->slot(slot), raw);
  if (raw_vector_matches(s, e, raw)) return;
  const std::vector<double> v = s.quantizer->dequantize(e.mse_indices, e.qjl_bits, e.gamma);
  // The approximation may stray past what the slot's precision holds (a
  // value written as 65504 at f16, say): it saturates, never infinity.
  const double limit = max_raw_value(s.manifest.rerank_precision);
  for (std::size_t i = 0; i < s.d(); ++i) {
    raw[i] = static_cast<float>(std::clamp(v[i] * e.norm, -limit, limit));
  }
  live_save_raw_vector(s, slot, raw);
}

}  // namespace

Status apply_wal_entries_to_live_state(EngineState& s, const std::vector<WalEntry>& entries,
                                       bool full_rebuild) {
  if (full_rebuild) {
    // Slots are handed out again from 0, over the bytes already there: the
    // replayed writes overwrite every code, and a raw vector the log's own
    // session left in its slot is kept when it matches (see
    // restore_raw_vector). close() cuts the files to the slot count.
    VELQ_RETURN_IF_ERROR(s.live_codes.set_len(0));
    if (s.live_vectors.has_value()) VELQ_RETURN_IF_ERROR(s.live_vectors->set_len(0));
    s.id_pool = IdPool();
    s.metadata.replace_all({});
  }
  bool any_delete = false;
  for (const WalEntry& e : entries) {
    if (e.is_deleted) {
      any_delete = true;
      if (const std::optional<std::uint32_t> slot = s.id_pool.delete_by_id(e.id)) {
        mark_slot_deleted(s.layout, s.live_codes.slot_mut(*slot));
      }
      continue;
    }
    VELQ_ASSIGN_OR_RETURN(const std::uint32_t slot,
                          live_alloc_or_update(s, e.id, e.mse_indices, e.qjl_bits, e.gamma, e.norm));
    restore_raw_vector(s, slot, e);
    VELQ_ASSIGN_OR_RETURN(VectorMetadata metadata, metadata_from_json(e.metadata_json));
    VELQ_RETURN_IF_ERROR(s.metadata.put(slot, metadata));
  }
  if (any_delete) s.needs_compaction = true;
  for (const WalEntry& e : entries) s.pending.push_back({e.id, e.is_deleted});
  return flush_wal_to_segment(s);
}

Result<std::unique_ptr<EngineState>> open_engine_state(const EngineOptions& o) {
  VELQ_RETURN_IF_ERROR(o.fs->create_directories(o.local_dir));
  VELQ_ASSIGN_OR_RETURN(std::unique_ptr<FileLock> directory_lock, lock_directory(*o.fs, o.local_dir));
  VELQ_ASSIGN_OR_RETURN(std::shared_ptr<const StorageBackend> backend,
                        StorageBackend::from_uri(o.storage_uri, o.fs));
  // Before any live file, metadata.bin or live_ids.bin is read.
  VELQ_RETURN_IF_ERROR(finish_interrupted_compaction(*o.fs, o.local_dir));
  const auto local = [&](std::string_view name) { return db_files::local_path(o.local_dir, name); };

  Manifest manifest;
  std::shared_ptr<const ProdQuantizer> quantizer;
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> manifest_bytes,
                        fetch_state_file(*backend, o.local_dir, db_files::kManifest, CacheLocally::kNo));
  if (manifest_bytes.has_value()) {
    VELQ_ASSIGN_OR_RETURN(manifest, Manifest::parse(*manifest_bytes));
    VELQ_RETURN_IF_ERROR(check_matches(manifest, o));
    VELQ_ASSIGN_OR_RETURN(ProdQuantizer q, load_quantizer(*backend, o.local_dir, manifest));
    quantizer = std::make_shared<const ProdQuantizer>(std::move(q));
  } else {
    VELQ_ASSIGN_OR_RETURN(ProdQuantizer q, create_database(*backend, o, manifest));
    quantizer = std::make_shared<const ProdQuantizer>(std::move(q));
  }

  const CodeLengths lengths{quantizer->n(), static_cast<unsigned>(quantizer->mse_bits()),
                            quantizer->qjl_len()};
  VELQ_ASSIGN_OR_RETURN(OpenedWal log, Wal::open(o.fs, local(db_files::kWal), lengths));
  VELQ_RETURN_IF_ERROR(Compactor(backend, kCompactorSegments).recover_if_needed());
  VELQ_ASSIGN_OR_RETURN(SegmentManager segments, SegmentManager::open(backend));
  VELQ_ASSIGN_OR_RETURN(const bool metadata_exists, path_exists(*o.fs, local(db_files::kMetadata)));
  VELQ_ASSIGN_OR_RETURN(MetadataStore metadata, MetadataStore::open(o.fs, local(db_files::kMetadata)));
  VELQ_ASSIGN_OR_RETURN(std::optional<IdPool> pool, load_id_pool(*backend, o.local_dir));
  // Refused before any file is created, copied or changed below.
  VELQ_RETURN_IF_ERROR(
      check_flushed_records_kept(pool, log.entries, metadata, metadata_exists, segments));
  VELQ_ASSIGN_OR_RETURN(GraphManager graph, GraphManager::open(backend, o.local_dir));
  const SlotLayout layout = SlotLayout::of(*quantizer);
  VELQ_ASSIGN_OR_RETURN(LiveCodesFile live_codes,
                        LiveCodesFile::open(o.fs, local(db_files::kLiveCodes), layout.stride));
  std::optional<LiveCodesFile> live_vectors;
  if (manifest.rerank_enabled && manifest.rerank_precision != RerankPrecision::kDisabled) {
    VELQ_ASSIGN_OR_RETURN(const bool exists, path_exists(*o.fs, local(db_files::kLiveVectors)));
    if (exists) {
      const std::size_t width = manifest.d * raw_value_width(manifest.rerank_precision);
      VELQ_ASSIGN_OR_RETURN(live_vectors,
                            LiveCodesFile::open(o.fs, local(db_files::kLiveVectors), width));
      live_vectors->advise_random();
    }
  }
  VELQ_ASSIGN_OR_RETURN(SlotListRead delta_ids,
                        read_slot_list(*backend, o.local_dir, db_files::kDeltaIds, false));
  VELQ_ASSIGN_OR_RETURN(SlotListRead index_ids,
                        read_slot_list(*backend, o.local_dir, db_files::kGraphIds, true));
  const bool pool_missing = !pool.has_value();
  if (pool_missing && log.entries.empty() && live_codes.capacity() > 0) {
    return Error::corruption(std::string(kPoolAndLogMissing));
  }

  // The index owns its stored parameters from here on; the manifest is
  // written with them. The quantizer came from quantizer.bin: a copy the
  // manifest carried is never written back.
  std::optional<IndexState> index_state = std::move(manifest.index_state);
  manifest.index_state.reset();
  manifest.quantizer.reset();
  const bool normalize = o.normalize || manifest.normalize;
  auto state = std::make_unique<EngineState>(EngineState{
      .directory_lock = std::move(directory_lock),
      .quantizer = quantizer,
      .manifest = std::move(manifest),
      .backend = backend,
      .fs = o.fs,
      .wal = std::move(log.wal),
      .pending = {},
      .segments = std::move(segments),
      .metadata = std::move(metadata),
      .index = EngineIndex(std::move(graph), std::move(index_ids.ids), std::move(delta_ids.ids),
                           std::move(index_state)),
      .local_dir = o.local_dir,
      .live_codes = std::move(live_codes),
      .live_vectors = std::move(live_vectors),
      .blocked_codes = std::nullopt,  // built below, once the slots are final
      .reconstruction_norms = std::nullopt,
      .id_pool = IdPool(),
      .layout = layout,
      .wal_flush_threshold = o.wal_flush_threshold.value_or(kDefaultWalFlushThreshold),
      .ops_since_persist = 0,
      .normalize = normalize,
      .needs_compaction = false,
      .write_refusal = std::nullopt,
  });
  EngineState& s = *state;

  if (pool.has_value()) {
    s.id_pool = std::move(*pool);
    const std::uint32_t slots = s.id_pool.slot_count();
    VELQ_RETURN_IF_ERROR(check_slot_file(s.live_codes, db_files::kLiveCodes, slots));
    VELQ_RETURN_IF_ERROR(s.live_codes.set_len(slots));
    if (s.live_vectors.has_value()) {
      VELQ_RETURN_IF_ERROR(check_slot_file(*s.live_vectors, db_files::kLiveVectors, slots));
      VELQ_RETURN_IF_ERROR(s.live_vectors->set_len(slots));
    }
    s.needs_compaction = s.id_pool.active_count() < slots;
  }
  // An index whose lists do not fit the pool names slots of another
  // numbering: searching it would return other records.
  if (!index_ids.fault) index_ids.fault = slot_list_fault(s.index.node_slots(), s.id_pool, true);
  if (!delta_ids.fault) delta_ids.fault = slot_list_fault(s.index.delta(), s.id_pool, false);
  if (index_ids.fault) set_index_aside(s, db_files::kGraphIds, *index_ids.fault);
  if (delta_ids.fault) set_index_aside(s, db_files::kDeltaIds, *delta_ids.fault);
  // A graph cut short would answer from the records it still holds.
  if (const std::optional<std::string> fault = s.index.graph().file_fault()) {
    set_index_aside(s, graph_format::kFileName, *fault);
  }

  if (!log.entries.empty()) {
    VELQ_RETURN_IF_ERROR(apply_wal_entries_to_live_state(s, log.entries, pool_missing));
  }
  // The exhaustive scan's first pass reads this copy of the slots; a
  // compaction during replay has already built it.
  if (!s.blocked_codes.has_value()) rebuild_blocked_codes(s);
  return state;
}

}  // namespace velq
