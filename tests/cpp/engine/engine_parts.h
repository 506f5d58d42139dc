// Builds an EngineState straight from its parts in a directory, the way
// opening does once recovery has run, without replaying the log. Tests of
// the write, delete and flush units drive the state through it and reopen
// the parts to see what reached disk.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/flush.h"
#include "storage/io/file_io.h"
#include "../storage/temp_dir.h"

namespace velq::testing {

struct PartsOptions {
  std::size_t d = 16;
  std::size_t b = 4;
  bool fast_mode = false;
  RerankPrecision precision = RerankPrecision::kDisabled;
  bool normalize = false;
  std::size_t wal_flush_threshold = 5000;
  std::shared_ptr<FileSystem> fs = local_file_system();
};

inline CodeLengths code_lengths(const ProdQuantizer& q) {
  return CodeLengths{q.n(), static_cast<unsigned>(q.mse_bits()), q.qjl_len()};
}

template <typename T>
T must(Result<T> result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().message();
    std::abort();
  }
  return std::move(result).value();
}

inline void must(Status status) {
  if (!status.ok()) {
    ADD_FAILURE() << status.error().message();
    std::abort();
  }
}

// Opens (or reopens) the parts of a database in `dir`; entries the log
// holds are returned in `replayed` and not applied.
inline std::unique_ptr<EngineState> open_parts(const std::string& dir, const PartsOptions& o,
                                               std::vector<WalEntry>* replayed = nullptr) {
  auto backend = must(StorageBackend::from_uri(dir, o.fs));
  auto quantizer = std::make_shared<const ProdQuantizer>(
      o.fast_mode ? ProdQuantizer::new_dense_fast(o.d, o.b, 42) : ProdQuantizer::new_dense(o.d, o.b, 42));
  must(finish_interrupted_compaction(*o.fs, dir));
  OpenedWal opened = must(Wal::open(o.fs, db_files::local_path(dir, db_files::kWal), code_lengths(*quantizer)));
  if (replayed != nullptr) *replayed = std::move(opened.entries);
  const SlotLayout layout = SlotLayout::of(*quantizer);
  Manifest manifest;
  manifest.d = o.d;
  manifest.b = o.b;
  manifest.storage_uri = dir;
  manifest.fast_mode = o.fast_mode;
  manifest.rerank_precision = o.precision;
  manifest.normalize = o.normalize;
  Result<IdPool> loaded = IdPool::load(*o.fs, db_files::local_path(dir, db_files::kLiveIds));
  IdPool pool = loaded.ok() ? std::move(loaded).value() : IdPool();
  LiveCodesFile codes = must(LiveCodesFile::open(o.fs, db_files::local_path(dir, db_files::kLiveCodes), layout.stride));
  must(codes.set_len(pool.slot_count()));
  std::optional<LiveCodesFile> vectors;
  if (o.precision != RerankPrecision::kDisabled) {
    vectors = must(LiveCodesFile::open(o.fs, db_files::local_path(dir, db_files::kLiveVectors),
                                       o.d * raw_value_width(o.precision)));
    must(vectors->set_len(pool.slot_count()));
  }
  auto state = std::unique_ptr<EngineState>(new EngineState{
      .quantizer = quantizer,
      .manifest = manifest,
      .backend = backend,
      .fs = o.fs,
      .wal = std::move(opened.wal),
      .pending = {},
      .segments = must(SegmentManager::open(backend)),
      .metadata = must(MetadataStore::open(o.fs, db_files::local_path(dir, db_files::kMetadata))),
      .graph = must(GraphManager::open(backend, dir)),
      .local_dir = dir,
      .index_ids = {},
      .delta_ids = {},
      .live_codes = std::move(codes),
      .live_vectors = std::move(vectors),
      .id_pool = std::move(pool),
      .layout = layout,
      .d = o.d,
      .bits = o.b,
      .wal_flush_threshold = o.wal_flush_threshold,
  });
  state->normalize = o.normalize;
  state->metric = DistanceMetric::kIp;
  return state;
}

// A vector whose length is `scale`: its stored norm tells records apart.
inline std::vector<double> scaled_vector(std::size_t d, unsigned seed, double scale) {
  std::vector<double> v(d);
  double sum = 0;
  for (std::size_t i = 0; i < d; ++i) {
    v[i] = std::sin(seed * 7.3 + i * 1.1) + 0.01;
    sum += v[i] * v[i];
  }
  for (double& x : v) x *= scale / std::sqrt(sum);
  return v;
}

// Metadata naming its record, so a record's metadata can be matched to it.
inline JsonObject tag(const std::string& id) {
  std::vector<JsonMember> members;
  members.emplace_back("id", JsonValue::string(id));
  return JsonObject(std::move(members));
}

}  // namespace velq::testing
