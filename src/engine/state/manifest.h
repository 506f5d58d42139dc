// manifest.json: a database's parameters and the state of its index, in a
// pretty JSON object whose keys follow the field order below. Readers take
// the keys in any order, skip unknown ones and also accept the fields as an
// array in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "engine/state/engine_types.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

struct IndexState {
  std::size_t max_degree = 0;
  std::size_t ef_construction = 0;
  std::size_t search_list_size = 0;
  double alpha = 0.0;
  std::size_t indexed_nodes = 0;

  bool operator==(const IndexState&) const = default;
};

struct Manifest {
  std::uint32_t version = 2;
  std::size_t d = 0;
  std::size_t b = 0;
  std::uint64_t seed = 0;
  std::size_t vector_count = 0;
  std::string storage_uri;
  // Read and validated when present, but the quantizer always comes from
  // quantizer.bin; never written.
  std::optional<ProdQuantizer> quantizer;
  DistanceMetric metric = DistanceMetric::kIp;
  std::optional<IndexState> index_state;  // written as null when absent
  bool fast_mode = false;
  bool rerank_enabled = true;
  RerankPrecision rerank_precision = RerankPrecision::kDisabled;
  bool normalize = false;
  std::string quantizer_type;

  bool operator==(const Manifest&) const = default;

  // The pretty JSON text, without a final newline ("quantizer" left out when
  // absent).
  std::string to_json() const;
  // Decodes manifest.json: "missing field `d`", "duplicate field `d`",
  // "unknown variant ..." and the JSON reader's errors, as kCorruption.
  static Result<Manifest> parse(std::span<const std::uint8_t> bytes);
};

// graph_ids.json and delta_ids.json, the slot lists the manifest's index
// state counts: ascending, as pretty JSON arrays ("[", one number per line
// indented by two spaces, "]"; "[]" when empty; no final newline).
std::string serialize_index_ids(std::span<const std::uint32_t> ids);

// Any JSON array of u32 (whitespace free); anything else is kCorruption.
Result<std::vector<std::uint32_t>> parse_index_ids(std::span<const std::uint8_t> bytes);

}  // namespace velq
